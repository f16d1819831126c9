// The element types and compile-time facts about them. ElementTraits<T> is
// the one description of each type and ElementTypes the one list, in the
// order of every table; every other list, index, name lookup and per-pair
// instantiation (in the library, the module and the tests) is derived here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace morvith_plindra {

using f16 = _Float16;  // IEEE 754 binary16
using f32 = float;
using f64 = double;

enum class Kind : std::uint8_t { Int, Float };

template <class... T>
struct TypeList {
  static constexpr std::size_t size = sizeof...(T);
};

namespace registry {

template <int Bits>
using uint_t = std::conditional_t<
    Bits == 8, std::uint8_t,
    std::conditional_t<Bits == 16, std::uint16_t, std::conditional_t<Bits == 32, std::uint32_t, std::uint64_t>>>;

template <class T>
struct IntElement {
  static constexpr Kind kind = Kind::Int;
  static constexpr bool is_signed = std::is_signed_v<T>;
  static constexpr int bits = static_cast<int>(sizeof(T)) * 8;
  using storage = T;
};

// An IEEE 754 binary format of `Bits` bits with `SignificandBits` significand
// bits (the implicit one included).
template <int Bits, int SignificandBits, class Storage, class Compute>
struct FloatElement {
  static constexpr Kind kind = Kind::Float;
  static constexpr bool is_signed = true;
  static constexpr int bits = Bits;
  static constexpr int significand_bits = SignificandBits;
  static constexpr int exponent_bits = Bits - SignificandBits;
  using storage = Storage;  // how the kernels hold an element
  using compute = Compute;  // what arithmetic on an element runs in

  static constexpr double max_finite = [] {
    double m = 1.0;  // (2 - 2^(1 - p)) * 2^emax, exact in double
    for (int i = 1; i < SignificandBits; ++i) m /= 2.0;
    m = 2.0 - m;
    for (int i = 0; i < (1 << (exponent_bits - 1)) - 1; ++i) m *= 2.0;
    return m;
  }();
  // +infinity: every exponent bit set, sign and fraction clear.
  static constexpr uint_t<Bits> inf_bits =
      static_cast<uint_t<Bits>>(((uint_t<Bits>(1) << exponent_bits) - 1) << (SignificandBits - 1));
};

}  // namespace registry

// Facts about one element type:
//   name                canonical dtype name
//   kind, is_signed, bits
//   storage             the type the kernels hold an element in
// and for floats also:
//   compute             the type arithmetic on an element runs in
//   significand_bits, exponent_bits, max_finite
//   inf_bits            the bit pattern of +infinity
template <class T>
struct ElementTraits;

template <>
struct ElementTraits<std::int8_t> : registry::IntElement<std::int8_t> {
  static constexpr std::string_view name = "int8";
};
template <>
struct ElementTraits<std::int16_t> : registry::IntElement<std::int16_t> {
  static constexpr std::string_view name = "int16";
};
template <>
struct ElementTraits<std::int32_t> : registry::IntElement<std::int32_t> {
  static constexpr std::string_view name = "int32";
};
template <>
struct ElementTraits<std::int64_t> : registry::IntElement<std::int64_t> {
  static constexpr std::string_view name = "int64";
};
template <>
struct ElementTraits<std::uint8_t> : registry::IntElement<std::uint8_t> {
  static constexpr std::string_view name = "uint8";
};
template <>
struct ElementTraits<std::uint16_t> : registry::IntElement<std::uint16_t> {
  static constexpr std::string_view name = "uint16";
};
template <>
struct ElementTraits<std::uint32_t> : registry::IntElement<std::uint32_t> {
  static constexpr std::string_view name = "uint32";
};
template <>
struct ElementTraits<std::uint64_t> : registry::IntElement<std::uint64_t> {
  static constexpr std::string_view name = "uint64";
};
// float16 travels through the kernels as its bit pattern and computes in float32.
template <>
struct ElementTraits<f16> : registry::FloatElement<16, 11, std::uint16_t, f32> {
  static constexpr std::string_view name = "float16";
};
template <>
struct ElementTraits<f32> : registry::FloatElement<32, 24, f32, f32> {
  static constexpr std::string_view name = "float32";
};
template <>
struct ElementTraits<f64> : registry::FloatElement<64, 53, f64, f64> {
  static constexpr std::string_view name = "float64";
};

// Every element type, in the order of every table and index.
using ElementTypes = TypeList<std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t, std::uint16_t,
                              std::uint32_t, std::uint64_t, f16, f32, f64>;

inline constexpr std::size_t kElementCount = ElementTypes::size;
inline constexpr std::size_t kPairCount = kElementCount * kElementCount;

namespace registry {

template <std::size_t I, class List>
struct At;
template <std::size_t I, class T, class... Rest>
struct At<I, TypeList<T, Rest...>> : At<I - 1, TypeList<Rest...>> {};
template <class T, class... Rest>
struct At<0, TypeList<T, Rest...>> {
  using type = T;
};

template <class T, class... U>
constexpr std::size_t index_in(TypeList<U...>) {
  constexpr bool hits[] = {std::is_same_v<T, U>..., false};
  std::size_t i = 0;
  while (i < sizeof...(U) && !hits[i]) ++i;
  return i;  // sizeof...(U) when absent
}

template <class... A, class... B>
constexpr TypeList<A..., B...> concat(TypeList<A...>, TypeList<B...>) {
  return {};
}

template <Kind K>
constexpr TypeList<> of_kind(TypeList<>) {
  return {};
}
template <Kind K, class T, class... Rest>
constexpr auto of_kind(TypeList<T, Rest...>) {
  if constexpr (ElementTraits<T>::kind == K) {
    return concat(TypeList<T>{}, of_kind<K>(TypeList<Rest...>{}));
  } else {
    return of_kind<K>(TypeList<Rest...>{});
  }
}

}  // namespace registry

