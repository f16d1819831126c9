// Integer -> integer conversion.
#pragma once

#include <limits>
#include <span>
#include <utility>

#include "morvith_plindra/blocked.hpp"

namespace morvith_plindra {

namespace detail {

template <class S, class D>
struct IntToIntRules {
  using DL = std::numeric_limits<D>;
  using SL = std::numeric_limits<S>;

  static bool in_range(S x) { return std::in_range<D>(x); }

  // The part of D's range that S can hold, as the error reports it.
  static constexpr double report_min =
      std::cmp_greater(SL::min(), DL::min()) ? static_cast<double>(SL::min()) : static_cast<double>(DL::min());
  static constexpr double report_max =
      std::cmp_less(SL::max(), DL::max()) ? static_cast<double>(SL::max()) : static_cast<double>(DL::max());

  static D clamp(S x) {
    if (std::cmp_less(x, DL::min())) return DL::min();
    if (std::cmp_greater(x, DL::max())) return DL::max();
    return static_cast<D>(x);
  }

  template <OutOfRangeMode O>
  static KernelResult slow(S x, D& out) {
    if (in_range(x)) {
      out = static_cast<D>(x);
    } else if constexpr (O == OutOfRangeMode::Absent) {
      return CastError::out_of_range(static_cast<double>(x), report_min, report_max);
    } else if constexpr (O == OutOfRangeMode::Clamp) {
      out = clamp(x);
    } else {
      out = static_cast<D>(x);  // modular: the low bits, read as D
    }
    return std::nullopt;
  }
};

}  // namespace detail

template <class S, class D>
KernelResult convert_slice_int_to_int(std::span<const S> src, std::span<D> dst,
                                      const CastConfig<S, D>& config) {
  static_assert(is_int_v<S> && is_int_v<D>);
  const std::size_t n = std::min(src.size(), dst.size());
  if (n == 0) return std::nullopt;
  if constexpr (int_pair_is_lossless<S, D>()) {
    detail::convert_exact(src, dst, config.scalar_map);
    return std::nullopt;
  } else {
    using R = detail::IntToIntRules<S, D>;
    return detail::with_out_of_range(config.out_of_range, [&](auto o) -> KernelResult {
      constexpr OutOfRangeMode O = decltype(o)::value;
      auto slow = [](S x, D& out) { return R::template slow<O>(x, out); };
      if (!config.scalar_map.empty()) {
        return detail::run_mapped(src.data(), dst.data(), n, config.scalar_map, slow);
      }
      if constexpr (O == OutOfRangeMode::Absent) {
        return detail::run_blocked(src.data(), dst.data(), n,
                                   [](S x, unsigned& bad) {
                                     bad |= !R::in_range(x);
                                     return static_cast<D>(x);
                                   },
                                   slow);
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          if constexpr (O == OutOfRangeMode::Clamp) {
            dst[i] = R::clamp(src[i]);
          } else {
            dst[i] = static_cast<D>(src[i]);
          }
        }
        return std::nullopt;
      }
    });
  }
}

}  // namespace morvith_plindra
