#include "arguments.hpp"

#include <string>

#include "errors.hpp"

namespace plindra {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void raise_missing(const Parameters& params, PyObject** slots, std::size_t begin, std::size_t end, const char* kind) {
  std::size_t missing[8];
  std::size_t n = 0;
  for (std::size_t i = begin; i < end && n < std::size(missing); ++i) {
    if (slots[i] == nullptr) missing[n++] = i;
  }
  std::string message = std::string(params.function) + "() missing " + std::to_string(n) + " required " + kind +
                        " argument" + (n == 1 ? "" : "s") + ": ";
  for (std::size_t k = 0; k < n; ++k) {
    if (k > 0) message.append(n == 2 ? " and " : (k + 1 == n ? ", and " : ", "));
    message.append("'").append(params.names[missing[k]]).append("'");
  }
  set_error(PyExc_TypeError, message);
}

// Index of the parameter named `key`, or params.count.
std::size_t find_parameter(const Parameters& params, PyObject* key) {
  for (std::size_t i = 0; i < params.count; ++i) {
    PyObject*& name = params.interned[i];
    if (name == nullptr) {
      name = PyUnicode_FromStringAndSize(params.names[i].data(), static_cast<Py_ssize_t>(params.names[i].size()));
      if (name == nullptr) {
        PyErr_Clear();  // matched by text below
        continue;
      }
      PyUnicode_InternInPlace(&name);
    }
    if (key == name) return i;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return params.count;
  }
  const std::string_view name(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < params.count; ++i) {
    if (name == params.names[i]) return i;
  }
  return params.count;
}

}  // namespace

bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  for (std::size_t i = 0; i < params.count; ++i) slots[i] = nullptr;

  if (nargs > params.positional) {
    std::string message = std::string(params.function) + "() takes " + std::to_string(params.positional) +
                          " positional argument" + (params.positional == 1 ? "" : "s") + " but " +
                          std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    set_error(PyExc_TypeError, message);
    return false;
  }
  for (std::size_t i = 0; i < nargs; ++i) slots[i] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        set_error(PyExc_TypeError, std::string(params.function) + "() keywords must be strings");
        return false;
      }
      const std::size_t index = find_parameter(params, key);
      if (index == params.count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", params.function, key);
        return false;
      }
      if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", params.function, key);
        return false;
      }
      slots[index] = args[nargs + static_cast<std::size_t>(k)];
    }
  }

  for (std::size_t i = 0; i < params.positional; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(params, slots, 0, params.positional, "positional");
      return false;
    }
  }
  const std::size_t required_end = params.positional + params.required_keyword;
  for (std::size_t i = params.positional; i < required_end; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(params, slots, params.positional, required_end, "keyword-only");
      return false;
    }
  }
  return true;
}

}  // namespace plindra
