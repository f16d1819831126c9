// One instruction-set variant of the kernels. The includer defines
// MORVITH_PLINDRA_VARIANT, the namespace that holds every definition this
// variant makes (so no function compiled with one variant's flags can stand in
// for another variant's; the variant_symbols test checks the object files),
// and compiles the file with the variant's flags. The variant exports kKernels:
// its kernel of every pair, indexed by pair_index.
#pragma once

#include "kernels_impl.hpp"
#include "morvith_plindra/variants.hpp"

namespace morvith_plindra::MORVITH_PLINDRA_VARIANT {
// In this order: each uses what the ones before it define.
#include "morvith_plindra/impl/float_environment.inc"

#include "morvith_plindra/impl/cast_float.inc"

#include "morvith_plindra/impl/kernels.inc"

namespace {

// kernel_slice<S, D> behind the table's shared signature.
template <class S, class D>
KernelResult erased_kernel(const void* src, std::size_t src_size, void* dst, std::size_t dst_size, const void* config) {
  return MORVITH_PLINDRA_VARIANT::kernel_slice<S, D>(std::span<const S>(static_cast<const S*>(src), src_size),
                                                     std::span<D>(static_cast<D*>(dst), dst_size),
                                                     *static_cast<const CastConfig<S, D>*>(config));
}

}  // namespace

extern const dispatch::KernelTable kKernels;
constinit const dispatch::KernelTable kKernels =
    make_pair_table([]<class S, class D>() -> dispatch::ErasedKernel { return &erased_kernel<S, D>; });

}  // namespace morvith_plindra::MORVITH_PLINDRA_VARIANT
