#include "shape.hpp"

#include <string>

#include "errors.hpp"

namespace plindra {

namespace {

// "[2, 3]"; "[]" for a zero-dimensional array.
void append_shape(std::string& text, PyArrayObject* array) {
  text.push_back('[');
  const int nd = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  for (int i = 0; i < nd; ++i) {
    if (i) text.append(", ");
    text.append(std::to_string(dims[i]));
  }
  text.push_back(']');
}

}  // namespace

bool same_shape(PyArrayObject* a, PyArrayObject* b) noexcept {
  const int nd = PyArray_NDIM(a);
  if (nd != PyArray_NDIM(b)) return false;
  const npy_intp* da = PyArray_DIMS(a);
  const npy_intp* db = PyArray_DIMS(b);
  for (int i = 0; i < nd; ++i) {
    if (da[i] != db[i]) return false;
  }
  return true;
}

void raise_shape_mismatch(PyArrayObject* input, PyArrayObject* output) {
  std::string text = "Shape mismatch: input shape ";
  append_shape(text, input);
  text.append(" != output shape ");
  append_shape(text, output);
  set_error(PyExc_ValueError, text);
}

}  // namespace plindra
