// Float -> float conversion: correct rounding in every mode, overflow, identities.
#include <cfenv>
#include <random>

#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(FloatToFloat);

const std::string kMax16 = "65504", kMax32 = "340282346638528860000000000000000000000";

// Correctly rounded from the exact source; a finite value that becomes
// infinite fails unless the mode is Clamp.
template <class D>
std::string expected(double x, RM m, OR o) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return show(x);
  const bool half = std::is_same_v<D, f16>;
  const double r = half ? ref_f16(exact_of(x), m) : ref_f32(exact_of(x), m);
  if (std::isinf(r) && o != CL) {
    const std::string& mx = half ? kMax16 : kMax32;
    return range_msg(format_number(x), "-" + mx, mx);
  }
  return show(r);
}

template <class S, class D>
void check_against_rule(const std::vector<S>& src) {
  for (RM m : kModes) {
    for (OR o : {AB, CL}) {
      const auto c = cfg<S, D>(m, o);
      for (S x : src) ASSERT_EQ((one<S, D>(x, c)), expected<D>(x, m, o)) << show(x) << " mode " << int(m);
    }
    check_run(src, cfg<S, D>(m, CL), src.size());
  }
}

// Every float16 value, the midpoints between neighbours (65536 standing in
// past the largest finite one) and the source values next to each midpoint.
template <class S>
std::vector<S> around_halves() {
  std::vector<S> v;
  for (u32 b = 0; b < 0x7C00; ++b) {
    const double lo = static_cast<double>(std::bit_cast<f16>(static_cast<u16>(b)));
    const double hi = b == 0x7BFF ? 65536.0 : static_cast<double>(std::bit_cast<f16>(static_cast<u16>(b + 1)));
    const S mid = static_cast<S>((lo + hi) / 2);
    for (S x : {static_cast<S>(lo), mid, std::nextafter(mid, S(0)), std::nextafter(mid, S(1e6)),
                static_cast<S>(lo + (hi - lo) / 4)}) {
      v.push_back(x);
      v.push_back(-x);
    }
  }
  for (double x : {65520.0, 70000.0, 1e10, kInf, -kInf, kNaN}) v.push_back(static_cast<S>(x));
  return v;
}

TEST_P(FloatToFloat, ToHalfIsCorrectlyRounded) {
  check_against_rule<float, f16>(around_halves<float>());
  check_against_rule<double, f16>(around_halves<double>());
}

TEST_P(FloatToFloat, DoubleToSingleIsCorrectlyRounded) {
  std::mt19937_64 rng(3);
  std::vector<double> v{0x1p-150,
                        0x1.8p-149,
                        0x1p-126 - 0x1p-160,
                        0x1.fffffefffffffp127,
                        0x1.ffffffp127,
                        1e39,
                        std::numeric_limits<double>::max(),
                        5e-324,
                        kInf,
                        -kInf,
                        kNaN};
  for (int i = 0; i < 20000; ++i) {
    const double mant = 1.0 + static_cast<double>(rng() >> 11) * 0x1p-53;
    v.push_back(std::ldexp(mant, static_cast<int>(rng() % 300) - 165));
    const float f = std::bit_cast<float>(static_cast<u32>(rng() % 0x7F800000u));
    const double mid =
        (static_cast<double>(f) + static_cast<double>(std::nextafter(f, std::numeric_limits<float>::infinity()))) / 2;
    v.insert(v.end(), {mid, std::nextafter(mid, 0.0), std::nextafter(mid, 1e300)});
  }
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  check_against_rule<double, f32>(v);
}

