/* A DLL the e2e test program imports from; the test copies the program without it. */
__declspec(dllexport) int kestrova_absent_func(void) { return 1; }
