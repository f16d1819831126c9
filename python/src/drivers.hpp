// The typed drivers behind cast_array (allocating) and cast_array_into (in
// place), one instance per (source, target) pair, in four category families.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "dtypes.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "input_view.hpp"
#include "morvith_plindra/kernels.hpp"
#include "scalar_map.hpp"
#include "shape.hpp"

namespace plindra {

using morvith_plindra::CastConfig;
using morvith_plindra::Family;
using morvith_plindra::KernelResult;
using morvith_plindra::OutOfRangeMode;
using morvith_plindra::RoundingMode;

// Every driver takes the same argument list; each ignores what its category
// does not use.
using AllocFn = PyObject* (*)(PyObject* arr, RoundingMode rounding, OutOfRangeMode out_of_range,
                              PyObject* scalar_map_entries, const char* source_name, const char* target_name);
using IntoFn = PyObject* (*)(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangeMode out_of_range,
                             PyObject* scalar_map_entries, const char* source_name, const char* target_name);

inline constexpr const char kOutputSliceFailed[] = "Failed to get mutable slice from output array";
inline constexpr const char kOutputNotWritable[] = "Output array must be row-major (C-contiguous) and writeable";

namespace detail {

template <class T>
bool is_aligned(const std::byte* p) noexcept {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0;
}

// Elements per chunk when a misaligned buffer is staged through aligned ones.
inline constexpr std::size_t kStageElements = 1024;

// Runs the pair's kernel over n elements at raw addresses (native byte order,
// possibly misaligned). A misaligned side is staged chunk by chunk through an
// aligned buffer; an output chunk is loaded before and stored after the
// kernel, so elements past a failing one keep their previous contents.
// `kept`: the output is the caller's, not a new array (whose fresh pages
// plain stores fill faster than streaming ones).
template <class S, class D>
KernelResult convert_staged(const std::byte* src, std::byte* dst, std::size_t n, const CastConfig<S, D>& config,
                            bool kept) {
  const bool src_aligned = is_aligned<S>(src);
  const bool dst_aligned = is_aligned<D>(dst);
  if (src_aligned && dst_aligned) {
    const std::span<const S> s(reinterpret_cast<const S*>(src), n);
    const std::span<D> d(reinterpret_cast<D*>(dst), n);
    return kept ? morvith_plindra::convert_slice_kept<S, D>(s, d, config)
                : morvith_plindra::convert_slice<S, D>(s, d, config);
  }
  std::array<S, kStageElements> src_stage;
  std::array<D, kStageElements> dst_stage;
  for (std::size_t i = 0; i < n; i += kStageElements) {
    const std::size_t m = std::min(kStageElements, n - i);
    const std::byte* src_chunk = src + i * sizeof(S);
    std::byte* dst_chunk = dst + i * sizeof(D);
    const S* s = reinterpret_cast<const S*>(src_chunk);
    if (!src_aligned) {
      std::memcpy(src_stage.data(), src_chunk, m * sizeof(S));
      s = src_stage.data();
    }
    D* d = reinterpret_cast<D*>(dst_chunk);
    if (!dst_aligned) {
      std::memcpy(dst_stage.data(), dst_chunk, m * sizeof(D));
      d = dst_stage.data();
    }
    KernelResult result = morvith_plindra::convert_slice<S, D>(std::span<const S>(s, m), std::span<D>(d, m), config);
    if (!dst_aligned) std::memcpy(dst_chunk, dst_stage.data(), m * sizeof(D));
    if (result) return result;
  }
  return std::nullopt;
}

// Which parsed modes a category puts into its settings.
template <class S, class D>
void set_modes(CastConfig<S, D>& config, RoundingMode rounding, OutOfRangeMode out_of_range) noexcept {
  constexpr Family family = morvith_plindra::family_of<S, D>;
  if constexpr (family != Family::IntToInt) config.rounding = rounding;
  if constexpr (family != Family::IntToFloat) config.out_of_range = out_of_range;
}

// A new C-order array of D with the shape of `like`. Left uninitialised: the
// kernel writes every element, and an array whose conversion fails is dropped
// unseen, so zero-filling it first would only cost a pass over memory.
template <class D>
py::Ref new_output_like_shape(PyArrayObject* like) {
  const int nd = PyArray_NDIM(like);
  // Copy the dimensions: allocation may run Python code that reshapes `like`.
  std::array<npy_intp, NPY_MAXDIMS> fixed;
  std::vector<npy_intp> large;
  npy_intp* dims = fixed.data();
  if (static_cast<std::size_t>(nd) > fixed.size()) {
    large.resize(static_cast<std::size_t>(nd));
    dims = large.data();
  }
  std::copy_n(PyArray_DIMS(like), nd, dims);
  PyArray_Descr* descr = native_descr<D>();
  Py_XINCREF(descr);  // PyArray_Empty steals it
  if (descr == nullptr) return {};
  return py::Ref::steal(PyArray_Empty(nd, dims, descr, 0));
}

// Row-major from the current strides: from the last axis to the first,
// skipping axes of length 1, each stride equals the size of what follows it.
inline bool strides_are_row_major(PyArrayObject* array, npy_intp itemsize) noexcept {
  const int nd = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  npy_intp expected = itemsize;
  for (int i = nd - 1; i >= 0; --i) {
    if (dims[i] == 1) continue;
    if (strides[i] != expected) return false;
    expected *= dims[i];
  }
  return true;
}

inline bool has_zero_dim(PyArrayObject* array) noexcept {
  const int nd = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  for (int i = 0; i < nd; ++i) {
    if (dims[i] == 0) return true;
  }
  return false;
}

inline bool ranges_overlap(const std::byte* a, std::size_t a_len, const std::byte* b, std::size_t b_len) noexcept {
  const auto a0 = reinterpret_cast<std::uintptr_t>(a);
  const auto b0 = reinterpret_cast<std::uintptr_t>(b);
  return a0 < b0 + b_len && b0 < a0 + a_len;
}

// Lends a call with a scalar map the entry vector of the pair's last such
// call: allocating and releasing it took about 20 ns, a tenth of a call on a
// short array. Touched only with the interpreter lock held (the module runs
// under the GIL); a call that finds it lent (to another thread, whose kernel
// runs) gets an empty one and allocates. A vector of more than kKeptEntries
// is released as before.
template <class S, class D>
class LentEntries {
 public:
  using Vector = std::vector<morvith_plindra::MapEntry<S, D>>;
  static constexpr std::size_t kKeptEntries = 16;

