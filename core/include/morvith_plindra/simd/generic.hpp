// Clamp fast paths: no scalar map, out-of-range mode Clamp, any rounding mode
// but nearest-away. Same elements and errors as the general kernel.
#pragma once

#include <cstdint>
#include <span>

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/modes.hpp"

namespace morvith_plindra::simd::generic {

// `done` true: every element converted; false: declined (the caller runs the
// general steps). An error is the first NaN's NotFinite.
struct FastPathResult {
  bool done = false;
  KernelResult error;
};

// Each converts the whole source into the destination under the clamp rules.
// Preconditions, whose violations throw std::invalid_argument: the rounding
// mode is not nearest-away, and the destination is at least as long as the
// source; with a shorter destination, the first element without a slot is
// still tested first, so a NaN there is reported as the error instead. The
// kernels behind convert_slice never call these (they never throw).
FastPathResult try_f64_to_u8_clamp(std::span<const double> src, std::span<std::uint8_t> dst, RoundingMode mode);
FastPathResult try_f64_to_i32_clamp(std::span<const double> src, std::span<std::int32_t> dst, RoundingMode mode);
FastPathResult try_f32_to_u8_clamp(std::span<const float> src, std::span<std::uint8_t> dst, RoundingMode mode);

}  // namespace morvith_plindra::simd::generic