// The caller's floating-point environment changes no result and is handed
// back after every call, failing ones included.
TEST_P(FloatToFloat, CallersEnvironmentIsNeitherUsedNorLost) {
  // 1e-40 and 0x1p-150 have subnormal float32 results; 1e-310 is a subnormal
  // double, which a towards-positive integer rounding takes to 1.
  const std::vector<double> dv{1.5,      2.5,   -2.5,   0.1, -0.7, 1e39,   0x1.fffffefffffffp127,
                               0x1p-150, 1e-40, 1e-310, 3e9, 1e20, -3e-39, kNaN};
  const std::vector<float> fv{1.5f, 0.1f, 1e-40f, 6.0e-8f, 70000.0f, -1e-45f};
  const std::vector<i64> iv{(i64(1) << 40) + 1, -(i64(1) << 60) - 3, 16777217, (i64(1) << 62) + (i64(1) << 38), -1};
  expect_callers_environment_ignored([&](const auto& under) {
    std::vector<std::string> out;
    for (RM m : kModes) {
      for (double x : dv) {
        out.push_back(one_under(under, x, cfg<double, f32>(m, AB)));
        out.push_back(one_under(under, x, cfg<double, f16>(m, CL)));
        out.push_back(one_under(under, x, cfg<double, i32>(m, CL)));
        out.push_back(one_under(under, x, cfg<double, u8>(m, AB)));
        out.push_back(one_under(under, x, cfg<double, i64>(m, WR)));
      }
      for (float x : fv) {
        out.push_back(one_under(under, x, cfg<float, f16>(m, AB)));
        out.push_back(one_under(under, x, cfg<float, u8>(m, CL)));
      }
      for (i64 x : iv) {
        out.push_back(one_under(under, x, cfg<i64, f32>(m)));
        out.push_back(one_under(under, x, cfg<i64, f64>(m)));
        out.push_back(one_under(under, x, cfg<i64, f16>(m)));
      }
    }
    return out;
  });
}

// Ties, the largest finite values and their overflow thresholds, subnormal
// results and signed zeros at every lane position and in the tail, in
// clamp and error mode (a value past the range fails at its own index).
template <class S, class D>
void check_every_lane(const std::vector<S>& values) {
  for (S v : values) {
    for (RM m : kModes) {
      for (OR o : {AB, CL}) {
        for (std::size_t len : {1, 3, 4, 5, 8, 9, 16, 19, 32, 35}) {
          for (std::size_t pos = 0; pos < len; ++pos) {
            std::vector<S> src(len, S(1.5));
            src[pos] = v;
            check_run(src, cfg<S, D>(m, o), len);
            std::vector<D> dst(len);
            if (!convert_slice<S, D>(std::span<const S>(src), std::span<D>(dst), cfg<S, D>(m, o))) {
              ASSERT_EQ(show(dst[pos]), expected<D>(v, m, o)) << show(v) << " mode " << int(m) << " at " << pos;
            }
          }
        }
      }
    }
  }
}

TEST_P(FloatToFloat, EveryLaneAndTheTail) {
  std::vector<float> to_half{2049.0f,  2051.0f,    0.5f + 0x1p-11f, 65504.0f,  65519.0f, 65520.0f,    65536.0f,
                             0x1p-25f, 0x1.8p-24f, 0x1p-26f,        0x1p-149f, 0.0f,     float(kInf), float(kNaN)};
  std::vector<double> to_single{1.0 + 0x1p-24,
                                1.0 + 0x1.8p-23,
                                0x1.fffffep127,
                                0x1.fffffefffffffp127,
                                0x1.ffffffp127,
                                0x1.ffffe9p127,
                                0x1.fffffp127,
                                0x1p-126 + 0x1p-150,
                                0x1p-126,
                                0x1.fffffep-127,
                                0x1.7p-140,
                                0x1p-150,
                                0x1.fffffp-151,
                                0x1.8p-149,
                                0x1p-160,
                                0.0,
                                kInf,
                                kNaN,
                                std::bit_cast<double>(~std::uint64_t(0) >> 1)};
  // float64 to float16 rounds to odd on the way: values float32 does not
  // hold; and the bounds of the vector path's normal range (2^-25 and 2^-14
  // from below, 65504 and 65520 from either side).
  std::vector<double> double_to_half{65519.998046875,         65519.99999999999, 65504.0 + 0x1p-37,
                                     1.0 + 0x1p-11 + 0x1p-40, 0x1p-25 + 0x1p-60, 0x1p-25 - 0x1p-80,
                                     0x1p-14 - 0x1p-66,       0x1p-14,           1e39};
  for (float v : to_half) double_to_half.push_back(v);
  for (std::size_t i = 0, n = to_half.size(); i < n; ++i) to_half.push_back(-to_half[i]);
  for (std::size_t i = 0, n = to_single.size(); i < n; ++i) to_single.push_back(-to_single[i]);
  for (std::size_t i = 0, n = double_to_half.size(); i < n; ++i) double_to_half.push_back(-double_to_half[i]);
  check_every_lane<float, f16>(to_half);
  check_every_lane<double, f32>(to_single);
  check_every_lane<double, f16>(double_to_half);
}

