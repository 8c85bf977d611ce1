/* A program whose DLL is not beside it: the window must say at once that it will not load. */
__declspec(dllimport) int kestrova_absent_func(void);
int main(void) { return kestrova_absent_func(); }
