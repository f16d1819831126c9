// Binding of fast-call arguments against a fixed parameter list.
#pragma once

#include <cstddef>
#include <string_view>

#include "pyref.hpp"

namespace plindra {

// Parameters in order: `positional` positional-or-keyword ones (required),
// then keyword-only ones, of which the first `required_keyword` are required.
struct Parameters {
  const char* function;
  const std::string_view* names;  // with their lengths: a keyword compares without strlen
  std::size_t count;
  std::size_t positional;
  std::size_t required_keyword;
  // `count` slots, filled on first use with the names as interned strings
  // and kept for the life of the process: a keyword written in a call is
  // that same string, matched by identity.
  PyObject** interned;
};

// Fills slots[0..count) with borrowed references (null where an optional
// parameter was not given). Returns false with the usual TypeError set for
// too many positional arguments, an unknown or repeated keyword, or a missing
// required argument.
bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots);

}  // namespace plindra
