#include <gtest/gtest.h>
#include "morvith_plindra/kernels.hpp"
using namespace morvith_plindra;
TEST(Smoke, Basic) {
  std::vector<double> s{1.5, -2.5, 300.0};
  std::vector<std::uint8_t> d(3);
  CastConfig<double, std::uint8_t> c;
  c.out_of_range = OutOfRangeMode::Clamp;
  auto e = convert_slice<double, std::uint8_t>(s, d, c);
  EXPECT_FALSE(e);
  EXPECT_EQ(d[0], 2); EXPECT_EQ(d[1], 0); EXPECT_EQ(d[2], 255);
  EXPECT_EQ(format_number(0x1p63), "9223372036854776000");
  EXPECT_EQ(format_number(1e-7), "0.0000001");
  EXPECT_EQ(format_number(3.4028234663852886e38), "340282346638528860000000000000000000000");
  f16 h = static_cast<f16>(65519.998046875);
  EXPECT_EQ(static_cast<double>(h), 65504.0);
  f16 h2 = static_cast<f16>(1.0 + 0x1p-11 + 0x1p-40);
  EXPECT_EQ(static_cast<double>(h2), 1.0009765625);
}
