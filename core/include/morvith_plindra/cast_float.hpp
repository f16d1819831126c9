// Rounding to integral values, Euclidean remainder, one-ulp neighbours and the
// rounding-mode correction of a nearest conversion.
#pragma once

#include <bit>
#include <cmath>
#include <limits>

#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/types.hpp"

namespace morvith_plindra {

namespace detail {

// Exact round-half-away-from-zero, branch-free: x - trunc(x) is exact.
template <class T>
inline T round_half_away(T x) {
  const T t = std::trunc(x);
  const T frac = x - t;
  const T step = std::fabs(frac) >= T(0.5) ? std::copysign(T(1), x) : T(0);
  return std::copysign(t + step, x);  // -0.3 gives -0, not +0
}

template <class T, RoundingMode M>
inline T round_fixed(T x) {
  if constexpr (M == RoundingMode::NearestEven) {
    return std::rint(x);
  } else if constexpr (M == RoundingMode::TowardsZero) {
    return std::trunc(x);
  } else if constexpr (M == RoundingMode::TowardsPositive) {
    return std::ceil(x);
  } else if constexpr (M == RoundingMode::TowardsNegative) {
    return std::floor(x);
  } else {
    return round_half_away(x);
  }
}

}  // namespace detail

// Integral rounding and remainder for the three float element types. f16
// computes in f32 (every f16 value and every integral result is exact there).
template <class T>
struct CastFloat {
  static_assert(is_float_v<T>);
  using Work = std::conditional_t<std::is_same_v<T, f16>, f32, T>;

  static T round_with_mode(T x, RoundingMode mode) {
    const Work w = static_cast<Work>(x);
    switch (mode) {
      case RoundingMode::NearestEven: return static_cast<T>(detail::round_fixed<Work, RoundingMode::NearestEven>(w));
      case RoundingMode::TowardsZero: return static_cast<T>(detail::round_fixed<Work, RoundingMode::TowardsZero>(w));
      case RoundingMode::TowardsPositive: return static_cast<T>(detail::round_fixed<Work, RoundingMode::TowardsPositive>(w));
      case RoundingMode::TowardsNegative: return static_cast<T>(detail::round_fixed<Work, RoundingMode::TowardsNegative>(w));
      case RoundingMode::NearestAway: break;
    }
    return static_cast<T>(detail::round_fixed<Work, RoundingMode::NearestAway>(w));
  }

  // fmod(x, m), made non-negative by adding |m|.
  static T rem_euclid(T x, T m) {
    Work r = std::fmod(static_cast<Work>(x), static_cast<Work>(m));
    if (r < 0) r = r + std::fabs(static_cast<Work>(m));
    return static_cast<T>(r);
  }
};

// IEEE nextUp / nextDown on the bit pattern.
template <class T>
inline T next_up(T v) {
  using B = bits_t<T>;
  constexpr B sign = B(B(1) << (sizeof(T) * 8 - 1));
  if (v != v || v == static_cast<T>(std::numeric_limits<float>::infinity())) return v;
  if (v == T(0)) return std::bit_cast<T>(B(1));
  const B b = std::bit_cast<B>(v);
  return std::bit_cast<T>((b & sign) ? B(b - 1) : B(b + 1));
}

template <class T>
inline T next_down(T v) {
  using B = bits_t<T>;
  constexpr B sign = B(B(1) << (sizeof(T) * 8 - 1));
  if (v != v || v == static_cast<T>(-std::numeric_limits<float>::infinity())) return v;
  if (v == T(0)) return std::bit_cast<T>(B(sign | 1));
  const B b = std::bit_cast<B>(v);
  return std::bit_cast<T>((b & sign) ? B(b + 1) : B(b - 1));
}

// Exact three-way comparison of a double with a reference value, which is
// either a double or an exact 128-bit integer (for 64-bit integer sources).
inline int compare_exact(double a, double b) { return (a > b) - (a < b); }

inline int compare_exact(double a, __int128 b) {
  if (std::isinf(a)) return a > 0 ? 1 : -1;
  if (a >= 0x1p126) return 1;
  if (a <= -0x1p126) return -1;
  const double fl = std::floor(a);
  const auto ai = static_cast<__int128>(fl);
  if (ai != b) return ai < b ? -1 : 1;
  return fl == a ? 0 : 1;
}

// Corrects r, the nearest-even conversion of a value e, to `mode`: at most
// one step to a neighbour. `negative` is the sign of the source (it decides
// the direction towards zero). e is exact (a double or a 128-bit integer).
template <class D, class Ref>
inline D adjust_to_mode(D r, Ref e, bool negative, RoundingMode mode) {
  const double R = static_cast<double>(r);
  const int c = compare_exact(R, e);  // sign of R - e
  if (c == 0) return r;
  switch (mode) {
    case RoundingMode::NearestEven:
      return r;
    case RoundingMode::TowardsZero:
      if (negative) return c < 0 ? next_up(r) : r;
      return c > 0 ? next_down(r) : r;
    case RoundingMode::TowardsPositive:
      return c < 0 ? next_up(r) : r;
    case RoundingMode::TowardsNegative:
      return c > 0 ? next_down(r) : r;
    case RoundingMode::NearestAway: {
      const D o = c > 0 ? next_down(r) : next_up(r);
      const double m = (R + static_cast<double>(o)) * 0.5;
      if (compare_exact(m, e) != 0) return r;
      return std::fabs(static_cast<double>(o)) > std::fabs(R) ? o : r;
    }
  }
  return r;
}

}  // namespace morvith_plindra
