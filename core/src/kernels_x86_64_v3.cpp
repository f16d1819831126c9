// The kernels compiled for x86-64-v3 (AVX2, FMA off, F16C). Its own
// namespace keeps every instantiation apart from the portable ones.
#include "kernels_impl.hpp"

namespace morvith_plindra::x86_64_v3 {
#include "morvith_plindra/impl/cast_float.inc"
#include "morvith_plindra/impl/kernels.inc"

#define MORVITH_PLINDRA_INSTANTIATE_V3(S, D) \
  template KernelResult kernel_slice<S, D>(std::span<const S>, std::span<D>, const CastConfig<S, D>&);
MORVITH_PLINDRA_ALL_PAIRS(MORVITH_PLINDRA_INSTANTIATE_V3)
}  // namespace morvith_plindra::x86_64_v3
