// Type-independent part of the scalar_map_entries parser: dispatch between a
// mapping and an iterable of pairs, the two walks, the error messages, and
// the readers that turn one Python value into an element value.
#include "scalar_map.hpp"

#include "errors.hpp"
#include "morvith_plindra/cast_float.hpp"
#include "whole_float_environment.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace plindra::map_detail {
namespace {

using py::Ref;

// ---------------------------------------------------------------------------
// Pending-exception helpers

// After a failed call whose exception this parser replaces by a message of its
// own: drops an ordinary exception (an Exception subclass) and returns true.
// An exception outside that hierarchy (KeyboardInterrupt, SystemExit,
// GeneratorExit, ...) is left pending and false is returned: it must reach the
// caller unchanged.
bool drop_ordinary_exception() {
  PyObject* type = PyErr_Occurred();
  if (type == nullptr) return true;
  if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// RecursionError or MemoryError: the interpreter ran out of room to answer,
// which says nothing about the object asked. Read as "no", it would send the
// object down another road (or to another error) than the same call takes
// with room to spare, so it always reaches the caller.
bool resource_failure_pending() {
  PyObject* type = PyErr_Occurred();
  return type != nullptr && (PyErr_GivenExceptionMatches(type, PyExc_RecursionError) ||
                             PyErr_GivenExceptionMatches(type, PyExc_MemoryError));
}

// After a failed type or protocol probe (length, iterability) whose exception
// this parser replaces by a message of its own: drop_ordinary_exception, but
// a resource failure is left pending too.
bool drop_probe_failure() { return !resource_failure_pending() && drop_ordinary_exception(); }

// After a failed call whose exception passes through unchanged. A call that
// failed without setting one gets a SystemError in its place.
bool pass_on_failure() {
  ensure_error_set();
  return false;
}

// ---------------------------------------------------------------------------
// Messages for refused values

// "<unprintable {type} object>", or "<unprintable object>" without a name.
Ref unprintable_text(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  Ref name = Ref::steal(PyType_GetName(type));
#else
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
#endif
  if (name) return Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
  if (!drop_ordinary_exception()) return {};
  return Ref::steal(PyUnicode_FromString("<unprintable object>"));
}

// A copy of `text` that is valid UTF-8: each lone surrogate becomes three
// U+FFFD characters (one per byte of its surrogate-pass encoding).
Ref utf8_clean(Ref text) {
  if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) != nullptr) return text;
  if (!drop_ordinary_exception()) return {};
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return {};
  return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
}

// The text that shows a refused value: its repr, else its str, else the
// "<unprintable ...>" placeholder. Null only with an exception pending that
// must reach the caller (one outside the Exception hierarchy, or a failure to
// allocate the text itself).
//
// A __repr__ may itself call this module with a value that is refused in turn,
// and so on until the recursion limit. Were every level to retry with str
// after a failed repr, each level would run the whole chain below it twice:
// exponential in the depth, a hang in practice. So only the outermost text on
// this thread falls back to str; nested ones go straight to the placeholder.
thread_local int t_showing = 0;

Ref shown_text(PyObject* value) {
  struct Nesting {
    Nesting() noexcept { ++t_showing; }
    ~Nesting() { --t_showing; }
  } nesting;
  Ref shown = Ref::steal(PyObject_Repr(value));
  if (!shown) {
    if (!drop_ordinary_exception()) return {};
    if (t_showing > 1) return unprintable_text(Py_TYPE(value));
    shown = Ref::steal(PyObject_Str(value));
    if (!shown) {
      if (!drop_ordinary_exception()) return {};
      return unprintable_text(Py_TYPE(value));
    }
  }
  // A str subclass returned by __repr__ may override its own conversion.
  Ref text = Ref::steal(PyObject_Str(shown.get()));
  if (!text) {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) return {};
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(shown.get());
    return unprintable_text(Py_TYPE(shown.get()));
  }
  return utf8_clean(std::move(text));
}

