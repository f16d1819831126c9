// Parsing of the scalar_map_entries argument into typed map entries.
//
// The walk over the argument (mapping or iterable of pairs), the error
// messages and the per-element-type value readers are type-independent and
// live in scalar_map.cpp. Each (S, D) instance only supplies the two readers
// of its element types and the code that stores an entry in its vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "morvith_plindra/config.hpp"
#include "pyref.hpp"

namespace plindra {

namespace map_detail {

// Upper bound on the number of entries of one scalar map. The kernels scan
// the map linearly for every element, so a map anywhere near this size is
// already unusable; the bound turns an endless iterator (or a mapping that
// keeps producing items) into a MemoryError instead of exhausting the
// process's memory.
inline constexpr std::size_t kMaxEntries = std::size_t{1} << 24;

// Reads one Python value as an element of a fixed type and stores it, by its
// bytes, at `out`. Returns false when the value is refused; an exception may
// then be pending, which the caller replaces or passes on.
using ValueReader = bool (*)(PyObject* value, void* out);

bool read_int8(PyObject* value, void* out);
bool read_uint8(PyObject* value, void* out);
bool read_int16(PyObject* value, void* out);
bool read_uint16(PyObject* value, void* out);
bool read_int32(PyObject* value, void* out);
bool read_uint32(PyObject* value, void* out);
bool read_int64(PyObject* value, void* out);
bool read_uint64(PyObject* value, void* out);
bool read_float16(PyObject* value, void* out);
bool read_float32(PyObject* value, void* out);
bool read_float64(PyObject* value, void* out);

template <class T>
inline constexpr bool unsupported_element_v = false;

template <class T>
constexpr ValueReader reader_for() {
  namespace mp = morvith_plindra;
  if constexpr (std::is_same_v<T, std::int8_t>) return &read_int8;
  else if constexpr (std::is_same_v<T, std::uint8_t>) return &read_uint8;
  else if constexpr (std::is_same_v<T, std::int16_t>) return &read_int16;
  else if constexpr (std::is_same_v<T, std::uint16_t>) return &read_uint16;
  else if constexpr (std::is_same_v<T, std::int32_t>) return &read_int32;
  else if constexpr (std::is_same_v<T, std::uint32_t>) return &read_uint32;
  else if constexpr (std::is_same_v<T, std::int64_t>) return &read_int64;
  else if constexpr (std::is_same_v<T, std::uint64_t>) return &read_uint64;
  else if constexpr (std::is_same_v<T, mp::f16>) return &read_float16;
  else if constexpr (std::is_same_v<T, mp::f32>) return &read_float32;
  else if constexpr (std::is_same_v<T, mp::f64>) return &read_float64;
  else static_assert(unsupported_element_v<T>, "not an element type");
}

// Type-erased access to the vector being filled. `reserve` and `append`
// return false when memory cannot be had; they never throw.
struct EntrySink {
  void* entries;
  bool (*reserve)(void* entries, std::size_t count) noexcept;
  bool (*append)(void* entries, const void* source, const void* target) noexcept;
  ValueReader read_source;
  ValueReader read_target;
};

// The whole parse for a present argument (not null, not None). Returns false
// with a Python exception set on failure.
bool parse_entries(PyObject* entries, const char* source_name, const char* target_name, const EntrySink& sink);

// An exact int or float read by `reader`; false (nothing pending) when
// `value` is of another kind or refused. Reads no setting and runs no Python
// code while it accepts a value.
inline bool read_plain(ValueReader reader, PyObject* value, void* out) {
  if (!PyLong_CheckExact(value) && !PyFloat_CheckExact(value)) return false;
  if (reader(value, out)) return true;
  PyErr_Clear();
  return false;
}
template <class T>
bool read_plain(PyObject* value, T& out) {
  return read_plain(reader_for<T>(), value, &out);
}

template <class S, class D>
struct TypedSink {
  using Entry = morvith_plindra::MapEntry<S, D>;
  using Vector = std::vector<Entry>;

  // An exact dict of exact ints and floats, every one accepted, in one pass
  // with direct calls (a one-entry map adds about 470 instructions to a
  // call this way, 690 through the general walk). False with `out` empty
  // and nothing pending otherwise;
  // the general walk then reads the dict again and names what it refuses.
  // (A refusal may raise, and so run the garbage collector and any
  // finaliser, which may clear the dict: each item is held while it is
  // read, and the walk ends there.)
  static bool read_plain_dict(PyObject* dict, Vector& out) noexcept {
    const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
    if (size > kMaxEntries) return false;
    try {
      out.reserve(size);
    } catch (...) {
      return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      const py::Ref held_key = py::Ref::borrow(key), held_value = py::Ref::borrow(value);
      Entry entry;
      if (out.size() == size || !read_plain<S>(key, entry.source) || !read_plain<D>(value, entry.target)) {
        out.clear();
        return false;
      }
      out.push_back(entry);  // within the reservation: no allocation
    }
    return true;
  }

  static bool reserve(void* entries, std::size_t count) noexcept {
    try {
      static_cast<Vector*>(entries)->reserve(count);
      return true;
    } catch (...) {
      return false;
    }
  }

  static bool append(void* entries, const void* source, const void* target) noexcept {
    Entry entry;
    std::memcpy(&entry.source, source, sizeof(S));
    std::memcpy(&entry.target, target, sizeof(D));
    try {
      static_cast<Vector*>(entries)->push_back(entry);
      return true;
    } catch (...) {
      return false;
    }
  }
};

}  // namespace map_detail

// Fills `out` from `entries` (null or None: empty, no Python call). Returns
// false with a Python exception set on failure; `out` is then empty.
// `source_name`/`target_name` are canonical dtype names, used in messages.
template <class S, class D>
bool parse_map_entries(PyObject* entries, const char* source_name, const char* target_name,
                       std::vector<morvith_plindra::MapEntry<S, D>>& out) {
  static_assert(sizeof(S) <= 8 && sizeof(D) <= 8, "element values are read into 8-byte slots");
  out.clear();
  if (entries == nullptr || entries == Py_None) return true;
  using Sink = map_detail::TypedSink<S, D>;
  if (PyDict_CheckExact(entries) && Sink::read_plain_dict(entries, out)) return true;
  const map_detail::EntrySink sink{&out, &Sink::reserve, &Sink::append, map_detail::reader_for<S>(),
                                   map_detail::reader_for<D>()};
  if (map_detail::parse_entries(entries, source_name, target_name, sink)) return true;
  std::vector<morvith_plindra::MapEntry<S, D>>().swap(out);
  return false;
}

}  // namespace plindra
