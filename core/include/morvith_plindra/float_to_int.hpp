// Float -> integer conversion: scalar map, NaN rejection, rounding, range.
#pragma once

#include <cmath>
#include <limits>
#include <span>

#include "morvith_plindra/blocked.hpp"
#include "morvith_plindra/cast_float.hpp"

namespace morvith_plindra {

namespace detail {

// The exact residue of an integral, finite value modulo 2^bits(D), read as D.
template <class D>
inline D wrap_integral(double r) {
  const double m = std::fmod(r, 0x1p64);  // exact; |m| < 2^64, sign of r
  std::uint64_t u;
  if (m >= 0x1p63) {
    u = static_cast<std::uint64_t>(m);
  } else if (m >= -0x1p63) {
    u = static_cast<std::uint64_t>(static_cast<std::int64_t>(m));
  } else {
    u = static_cast<std::uint64_t>(m + 0x1p64);  // exact: m is a multiple of 2^11
  }
  return static_cast<D>(u);
}

// Float sources compute in W: f16 is widened to f32, where every f16 value
// and every integral rounding of one is exact.
template <class S, class D>
struct FloatToIntRules {
  using W = std::conditional_t<std::is_same_v<S, f16>, f32, S>;
  using DL = std::numeric_limits<D>;

  // Accepted range [D::MIN, D::MAX], tested as lo <= r < hi_excl on integral
  // r; both bounds are powers of two (or zero), so exact in W.
  static constexpr W lo = static_cast<W>(DL::min());
  static constexpr W hi_excl = static_cast<W>(static_cast<double>(DL::max()) + 1.0 == static_cast<double>(DL::max())
                                                  ? static_cast<double>(DL::max())
                                                  : static_cast<double>(DL::max()) + 1.0);
  // Largest W below hi_excl: converting anything in [lo, hi_in] to D is defined.
  static constexpr W hi_in = hi_excl - hi_excl / static_cast<W>(1ull << (std::numeric_limits<W>::digits - 1)) / W(2);
  static constexpr double report_min = static_cast<double>(DL::min());
  static constexpr double report_max = static_cast<double>(DL::max());

  static bool in_range(W r) { return r >= lo && r < hi_excl; }

  // Saturating conversion, branch-free; NaN gives D::MIN (callers flag NaN).
  static D saturate(W r) {
    W c = r >= lo ? r : lo;
    c = c <= hi_in ? c : hi_in;
    const D v = static_cast<D>(c);
    return r >= hi_excl ? DL::max() : v;
  }

  template <RoundingMode M, OutOfRangeMode O>
  static KernelResult slow(S x, D& out) {
    const W w = static_cast<W>(x);
    if (w != w) return CastError::not_finite(static_cast<double>(w));
    const W r = round_fixed<W, M>(w);
    if (in_range(r)) {
      out = static_cast<D>(r);
    } else if constexpr (O == OutOfRangeMode::Absent) {
      return CastError::out_of_range(static_cast<double>(r), report_min, report_max);
    } else if constexpr (O == OutOfRangeMode::Clamp) {
      out = saturate(r);
    } else {
      if (std::isinf(r)) return CastError::not_finite(static_cast<double>(r));
      out = wrap_integral<D>(static_cast<double>(r));
    }
    return std::nullopt;
  }

  // Branch-free block step; flags every element the exact rule must see.
  template <RoundingMode M, OutOfRangeMode O>
  static D fast(S x, unsigned& bad) {
    const W w = static_cast<W>(x);
    const W r = round_fixed<W, M>(w);
    if constexpr (O == OutOfRangeMode::Absent) {
      bad |= !in_range(r);
      return saturate(r);
    } else if constexpr (O == OutOfRangeMode::Clamp) {
      bad |= (w != w);
      return saturate(r);
    } else {
      // Values of magnitude below 2^63 wrap through int64 exactly.
      constexpr W limit = static_cast<W>(0x1p63);
      const bool small = std::fabs(r) < limit;
      bad |= !small;
      const W c = small ? r : W(0);
      return static_cast<D>(static_cast<std::int64_t>(c));
    }
  }
};

template <class S, class D, RoundingMode M, OutOfRangeMode O>
KernelResult float_to_int_run(const S* src, D* dst, std::size_t n, const std::vector<MapEntry<S, D>>& map) {
  using R = FloatToIntRules<S, D>;
  auto slow = [](S x, D& out) { return R::template slow<M, O>(x, out); };
  if (!map.empty()) return run_mapped(src, dst, n, map, slow);
  return run_blocked(src, dst, n, [](S x, unsigned& bad) { return R::template fast<M, O>(x, bad); }, slow);
}

}  // namespace detail

template <class S, class D>
KernelResult convert_slice_float_to_int(std::span<const S> src, std::span<D> dst,
                                        const CastConfig<S, D>& config);

}  // namespace morvith_plindra

#include "morvith_plindra/simd/generic.hpp"

namespace morvith_plindra {

template <class S, class D>
KernelResult convert_slice_float_to_int(std::span<const S> src, std::span<D> dst,
                                        const CastConfig<S, D>& config) {
  static_assert(is_float_v<S> && is_int_v<D>);
  // Clamp fast paths of the pairs that have one.
  if (config.scalar_map.empty() && config.out_of_range == OutOfRangeMode::Clamp &&
      config.rounding != RoundingMode::NearestAway) {
    if constexpr (std::is_same_v<S, f64> && std::is_same_v<D, std::uint8_t>) {
      const auto r = simd::generic::try_f64_to_u8_clamp(src, dst, config.rounding);
      if (!r.error && r.done) return std::nullopt;
      if (r.error) return r.error;
    } else if constexpr (std::is_same_v<S, f64> && std::is_same_v<D, std::int32_t>) {
      const auto r = simd::generic::try_f64_to_i32_clamp(src, dst, config.rounding);
      if (!r.error && r.done) return std::nullopt;
      if (r.error) return r.error;
    } else if constexpr (std::is_same_v<S, f32> && std::is_same_v<D, std::uint8_t>) {
      const auto r = simd::generic::try_f32_to_u8_clamp(src, dst, config.rounding);
      if (!r.error && r.done) return std::nullopt;
      if (r.error) return r.error;
    }
  }
  const std::size_t n = std::min(src.size(), dst.size());
  if (n == 0) return std::nullopt;
  return detail::with_rounding(config.rounding, [&](auto m) {
    return detail::with_out_of_range(config.out_of_range, [&](auto o) {
      return detail::float_to_int_run<S, D, decltype(m)::value, decltype(o)::value>(src.data(), dst.data(), n,
                                                                                 config.scalar_map);
    });
  });
}

}  // namespace morvith_plindra
