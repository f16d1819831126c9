// Mode parsing, error messages, the number format and the float helpers.
#include "support.hpp"

namespace plindra_test {
namespace {

TEST(Modes, ParseExactTextsOnly) {
  const std::pair<const char*, RM> good[] = {{"nearest-even", NE},
                                             {"towards-zero", TZ},
                                             {"towards-positive", TP},
                                             {"towards-negative", TN},
                                             {"nearest-away", NA}};
  for (const auto& [text, mode] : good) {
    const auto r = parse_rounding_mode(text);
    ASSERT_TRUE(std::holds_alternative<RM>(r)) << text;
    EXPECT_EQ(std::get<RM>(r), mode);
    EXPECT_EQ(to_string(mode), text);
  }
  EXPECT_EQ(std::get<OR>(parse_out_of_range_mode("clamp")), CL);
  EXPECT_EQ(std::get<OR>(parse_out_of_range_mode("wrap")), WR);
  for (const char* bad : {"Nearest-Even", " nearest-even", "nearest-even ", "nearest", ""}) {
    EXPECT_EQ(std::get<std::string>(parse_rounding_mode(bad)), std::string("Unknown rounding mode: ") + bad);
  }
  EXPECT_EQ(std::get<std::string>(parse_rounding_mode(std::string_view("nearest-even\0", 13))),
            std::string("Unknown rounding mode: nearest-even\0", 36));
  for (const char* bad : {"none", "error", "Clamp", "", "clamp ", "absent"}) {
    EXPECT_EQ(std::get<std::string>(parse_out_of_range_mode(bad)), std::string("Unknown out_of_range mode: ") + bad);
  }
}

TEST(Errors, MessagesAndNumberFormat) {
  EXPECT_EQ(CastError::not_finite(kNaN).message(), "Cannot cast NaN to integer type without scalar_map");
  EXPECT_EQ(CastError::not_finite(-kNaN).message(), "Cannot cast NaN to integer type without scalar_map");
  EXPECT_EQ(CastError::not_finite(-kInf).message(), "Cannot cast -inf to integer type without scalar_map");
  EXPECT_EQ(CastError::out_of_range(-1, 0, 127).message(),
            "Value -1 out of range [0, 127]. Set out_of_range='clamp' or out_of_range='wrap' to handle this.");
  const std::pair<double, std::string> rows[] = {{127, "127"},
                                                 {-128, "-128"},
                                                 {0.5, "0.5"},
                                                 {2.5, "2.5"},
                                                 {1e-7, "0.0000001"},
                                                 {2147483647, "2147483647"},
                                                 {4294967295, "4294967295"},
                                                 {65504, "65504"},
                                                 {0x1p63, "9223372036854776000"},
                                                 {-0x1p63, "-9223372036854776000"},
                                                 {0x1p64, "18446744073709552000"},
                                                 {3.4028234663852886e38, "340282346638528860000000000000000000000"},
                                                 {1e21, "1000000000000000000000"},
                                                 {-0.0, "-0"},
                                                 {0.0, "0"},
                                                 {kNaN, "NaN"},
                                                 {-kNaN, "NaN"},
                                                 {kInf, "inf"},
                                                 {-kInf, "-inf"},
                                                 {0.1, "0.1"},
                                                 {1.0 / 3, "0.3333333333333333"},
                                                 {123.456, "123.456"},
                                                 {5e-324, "0." + std::string(323, '0') + "5"},
                                                 {1e16, "10000000000000000"},
                                                 {1.5e300, "15" + std::string(299, '0')},
                                                 {65519.998046875, "65519.998046875"},
                                                 {-12.0625, "-12.0625"},
                                                 {9007199254740993.0, "9007199254740992"},
                                                 {0.30000000000000004, "0.30000000000000004"},
                                                 {100, "100"},
                                                 {1, "1"},
                                                 {10.5, "10.5"}};
  for (const auto& [v, text] : rows) EXPECT_EQ(format_number(v), text) << show(v);
}

// A float64 signalling NaN element reaches the error unquietened; its message
// is made by the bits, without a floating-point exception (which the caller
// may trap) or a raised flag.
TEST(Errors, SignallingNaNIsFormattedWithoutAFloatingPointException) {
  const double snan[] = {std::bit_cast<double>(u64(0x7FF0000000000001)),
                         std::bit_cast<double>(u64(0xFFF4000000000000))};
  const std::string nan_message = "Cannot cast NaN to integer type without scalar_map";
  std::vector<std::string> want;
  for (std::size_t i = 0; i < std::size(snan); ++i) want.insert(want.end(), {"NaN", nan_message});
  // The elements before it written, it and the rest untouched.
  want.insert(want.end(), std::size(kRanges) * std::size(snan), nan_message + " / 1 2 0 0");
  expect_callers_environment_ignored([&](const auto& under) {
    std::vector<std::string> out;
    for (double v : snan) {
      out.push_back(under([&] { return format_number(v); }));
      out.push_back(under([&] { return CastError::not_finite(v).message(); }));
    }
    for (OR range : kRanges) {
      for (double v : snan) {
        const double src[] = {1.0, 2.0, v, 4.0};
        i32 dst[4] = {};
        const auto message = under([&] {
          const auto err = convert_slice<double, i32>(src, dst, cfg<double, i32>(NE, range));
          return err ? err->message() : std::string();
        });
        std::string line = message;
        line += " /";
        for (i32 d : dst) line.append(" ").append(std::to_string(d));
        out.push_back(line);
      }
    }
    EXPECT_EQ(out, want);
    return out;
  });
}

TEST(CastFloat, RoundWithMode) {
  // {x, NE, TZ, TP, TN, NA}
  const double rows[][6] = {{2.5, 2, 2, 3, 2, 3},
                            {-2.5, -2, -2, -2, -3, -3},
                            {0.5, 0, 0, 1, 0, 1},
                            {-0.3, -0.0, -0.0, -0.0, -1, -0.0},
                            {0.49999999999999994, 0, 0, 1, 0, 0},
                            {4503599627370497.0, 4503599627370497.0, 4503599627370497.0, 4503599627370497.0,
                             4503599627370497.0, 4503599627370497.0},
                            {4503599627370495.5, 4503599627370496.0, 4503599627370495.0, 4503599627370496.0,
                             4503599627370495.0, 4503599627370496.0},
                            {kInf, kInf, kInf, kInf, kInf, kInf},
                            {-kInf, -kInf, -kInf, -kInf, -kInf, -kInf}};
  for (const auto& r : rows) {
    for (int m = 0; m < 5; ++m) {
      EXPECT_EQ(show(CastFloat<double>::round_with_mode(r[0], kModes[m])), show(r[m + 1])) << r[0] << " mode " << m;
      const float xf = static_cast<float>(r[0]);
      if (static_cast<double>(xf) == r[0]) {
        EXPECT_EQ(show(CastFloat<float>::round_with_mode(xf, kModes[m])), show(static_cast<float>(r[m + 1])));
      }
    }
  }
  EXPECT_EQ(CastFloat<float>::round_with_mode(8388609.0f, NA), 8388609.0f);
  EXPECT_EQ(CastFloat<float>::round_with_mode(0.49999997f, NA), 0.0f);
  EXPECT_TRUE(std::isnan(static_cast<double>(CastFloat<f16>::round_with_mode(static_cast<f16>(kNaN), NA))));
  EXPECT_EQ(static_cast<double>(CastFloat<f16>::round_with_mode(static_cast<f16>(0.499755859375), NA)), 0.0);
  EXPECT_EQ(static_cast<double>(CastFloat<f16>::round_with_mode(static_cast<f16>(-2.5), NA)), -3.0);
  // rem_euclid: non-negative remainder.
  EXPECT_EQ(CastFloat<double>::rem_euclid(-1.0, 256.0), 255.0);
  EXPECT_EQ(CastFloat<float>::rem_euclid(1000.0f, 256.0f), 232.0f);
  EXPECT_EQ(static_cast<double>(CastFloat<f16>::rem_euclid(static_cast<f16>(-300.0), static_cast<f16>(256.0))), 212.0);
}

// The scalar helpers round by the mode they are given (or to nearest), never
// by the caller's environment. Each input rounds differently by direction;
// 1e-310 and the float16 and float32 subnormals meet flush-to-zero and
// denormals-are-zero.
TEST(CastFloat, ScalarHelpersIgnoreTheCallersEnvironment) {
  const double dv[] = {2.5, -2.5, 0.5000000000000001, -0.49999999999999994, 4503599627370495.5, 1e-310, -1e-310};
  const float fv[] = {2.5f, -0.49999997f, 8388607.5f, 1e-40f};
  const f16 snan16 = std::bit_cast<f16>(u16(0x7C01));  // widening it is an invalid operation
  const f16 hv[] = {static_cast<f16>(2.5), static_cast<f16>(-0.499755859375), std::bit_cast<f16>(u16(0x0001)), snan16};
  const std::pair<double, double> rem64[] = {{-1e-20, 1.0}, {-0.1, 3.0}, {-1e-310, 1e-300}};
  const std::pair<float, float> rem32[] = {{-1e-10f, 1.0f}, {-0.1f, 3.0f}};
  const f16 rem16[][2] = {{static_cast<f16>(-0.0001), static_cast<f16>(1.0)},
                          {static_cast<f16>(-0.1), static_cast<f16>(3.0)},
                          {snan16, static_cast<f16>(256.0)}};
  const double narrow[] = {0.1, -0.1, 1.0 + 0x1p-30, 1.0004882812500002, 65519.99, 1e-40, 6.0e-8, 1e-310, 3.5e38};
  const i64 tie = (i64(1) << 53) + 1;  // the double 2^53 is its nearest-even rounding
  expect_callers_environment_ignored([&](const auto& under) {
    std::vector<std::string> out;
    auto add = [&](auto f) { out.push_back(show(under(f))); };
    for (RM m : kModes) {
      for (double x : dv) add([&] { return CastFloat<double>::round_with_mode(x, m); });
      for (float x : fv) add([&] { return CastFloat<float>::round_with_mode(x, m); });
      for (f16 x : hv) add([&] { return CastFloat<f16>::round_with_mode(x, m); });
      add([&] { return adjust_to_mode<double>(0x1p53, tie, false, m); });
      add([&] { return adjust_to_mode<float>(1.0f, 1.0 + 0x1p-24 + 0x1p-40, false, m); });
      add([&] { return adjust_to_mode<f16>(std::bit_cast<f16>(u16(0x6800)), i64(2049), false, m); });
    }
    for (auto [x, m] : rem64) add([&] { return CastFloat<double>::rem_euclid(x, m); });
    for (auto [x, m] : rem32) add([&] { return CastFloat<float>::rem_euclid(x, m); });
    for (const auto& r : rem16) add([&] { return CastFloat<f16>::rem_euclid(r[0], r[1]); });
    for (double x : narrow) {
      add([&] { return round_to_float<f32>(x); });
      add([&] { return round_to_float<f16>(x); });
    }
    for (double x : dv) {
      add([&] { return next_up(x); });
      add([&] { return next_down(x); });
      add([&] { return compare_exact(x, 0.0); });
      add([&] { return compare_exact(x, i64(2)); });
      add([&] { return compare_exact(x, tie); });
    }
    return out;
  });
  // And the default environment's results are the right ones.
  EXPECT_EQ(adjust_to_mode<double>(0x1p53, tie, false, NA), 0x1p53 + 2);
  EXPECT_EQ(CastFloat<double>::rem_euclid(-1e-20, 1.0), 1.0);
  EXPECT_EQ(round_to_float<f32>(0.1), 0.1f);
  EXPECT_EQ(std::bit_cast<u16>(round_to_float<f16>(0.1)), 0x2E66);
  EXPECT_EQ(std::bit_cast<u16>(round_to_float<f16>(1.0004882812500002)), 0x3C01);  // rounded once
}

TEST(CastFloat, RoundToFloat16KeepsNaNs) {
  // {float64 bits, float16 bits}: quiet NaNs of both signs, a payload that
  // fits, and a signalling NaN whose payload does not (quietened).
  const std::pair<u64, u16> rows[] = {{0x7FF8000000000000u, 0x7E00},
                                      {0xFFF8000000000000u, 0xFE00},
                                      {0x7FFC000000000000u, 0x7F00},
                                      {0x7FF0000000000001u, 0x7E00}};
  for (const auto& [in, out] : rows) {
    EXPECT_EQ(std::bit_cast<u16>(round_to_float<f16>(std::bit_cast<double>(in))), out) << std::hex << in;
  }
}

TEST(CastFloat, NextUpDown) {
  // {bits, next_up bits, next_down bits} of float16 values: zeros, 1, -1, the
  // largest finite value, infinities and a NaN.
  const u16 rows[][3] = {{0x0000, 0x0001, 0x8001}, {0x8000, 0x0001, 0x8001}, {0x3C00, 0x3C01, 0x3BFF},
                         {0xBC00, 0xBBFF, 0xBC01}, {0x7BFF, 0x7C00, 0x7BFE}, {0x7C00, 0x7C00, 0x7BFF},
                         {0xFC00, 0xFBFF, 0xFC00}, {0x7E00, 0x7E00, 0x7E00}};
  for (const auto& r : rows) {
    EXPECT_EQ(std::bit_cast<u16>(next_up(std::bit_cast<f16>(r[0]))), r[1]) << r[0];
    EXPECT_EQ(std::bit_cast<u16>(next_down(std::bit_cast<f16>(r[0]))), r[2]) << r[0];
  }
  EXPECT_EQ(std::bit_cast<u32>(next_down(-0.0f)), 0x80000001u);
  EXPECT_EQ(next_up(-1.0f), -1.0f + 0x1p-24f);
}

}  // namespace
}  // namespace plindra_test
