// The conversion entry points of the core library.
#pragma once

#include <span>

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/cast_float.hpp"
#include "morvith_plindra/config.hpp"
#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/simd/generic.hpp"
#include "morvith_plindra/types.hpp"
#include "morvith_plindra/variants.hpp"

namespace morvith_plindra {

// Converts n = min(src.size(), dst.size()) elements, dst[i] from src[i], under
// `config`. On a CastError the elements before the failing one are written and
// the failing one and all later ones are left as they were. Defined for all
// 121 pairs of element types; runs the variant chosen for the process (see
// variants.hpp), through its kernel table.
template <class S, class D>
KernelResult convert_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(is_element_v<S> && is_element_v<D>, "not an element type");
  return dispatch::active_table()[pair_index<S, D>](src.data(), src.size(), dst.data(), dst.size(), &config);
}

// The same conversion, restricted to one family each.
template <class S, class D>
KernelResult convert_slice_int_to_int(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::IntToInt);
  return convert_slice<S, D>(src, dst, config);
}
template <class S, class D>
KernelResult convert_slice_float_to_int(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::FloatToInt);
  return convert_slice<S, D>(src, dst, config);
}
template <class S, class D>
KernelResult convert_slice_int_to_float(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::IntToFloat);
  return convert_slice<S, D>(src, dst, config);
}
template <class S, class D>
KernelResult convert_slice_float_to_float(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::FloatToFloat);
  return convert_slice<S, D>(src, dst, config);
}

}  // namespace morvith_plindra
