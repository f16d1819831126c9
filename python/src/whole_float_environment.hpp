// WholeFloatEnvironmentScope: the library's floating-point settings in every
// unit the thread has, around Python code run on a value a caller supplied.
#pragma once

#if defined(__x86_64__)
#include <xmmintrin.h>

#include <cstdint>
#else
#include <cfenv>
#endif

namespace plindra {

// The core's FloatEnvironmentScope sets only what the library's own code
// computes with: on x86-64 the SSE control register. Python code may use the
// x87 unit too (NumPy converts and prints long double scalars with it), which
// has control and status words of its own. This scope saves the caller's
// whole environment, sets round-to-nearest with every exception masked and no
// flag raised in every unit, and hands the caller's back bit for bit, status
// flags included, on every exit. Saving and loading the x87 environment costs
// tens of cycles: meant for one Python call per value, never for a loop over
// elements (the kernels have no x87 instruction and keep the core's scope).
#if defined(__x86_64__)
class WholeFloatEnvironmentScope {
 public:
  // fnstenv waits for no pending exception and masks every x87 exception,
  // so an exception the caller left pending cannot fire in here.
  WholeFloatEnvironmentScope() noexcept : sse_(_mm_getcsr()) {
    asm volatile("fnstenv %0" : "=m"(x87_) : : "memory");
    reset();
  }
  WholeFloatEnvironmentScope(const WholeFloatEnvironmentScope&) = delete;
  WholeFloatEnvironmentScope& operator=(const WholeFloatEnvironmentScope&) = delete;
  // The flags are cleared first, so that nothing left pending by the Python
  // code fires at fldenv; an exception the caller had pending is pending
  // again afterwards, as it was. (glibc's fesetenv keeps some status bits of
  // the current environment, so the saved image is loaded directly.)
  ~WholeFloatEnvironmentScope() {
    asm volatile("fnclex\n\tfldenv %0" : : "m"(x87_) : "memory");
    _mm_setcsr(sse_);
  }

  // The library's settings again, after Python code that may have changed
  // them: x87 every exception masked, round to nearest, 64-bit precision, no
  // flag; SSE every exception masked, round to nearest, no flag, no
  // flush-to-zero or denormals-are-zero.
  void reset() noexcept {
    static constexpr std::uint16_t kX87Control = 0x037F;
    asm volatile("fnclex\n\tfldcw %0" : : "m"(kX87Control) : "memory");
    _mm_setcsr(_MM_MASK_MASK | _MM_ROUND_NEAREST);
  }

 private:
  unsigned char x87_[28];  // the x87 environment as fnstenv stores it in 64-bit mode
  unsigned sse_;
};
#else
class WholeFloatEnvironmentScope {
 public:
  WholeFloatEnvironmentScope() noexcept {
    std::fegetenv(&saved_);
    reset();
  }
  WholeFloatEnvironmentScope(const WholeFloatEnvironmentScope&) = delete;
  WholeFloatEnvironmentScope& operator=(const WholeFloatEnvironmentScope&) = delete;
  ~WholeFloatEnvironmentScope() { std::fesetenv(&saved_); }

  void reset() noexcept { std::fesetenv(FE_DFL_ENV); }

 private:
  std::fenv_t saved_;
};
#endif

}  // namespace plindra
