// Body of an instruction-set variant of the kernels: the includer defines
// MORVITH_PLINDRA_VARIANT (the namespace that keeps its instantiations apart
// from every other variant's) and compiles the file with that variant's flags.
#pragma once

#include "kernels_impl.hpp"

namespace morvith_plindra::MORVITH_PLINDRA_VARIANT {
#include "morvith_plindra/impl/cast_float.inc"
#include "morvith_plindra/impl/kernels.inc"

#define MORVITH_PLINDRA_INSTANTIATE_VARIANT(S, D) \
  template KernelResult kernel_slice<S, D>(std::span<const S>, std::span<D>, const CastConfig<S, D>&);
MORVITH_PLINDRA_ALL_PAIRS(MORVITH_PLINDRA_INSTANTIATE_VARIANT)
}  // namespace morvith_plindra::MORVITH_PLINDRA_VARIANT
