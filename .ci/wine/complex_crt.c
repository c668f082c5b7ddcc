/* CI only, never shipped: fills in, under Wine, the C runtime's complex
 * functions that Wine's ucrtbase.dll exports as stubs which abort the process
 * when called (NumPy 2.x calls them as it imports). Loaded into every Windows
 * Python the CI runs (sitecustomize.py beside it calls qvn_fill_complex_crt).
 *
 * Each stub's entry is overwritten with a jump to the C99 function below,
 * built with mingw-w64 (whose libmingwex has its own implementations, so
 * nothing here calls back into ucrtbase). Only code that has the shape of a
 * Wine stub is touched: a function Wine implements stays as it is, and
 * outside Wine nothing happens at all.
 *
 * The C runtime passes and returns complex numbers as structs (_Fcomplex,
 * _Dcomplex, _Lcomplex, where long double is double), so the wrappers take
 * and return structs and GCC lays out the calls as the C runtime's callers
 * expect. */
#include <complex.h>
#include <string.h>
#include <windows.h>

typedef struct { float re, im; } fcomplex;
typedef struct { double re, im; } dcomplex;

static float _Complex F(fcomplex z) { return __builtin_complex(z.re, z.im); }
static double _Complex D(dcomplex z) { return __builtin_complex(z.re, z.im); }
static fcomplex FS(float _Complex z) { fcomplex r = {crealf(z), cimagf(z)}; return r; }
static dcomplex DS(double _Complex z) { dcomplex r = {creal(z), cimag(z)}; return r; }

#define REAL_F(name) static float w_##name##f(fcomplex z) { return name##f(F(z)); }
#define REAL_D(name) static double w_##name(dcomplex z) { return name(D(z)); }
#define CPLX_F(name) static fcomplex w_##name##f(fcomplex z) { return FS(name##f(F(z))); }
#define CPLX_D(name) static dcomplex w_##name(dcomplex z) { return DS(name(D(z))); }
#define REAL(name) REAL_F(name) REAL_D(name)
#define CPLX(name) CPLX_F(name) CPLX_D(name)

REAL(cabs) REAL(carg) REAL(creal) REAL(cimag)
CPLX(cacos) CPLX(cacosh) CPLX(casin) CPLX(casinh) CPLX(catan) CPLX(catanh)
CPLX(ccos) CPLX(ccosh) CPLX(cexp) CPLX(clog) CPLX(conj) CPLX(cproj)
CPLX(csin) CPLX(csinh) CPLX(csqrt) CPLX(ctan) CPLX(ctanh)

static fcomplex w_cpowf(fcomplex x, fcomplex y) { return FS(cpowf(F(x), F(y))); }
static dcomplex w_cpow(dcomplex x, dcomplex y) { return DS(cpow(D(x), D(y))); }
static fcomplex w_clog10f(fcomplex z) { return FS(clogf(F(z)) / 2.302585092994045684f); }
static dcomplex w_clog10(dcomplex z) { return DS(clog(D(z)) / 2.302585092994045684); }
static fcomplex w_FCbuild(float re, float im) { fcomplex r = {re, im}; return r; }
static dcomplex w_Cbuild(double re, double im) { dcomplex r = {re, im}; return r; }
static fcomplex w_FCmulcc(fcomplex x, fcomplex y) { return FS(F(x) * F(y)); }
static dcomplex w_Cmulcc(dcomplex x, dcomplex y) { return DS(D(x) * D(y)); }
static fcomplex w_FCmulcr(fcomplex x, float y) { return FS(F(x) * y); }
static dcomplex w_Cmulcr(dcomplex x, double y) { return DS(D(x) * y); }

/* Every float and double function, and the long double ones (the same as
 * the double ones in this C runtime). */
#define BOTH(name) {#name "f", (void *)w_##name##f}, {#name, (void *)w_##name}, {#name "l", (void *)w_##name}
#define BUILD(name) {"_FC" #name, (void *)w_FC##name}, {"_C" #name, (void *)w_C##name}, {"_LC" #name, (void *)w_C##name}
static const struct { const char *name; void *impl; } functions[] = {
    BOTH(cabs), BOTH(carg), BOTH(creal), BOTH(cimag),
    BOTH(cacos), BOTH(cacosh), BOTH(casin), BOTH(casinh), BOTH(catan), BOTH(catanh),
    BOTH(ccos), BOTH(ccosh), BOTH(cexp), BOTH(clog), BOTH(clog10), BOTH(conj), BOTH(cproj),
    BOTH(cpow), BOTH(csin), BOTH(csinh), BOTH(csqrt), BOTH(ctan), BOTH(ctanh),
    BUILD(build), BUILD(mulcc), BUILD(mulcr),
};

/* A Wine stub on x86-64 is 24 bytes: `sub $0x28,%rsp; lea dll(%rip),%rcx;
 * lea name(%rip),%rdx; call unimplemented; nop`, room for the 12-byte jump
 * written over it. */
static int is_wine_stub(const unsigned char *code) {
    static const unsigned char start[] = {0x48, 0x83, 0xec, 0x28, 0x48, 0x8d, 0x0d};
    static const unsigned char name[] = {0x48, 0x8d, 0x15};
    return memcmp(code, start, sizeof start) == 0 && memcmp(code + 11, name, sizeof name) == 0 && code[18] == 0xe8;
}

static int redirect(unsigned char *code, void *target) {
    unsigned char jump[12] = {0x48, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xe0}; /* movabs $target,%rax; jmp *%rax */
    DWORD old;
    memcpy(jump + 2, &target, sizeof target);
    if (!VirtualProtect(code, sizeof jump, PAGE_EXECUTE_READWRITE, &old)) return 0;
    memcpy(code, jump, sizeof jump);
    VirtualProtect(code, sizeof jump, old, &old);
    FlushInstructionCache(GetCurrentProcess(), code, sizeof jump);
    return 1;
}

/* The number of stubs filled in: 0 outside Wine or when Wine has none left;
 * -1 when a stub could not be rewritten. */
__declspec(dllexport) int qvn_fill_complex_crt(void) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == NULL || GetProcAddress(ntdll, "wine_get_version") == NULL) return 0;
    HMODULE crt = LoadLibraryW(L"ucrtbase.dll");
    if (crt == NULL) return 0;
    int filled = 0;
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
        unsigned char *code = (unsigned char *)GetProcAddress(crt, functions[i].name);
        if (code == NULL || !is_wine_stub(code)) continue;
        if (!redirect(code, functions[i].impl)) return -1;
        ++filled;
    }
    return filled;
}
