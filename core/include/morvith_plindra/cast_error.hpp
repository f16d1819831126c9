// The error a kernel run ends with, and its message text.
#pragma once

#include <optional>
#include <string>

namespace morvith_plindra {

struct CastError {
  enum class Kind : unsigned char { NotFinite, OutOfRange };

  Kind kind;
  double value;
  double min = 0.0;  // OutOfRange only
  double max = 0.0;  // OutOfRange only

  static CastError not_finite(double value) { return {Kind::NotFinite, value, 0.0, 0.0}; }
  static CastError out_of_range(double value, double min, double max) { return {Kind::OutOfRange, value, min, max}; }

  // The message raised to the caller.
  std::string message() const;

  friend bool operator==(const CastError&, const CastError&) = default;
};

// Empty on success; the error of the first failing element otherwise.
using KernelResult = std::optional<CastError>;

// Shortest round-trip decimal digits, written without an exponent: digits
// past the shortest string are zeros (2^63 -> "9223372036854776000").
// NaN -> "NaN", infinities -> "inf"/"-inf", negative zero -> "-0".
std::string format_number(double value);

}  // namespace morvith_plindra
