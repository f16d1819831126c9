// The portable clamp fast paths of f64 -> u8, f64 -> i32 and f32 -> u8.
#include "kernels_impl.hpp"
#include "morvith_plindra/cast_float.hpp"

namespace morvith_plindra {
#include "kernels/kernels.inc"

namespace simd::generic {
FastPathResult try_f64_to_u8_clamp(std::span<const double> src, std::span<std::uint8_t> dst, RoundingMode mode) {
  return detail::clamp_fast_path(src, dst, mode);
}
FastPathResult try_f64_to_i32_clamp(std::span<const double> src, std::span<std::int32_t> dst, RoundingMode mode) {
  return detail::clamp_fast_path(src, dst, mode);
}
FastPathResult try_f32_to_u8_clamp(std::span<const float> src, std::span<std::uint8_t> dst, RoundingMode mode) {
  return detail::clamp_fast_path(src, dst, mode);
}
}  // namespace simd::generic
}  // namespace morvith_plindra
