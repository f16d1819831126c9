// Raising Python exceptions, and the boundary that keeps C++ exceptions out
// of the interpreter.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "morvith_plindra/cast_error.hpp"
#include "pyref.hpp"

namespace plindra {

// Sets `type` with `message` (UTF-8, may contain NUL bytes).
void set_error(PyObject* type, std::string_view message);

// After a C-API call failed: sets SystemError when it left no exception set.
void ensure_error_set() noexcept;

// Sets _plindra.PanicException (a BaseException subclass) with `message`.
void raise_panic(std::string_view message) noexcept;

// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// TypeError "'{type}' object cannot be converted to '{target}'", with an
// "argument '{arg}': " prefix when `arg` is given. The `target` names used
// ("PyString", "PyTuple", ...) are binding-layer type names, kept verbatim
// because callers match on the message.
void raise_cannot_convert(PyObject* obj, std::string_view target, const char* arg = nullptr);

// ValueError with the message of a failed kernel run.
void cast_error_to_pyerr(const morvith_plindra::CastError& error);

// Runs `body` (returning a new reference or null with an error set) and turns
// any C++ exception into a Python one: std::bad_alloc into MemoryError, any
// other into _plindra.PanicException (an internal failure).
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  return nullptr;
}

}  // namespace plindra
