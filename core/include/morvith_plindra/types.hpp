// Element types and compile-time facts about them.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

namespace morvith_plindra {

using f16 = _Float16;  // IEEE 754 binary16
using f32 = float;
using f64 = double;

static_assert(sizeof(f16) == 2 && sizeof(f32) == 4 && sizeof(f64) == 8);
static_assert(std::numeric_limits<f32>::is_iec559 && std::numeric_limits<f64>::is_iec559);

template <class T>
inline constexpr bool is_float_v =
    std::is_same_v<T, f16> || std::is_same_v<T, f32> || std::is_same_v<T, f64>;

template <class T>
inline constexpr bool is_int_v =
    std::is_same_v<T, std::int8_t> || std::is_same_v<T, std::uint8_t> ||
    std::is_same_v<T, std::int16_t> || std::is_same_v<T, std::uint16_t> ||
    std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::uint32_t> ||
    std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>;

// Unsigned integer of the same width, for bit manipulation.
template <class T>
using bits_t = std::conditional_t<
    sizeof(T) == 1, std::uint8_t,
    std::conditional_t<sizeof(T) == 2, std::uint16_t,
                       std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

// Largest finite value of a float element type (the standard library's
// numeric_limits does not cover _Float16 everywhere).
template <class T>
inline constexpr double max_finite_v = std::is_same_v<T, f16> ? 65504.0 : static_cast<double>(std::numeric_limits<T>::max());

// The four conversion families.
enum class Family : std::uint8_t { IntToInt, FloatToInt, IntToFloat, FloatToFloat };

template <class S, class D>
inline constexpr Family family_of = is_int_v<S> ? (is_int_v<D> ? Family::IntToInt : Family::IntToFloat)
                                                : (is_int_v<D> ? Family::FloatToInt : Family::FloatToFloat);

// Integer pairs whose every source value fits the target (identity and lossless widening).
template <class S, class D>
constexpr bool int_pair_is_lossless() {
  if constexpr (is_int_v<S> && is_int_v<D>) {
    using SL = std::numeric_limits<S>;
    using DL = std::numeric_limits<D>;
    // Compare as signed 128-bit so every bound is exact.
    return static_cast<__int128>(SL::min()) >= static_cast<__int128>(DL::min()) &&
           static_cast<__int128>(SL::max()) <= static_cast<__int128>(DL::max());
  } else {
    return false;
  }
}

// Pairs whose conversion is exact for every value, so the rounding and range
// modes cannot matter: lossless integer pairs, integers that fit the float's
// significand, float identities and float widenings.
template <class S, class D>
constexpr bool pair_is_exact() {
  if constexpr (is_int_v<S> && is_int_v<D>) {
    return int_pair_is_lossless<S, D>();
  } else if constexpr (is_int_v<S> && is_float_v<D>) {
    constexpr int digits = std::is_same_v<D, f16> ? 11 : std::numeric_limits<D>::digits;
    return std::numeric_limits<S>::digits <= digits;
  } else if constexpr (is_float_v<S> && is_float_v<D>) {
    return sizeof(D) >= sizeof(S);
  } else {
    return false;
  }
}

}  // namespace morvith_plindra
