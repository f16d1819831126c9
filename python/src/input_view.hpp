// The read-only row-major view of an input array.
#pragma once

#include <cstddef>

#include "dtypes.hpp"
#include "errors.hpp"

namespace plindra {

inline constexpr const char kInputNotRowMajor[] = "Input array must be row-major (C-contiguous)";
// Binding-layer type name in "cannot be converted to" messages, kept verbatim: callers match on it.
inline constexpr const char kTypedArrayTarget[] = "PyArray<T, D>";

// Checks that `arr` is a C-contiguous array of T in native byte order: the
// layout flag first, then the element type. Returns false with the error set.
template <class T>
bool check_readonly_row_major(PyObject* arr) {
  if (!PyArray_Check(arr)) {
    raise_cannot_convert(arr, kTypedArrayTarget);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(arr);
  if (!PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS)) {
    PyErr_SetString(PyExc_ValueError, kInputNotRowMajor);
    return false;
  }
  if (!descr_is<T>(PyArray_DESCR(array))) {
    raise_cannot_convert(arr, kTypedArrayTarget);
    return false;
  }
  return true;
}

// A checked input array, kept alive for the duration of a driver call. The
// element address and count are read afresh on every request, because Python
// code run during the call (scalar-map parsing) may resize or retype it.
template <class T>
class ReadonlyRowMajor {
 public:
  explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
  PyArrayObject* array() const noexcept { return reinterpret_cast<PyArrayObject*>(ref_.get()); }
  // Repeats the checks of readonly_row_major (same errors).
  bool recheck() const { return check_readonly_row_major<T>(ref_.get()); }
  // The elements in row-major order; may be misaligned, so read bytewise.
  const std::byte* data() const noexcept { return static_cast<const std::byte*>(PyArray_DATA(array())); }
  std::size_t size() const noexcept { return static_cast<std::size_t>(PyArray_SIZE(array())); }

 private:
  template <class U>
  friend ReadonlyRowMajor<U> readonly_row_major(PyObject* arr);
  py::Ref ref_;
};

// The read-only row-major view of `arr` as T, or an empty handle with
// ValueError (not C-contiguous) or TypeError (other element type) set.
template <class T>
ReadonlyRowMajor<T> readonly_row_major(PyObject* arr) {
  ReadonlyRowMajor<T> view;
  if (check_readonly_row_major<T>(arr)) view.ref_ = py::Ref::borrow(arr);
  return view;
}

}  // namespace plindra
