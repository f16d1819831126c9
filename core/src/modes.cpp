#include "morvith_plindra/modes.hpp"

namespace morvith_plindra {

namespace {
constexpr std::string_view kRoundingTexts[] = {"nearest-even", "towards-zero", "towards-positive", "towards-negative",
                                               "nearest-away"};
constexpr std::string_view kOutOfRangeTexts[] = {"clamp", "wrap"};
// One text per enumerator, in enumerator order (Error has none: no text
// selects it).
static_assert(std::size(kRoundingTexts) == static_cast<std::size_t>(RoundingMode::NearestAway) + 1);
static_assert(std::size(kOutOfRangeTexts) == static_cast<std::size_t>(OutOfRangeMode::Error));
}  // namespace

ParseResult<RoundingMode> parse_rounding_mode(std::string_view text) {
  for (std::size_t i = 0; i < std::size(kRoundingTexts); ++i) {
    if (text == kRoundingTexts[i]) return static_cast<RoundingMode>(i);
  }
  return std::string("Unknown rounding mode: ").append(text);
}

ParseResult<OutOfRangeMode> parse_out_of_range_mode(std::string_view text) {
  for (std::size_t i = 0; i < std::size(kOutOfRangeTexts); ++i) {
    if (text == kOutOfRangeTexts[i]) return static_cast<OutOfRangeMode>(i);
  }
  return std::string("Unknown out_of_range mode: ").append(text);
}

std::string_view to_string(RoundingMode mode) { return kRoundingTexts[static_cast<int>(mode)]; }

std::string_view to_string(OutOfRangeMode mode) {
  return mode == OutOfRangeMode::Error ? std::string_view("error") : kOutOfRangeTexts[static_cast<int>(mode)];
}

}  // namespace morvith_plindra
