// Float -> integer conversion, the clamp fast paths and float16 sources.
#include <random>

#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(FloatToInt);

// The rule: round exactly, then keep, fail, saturate or reduce modulo 2^bits.
template <class D>
std::string expected(double x, RM m, OR o) {
  using DL = std::numeric_limits<D>;
  if (std::isnan(x)) return nonfinite_msg("NaN");
  const double r = ref_integral(x, m);
  if (std::isfinite(r) && std::fabs(r) < 0x1p100 && static_cast<i128>(r) >= DL::min() &&
      static_cast<i128>(r) <= DL::max()) {
    return show(static_cast<D>(static_cast<i128>(r)));
  }
  if (o == AB) {
    return range_msg(format_number(r), format_number(static_cast<double>(DL::min())),
                     format_number(static_cast<double>(DL::max())));
  }
  if (o == CL) return show(r < 0 ? DL::min() : DL::max());
  if (std::isinf(r)) return nonfinite_msg(format_number(r));
  const Exact e = exact_of(r);
  const u64 low = e.exp >= 64 ? 0 : e.exp >= 0 ? static_cast<u64>(e.mag) << e.exp : static_cast<u64>(e.mag >> -e.exp);
  return show(static_cast<D>(e.neg ? 0 - low : low));
}

std::vector<double> inputs() {
  std::vector<double> v{0.0,
                        0.49999999999999994,
                        0.5,
                        1.5,
                        2.5,
                        4503599627370497.0,
                        4503599627370495.5,
                        1e19,
                        1e20,
                        0x1p84,
                        0x1p84 + 0x1p32,
                        0x1p100 + 0x1p60,
                        1e300,
                        std::numeric_limits<double>::max(),
                        5e-324,
                        300.7,
                        2147483904.0,
                        8388609.0,
                        16777217.0};
  for (int k = 0; k <= 70; ++k) {
    for (double d : {-1.5, -1.0, -0.5, -0.25, 0.0, 0.5, 0.75, 1.0}) v.push_back(std::ldexp(1.0, k) + d);
    v.push_back(std::ldexp(1.0, k) - std::ldexp(1.0, k - 53));
  }
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 1500; ++i) {
    const double mant = static_cast<double>(rng() >> 11) * 0x1p-53;
    v.push_back(std::ldexp(1.0 + mant, static_cast<int>(rng() % 80) - 4));
  }
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  for (double s : {kInf, -kInf, kNaN, -kNaN}) v.push_back(s);
  return v;
}

template <class S>
void check_against_rule() {
  std::vector<S> src;
  for (double x : inputs()) src.push_back(static_cast<S>(x));
  for_each_int([&](auto d) {
    using D = decltype(d);
    for (RM m : kModes) {
      for (OR o : kRanges) {
        const auto c = cfg<S, D>(m, o);
        for (S x : src) {
          ASSERT_EQ((one<S, D>(x, c)), expected<D>(x, m, o)) << show(x) << " mode " << int(m) << "/" << int(o);
        }
        check_run(src, c, src.size());
      }
    }
  });
}

TEST_P(FloatToInt, DoubleSourcesMatchTheRule) { check_against_rule<double>(); }
TEST_P(FloatToInt, FloatSourcesMatchTheRule) { check_against_rule<float>(); }

