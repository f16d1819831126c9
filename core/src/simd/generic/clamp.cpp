#include <cmath>
#include <stdexcept>

#include "morvith_plindra/float_to_int.hpp"
#include "morvith_plindra/simd/generic.hpp"

namespace morvith_plindra::simd::generic {

namespace {

template <class S, class D>
FastPathResult clamp_path(std::span<const S> src, std::span<D> dst, RoundingMode mode) {
  if (mode == RoundingMode::NearestAway) {
    throw std::invalid_argument("clamp fast path called with nearest-away rounding");
  }
  const std::size_t n = std::min(src.size(), dst.size());
  KernelResult err = detail::with_rounding(mode, [&](auto m) {
    return detail::float_to_int_run<S, D, decltype(m)::value, OutOfRangeMode::Clamp>(src.data(), dst.data(), n,
                                                                                  {});
  });
  if (err) return {false, err};
  if (src.size() > n) {
    // The element without a destination slot: its NaN test comes first.
    if (std::isnan(src[n])) return {false, CastError::not_finite(static_cast<double>(src[n]))};
    throw std::invalid_argument("clamp fast path: destination shorter than source");
  }
  return {true, std::nullopt};
}

}  // namespace

FastPathResult try_f64_to_u8_clamp(std::span<const double> src, std::span<std::uint8_t> dst, RoundingMode mode) {
  return clamp_path(src, dst, mode);
}

FastPathResult try_f64_to_i32_clamp(std::span<const double> src, std::span<std::int32_t> dst, RoundingMode mode) {
  return clamp_path(src, dst, mode);
}

FastPathResult try_f32_to_u8_clamp(std::span<const float> src, std::span<std::uint8_t> dst, RoundingMode mode) {
  return clamp_path(src, dst, mode);
}

}  // namespace morvith_plindra::simd::generic
