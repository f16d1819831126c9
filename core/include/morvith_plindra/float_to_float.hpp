// Float -> float conversion: nearest-even (one rounding), corrected to the
// rounding mode; a finite value that becomes infinite is an error unless Clamp.
#pragma once

#include <cmath>
#include <limits>
#include <span>

#include "morvith_plindra/blocked.hpp"
#include "morvith_plindra/cast_float.hpp"

namespace morvith_plindra {

namespace detail {

template <class S, class D>
struct FloatToFloatRules {
  static constexpr double max_finite = max_finite_v<D>;

  // Correctly rounded, ties to even, from the source value itself (f64 -> f16
  // included: one rounding, not two).
  template <RoundingMode M>
  static D convert(S x) {
    const D r = static_cast<D>(x);
    if constexpr (M == RoundingMode::NearestEven) {
      return r;
    } else {
      if (x != x) return r;
      return adjust_to_mode(r, static_cast<double>(x), x < 0, M);
    }
  }

  static bool overflowed(S x, D r) {
    return std::fabs(static_cast<double>(r)) > max_finite && std::fabs(static_cast<double>(x)) <= std::numeric_limits<double>::max();
  }

  template <RoundingMode M, OutOfRangeMode O>
  static KernelResult slow(S x, D& out) {
    const D r = convert<M>(x);
    if constexpr (O != OutOfRangeMode::Clamp) {
      if (overflowed(x, r)) return CastError::out_of_range(static_cast<double>(x), -max_finite, max_finite);
    }
    out = r;
    return std::nullopt;
  }

  template <RoundingMode M, OutOfRangeMode O>
  static D fast(S x, unsigned& bad) {
    const D r = convert<M>(x);
    if constexpr (O != OutOfRangeMode::Clamp) bad |= overflowed(x, r);
    return r;
  }
};

}  // namespace detail

template <class S, class D>
KernelResult convert_slice_float_to_float(std::span<const S> src, std::span<D> dst,
                                          const CastConfig<S, D>& config) {
  static_assert(is_float_v<S> && is_float_v<D>);
  const std::size_t n = std::min(src.size(), dst.size());
  if (n == 0) return std::nullopt;
  if constexpr (pair_is_exact<S, D>()) {
    detail::convert_exact(src, dst, config.scalar_map);
    return std::nullopt;
  } else {
    using R = detail::FloatToFloatRules<S, D>;
    return detail::with_rounding(config.rounding, [&](auto m) {
      return detail::with_out_of_range(config.out_of_range, [&](auto o) -> KernelResult {
        constexpr RoundingMode M = decltype(m)::value;
        constexpr OutOfRangeMode O = decltype(o)::value;
        auto slow = [](S x, D& out) { return R::template slow<M, O>(x, out); };
        if (!config.scalar_map.empty()) {
          return detail::run_mapped(src.data(), dst.data(), n, config.scalar_map, slow);
        }
        if constexpr (O == OutOfRangeMode::Clamp) {
          for (std::size_t i = 0; i < n; ++i) dst[i] = R::template convert<M>(src[i]);
          return std::nullopt;
        } else {
          return detail::run_blocked(src.data(), dst.data(), n,
                                     [](S x, unsigned& bad) { return R::template fast<M, O>(x, bad); }, slow);
        }
      });
    });
  }
}

}  // namespace morvith_plindra
