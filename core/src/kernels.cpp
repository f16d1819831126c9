// The portable kernels and the public entry points, which pick the
// instruction-set variant once per process.
#include "kernels_impl.hpp"
#include "morvith_plindra/kernels.hpp"

namespace morvith_plindra {
#include "morvith_plindra/impl/kernels.inc"

#if defined(MORVITH_PLINDRA_X86_64_V3)
namespace x86_64_v3 {
template <class S, class D>
KernelResult kernel_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config);
}  // namespace x86_64_v3

namespace {
bool use_x86_64_v3() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("x86-64-v3") != 0;
  }();
  return supported;
}
}  // namespace
#endif

const char* kernel_variant() {
#if defined(MORVITH_PLINDRA_X86_64_V3)
  if (use_x86_64_v3()) return "x86-64-v3";
#endif
  return "portable";
}

template <class S, class D>
KernelResult convert_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
#if defined(MORVITH_PLINDRA_X86_64_V3)
  if (use_x86_64_v3()) return x86_64_v3::kernel_slice<S, D>(src, dst, config);
#endif
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