  LentEntries(PyObject* scalar_map_entries, Vector& entries)
      : entries_(scalar_map_entries != nullptr && scalar_map_entries != Py_None ? &entries : nullptr) {
    if (entries_ != nullptr) entries_->swap(kept());
  }
  ~LentEntries() {
    if (entries_ != nullptr && entries_->capacity() <= kKeptEntries) {
      entries_->clear();
      entries_->swap(kept());
    }
  }
  LentEntries(const LentEntries&) = delete;
  LentEntries& operator=(const LentEntries&) = delete;

 private:
  static Vector& kept() {
    static Vector vector;
    return vector;
  }
  Vector* entries_;
};

// Input view, scalar map, settings, new output, one kernel run (without the
// interpreter lock on large arrays).
template <class S, class D>
PyObject* alloc_sequence(PyObject* arr, RoundingMode rounding, OutOfRangeMode out_of_range,
                         PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  ReadonlyRowMajor<S> input = readonly_row_major<S>(arr);
  if (!input) return nullptr;
  CastConfig<S, D> config;
  const LentEntries<S, D> lent(scalar_map_entries, config.scalar_map);
  if (!parse_map_entries<S, D>(scalar_map_entries, source_name, target_name, config.scalar_map)) return nullptr;
  // Parsing may have run caller code that changed the input.
  if (scalar_map_entries != nullptr && !input.recheck()) return nullptr;
  set_modes(config, rounding, out_of_range);
  config.discard_on_error = true;  // a failed call drops the new array

  py::Ref out = new_output_like_shape<D>(input.array());
  if (!out) return nullptr;
  auto* out_array = reinterpret_cast<PyArrayObject*>(out.get());
  const auto n = static_cast<std::size_t>(PyArray_SIZE(out_array));
  if (n == 0) return out.release();
  if (!PyArray_CHKFLAGS(out_array, NPY_ARRAY_C_CONTIGUOUS)) {
    PyErr_SetString(PyExc_ValueError, kOutputSliceFailed);
    return nullptr;
  }
  // The allocation may have run Python code too (garbage collection).
  if (!input.recheck()) return nullptr;
  if (input.size() != n) {
    raise_shape_mismatch(input.array(), out_array);
    return nullptr;
  }
  const std::byte* src = input.data();
  auto* dst = static_cast<std::byte*>(PyArray_DATA(out_array));
  KernelResult error;
  {
    AllowThreads unlocked(n >= kReleaseGilElements);
    error = convert_staged<S, D>(src, dst, n, config, false);
  }
  if (error) {
    cast_error_to_pyerr(*error);
    return nullptr;  // the partly written output is dropped
  }
  return out.release();
}

// Input view, scalar map, settings, checks of `out`, one kernel run in place
// (without the interpreter lock on large arrays).
template <class S, class D>
PyObject* into_sequence(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangeMode out_of_range,
                        PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  ReadonlyRowMajor<S> input = readonly_row_major<S>(arr);
  if (!input) return nullptr;
  CastConfig<S, D> config;
  const LentEntries<S, D> lent(scalar_map_entries, config.scalar_map);
  if (!parse_map_entries<S, D>(scalar_map_entries, source_name, target_name, config.scalar_map)) return nullptr;
  if (scalar_map_entries != nullptr && !input.recheck()) return nullptr;
  set_modes(config, rounding, out_of_range);

  if (!PyArray_Check(out) || !descr_is<D>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(out)))) {
    raise_cannot_convert(out, kTypedArrayTarget);
    return nullptr;
  }
  auto* out_array = reinterpret_cast<PyArrayObject*>(out);
  // The front compared the shapes before the map's caller code could run.
  if (scalar_map_entries != nullptr && !same_shape(input.array(), out_array)) {
    raise_shape_mismatch(input.array(), out_array);
    return nullptr;
  }
  if (has_zero_dim(out_array)) Py_RETURN_NONE;
  if (!strides_are_row_major(out_array, static_cast<npy_intp>(sizeof(D))) ||
      !PyArray_CHKFLAGS(out_array, NPY_ARRAY_WRITEABLE)) {
    PyErr_SetString(PyExc_ValueError, kOutputNotWritable);
    return nullptr;
  }

