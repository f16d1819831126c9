// Rounding and out-of-range modes and their text forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace morvith_plindra {

enum class RoundingMode : std::uint8_t {
  NearestEven = 0,
  TowardsZero = 1,
  TowardsPositive = 2,
  TowardsNegative = 3,
  NearestAway = 4,
};

// The optional out-of-range mode travels as one byte. Error stands for the
// mode not given (None): a value the target cannot hold is an error.
enum class OutOfRangeMode : std::uint8_t {
  Clamp = 0,
  Wrap = 1,
  Error = 2,
};

// A parsed mode or the error text for an unrecognised one.
template <class Mode>
using ParseResult = std::variant<Mode, std::string>;

// Exact, case-sensitive match of the whole text; no trimming or prefixes.
ParseResult<RoundingMode> parse_rounding_mode(std::string_view text);
// Accepts "clamp" and "wrap" only; absence is expressed by the caller.
ParseResult<OutOfRangeMode> parse_out_of_range_mode(std::string_view text);

std::string_view to_string(RoundingMode mode);
std::string_view to_string(OutOfRangeMode mode);

}  // namespace morvith_plindra
