#include <windows.h>
#include <stdio.h>
static __thread int counter = 5;
static void NTAPI on_tls(PVOID h, DWORD reason, PVOID r) { (void)h; (void)r; counter += (int)reason; }
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK p_on_tls = on_tls;
int main(void) { printf("%d\n", counter); return 0; }