  const std::size_t n = input.size();
  const std::byte* src = input.data();
  auto* dst = static_cast<std::byte*>(PyArray_DATA(out_array));
  // Overlapping memory converts from a copy, giving what separate buffers give.
  std::unique_ptr<S[]> src_copy;
  if (ranges_overlap(src, n * sizeof(S), dst, n * sizeof(D))) {
    src_copy = std::make_unique_for_overwrite<S[]>(n);
  }
  KernelResult error;
  {
    // Everything the kernel needs was read above; the caller's arguments keep
    // both arrays alive while other threads run.
    AllowThreads unlocked(n >= kReleaseGilElements);
    if (src_copy) {
      std::memcpy(src_copy.get(), src, n * sizeof(S));
      src = reinterpret_cast<const std::byte*>(src_copy.get());
    }
    error = convert_staged<S, D>(src, dst, n, config, true);
  }
  if (error) {
    cast_error_to_pyerr(*error);
    return nullptr;  // elements before the failing one stay written
  }
  Py_RETURN_NONE;
}

}  // namespace detail

// Allocating drivers.

template <class S, class D>
PyObject* do_int_to_int_alloc(PyObject* arr, RoundingMode rounding, OutOfRangeMode out_of_range,
                              PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::IntToInt);
  return detail::alloc_sequence<S, D>(arr, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

template <class S, class D>
PyObject* do_float_to_int_alloc(PyObject* arr, RoundingMode rounding, OutOfRangeMode out_of_range,
                                PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::FloatToInt);
  return detail::alloc_sequence<S, D>(arr, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

template <class S, class D>
PyObject* do_int_to_float_alloc(PyObject* arr, RoundingMode rounding, OutOfRangeMode out_of_range,
                                PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::IntToFloat);
  return detail::alloc_sequence<S, D>(arr, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

template <class S, class D>
PyObject* do_float_to_float_alloc(PyObject* arr, RoundingMode rounding, OutOfRangeMode out_of_range,
                                  PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::FloatToFloat);
  return detail::alloc_sequence<S, D>(arr, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

// Into drivers.

template <class S, class D>
PyObject* do_int_to_int_into(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangeMode out_of_range,
                             PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::IntToInt);
  return detail::into_sequence<S, D>(arr, out, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

template <class S, class D>
PyObject* do_float_to_int_into(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangeMode out_of_range,
                               PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::FloatToInt);
  return detail::into_sequence<S, D>(arr, out, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

template <class S, class D>
PyObject* do_int_to_float_into(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangeMode out_of_range,
                               PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::IntToFloat);
  return detail::into_sequence<S, D>(arr, out, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

template <class S, class D>
PyObject* do_float_to_float_into(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangeMode out_of_range,
                                 PyObject* scalar_map_entries, const char* source_name, const char* target_name) {
  static_assert(morvith_plindra::family_of<S, D> == Family::FloatToFloat);
  return detail::into_sequence<S, D>(arr, out, rounding, out_of_range, scalar_map_entries, source_name, target_name);
}

// The driver pair of one (S, D), from the family its kinds select.
struct DriverEntry {
  AllocFn alloc;
  IntoFn into;
};

template <class S, class D>
constexpr DriverEntry driver_entry() {
  constexpr Family family = morvith_plindra::family_of<S, D>;
  if constexpr (family == Family::IntToInt) {
    return {&do_int_to_int_alloc<S, D>, &do_int_to_int_into<S, D>};
  } else if constexpr (family == Family::FloatToInt) {
    return {&do_float_to_int_alloc<S, D>, &do_float_to_int_into<S, D>};
  } else if constexpr (family == Family::IntToFloat) {
    return {&do_int_to_float_alloc<S, D>, &do_int_to_float_into<S, D>};
  } else {
    return {&do_float_to_float_alloc<S, D>, &do_float_to_float_into<S, D>};
  }
}

// Driver pairs indexed by pair_index<S, D>.
using DriverTable = std::array<DriverEntry, morvith_plindra::kPairCount>;

// The pairs of one family (null entries elsewhere).
template <Family F>
constexpr DriverTable family_driver_table() {
  return morvith_plindra::make_pair_table([]<class S, class D>() {
    if constexpr (morvith_plindra::family_of<S, D> == F) {
      return driver_entry<S, D>();
    } else {
      return DriverEntry{};
    }
  });
}

// One table per family, each instantiated in its own source file.
extern const DriverTable kIntToIntDrivers;
extern const DriverTable kFloatToIntDrivers;
extern const DriverTable kIntToFloatDrivers;
extern const DriverTable kFloatToFloatDrivers;

}  // namespace plindra
