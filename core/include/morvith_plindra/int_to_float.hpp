// Integer -> float conversion: nearest-even, then corrected to the rounding mode.
#pragma once

#include <span>

#include "morvith_plindra/blocked.hpp"
#include "morvith_plindra/cast_float.hpp"

namespace morvith_plindra {

namespace detail {

template <class S, class D>
struct IntToFloatRules {
  // f16 targets go through f32: integers up to 2^24 are exact there, and
  // anything larger overflows f16 whatever the first rounding did.
  static D nearest(S x) {
    if constexpr (std::is_same_v<D, f16>) {
      return static_cast<f16>(static_cast<f32>(x));
    } else {
      return static_cast<D>(x);
    }
  }

  // The exact source value: a double holds every integer of 32 bits or less;
  // 64-bit sources compare as 128-bit integers.
  static auto reference(S x) {
    if constexpr (sizeof(S) == 8) {
      return static_cast<__int128>(x);
    } else {
      return static_cast<double>(x);
    }
  }

  template <RoundingMode M>
  static D convert(S x) {
    const D r = nearest(x);
    if constexpr (M == RoundingMode::NearestEven) {
      return r;
    } else {
      return adjust_to_mode(r, reference(x), x < 0, M);
    }
  }
};

}  // namespace detail

template <class S, class D>
KernelResult convert_slice_int_to_float(std::span<const S> src, std::span<D> dst,
                                        const CastConfig<S, D>& config) {
  static_assert(is_int_v<S> && is_float_v<D>);
  const std::size_t n = std::min(src.size(), dst.size());
  if (n == 0) return std::nullopt;
  if constexpr (pair_is_exact<S, D>()) {
    detail::convert_exact(src, dst, config.scalar_map);
  } else {
    using R = detail::IntToFloatRules<S, D>;
    detail::with_rounding(config.rounding, [&](auto m) {
      constexpr RoundingMode M = decltype(m)::value;
      if (config.scalar_map.empty()) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = R::template convert<M>(src[i]);
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          const auto* entry = find_map_entry(config.scalar_map, src[i]);
          dst[i] = entry ? entry->target : R::template convert<M>(src[i]);
        }
      }
    });
  }
  return std::nullopt;
}

}  // namespace morvith_plindra