// Replaces the failure of a value reader (whose exception, if any, is pending)
// by the TypeError naming the value and the dtype it had to fit. `side` is
// "source" or "target". Always returns false.
bool refuse_value(PyObject* value, const char* side, const char* dtype_name) {
  if (!drop_ordinary_exception()) return false;
  Ref text = shown_text(value);
  if (!text) return false;
  Ref message = Ref::steal(PyUnicode_FromFormat("scalar_map %s value %U: expected a value convertible to %s dtype %s",
                                                side, text.get(), side, dtype_name));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

// ---------------------------------------------------------------------------
// The walk

class Builder {
 public:
  Builder(const EntrySink& sink, const char* source_name, const char* target_name)
      : sink_(sink), source_name_(source_name), target_name_(target_name) {}

  bool read_source(PyObject* value) { return read(sink_.read_source, value, source_, "source", source_name_); }
  bool read_target(PyObject* value) { return read(sink_.read_target, value, target_, "target", target_name_); }

  // Appends (last source read, last target read).
  bool append() {
    if (count_ >= kMaxEntries) {
      PyErr_Format(PyExc_MemoryError, "scalar_map_entries holds more than %zu entries", kMaxEntries);
      return false;
    }
    if (!sink_.append(sink_.entries, source_, target_)) {
      PyErr_NoMemory();
      return false;
    }
    ++count_;
    return true;
  }

  bool reserve(std::size_t count) {
    count = std::min(count, kMaxEntries);
    if (count == 0 || sink_.reserve(sink_.entries, count)) return true;
    PyErr_NoMemory();
    return false;
  }

 private:
  const EntrySink& sink_;
  const char* source_name_;
  const char* target_name_;
  std::size_t count_ = 0;

  // A value's conversion, and the repr that shows it when refused, may
  // compute with it (NumPy's float scalars do, long doubles in the x87 unit):
  // both run under the library's floating-point environment in every unit,
  // so that a signalling NaN neither traps nor raises a flag in the caller's,
  // and no setting of the caller's changes the value read. The conversion's
  // own Python code may change the settings; the repr gets the library's
  // again.
  //
  // Exact ints and floats run no Python code and read no setting (narrowing
  // sets its own): they skip the scope, whose save and restore of the whole
  // environment would cost a one-entry map more than its kernel work on a
  // small array. A refused one is read again, and shown, under the scope.
  static bool read(ValueReader reader, PyObject* value, unsigned char* slot, const char* side, const char* dtype) {
    if (read_plain(reader, value, slot)) return true;
    WholeFloatEnvironmentScope own;
    if (reader(value, slot)) return true;
    own.reset();
    return refuse_value(value, side, dtype);
  }
  alignas(8) unsigned char source_[8] = {};
  alignas(8) unsigned char target_[8] = {};
};

// collections.abc.Mapping, fetched on first need and kept for the life of the
// process. Returns a borrowed reference, or null with an exception pending
// (nothing is cached then, so a later call tries again).
PyObject* mapping_class() {
  static py::PinnedRef cached;
  if (cached) return cached.get();
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "Mapping"));
  if (!cls) return nullptr;
  if (!PyType_Check(cls.get())) {
    PyErr_SetString(PyExc_TypeError, "collections.abc.Mapping is not a class");
    return nullptr;
  }
  cached.set_once(std::move(cls));
  return cached.get();
}

// 1: read as a mapping; 0: read as an iterable of pairs; -1: an exception
// outside the Exception hierarchy, or a resource failure, is pending. Any
// other exception raised by the test (a broken __instancecheck__, say) goes
// to the unraisable hook and the object counts as no mapping.
int mapping_test(PyObject* obj) {
  if (PyDict_Check(obj)) return 1;
  PyObject* cls = mapping_class();
  const int result = cls != nullptr ? PyObject_IsInstance(obj, cls) : -1;
  if (result >= 0) return result;
  if (PyErr_Occurred() == nullptr) return 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception) || resource_failure_pending()) return -1;
  PyErr_WriteUnraisable(obj);
  return 0;
}

bool parse_mapping(PyObject* mapping, Builder& builder) {
  const Py_ssize_t reported = PyMapping_Size(mapping);
  if (reported < 0) {
    if (!drop_probe_failure()) return false;
    PyErr_SetString(PyExc_TypeError, "Failed to get length of scalar_map dict.");
    return false;
  }
  Ref items = Ref::steal(PyMapping_Items(mapping));
  if (!items) return pass_on_failure();
  if (!PyList_Check(items.get())) {
    PyErr_SetString(PyExc_SystemError, "mapping items are not a list");
    return false;
  }
  // The reported length only sizes the reservation, and never beyond the
  // items actually in hand.
  const Py_ssize_t initial = PyList_GET_SIZE(items.get());
  if (!builder.reserve(static_cast<std::size_t>(std::min(reported, initial)))) return false;

  // The list may be shared with the mapping, and Python code run by the
  // conversions can shrink it: its length is read again before every item,
  // and items appended during the walk are not visited.
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(items.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
    if (!PyTuple_Check(item.get())) {
      raise_cannot_convert(item.get(), "PyTuple");  // kept verbatim: callers match on it
      return false;
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(item.get());
    if (length != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
      return false;
    }
    Ref key = Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));
    Ref value = Ref::borrow(PyTuple_GET_ITEM(item.get(), 1));
    if (!builder.read_source(key.get()) || !builder.read_target(value.get()) || !builder.append()) {
      return false;
    }
  }
  return true;
}

// entry[index], by generic subscription (a dict entry is looked up by key).
Ref entry_item(PyObject* entry, long index) {
  Ref key = Ref::steal(PyLong_FromLong(index));
  if (!key) return {};
  return Ref::steal(PyObject_GetItem(entry, key.get()));
}