TEST_P(FloatToInt, EdgeCases) {
  const double p63 = 0x1p63, p64 = 0x1p64;
  const std::pair<std::string, std::string> rows[] = {
      {one<double, u8>(254.5, NE), "254"},
      {one<double, u8>(255.5, NE), range_msg("256", "0", "255")},
      {one<double, u8>(-0.4, NE), "0"},
      {one<double, u8>(-0.6, NE), range_msg("-1", "0", "255")},
      {one<double, u8>(255.9, TZ), "255"},
      {one<double, u8>(-0.9, TZ), "0"},
      {one<double, u8>(-0.5, TP), "0"},
      {one<double, u8>(-0.5, TN), range_msg("-1", "0", "255")},
      {one<double, u8>(-0.5, NA), range_msg("-1", "0", "255")},
      {one<double, u8>(-0.5, NE), "0"},
      {one<double, u8>(kNaN, NE, CL), nonfinite_msg("NaN")},
      {one<float, u8>(-kNaN, TZ, CL), nonfinite_msg("NaN")},
      {one<double, i32>(kNaN, NE, WR), nonfinite_msg("NaN")},
      {one<double, i32>(kInf, NE, CL), "2147483647"},
      {one<double, i32>(-kInf, TP, CL), "-2147483648"},
      {one<double, u64>(1e300, NE, CL), "18446744073709551615"},
      {one<float, i64>(-1e30f, NE, CL), "-9223372036854775808"},
      {one<double, u8>(kInf, NE), range_msg("inf", "0", "255")},
      {one<double, u8>(-kInf, NE), range_msg("-inf", "0", "255")},
      {one<double, u8>(kInf, NE, WR), nonfinite_msg("inf")},
      {one<float, i16>(-kInf, NA, WR), nonfinite_msg("-inf")},
      {one<double, u8>(256, NE, WR), "0"},
      {one<double, u8>(-1, NE, WR), "255"},
      {one<double, u8>(1000, NE, WR), "232"},
      {one<double, u8>(-300, NE, WR), "212"},
      {one<double, u8>(300.7, NE, WR), "45"},
      {one<double, i8>(128, NE, WR), "-128"},
      {one<double, i8>(-129, NE, WR), "127"},
      {one<double, i8>(200, NE, WR), "-56"},
      {one<double, i8>(1000, NE, WR), "-24"},
      {one<double, i8>(-1000, NE, WR), "24"},
      {one<double, i64>(1e19, NE, WR), "-8446744073709551616"},
      {one<double, u32>(-2.0, NE, WR), "4294967294"},
      // The accepted range is exactly [MIN, MAX]; wrapping is the exact residue.
      {one<float, i32>(2147483648.0f, NE), range_msg("2147483648", "-2147483648", "2147483647")},
      {one<float, i32>(2147483648.0f, NE, CL), "2147483647"},
      {one<float, i32>(2147483648.0f, NE, WR), "-2147483648"},
      {one<float, i32>(-2147483648.0f, NE), "-2147483648"},
      {one<float, u32>(4294967296.0f, NE), range_msg("4294967296", "0", "4294967295")},
      {one<double, i64>(p63, NE), range_msg("9223372036854776000", "-9223372036854776000", "9223372036854776000")},
      {one<double, i64>(p63, NE, CL), "9223372036854775807"},
      {one<double, i64>(p63, NE, WR), "-9223372036854775808"},
      {one<double, i64>(-p63, NE), "-9223372036854775808"},
      {one<double, u64>(p64, NE), range_msg("18446744073709552000", "0", "18446744073709552000")},
      {one<double, u64>(p64, NE, CL), "18446744073709551615"},
      {one<double, u64>(p64, NE, WR), "0"},
      {one<float, i32>(2147483904.0f, NE, WR), "-2147483392"},
      {one<double, u64>(-1.0, NE, WR), "18446744073709551615"},
      {one<double, u64>(-2.0, NE, WR), "18446744073709551614"},
      {one<double, u64>(-4096.0, NE, WR), "18446744073709547520"},
      {one<float, u32>(-2.0f, NE, WR), "4294967294"},
      {one<double, i8>(1e20, NE, WR), "0"},
      {one<float, i8>(2147483648.0f, NE, WR), "0"},
      {one<double, i32>(0x1p84, NE, WR), "0"},
      {one<double, i64>(0x1p84 + 0x1p32, NE, WR), "4294967296"},
      {one<float, u64>(-0x1p63f, NE, WR), "9223372036854775808"},
      // Nearest-away is the exact half-away rounding.
      {one<double, u8>(0.49999999999999994, NA), "0"},
      {one<double, i64>(4503599627370497.0, NA), "4503599627370497"},
      {one<float, i32>(8388609.0f, NA), "8388609"},
      {one<double, i8>(-2.5, NA), "-3"},
      // Scalar map: caught before rounding and range handling.
      {one<double, u8>(-kNaN, cfg<double, u8>(NE, AB, {{1, 2}, {kNaN, 9}})), "9"},
      {one<double, u8>(-0.0, cfg<double, u8>(NE, AB, {{0.0, 5}})), "5"},
      {one<double, u8>(300.0, cfg<double, u8>(NE, AB, {{300.0, 7}, {300.0, 8}})), "7"},
      {one<double, u8>(300.2, cfg<double, u8>(NE, AB, {{300.0, 7}})), range_msg("300", "0", "255")},
      {one<double, u8>(3.0, cfg<double, u8>(NE, AB, {{kNaN, 7}})), "3"},
      {one<double, u8>(kInf, cfg<double, u8>(NE, WR, {{kInf, 1}})), "1"},
      {one<float, i32>(-kNaN, cfg<float, i32>(TZ, CL, {{-0.0f, 4}, {std::numeric_limits<float>::quiet_NaN(), 6}})),
       "6"}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST_P(FloatToInt, HalfEdgeCases) {
  auto h = [](double x) { return static_cast<f16>(x); };
  const f16 inf = h(kInf), ninf = h(-kInf);
  const std::pair<std::string, std::string> rows[] = {
      {one<f16, i8>(h(2.5), NE), "2"},
      {one<f16, i8>(h(2.5), TZ), "2"},
      {one<f16, i8>(h(2.5), TP), "3"},
      {one<f16, i8>(h(2.5), TN), "2"},
      {one<f16, i8>(h(2.5), NA), "3"},
      {one<f16, i8>(h(-2.5), NE), "-2"},
      {one<f16, i8>(h(-2.5), TZ), "-2"},
      {one<f16, i8>(h(-2.5), TP), "-2"},
      {one<f16, i8>(h(-2.5), TN), "-3"},
      {one<f16, i8>(h(-2.5), NA), "-3"},
      {one<f16, i8>(h(127.5), NE), range_msg("128", "-128", "127")},
      {one<f16, i8>(h(127.5), TZ), "127"},
      {one<f16, i8>(h(-128.5), NE), "-128"},
      {one<f16, i8>(h(-128.5), NA), range_msg("-129", "-128", "127")},
      {one<f16, i8>(h(-128.5), NA, CL), "-128"},
      {one<f16, i8>(h(-128.5), NA, WR), "127"},
      {one<f16, i8>(h(200), NE), range_msg("200", "-128", "127")},
      {one<f16, i8>(h(200), NE, CL), "127"},
      {one<f16, i8>(h(200), NE, WR), "-56"},
      {one<f16, i8>(h(-65504), NE, WR), "32"},
      {one<f16, i8>(h(65376), NE, WR), "96"},
      {one<f16, i8>(h(65504), NE, WR), "-32"},
      {one<f16, u8>(h(-0.4), NE), "0"},
      {one<f16, u8>(h(-0.5), NA), range_msg("-1", "0", "255")},
      {one<f16, u8>(h(-1), NE, WR), "255"},
      {one<f16, u8>(h(256), NE, WR), "0"},
      {one<f16, u8>(h(65504), NE, WR), "224"},
      {one<f16, u8>(std::bit_cast<f16>(u16(1)), TP), "1"},
      {one<f16, u8>(std::bit_cast<f16>(u16(1)), NA), "0"},
      {one<f16, i16>(h(32768), NE), range_msg("32768", "-32768", "32767")},
      {one<f16, i16>(h(32768), NE, WR), "-32768"},
      {one<f16, i16>(h(32768), NE, CL), "32767"},
      {one<f16, i16>(h(32800), NE), range_msg("32800", "-32768", "32767")},
      {one<f16, i16>(h(-32800), NE), range_msg("-32800", "-32768", "32767")},
      {one<f16, i16>(h(65504), NE, CL), "32767"},
      {one<f16, i16>(h(-65504), NE, CL), "-32768"},
      {one<f16, u16>(h(-5), NE), range_msg("-5", "0", "65535")},
      {one<f16, u16>(ninf, NE), range_msg("-inf", "0", "65535")},
      {one<f16, u16>(inf, NE), range_msg("inf", "0", "65535")},
      {one<f16, u16>(h(65504), NE), "65504"},
      {one<f16, u16>(h(-1), NE, WR), "65535"},
      {one<f16, u32>(h(-1), NE, WR), "4294967295"},
      {one<f16, i32>(inf, NE), range_msg("inf", "-2147483648", "2147483647")},
      {one<f16, i32>(ninf, NE), range_msg("-inf", "-2147483648", "2147483647")},
      {one<f16, u32>(inf, NE), range_msg("inf", "0", "4294967295")},
      {one<f16, i64>(inf, NE), range_msg("inf", "-9223372036854776000", "9223372036854776000")},
      {one<f16, u64>(inf, NE), range_msg("inf", "0", "18446744073709552000")},
      {one<f16, u64>(inf, NE, CL), "18446744073709551615"},
      {one<f16, i64>(ninf, NE, CL), "-9223372036854775808"},
      {one<f16, u16>(inf, NE, WR), nonfinite_msg("inf")},
      {one<f16, i8>(ninf, TZ, WR), nonfinite_msg("-inf")},
      {one<f16, i32>(h(-kNaN), NE, CL), nonfinite_msg("NaN")},
      {one<f16, u8>(h(kNaN), NA, WR), nonfinite_msg("NaN")},
      {one<f16, u8>(h(-kNaN), cfg<f16, u8>(NE, AB, {{h(kNaN), 3}})), "3"},
      {one<f16, u8>(h(-0.0), cfg<f16, u8>(NE, AB, {{h(0.0), 4}})), "4"},
      {one<f16, i8>(h(65504), cfg<f16, i8>(NE, AB, {{h(65504), 7}})), "7"}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

// A float16 element converts as the float32 kernel converts its widened value.
TEST_P(FloatToInt, EveryHalfAgreesWithTheSingleKernel) {
  std::vector<f16> all(65536);
  for (u32 b = 0; b < 65536; ++b) all[b] = std::bit_cast<f16>(static_cast<u16>(b));
  for_each_int([&](auto d) {
    using D = decltype(d);
    for (RM m : kModes) {
      for (OR o : kRanges) {
        const auto ch = cfg<f16, D>(m, o);
        const auto cf = cfg<f32, D>(m, o);
        for (u32 b = 0; b < 65536; ++b) {
          ASSERT_EQ((one<f16, D>(all[b], ch)), (one<f32, D>(static_cast<f32>(all[b]), cf)))
              << "bits " << b << " mode " << int(m) << "/" << int(o);
        }
        if (o != AB) check_run(all, ch, all.size());
      }
    }
  });
}

// A destination filled through the clamp fast path equals one filled by the
// general steps (forced by a map entry that matches nothing).
template <class S, class D, class Direct>
void fast_path_matches_general(std::vector<S> pool, Direct direct) {
  std::mt19937 rng(99);
  for (RM m : {NE, TZ, TP, TN}) {
    for (std::size_t nan_at : {0, 255, 256, 1000, 1023, 1024, 2048, 5000}) {
      std::vector<S> src(2100);
      for (auto& x : src) x = pool[rng() % pool.size()];
      if (nan_at < src.size()) src[nan_at] = static_cast<S>(kNaN);
      const auto fast = cfg<S, D>(m, CL), general = cfg<S, D>(m, CL, {{static_cast<S>(12345.678), 1}});
      check_run(src, fast, src.size());
      std::vector<D> a(src.size() + 2, D(0x5A)), b(src.size() + 2, D(0x5A));
      const auto ea = convert_slice<S, D>(src, a, fast), eb = convert_slice<S, D>(src, b, general);
      EXPECT_EQ(ea ? ea->message() : "", eb ? eb->message() : "");
      EXPECT_EQ(a, b) << "mode " << int(m) << " NaN at " << nan_at;
      std::vector<D> c(src.size() + 2, D(0x5A));
      const auto r = direct(std::span<const S>(src), std::span<D>(c), m);
      EXPECT_EQ(r.error ? r.error->message() : "", eb ? eb->message() : "");
      EXPECT_EQ(r.done, !r.error);
      EXPECT_EQ(c, b);
    }
  }
}

TEST_P(FloatToInt, ClampFastPaths) {
  const std::vector<double> sp{0.0,           -0.0,          0.5,    -0.5,         1.5,
                               -1.5,          2.5,           254.5,  255.5,        256.0,
                               -1.0,          1e300,         -1e300, kInf,         -kInf,
                               5e-324,        -5e-324,       127.49, 2147483647.5, 2147483648.0,
                               -2147483648.5, -2147483649.0, 0x1p63, 1e10,         0.99999999999999989};
  fast_path_matches_general<double, u8>(sp, simd::generic::try_f64_to_u8_clamp);
  fast_path_matches_general<double, i32>(sp, simd::generic::try_f64_to_i32_clamp);
  fast_path_matches_general<float, u8>(std::vector<float>(sp.begin(), sp.end()), simd::generic::try_f32_to_u8_clamp);
  // The documented sequence: three elements written, then the NaN.
  const std::vector<double> src{-1.5, 0.5, 255.5, kNaN};
  std::vector<u8> dst(4, 7);
  const auto err = convert_slice<double, u8>(src, dst, cfg<double, u8>(NE, CL));
  ASSERT_TRUE(err);
  EXPECT_EQ(err->message(), nonfinite_msg("NaN"));
  EXPECT_EQ(dst, (std::vector<u8>{0, 0, 255, 7}));
  // A destination shorter than the source: the kernel converts what fits and
  // never throws. The fast-path function itself reports a NaN in the first
  // unmatched slot and refuses anything else there.
  std::vector<u8> short_dst(3, 7);
  EXPECT_FALSE((convert_slice<double, u8>(src, short_dst, cfg<double, u8>(NE, CL))));
  EXPECT_EQ(short_dst, (std::vector<u8>{0, 0, 255}));
  std::fill(short_dst.begin(), short_dst.end(), u8{7});
  const auto e2 = simd::generic::try_f64_to_u8_clamp(src, short_dst, NE);
  ASSERT_TRUE(e2.error);
  EXPECT_EQ(short_dst, (std::vector<u8>{0, 0, 255}));
  EXPECT_ANY_THROW(
      (void)simd::generic::try_f64_to_u8_clamp(std::vector<double>{1, 2, 3}, std::span<u8>(short_dst).first(2), NE));
  EXPECT_ANY_THROW((void)simd::generic::try_f64_to_u8_clamp(src, dst, RoundingMode::NearestAway));
}

TEST_P(FloatToInt, BlockBoundaries) {
  check_blocks<double, u8>({1.5, 254.4, -0.4, 7}, 255.5, cfg<double, u8>(NE, AB));
  check_blocks<double, u8>({1.5, 300.0, -0.4}, kNaN, cfg<double, u8>(NE, AB, {{300.0, 3}}));
  check_blocks<double, i32>({1.5, 3e9, -3e9, 0x1p70}, kInf, cfg<double, i32>(TZ, WR));
  check_blocks<double, u64>({1.5, 1e30, -1e30}, -kNaN, cfg<double, u64>(NA, CL));
  check_blocks<float, i16>({1.5f, -32768.4f, 32767.4f}, 32767.5f, cfg<float, i16>(NE, AB));
  check_blocks<float, u32>({1.5f, -2.0f, 5e9f}, -kInf, cfg<float, u32>(TP, WR));
  check_blocks<f16, u8>({f16(1.5), f16(255), f16(-0.25)}, f16(-1), cfg<f16, u8>(NA, AB));
  check_blocks<f16, i64>({f16(1.5), f16(-65504), f16(7)}, f16(kInf), cfg<f16, i64>(TN, WR));
  check_blocks<f16, i16>({f16(1.5), f16(32752), f16(-32768)}, f16(32768), cfg<f16, i16>(NE, AB));
  // Clamping fails on NaN alone: blocks without one may be converted in
  // place, including elements that take the exact rule without failing.
  check_blocks<float, i16>({1.5f, 1e10f, -float(kInf)}, float(kNaN), cfg<float, i16>(NE, CL));
  check_blocks<float, u32>({1.5f, 5e9f, -2.5f}, float(kNaN), cfg<float, u32>(TP, CL, {{1.5f, 7}}));
  check_blocks<double, i32>({2.5, -3e9, kInf}, -kNaN, cfg<double, i32>(TZ, CL));
  check_blocks<f16, i16>({f16(1.5), f16(kInf), f16(-65504)}, f16(kNaN), cfg<f16, i16>(NA, CL));
  // A NaN key applied by the vector code, in steps stored before a failure.
  check_blocks<float, i8>({1.5f, float(kNaN), -3.5f}, 200.0f, cfg<float, i8>(NE, AB, {{float(kNaN), 9}}));
  check_blocks<f16, u16>({f16(kNaN), f16(2.5), f16(7)}, f16(-2), cfg<f16, u16>(TZ, AB, {{f16(kNaN), 5}}));
}

// Each boundary of the vector code at every lane position and in the tail,
// among ordinary neighbours, against the element-by-element result: the
// limits of the 2^32 split and of exactness (2^51, 2^52, 2^53, with ties on
// both sides), signed zeros, the largest floats below 2^63 and 2^64, values
// just past each target's range, NaN and infinities; arrays long enough for
// the 32-element steps of 8-bit targets.
template <class S>
void check_every_lane() {
  const double values[] = {0.0,           -0.0,          0.5,
                           0.5 - 0x1p-25, 0.5 - 0x1p-54, 126.5,
                           1.5,           2.5,           0x1p30 - 64,
                           0x1p30,        0x1p30 + 128,  0x1p51 - 0.5,
                           0x1p51 + 0.5,  0x1p51 + 1.5,  0x1p52 - 0.5,
                           0x1p52 - 1.5,  0x1p52 + 1,    0x1p53 - 1,
                           0x1p53 + 2,    0x1p63 - 1024, 0x1p63 - 0x1p39,
                           0x1p63,        0x1p64 - 2048, 0x1p64 - 0x1p40,
                           0x1p64,        0x1p31 - 128,  0x1p31 - 0.5,
                           0x1p31,        0x1p32 - 256,  0x1p32 - 0.5,
                           0x1p32,        127.5,         128,
                           255.5,         256,           32767.5,
                           32768,         65535.5,       65536,
                           -128.5,        -129,          -32768.5,
                           -32769,        -0x1p31 - 0.5, -0x1p31 - 1,
                           kInf,          kNaN};
  for_each_int([&](auto d) {
    using D = decltype(d);
    for (double v : values) {
      for (double x : {v, -v}) {
        for (RM m : kModes) {
          for (OR o : kRanges) {
            for (std::size_t len : {1, 7, 8, 9, 16, 19, 32, 35}) {
              for (std::size_t pos = 0; pos < len; ++pos) {
                std::vector<S> src(len, static_cast<S>(3.25));
                src[pos] = static_cast<S>(x);
                check_run(src, cfg<S, D>(m, o), len);
              }
            }
          }
        }
      }
    }
  });
}

TEST_P(FloatToInt, EveryLaneAndTheTail) {
  check_every_lane<double>();
  check_every_lane<float>();
  check_every_lane<f16>();
}

}  // namespace
}  // namespace plindra_test
