#include "dumper/Dump.h"

int main() { return 0; }
