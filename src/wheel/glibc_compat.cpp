// glibc_compat.cpp: stand-ins that let the wheel's module load with an old C
// library. Linked only into the wheel (CMakeLists.txt), together with the
// static C++ runtime.
//
// The static libstdc++ was compiled against a recent glibc and refers to two
// symbols that older ones lack. The link renames those references
// (`-Wl,--wrap=NAME` sends them to `__wrap_NAME`) to the definitions below,
// which need nothing newer than the first glibc of each architecture (2.2.5
// on x86-64, 2.17 on aarch64).

extern "C" {

// The C library's strtoul under its first symbol version. Declared under a
// name of our own: from glibc 2.38 the header maps `strtoul` itself onto
// `__isoc23_strtoul`, the very symbol being replaced.
unsigned long dwex_libc_strtoul(const char* text, char** end, int base) noexcept;
#if defined(__x86_64__)
__asm__(".symver dwex_libc_strtoul, strtoul@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver dwex_libc_strtoul, strtoul@GLIBC_2.17");
#endif

// `__isoc23_strtoul` (glibc 2.38) differs from strtoul only in reading a
// "0b" prefix with base 0 or 2; the runtime reads decimal numbers from its
// tuning environment variable with it, which both read alike.
unsigned long __wrap___isoc23_strtoul(const char* text, char** end, int base) noexcept {
    return dwex_libc_strtoul(text, end, base);
}

// `__libc_single_threaded` (glibc 2.32) is nonzero while the process has one
// thread, letting the runtime skip atomic instructions. Zero is always a
// correct answer: the runtime then always takes its thread-safe path.
char __wrap___libc_single_threaded = 0;

} // extern "C"
