// The demanglers over names read one a line, for the cross-check against the
// peers: writes "scheme<TAB>readable form" per name (an empty form: stays raw).
// "--x86" takes the names as a 32-bit x86 image's.
#include <iostream>
#include <string>

#include "dumper/demangle/Demangle.h"

int main(int argc, char** argv) {
  using namespace kestrova::dumper::demangle;
  bool x86 = argc > 1 && std::string(argv[1]) == "--x86";
  static constexpr const char* kSchemes[] = {"none", "microsoft", "itanium", "borland"};
  std::string line;
  while (std::getline(std::cin, line)) {
    Result r = Demangle(line, x86);
    std::cout << kSchemes[static_cast<int>(r.scheme)] << '\t' << r.text << '\n';
  }
  return 0;
}
