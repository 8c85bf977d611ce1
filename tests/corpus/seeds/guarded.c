/* A tiny image with no C run-time: TLS with two callbacks, a load configuration
   with the security cookie and the guard tables the linker fills in. */
typedef __SIZE_TYPE__ uptr;
typedef void (__stdcall *TlsCallback)(void*, unsigned long, void*);

__declspec(thread) int tls_counter = 7;
unsigned long _tls_index = 0;
#pragma section(".tls", read, write)
#pragma section(".tls$ZZZ", read, write)
__declspec(allocate(".tls")) char _tls_start = 0;
__declspec(allocate(".tls$ZZZ")) char _tls_end = 0;

static void __stdcall OnTlsA(void* h, unsigned long r, void* p) { (void)h; (void)p; tls_counter += (int)r; }
static void __stdcall OnTlsB(void* h, unsigned long r, void* p) { (void)h; (void)p; tls_counter -= (int)r; }
#pragma section(".CRT$XLA", read)
#pragma section(".CRT$XLB", read)
#pragma section(".CRT$XLC", read)
#pragma section(".CRT$XLZ", read)
__declspec(allocate(".CRT$XLA")) TlsCallback __xl_a = 0;
__declspec(allocate(".CRT$XLB")) TlsCallback __xl_b = OnTlsA;
__declspec(allocate(".CRT$XLC")) TlsCallback __xl_c = OnTlsB;
__declspec(allocate(".CRT$XLZ")) TlsCallback __xl_z = 0;

struct TlsDir { uptr start, end, index, callbacks; unsigned zeroFill, characteristics; };
const struct TlsDir _tls_used = {(uptr)&_tls_start, (uptr)&_tls_end, (uptr)&_tls_index,
                                 (uptr)(&__xl_a + 1), 16, 0x00500000};

uptr __security_cookie = (uptr)0x2B992DDFA232ull;
static void GuardCheck(void) {}
void (*__guard_check_icall_fptr)(void) = GuardCheck;
void (*__guard_dispatch_icall_fptr)(void) = GuardCheck;

/* The load configuration, in assembly: the guard counts and flags are absolute
   symbols the linker defines, which C cannot store in a 32-bit field. */
#if defined(_M_IX86)
#define SYM(x) "_" #x
#define PTR ".long "
__asm__(".globl __tls_array\n.set __tls_array, 0x2C\n");
#else
#define SYM(x) #x
#define PTR ".quad "
#endif
__asm__(
    ".section .rdata,\"dr\"\n.globl " SYM(_load_config_used) "\n.p2align 3\n" SYM(_load_config_used) ":\n"
    ".long 2f - " SYM(_load_config_used) "\n.long 0\n.short 0, 0\n.long 0, 0, 0\n"
    PTR "0\n" PTR "0\n" PTR "0\n" PTR "0\n" PTR "0\n"
#if defined(_M_IX86)
    ".long 0\n" PTR "0\n"
#else
    PTR "0\n.long 0\n"
#endif
    ".short 0, 0\n" PTR "0\n" PTR SYM(__security_cookie) "\n"
#if defined(_M_IX86)
    PTR SYM(__safe_se_handler_table) "\n" PTR SYM(__safe_se_handler_count) "\n"
#else
    PTR "0\n" PTR "0\n"
#endif
    PTR SYM(__guard_check_icall_fptr) "\n" PTR SYM(__guard_dispatch_icall_fptr) "\n"
    PTR SYM(__guard_fids_table) "\n" PTR SYM(__guard_fids_count) "\n.long " SYM(__guard_flags) "\n"
    ".short 0, 0\n.long 0, 0\n"
    PTR SYM(__guard_iat_table) "\n" PTR SYM(__guard_iat_count) "\n"
    PTR SYM(__guard_longjmp_table) "\n" PTR SYM(__guard_longjmp_count) "\n"
    PTR "0\n" PTR "0\n" PTR "0\n" PTR "0\n.long 0\n.short 0, 0\n" PTR "0\n.long 0, 0\n" PTR "0\n" PTR "0\n"
    PTR SYM(__guard_eh_cont_table) "\n" PTR SYM(__guard_eh_cont_count) "\n"
    PTR "0\n" PTR "0\n" PTR "0\n" PTR "0\n" PTR "0\n"
    "2:\n.text\n");

static int Twice(int x) { return 2 * x; }
int (*volatile g_fn)(int) = Twice;
int __stdcall Start(void) { return g_fn(tls_counter); }

/* A registered exception handler (x86 SafeSEH), a long-jump target and an
   imported function whose address is taken: each fills one more guard table. */
#if defined(_M_IX86)
int __cdecl Handler(void* rec, void* frame, void* ctx, void* disp) { (void)rec; (void)frame; (void)ctx; (void)disp; return 1; }
__asm__(".safeseh _Handler\n");
#endif
__attribute__((returns_twice, noinline)) int Rewind(void* buf) { (void)buf; return 0; }
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
unsigned long (__stdcall *volatile g_tick)(void);
int Jumps(void* buf) { g_tick = GetTickCount; return Rewind(buf) + (int)g_tick(); }
