// The eleven element types: canonical dtype names, NumPy type numbers and
// the native descriptors the arrays are checked against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "morvith_plindra/types.hpp"
#include "numpy_api.hpp"

namespace plindra {

using morvith_plindra::f16;
using morvith_plindra::f32;
using morvith_plindra::f64;

template <class... T>
struct TypeList {};

// Index order of every table in the module: integers first, then floats.
using IntTypes = TypeList<std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
                          std::uint16_t, std::uint32_t, std::uint64_t>;
using FloatTypes = TypeList<f16, f32, f64>;
inline constexpr std::size_t kIntCount = 8;
inline constexpr std::size_t kFloatCount = 3;
inline constexpr std::size_t kTypeCount = kIntCount + kFloatCount;

inline constexpr std::array<std::string_view, kTypeCount> kCanonicalNames = {
    "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32", "float64"};

// Position of `name` in kCanonicalNames (exact match), or -1.
constexpr int canonical_index(std::string_view name) noexcept {
  auto at = [&](int i) { return name == kCanonicalNames[static_cast<std::size_t>(i)] ? i : -1; };
  switch (name.size()) {
    case 4: return at(0);
    case 5:
      for (int i : {1, 2, 3, 4}) {
        if (at(i) >= 0) return i;
      }
      return -1;
    case 6:
      for (int i : {5, 6, 7}) {
        if (at(i) >= 0) return i;
      }
      return -1;
    case 7:
      for (int i : {8, 9, 10}) {
        if (at(i) >= 0) return i;
      }
      return -1;
    default: return -1;
  }
}

template <class T>
struct ElementInfo;
#define PLINDRA_ELEMENT(T, INDEX, NPY)                  \
  template <>                                          \
  struct ElementInfo<T> {                              \
    static constexpr std::size_t index = INDEX;        \
    static constexpr int type_num = NPY;               \
    static constexpr const char* name = kCanonicalNames[INDEX].data(); \
  };
PLINDRA_ELEMENT(std::int8_t, 0, NPY_BYTE)
PLINDRA_ELEMENT(std::int16_t, 1, NPY_SHORT)
PLINDRA_ELEMENT(std::int32_t, 2, NPY_INT)
PLINDRA_ELEMENT(std::int64_t, 3, NPY_LONGLONG)
PLINDRA_ELEMENT(std::uint8_t, 4, NPY_UBYTE)
PLINDRA_ELEMENT(std::uint16_t, 5, NPY_USHORT)
PLINDRA_ELEMENT(std::uint32_t, 6, NPY_UINT)
PLINDRA_ELEMENT(std::uint64_t, 7, NPY_ULONGLONG)
PLINDRA_ELEMENT(f16, 8, NPY_HALF)
PLINDRA_ELEMENT(f32, 9, NPY_FLOAT)
PLINDRA_ELEMENT(f64, 10, NPY_DOUBLE)
#undef PLINDRA_ELEMENT

static_assert(sizeof(int) == 4 && sizeof(long long) == 8, "unsupported C integer sizes");

// Native descriptor of T (borrowed; cached for the life of the process).
template <class T>
PyArray_Descr* native_descr() noexcept {
  static py::PinnedRef cache;
  if (!cache) {
    cache.set_once(py::Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(ElementInfo<T>::type_num))));
  }
  return reinterpret_cast<PyArray_Descr*>(cache.get());
}

// True when `descr` describes T in native byte order.
template <class T>
bool descr_is(PyArray_Descr* descr) noexcept {
  PyArray_Descr* native = native_descr<T>();
  return descr == native || (native != nullptr && PyArray_EquivTypes(descr, native));
}

}  // namespace plindra
