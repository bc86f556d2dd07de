// The rounding mode, read and set straight from the floating-point control
// registers. The C++ runtime's number formatting refers to these two, and
// libm is the only library that defines them: defined here, the process
// loads libc alone, which is measurably quicker to start. Linked into the
// interpreter itself (an archive member would come too late to be chosen).
#include <cfenv>

#if defined(__x86_64__)

namespace {

// x87 control word and MXCSR hold the same two-bit field; FE_* are its
// values where the control word keeps it (bits 10 and 11).
constexpr unsigned X87_ROUNDING = 0xc00;
constexpr unsigned MXCSR_SHIFT = 3;
static_assert(FE_TONEAREST == 0 && FE_DOWNWARD == 0x400 && FE_UPWARD == 0x800 && FE_TOWARDZERO == X87_ROUNDING);

}  // namespace

extern "C" int fegetround() noexcept {
    unsigned mxcsr;
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    return static_cast<int>(mxcsr >> MXCSR_SHIFT & X87_ROUNDING);
}

extern "C" int fesetround(int mode) noexcept {
    unsigned m = static_cast<unsigned>(mode);
    if (m & ~X87_ROUNDING) return 1;
    unsigned short cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    cw = static_cast<unsigned short>((cw & ~X87_ROUNDING) | m);
    __asm__ volatile("fldcw %0" : : "m"(cw));
    unsigned mxcsr;
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    mxcsr = (mxcsr & ~(X87_ROUNDING << MXCSR_SHIFT)) | m << MXCSR_SHIFT;
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
    return 0;
}

#elif defined(__aarch64__)

namespace {

// FPCR's RMode field, bits 22 and 23; FE_* are its values in place.
constexpr unsigned long FPCR_ROUNDING = 0xc00000;
static_assert(FE_TONEAREST == 0 && FE_UPWARD == 0x400000 && FE_DOWNWARD == 0x800000 && FE_TOWARDZERO == FPCR_ROUNDING);

}  // namespace

extern "C" int fegetround() noexcept {
    unsigned long fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return static_cast<int>(fpcr & FPCR_ROUNDING);
}

extern "C" int fesetround(int mode) noexcept {
    unsigned long m = static_cast<unsigned int>(mode);
    if (m & ~FPCR_ROUNDING) return 1;
    unsigned long fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr = (fpcr & ~FPCR_ROUNDING) | m;
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
    return 0;
}

#endif
