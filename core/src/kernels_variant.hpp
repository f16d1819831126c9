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
inline KernelResult call_kernel(const void* src, std::size_t src_size, void* dst, std::size_t dst_size,
                                const void* config) {
  return MORVITH_PLINDRA_VARIANT::kernel_slice<S, D>(std::span<const S>(static_cast<const S*>(src), src_size),
                                                     std::span<D>(static_cast<D*>(dst), dst_size),
                                                     *static_cast<const CastConfig<S, D>*>(config));
}

template <class S, class D>
KernelResult erased_kernel(const void* src, std::size_t src_size, void* dst, std::size_t dst_size, const void* config) {
  return call_kernel<S, D>(src, src_size, dst, dst_size, config);
}

// Integers widened to integers or floats, and float32 to float64, with
// 256-bit vectors where AVX-512 would allow 512: the compiler's 512-bit loops
// widen through chains of lane-crossing shuffles, which Intel cores run on a
// single port (their 256-bit ones took 0.66-0.97 of the time at 10^4 and
// 2*10^5 elements on an Intel Xeon). Narrowing pairs keep 512 bits: there
// they took up to 1.76x as long with 256.
template <class S, class D>
inline constexpr bool kWidensOn256 =
    (std::is_integral_v<S> && sizeof(D) > sizeof(S)) || (std::is_same_v<S, float> && std::is_same_v<D, double>);

#if defined(__GNUC__) && !defined(__clang__)
#define MORVITH_PLINDRA_VECTORS_OF_256 __attribute__((target("prefer-vector-width=256")))
#else
#define MORVITH_PLINDRA_VECTORS_OF_256
#endif
template <class S, class D>
MORVITH_PLINDRA_VECTORS_OF_256 KernelResult erased_kernel_256(const void* src, std::size_t src_size, void* dst,
                                                              std::size_t dst_size, const void* config) {
  return call_kernel<S, D>(src, src_size, dst, dst_size, config);
}

}  // namespace

extern const dispatch::KernelTable kKernels;
constinit const dispatch::KernelTable kKernels = make_pair_table([]<class S, class D>() -> dispatch::ErasedKernel {
  if constexpr (kWidensOn256<S, D>) {
    return &erased_kernel_256<S, D>;
  } else {
    return &erased_kernel<S, D>;
  }
});

}  // namespace morvith_plindra::MORVITH_PLINDRA_VARIANT
