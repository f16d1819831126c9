// The whole core: every (source, target) pair converts through convert_slice.
#pragma once

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/config.hpp"
#include "morvith_plindra/float_to_float.hpp"
#include "morvith_plindra/float_to_int.hpp"
#include "morvith_plindra/int_to_float.hpp"
#include "morvith_plindra/int_to_int.hpp"
#include "morvith_plindra/modes.hpp"

namespace morvith_plindra {

// Converts min(src.size(), dst.size()) elements of any pair under `config`,
// through the pair's family. On error, elements before the failing one are
// written and the rest of `dst` is untouched.
template <class S, class D>
KernelResult convert_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  if constexpr (family_of<S, D> == Family::IntToInt) {
    return convert_slice_int_to_int(src, dst, config);
  } else if constexpr (family_of<S, D> == Family::FloatToInt) {
    return convert_slice_float_to_int(src, dst, config);
  } else if constexpr (family_of<S, D> == Family::IntToFloat) {
    return convert_slice_int_to_float(src, dst, config);
  } else {
    return convert_slice_float_to_float(src, dst, config);
  }
}

}  // namespace morvith_plindra
