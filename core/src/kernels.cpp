// The portable kernels and the public entry points, which pick the
// instruction-set variant once per process.
#include "kernels_impl.hpp"
#include "morvith_plindra/kernels.hpp"

namespace morvith_plindra {
#include "morvith_plindra/impl/kernels.inc"

// The variants built for x86-64 (see kernels_variant.hpp).
#define MORVITH_PLINDRA_DECLARE_VARIANT(ns)                                                               \
  namespace ns {                                                                                          \
  template <class S, class D>                                                                             \
  KernelResult kernel_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config);    \
  }
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3)
MORVITH_PLINDRA_DECLARE_VARIANT(x86_64_v3)
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
MORVITH_PLINDRA_DECLARE_VARIANT(x86_64_v4)
#endif

namespace {

enum class Variant { Portable, X86_64_V3, X86_64_V4 };

// The best variant this build has and this CPU runs, decided once.
Variant best_variant() {
  static const Variant best = [] {
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3) || defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
    __builtin_cpu_init();
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
    if (__builtin_cpu_supports("x86-64-v4")) return Variant::X86_64_V4;
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3)
    if (__builtin_cpu_supports("x86-64-v3")) return Variant::X86_64_V3;
#endif
    return Variant::Portable;
  }();
  return best;
}

}  // namespace

template <class S, class D>
KernelResult convert_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  switch (best_variant()) {
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
    case Variant::X86_64_V4: return x86_64_v4::kernel_slice<S, D>(src, dst, config);
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3)
    case Variant::X86_64_V3: return x86_64_v3::kernel_slice<S, D>(src, dst, config);
#endif
    default: break;
  }
  return kernel_slice<S, D>(src, dst, config);
}

#define MORVITH_PLINDRA_DEFINE_FAMILY(name)                                                                  \
  template <class S, class D>                                                                               \
  KernelResult name(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {             \
    return convert_slice<S, D>(src, dst, config);                                                           \
  }
MORVITH_PLINDRA_DEFINE_FAMILY(convert_slice_int_to_int)
MORVITH_PLINDRA_DEFINE_FAMILY(convert_slice_float_to_int)
MORVITH_PLINDRA_DEFINE_FAMILY(convert_slice_int_to_float)
MORVITH_PLINDRA_DEFINE_FAMILY(convert_slice_float_to_float)

#define MORVITH_PLINDRA_INSTANTIATE(fn, S, D) \
  template KernelResult fn<S, D>(std::span<const S>, std::span<D>, const CastConfig<S, D>&);
#define MORVITH_PLINDRA_ALL(S, D) MORVITH_PLINDRA_INSTANTIATE(convert_slice, S, D)
#define MORVITH_PLINDRA_II(S, D) MORVITH_PLINDRA_INSTANTIATE(convert_slice_int_to_int, S, D)
#define MORVITH_PLINDRA_FI(S, D) MORVITH_PLINDRA_INSTANTIATE(convert_slice_float_to_int, S, D)
#define MORVITH_PLINDRA_IF(S, D) MORVITH_PLINDRA_INSTANTIATE(convert_slice_int_to_float, S, D)
#define MORVITH_PLINDRA_FF(S, D) MORVITH_PLINDRA_INSTANTIATE(convert_slice_float_to_float, S, D)
MORVITH_PLINDRA_ALL_PAIRS(MORVITH_PLINDRA_ALL)
MORVITH_PLINDRA_INT_TO_INT(MORVITH_PLINDRA_II)
MORVITH_PLINDRA_FLOAT_TO_INT(MORVITH_PLINDRA_FI)
MORVITH_PLINDRA_INT_TO_FLOAT(MORVITH_PLINDRA_IF)
MORVITH_PLINDRA_FLOAT_TO_FLOAT(MORVITH_PLINDRA_FF)

}  // namespace morvith_plindra
