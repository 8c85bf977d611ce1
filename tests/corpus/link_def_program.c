/* Linked only against import libraries made from tdump --def output (no C
 * runtime, no other library), then run under Wine: each line it prints shows
 * one kind of import working. Exit code 0 when every check held. */
#ifdef _WIN64
#define IMP(name) "__imp_" name
#define IMP_STDCALL(name, bytes) "__imp_" name
#else
#define IMP(name) "__imp__" name
#define IMP_STDCALL(name, bytes) "__imp__" name "@" bytes
#endif

typedef unsigned long DWORD;

/* kernel32, stdcall: the callee pops the 12 bytes, so the name must say @12. */
int __stdcall MulDiv(int number, int numerator, int denominator);

/* msvcrt, cdecl. */
int printf(const char *format, ...);
int fflush(void *stream);
char *_itoa(int value, char *buffer, int radix);
__SIZE_TYPE__ strlen(const char *s);

/* msvcrt, data: the slot holds the variable's address. */
extern __declspec(dllimport) char **_environ;

/* comctl32, by ordinal only: Alloc (71), GetSize (74) and Free (73), stdcall.
 * An ordinal-only import has a linker name and no prototype, so it is called
 * through its import slot. */
typedef void *(__stdcall *AllocFn)(DWORD size);
typedef DWORD (__stdcall *GetSizeFn)(void *block);
typedef int (__stdcall *FreeFn)(void *block);
extern AllocFn comctl_alloc __asm__(IMP_STDCALL("comctl32_ord71", "4"));
extern GetSizeFn comctl_size __asm__(IMP_STDCALL("comctl32_ord74", "4"));
extern FreeFn comctl_free __asm__(IMP_STDCALL("comctl32_ord73", "4"));

static int starts_with(const char *s, const char *prefix) {
  while (*prefix)
    if (*s++ != *prefix++) return 0;
  return 1;
}

int entry(void) {
  int failures = 0;
  char digits[16];

  int product = MulDiv(10, 6, 4);
  printf("stdcall MulDiv(10, 6, 4) = %d\n", product);
  failures += product != 15;

  printf("cdecl _itoa(12345) = %s, strlen(\"kestrova\") = %u\n", _itoa(12345, digits, 10),
         (unsigned)strlen("kestrova"));
  failures += strlen(digits) != 5 || strlen("kestrova") != 8;

  const char *found = "(missing)";
  for (char **e = _environ; e && *e; ++e)
    if (starts_with(*e, "KESTROVA_LINK_TEST=")) found = *e + 19;
  printf("data _environ: KESTROVA_LINK_TEST=%s\n", found);
  failures += !starts_with(found, "linked");

  unsigned char *block = comctl_alloc(24);
  DWORD size = block ? comctl_size(block) : 0;
  int zeroed = block != 0;
  for (DWORD i = 0; block && i < size; ++i) zeroed &= block[i] == 0;
  printf("ordinal comctl32 #71 Alloc(24): size %lu, zeroed %d, freed %d\n", size, zeroed,
         block ? comctl_free(block) : 0);
  failures += size != 24 || !zeroed;

  printf("failures %d\n", failures);
  fflush(0);
  return failures;
}