TEST_P(FloatToFloat, EdgeCases) {
  const std::string e39 = range_msg("1" + std::string(39, '0'), "-" + kMax32, kMax32);
  const std::string e70k = range_msg("70000", "-" + kMax16, kMax16);
  const double x11 = 1.0 + 0x1p-11 + 0x1p-40;
  const std::pair<std::string, std::string> rows[] = {
      {one<double, f32>(1e39, NE), e39},
      {one<double, f32>(1e39, NA, WR), e39},
      {one<double, f32>(1e39, TP), e39},
      {one<double, f32>(1e39, TZ), show(0x1.fffffep127)},
      {one<double, f32>(1e39, TN, WR), show(0x1.fffffep127)},
      {one<double, f32>(1e39, NE, CL), show(kInf)},
      {one<double, f32>(-1e39, TP, CL), show(-0x1.fffffep127)},
      {one<float, f16>(70000.0f, NE), e70k},
      {one<float, f16>(70000.0f, NE, WR), e70k},
      {one<float, f16>(70000.0f, NE, CL), show(kInf)},
      {one<float, f16>(70000.0f, TZ), show(65504.0)},
      {one<float, f16>(-70000.0f, TZ), show(-65504.0)},
      {one<float, f16>(70000.0f, TN), show(65504.0)},
      {one<float, f16>(65519.0f, NE), show(65504.0)},
      {one<float, f16>(65519.0f, TP), range_msg("65519", "-65504", "65504")},
      {one<float, f16>(65519.0f, TP, CL), show(kInf)},
      {one<double, f16>(65519.998046875, NE), show(65504.0)},
      {one<double, f16>(65519.998046875, NA), show(65504.0)},
      {one<double, f16>(65519.998046875, TP), range_msg("65519.998046875", "-65504", "65504")},
      {one<double, f16>(65519.998046874, NE), show(65504.0)},
      {one<double, f16>(65520.0, NE, CL), show(kInf)},
      {one<double, f16>(x11, NE), show(1.0009765625)},
      {one<double, f16>(x11, NA), show(1.0009765625)},
      {one<double, f16>(x11, TP), show(1.0009765625)},
      {one<double, f16>(x11, TZ), show(1.0)},
      {one<double, f16>(-x11, TP), show(-1.0)},
      {one<double, f16>(1.0 + 0x1p-11, NE), show(1.0)},
      {one<double, f16>(1.0 + 0x1p-11, NA), show(1.0009765625)},
      {one<double, f32>(1e-50, NE), show(0.0)},
      {one<double, f32>(1e-50, TZ), show(0.0)},
      {one<double, f32>(1e-50, NA), show(0.0)},
      {one<double, f32>(1e-50, TP), show(0x1p-149)},
      {one<double, f32>(-1e-50, NE), show(-0.0)},
      {one<double, f32>(-1e-50, TN), show(-0x1p-149)},
      {one<double, f32>(-1e-50, TP), show(-0.0)},
      {one<double, f32>(0x1p-150, NE), show(0.0)},
      {one<double, f32>(0x1p-150, NA), show(0x1p-149)},
      {one<double, f16>(0x1p-25, NA), show(0x1p-24)},
      {one<double, f16>(-0x1p-25, NE), show(-0.0)},
      {one<double, f32>(kNaN, TP), "nan"},
      {one<double, f16>(kInf, NE), show(kInf)},
      {one<float, f16>(-kInf, TZ, WR), show(-kInf)},
      {one<double, f16>(kNaN, cfg<double, f16>(NE, AB, {{1.0, f16(2)}, {-kNaN, f16(5)}})), show(5.0)},
      {one<float, f16>(-0.0f, cfg<float, f16>(NE, AB, {{0.0f, f16(3)}, {-0.0f, f16(4)}})), show(3.0)},
      {one<double, f32>(0.0, cfg<double, f32>(NE, AB, {{-0.0, 6.0f}})), show(6.0)},
      {one<double, f32>(1e39, cfg<double, f32>(NE, AB, {{1e39, 1.0f}})), show(1.0)},
      {one<f16, f32>(f16(-0.0), cfg<f16, f32>(NE, AB, {{f16(0.0), 8.0f}})), show(8.0)},
      {one<f32, f32>(std::numeric_limits<float>::quiet_NaN(),
                     cfg<f32, f32>(NE, AB, {{std::numeric_limits<float>::quiet_NaN(), 9.0f}})),
       show(9.0)}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

// Exact pairs keep every bit pattern (NaN payloads, signed zeros); a float16
// widened and narrowed again comes back unchanged.
TEST_P(FloatToFloat, ExactPairsKeepBits) {
  std::vector<f16> all(65536), back(65536);
  std::vector<f32> wide(65536);
  for (u32 b = 0; b < 65536; ++b) all[b] = std::bit_cast<f16>(static_cast<u16>(b));
  for (RM m : kModes) {
    ASSERT_FALSE((convert_slice<f16, f32>(all, wide, cfg<f16, f32>(m))));
    ASSERT_FALSE((convert_slice<f32, f16>(wide, back, cfg<f32, f16>(m))));
    for (u32 b = 0; b < 65536; ++b) {
      if (std::isnan(static_cast<float>(all[b]))) {
        ASSERT_TRUE(std::isnan(static_cast<float>(back[b]))) << b;
      } else {
        ASSERT_EQ(std::bit_cast<u16>(back[b]), b) << "mode " << int(m);
      }
    }
    ASSERT_FALSE((convert_slice<f16, f16>(all, back, cfg<f16, f16>(m))));
    ASSERT_EQ(std::memcmp(all.data(), back.data(), 2 * all.size()), 0);
  }
  const std::vector<u32> b32{0x7FC12345u, 0xFF800001u, 0x80000000u, 0x00000001u};
  std::vector<f32> s32, d32(4);
  for (u32 b : b32) s32.push_back(std::bit_cast<f32>(b));
  ASSERT_FALSE((convert_slice<f32, f32>(s32, d32, cfg<f32, f32>(TZ))));
  EXPECT_EQ(std::memcmp(s32.data(), d32.data(), 16), 0);
  const std::vector<f64> s64{std::bit_cast<f64>(u64(0x7FF0000000000123)), -0.0};
  std::vector<f64> d64(2);
  ASSERT_FALSE((convert_slice<f64, f64>(s64, d64, cfg<f64, f64>(TP))));
  EXPECT_EQ(std::memcmp(s64.data(), d64.data(), 16), 0);
}

TEST_P(FloatToFloat, BlockBoundaries) {
  check_blocks<double, f16>({1.5, 65504.0, -0.0, 1e-9, kNaN}, 1e6, cfg<double, f16>(NE, AB));
  check_blocks<double, f32>({1.5, -1e38, kInf}, 1e39, cfg<double, f32>(TP, WR));
  check_blocks<float, f16>({1.5f, 65519.0f, -2.0f}, -65520.0f, cfg<float, f16>(NA, AB));
  check_blocks<float, f16>({1.5f, 2.5f, -0.0f}, 1e10f, cfg<float, f16>(NE, AB, {{1.5f, f16(1)}}));
  check_blocks<double, f32>({1.5, 1e39}, -1e39, cfg<double, f32>(NE, CL));
}

}  // namespace
}  // namespace plindra_test
