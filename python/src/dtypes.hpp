// The element types as NumPy holds them: each type's NumPy type number (every
// other fact, the names and the order of every table come from the core's
// registry, morvith_plindra/types.hpp), the lookups by dtype name and type
// number, and the native descriptors arrays are checked against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "morvith_plindra/types.hpp"
#include "numpy_api.hpp"

namespace plindra {

using morvith_plindra::f16;
using morvith_plindra::f32;
using morvith_plindra::f64;
using morvith_plindra::kElementCount;
using morvith_plindra::TypeList;

// NumPy's type number of each element type.
template <class T>
struct NumpyType;
template <>
struct NumpyType<std::int8_t> {
  static constexpr int type_num = NPY_BYTE;
};
template <>
struct NumpyType<std::int16_t> {
  static constexpr int type_num = NPY_SHORT;
};
template <>
struct NumpyType<std::int32_t> {
  static constexpr int type_num = NPY_INT;
};
template <>
struct NumpyType<std::int64_t> {
  static constexpr int type_num = NPY_LONGLONG;
};
template <>
struct NumpyType<std::uint8_t> {
  static constexpr int type_num = NPY_UBYTE;
};
template <>
struct NumpyType<std::uint16_t> {
  static constexpr int type_num = NPY_USHORT;
};
template <>
struct NumpyType<std::uint32_t> {
  static constexpr int type_num = NPY_UINT;
};
template <>
struct NumpyType<std::uint64_t> {
  static constexpr int type_num = NPY_ULONGLONG;
};
template <>
struct NumpyType<f16> {
  static constexpr int type_num = NPY_HALF;
};
template <>
struct NumpyType<f32> {
  static constexpr int type_num = NPY_FLOAT;
};
template <>
struct NumpyType<f64> {
  static constexpr int type_num = NPY_DOUBLE;
};

static_assert(sizeof(int) == 4 && sizeof(long long) == 8, "unsupported C integer sizes");

// Canonical dtype names by element index.
inline constexpr const auto& kCanonicalNames = morvith_plindra::kElementNames;

// Element index of the canonical name `name` (exact match), or -1.
constexpr int canonical_index(std::string_view name) noexcept { return morvith_plindra::element_index_of(name); }

namespace dtype_detail {

// A type number, and the signedness and width of an integer type (width 0: not one).
struct NumpyFormat {
  int type_num;
  bool is_signed;
  int int_bits;
};

inline constexpr auto kElementFormats = []<class... T>(TypeList<T...>) {
  return std::array<NumpyFormat, sizeof...(T)>{
      NumpyFormat{NumpyType<T>::type_num, morvith_plindra::ElementTraits<T>::is_signed,
                  morvith_plindra::is_int_v<T> ? morvith_plindra::ElementTraits<T>::bits : 0}...};
}(morvith_plindra::ElementTypes{});

// NumPy's C integer type numbers with the signedness and width of their C
// types (NPY_LONG is 32 or 64 bits by platform).
template <class C>
constexpr NumpyFormat c_integer(int type_num) {
  return {type_num, std::is_signed_v<C>, static_cast<int>(sizeof(C)) * 8};
}
inline constexpr NumpyFormat kCIntegers[] = {c_integer<signed char>(NPY_BYTE),
                                             c_integer<short>(NPY_SHORT),
                                             c_integer<int>(NPY_INT),
                                             c_integer<long>(NPY_LONG),
                                             c_integer<long long>(NPY_LONGLONG),
                                             c_integer<unsigned char>(NPY_UBYTE),
                                             c_integer<unsigned short>(NPY_USHORT),
                                             c_integer<unsigned>(NPY_UINT),
                                             c_integer<unsigned long>(NPY_ULONG),
                                             c_integer<unsigned long long>(NPY_ULONGLONG)};

}  // namespace dtype_detail

// Built-in type numbers the lookup below covers are below this bound.
inline constexpr int kBuiltinTypeNums = [] {
  int bound = 0;
  for (const auto& f : dtype_detail::kElementFormats) bound = f.type_num >= bound ? f.type_num + 1 : bound;
  for (const auto& c : dtype_detail::kCIntegers) bound = c.type_num >= bound ? c.type_num + 1 : bound;
  return bound;
}();

// Element index of a built-in type number: the element type with that number,
// or for a C integer type the integer element type of its signedness and
// width; -1 otherwise.
constexpr int builtin_type_index(int type_num) noexcept {
  for (std::size_t i = 0; i < kElementCount; ++i) {
    if (dtype_detail::kElementFormats[i].type_num == type_num) return static_cast<int>(i);
  }
  for (const auto& c : dtype_detail::kCIntegers) {
    if (c.type_num != type_num) continue;
    for (std::size_t i = 0; i < kElementCount; ++i) {
      const auto& e = dtype_detail::kElementFormats[i];
      if (e.int_bits == c.int_bits && e.is_signed == c.is_signed) return static_cast<int>(i);
    }
  }
  return -1;
}

// The native descriptor of a built-in type number (borrowed; cached for the
// life of the process).
template <int TypeNum>
PyArray_Descr* cached_descr() noexcept {
  static py::PinnedRef cache;
  if (!cache) cache.set_once(py::Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(TypeNum))));
  return reinterpret_cast<PyArray_Descr*>(cache.get());
}

// Native descriptor of T.
template <class T>
PyArray_Descr* native_descr() noexcept {
  return cached_descr<NumpyType<T>::type_num>();
}

// The other C integer type number of T's width and signedness (NPY_LONG
// beside NPY_LONGLONG for 64 bits on LP64), or -1: NumPy's default 64-bit
// integer arrays carry that one.
template <class T>
constexpr int alias_type_num() noexcept {
  if constexpr (morvith_plindra::is_int_v<T>) {
    for (const auto& c : dtype_detail::kCIntegers) {
      if (c.type_num != NumpyType<T>::type_num && c.int_bits == morvith_plindra::ElementTraits<T>::bits &&
          c.is_signed == morvith_plindra::ElementTraits<T>::is_signed)
        return c.type_num;
    }
  }
  return -1;
}

// Native descriptor of alias_type_num<T>(), or null.
template <class T>
PyArray_Descr* native_alias_descr() noexcept {
  if constexpr (alias_type_num<T>() < 0) {
    return nullptr;
  } else {
    return cached_descr<alias_type_num<T>()>();
  }
}

// True when `descr` describes T in native byte order. The built-in
// descriptors are matched by address first: the full equivalence test costs
// about as much as converting a small array.
template <class T>
bool descr_is(PyArray_Descr* descr) noexcept {
  PyArray_Descr* native = native_descr<T>();
  if (descr == native) return true;
  PyArray_Descr* alias = native_alias_descr<T>();
  if (alias != nullptr && descr == alias) return true;
  return native != nullptr && PyArray_EquivTypes(descr, native);
}

}  // namespace plindra
