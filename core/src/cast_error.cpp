#include "morvith_plindra/cast_error.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "morvith_plindra/float_environment.hpp"
#include "morvith_plindra/types.hpp"

namespace morvith_plindra {

std::string format_number(double value) {
  // The value may be a signalling NaN from the caller's data, and the
  // caller's environment may trap: it is classified by its bits, and the
  // digits are made inside the library's own environment.
  constexpr std::uint64_t sign = std::uint64_t{1} << 63, inf = inf_bits_v<double>;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t magnitude = bits & ~sign;
  if (magnitude > inf) return "NaN";
  std::string out = (bits & sign) != 0 ? "-" : "";
  if (magnitude == inf) return out + "inf";
  if (magnitude == 0) return out + "0";

  // Shortest round-trip digits in scientific form: d[.ddd]e±XX.
  char buf[64];
  std::to_chars_result res;
  {
    const FloatEnvironmentScope own(RoundingMode::NearestEven);
    res = std::to_chars(buf, buf + sizeof buf, std::bit_cast<double>(magnitude), std::chars_format::scientific);
  }
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  // value = 0.d1d2...dk * 10^e
  const int e = std::atoi(std::string(sci.substr(epos + 1)).c_str()) + 1;
  const int k = static_cast<int>(digits.size());
  if (e <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-e), '0');
    out += digits;
  } else if (e < k) {
    out.append(digits, 0, static_cast<std::size_t>(e));
    out += '.';
    out.append(digits, static_cast<std::size_t>(e));
  } else {
    out += digits;
    out.append(static_cast<std::size_t>(e - k), '0');
  }
  return out;
}

std::string CastError::message() const {
  if (kind == Kind::NotFinite) {
    return "Cannot cast " + format_number(value) + " to integer type without scalar_map";
  }
  return "Value " + format_number(value) + " out of range [" + format_number(min) + ", " + format_number(max) +
         "]. Set out_of_range='clamp' or out_of_range='wrap' to handle this.";
}

}  // namespace morvith_plindra