template <std::size_t I>
using element_t = typename registry::At<I, ElementTypes>::type;

template <class T>
inline constexpr bool is_element_v = registry::index_in<T>(ElementTypes{}) < kElementCount;

// Position of T in ElementTypes.
template <class T>
  requires is_element_v<T>
inline constexpr std::size_t element_index = registry::index_in<T>(ElementTypes{});

template <class T>
inline constexpr bool is_float_v = [] {
  if constexpr (is_element_v<T>) {
    return ElementTraits<T>::kind == Kind::Float;
  } else {
    return false;
  }
}();

template <class T>
inline constexpr bool is_int_v = [] {
  if constexpr (is_element_v<T>) {
    return ElementTraits<T>::kind == Kind::Int;
  } else {
    return false;
  }
}();

// The element types of one kind, in registry order.
using IntTypes = decltype(registry::of_kind<Kind::Int>(ElementTypes{}));
using FloatTypes = decltype(registry::of_kind<Kind::Float>(ElementTypes{}));

// f(TypeTag<T>{}) for every T of `List`, in order.
template <class T>
struct TypeTag {
  using type = T;
};
template <class... T, class F>
constexpr void for_each_type(TypeList<T...>, F&& f) {
  (f(TypeTag<T>{}), ...);
}

// Facts by element index.
inline constexpr auto kElementNames = []<class... T>(TypeList<T...>) {
  return std::array<std::string_view, sizeof...(T)>{ElementTraits<T>::name...};
}(ElementTypes{});
inline constexpr auto kElementKinds = []<class... T>(TypeList<T...>) {
  return std::array<Kind, sizeof...(T)>{ElementTraits<T>::kind...};
}(ElementTypes{});

// Index of the element type whose canonical name is `name` (exact match), or -1.
constexpr int element_index_of(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kElementCount; ++i) {
    if (kElementNames[i] == name) return static_cast<int>(i);
  }
  return -1;
}

// Unsigned integer of the same width, for bit manipulation.
template <class T>
using bits_t = registry::uint_t<static_cast<int>(sizeof(T)) * 8>;

// How the kernels hold an element of T.
template <class T>
using element_storage_t = typename ElementTraits<T>::storage;

// Bit pattern of a float element type's +infinity, chosen by type (two
// formats of one width have different ones).
template <class T>
  requires is_float_v<T>
inline constexpr bits_t<T> inf_bits_v = ElementTraits<T>::inf_bits;

// Largest finite value of an element type (the standard library's
// numeric_limits does not cover _Float16 everywhere).
template <class T>
inline constexpr double max_finite_v = [] {
  if constexpr (is_float_v<T>) {
    return ElementTraits<T>::max_finite;
  } else {
    return static_cast<double>(std::numeric_limits<T>::max());
  }
}();

static_assert(sizeof(f16) == 2 && sizeof(f32) == 4 && sizeof(f64) == 8);
static_assert(std::numeric_limits<f32>::is_iec559 && std::numeric_limits<f64>::is_iec559);
static_assert(max_finite_v<f32> == std::numeric_limits<f32>::max() &&
              max_finite_v<f64> == std::numeric_limits<f64>::max());
static_assert(ElementTraits<f32>::significand_bits == std::numeric_limits<f32>::digits &&
              ElementTraits<f64>::significand_bits == std::numeric_limits<f64>::digits);

// Pairs of element types, indexed source-major: pair_index<S, D>, or from
// element indices pair_index_of(s, d).
constexpr std::size_t pair_index_of(std::size_t source, std::size_t target) noexcept {
  return source * kElementCount + target;
}
template <class S, class D>
inline constexpr std::size_t pair_index = pair_index_of(element_index<S>, element_index<D>);
template <std::size_t P>
using pair_source_t = element_t<P / kElementCount>;
template <std::size_t P>
using pair_target_t = element_t<P % kElementCount>;

// The array of f.template operator()<S, D>() over all pairs, indexed by pair_index<S, D>.
template <class F>
constexpr auto make_pair_table(F f) {
  return [&]<std::size_t... P>(std::index_sequence<P...>) {
    return std::array{f.template operator()<pair_source_t<P>, pair_target_t<P>>()...};
  }(std::make_index_sequence<kPairCount>{});
}

// The four conversion families.
enum class Family : std::uint8_t { IntToInt, FloatToInt, IntToFloat, FloatToFloat };

template <class S, class D>
inline constexpr Family family_of = is_int_v<S> ? (is_int_v<D> ? Family::IntToInt : Family::IntToFloat)
                                                : (is_int_v<D> ? Family::FloatToInt : Family::FloatToFloat);

// The family of each pair, by pair index.
inline constexpr auto kPairFamilies = make_pair_table([]<class S, class D>() { return family_of<S, D>; });

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
// significand, float identities and float widenings (a format whose
// significand and exponent both reach at least as far).
template <class S, class D>
constexpr bool pair_is_exact() {
  if constexpr (is_int_v<S> && is_int_v<D>) {
    return int_pair_is_lossless<S, D>();
  } else if constexpr (is_int_v<S> && is_float_v<D>) {
    return std::numeric_limits<S>::digits <= ElementTraits<D>::significand_bits;
  } else if constexpr (is_float_v<S> && is_float_v<D>) {
    return ElementTraits<D>::significand_bits >= ElementTraits<S>::significand_bits &&
           ElementTraits<D>::exponent_bits >= ElementTraits<S>::exponent_bits;
  } else {
    return false;
  }
}

}  // namespace morvith_plindra