bool parse_pairs(PyObject* iterable, Builder& builder) {
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) {
    if (!drop_probe_failure()) return false;
    PyErr_SetString(PyExc_TypeError, "scalar_map_entries must be a dict or an iterable of (source, target) pairs");
    return false;
  }
  for (;;) {
    Ref entry = Ref::steal(PyIter_Next(iterator.get()));
    if (!entry) return PyErr_Occurred() == nullptr;
    const Py_ssize_t length = PyObject_Size(entry.get());
    if (length != 2) {
      if (length < 0 && !drop_probe_failure()) return false;
      PyErr_SetString(PyExc_ValueError, "Each scalar_map entry must be a (source, target) pair");
      return false;
    }
    {
      Ref source = entry_item(entry.get(), 0);
      if (!source) return pass_on_failure();
      if (!builder.read_source(source.get())) return false;
    }
    {
      Ref target = entry_item(entry.get(), 1);
      if (!target) return pass_on_failure();
      if (!builder.read_target(target.get())) return false;
    }
    if (!builder.append()) return false;
  }
}

// ---------------------------------------------------------------------------
// Value readers

template <class T>
bool store(void* out, T value) {
  std::memcpy(out, &value, sizeof(T));
  return true;
}

// An int (or int subclass: its own value, no __index__ call) or the int that
// the object's __index__ returns, as a new reference; null when refused.
Ref index_value(PyObject* value) {
  if (PyLong_Check(value)) return Ref::borrow(value);
  return Ref::steal(PyNumber_Index(value));
}

template <class T>
bool read_signed(PyObject* value, void* out) {
  Ref number = index_value(value);
  if (!number) return false;
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (overflow != 0 || (x == -1 && PyErr_Occurred() != nullptr)) return false;
  if (x < std::numeric_limits<T>::min() || x > std::numeric_limits<T>::max()) return false;
  return store(out, static_cast<T>(x));
}

template <class T>
bool read_unsigned(PyObject* value, void* out) {
  Ref number = index_value(value);
  if (!number) return false;
  const unsigned long long x = PyLong_AsUnsignedLongLong(number.get());
  if (x == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
    return false;
  }
  if (x > std::numeric_limits<T>::max()) return false;
  return store(out, static_cast<T>(x));
}

// The double of an exact float directly, of anything else via __float__ or
// __index__ (PyFloat_AsDouble). NaN payloads, infinities and -0.0 are kept.
// The failure sentinel is matched by its bits: a signalling NaN is never
// compared as a float.
bool read_double(PyObject* value, double& result) {
  if (Py_IS_TYPE(value, &PyFloat_Type)) {
    result = PyFloat_AS_DOUBLE(value);
    return true;
  }
  result = PyFloat_AsDouble(value);
  constexpr auto kFailureBits = std::bit_cast<std::uint64_t>(-1.0);
  return !(std::bit_cast<std::uint64_t>(result) == kFailureBits && PyErr_Occurred() != nullptr);
}

}  // namespace

bool read_int8(PyObject* value, void* out) { return read_signed<std::int8_t>(value, out); }
bool read_uint8(PyObject* value, void* out) { return read_unsigned<std::uint8_t>(value, out); }
bool read_int16(PyObject* value, void* out) { return read_signed<std::int16_t>(value, out); }
bool read_uint16(PyObject* value, void* out) { return read_unsigned<std::uint16_t>(value, out); }
bool read_int32(PyObject* value, void* out) { return read_signed<std::int32_t>(value, out); }
bool read_uint32(PyObject* value, void* out) { return read_unsigned<std::uint32_t>(value, out); }
bool read_int64(PyObject* value, void* out) { return read_signed<std::int64_t>(value, out); }
bool read_uint64(PyObject* value, void* out) { return read_unsigned<std::uint64_t>(value, out); }

// Narrowing rounds once, to nearest with ties to even, whatever rounding the
// calling thread has set; values beyond the type's range become infinities of
// their sign, NaNs stay (quiet) NaNs with their sign, and zeros keep their sign.
bool read_float16(PyObject* value, void* out) {
  double x;
  return read_double(value, x) && store(out, morvith_plindra::round_to_float<morvith_plindra::f16>(x));
}
bool read_float32(PyObject* value, void* out) {
  double x;
  return read_double(value, x) && store(out, morvith_plindra::round_to_float<morvith_plindra::f32>(x));
}
bool read_float64(PyObject* value, void* out) {
  double x;
  return read_double(value, x) && store(out, x);
}

bool parse_entries(PyObject* entries, const char* source_name, const char* target_name, const EntrySink& sink) {
  Builder builder(sink, source_name, target_name);
  switch (mapping_test(entries)) {
    case 1: return parse_mapping(entries, builder);
    case 0: return parse_pairs(entries, builder);
    default: return false;
  }
}

}  // namespace plindra::map_detail
