// Integer -> integer conversion.
#include <utility>

#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(IntToInt);

// Every value of an 8- or 16-bit type; powers of two, their neighbours and the
// ends of the range for wider ones.
template <class S>
std::vector<S> int_inputs() {
  using L = std::numeric_limits<S>;
  std::vector<S> v;
  if constexpr (sizeof(S) <= 2) {
    for (i64 x = L::min(); x <= L::max(); ++x) v.push_back(static_cast<S>(x));
  } else {
    for (int k = 0; k < 64; ++k) {
      for (i128 d : {-1, 0, 1}) {
        for (i128 x : {(i128(1) << k) + d, -(i128(1) << k) + d}) {
          if (x >= L::min() && x <= L::max()) v.push_back(static_cast<S>(x));
        }
      }
    }
    v.push_back(L::min());
    v.push_back(L::max());
  }
  return v;
}

// The rule of each mode, in 128-bit arithmetic.
template <class S, class D>
std::string expected(S x, OR o) {
  using SL = std::numeric_limits<S>;
  using DL = std::numeric_limits<D>;
  const i128 v = x, lo = DL::min(), hi = DL::max();
  if (v >= lo && v <= hi) return show(static_cast<D>(v));
  if (o == CL) return show(v < lo ? DL::min() : DL::max());
  if (o == WR) {
    const i128 m = i128(1) << (8 * sizeof(D));
    i128 r = ((v % m) + m) % m;
    if (r > hi) r -= m;
    return show(static_cast<D>(r));
  }
  const i128 rlo = std::max<i128>(SL::min(), lo), rhi = std::min<i128>(SL::max(), hi);
  return range_msg(format_number(static_cast<double>(x)), format_number(static_cast<double>(rlo)),
                   format_number(static_cast<double>(rhi)));
}

TEST_P(IntToInt, EveryPairEveryModeMatchesTheRule) {
  for_each_int([](auto s) {
    for_each_int([](auto d) {
      using S = decltype(s);
      using D = decltype(d);
      const auto src = int_inputs<S>();
      for (OR o : kRanges) {
        const auto c = cfg<S, D>(NE, o);
        for (S x : src) ASSERT_EQ((one<S, D>(x, c)), (expected<S, D>(x, o))) << show(x) << " mode " << int(o);
        check_run(src, c, src.size());
      }
    });
  });
}

// An error reports the target's range cut down to what the source type can hold.
template <class S, class D>
std::string reported() {
  using SL = std::numeric_limits<S>;
  const S x = std::cmp_less(SL::min(), std::numeric_limits<D>::min()) ? SL::min() : SL::max();
  const std::string m = one<S, D>(x, NE, AB);
  return m.substr(m.find('['), m.find(']') - m.find('[') + 1);
}

TEST_P(IntToInt, ReportedRanges) {
  const std::pair<std::string, const char*> rows[] = {
      {reported<i16, i8>(), "[-128, 127]"},      {reported<i32, i8>(), "[-128, 127]"},
      {reported<i64, i8>(), "[-128, 127]"},      {reported<u8, i8>(), "[0, 127]"},
      {reported<u16, i8>(), "[0, 127]"},         {reported<u32, i8>(), "[0, 127]"},
      {reported<u64, i8>(), "[0, 127]"},         {reported<i8, u8>(), "[0, 127]"},
      {reported<i16, u8>(), "[0, 255]"},         {reported<u16, u8>(), "[0, 255]"},
      {reported<i32, u8>(), "[0, 255]"},         {reported<u32, u8>(), "[0, 255]"},
      {reported<i64, u8>(), "[0, 255]"},         {reported<u64, u8>(), "[0, 255]"},
      {reported<i32, i16>(), "[-32768, 32767]"}, {reported<i64, i16>(), "[-32768, 32767]"},
      {reported<u16, i16>(), "[0, 32767]"},      {reported<u32, i16>(), "[0, 32767]"},
      {reported<u64, i16>(), "[0, 32767]"},      {reported<i8, u16>(), "[0, 127]"},
      {reported<i16, u16>(), "[0, 32767]"},      {reported<i32, u16>(), "[0, 65535]"},
      {reported<u32, u16>(), "[0, 65535]"},      {reported<i64, u16>(), "[0, 65535]"},
      {reported<u64, u16>(), "[0, 65535]"},      {reported<i64, i32>(), "[-2147483648, 2147483647]"},
      {reported<u32, i32>(), "[0, 2147483647]"}, {reported<u64, i32>(), "[0, 2147483647]"},
      {reported<i8, u32>(), "[0, 127]"},         {reported<i16, u32>(), "[0, 32767]"},
      {reported<i32, u32>(), "[0, 2147483647]"}, {reported<i64, u32>(), "[0, 4294967295]"},
      {reported<u64, u32>(), "[0, 4294967295]"}, {reported<u64, i64>(), "[0, 9223372036854776000]"},
      {reported<i8, u64>(), "[0, 127]"},         {reported<i16, u64>(), "[0, 32767]"},
      {reported<i32, u64>(), "[0, 2147483647]"}, {reported<i64, u64>(), "[0, 9223372036854776000]"}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST_P(IntToInt, EdgeCases) {
  const std::pair<std::string, std::string> rows[] = {
      {one<i8, u8>(-1, NE, AB), range_msg("-1", "0", "127")},
      {one<u8, i8>(200, NE, CL), "127"},
      {one<u8, i8>(200, NE, WR), "-56"},
      {one<u8, i8>(200, NE, AB), range_msg("200", "0", "127")},
      {one<i32, u32>(-5, NE, AB), range_msg("-5", "0", "2147483647")},
      {one<u64, i64>(u64(1) << 63, NE, AB), range_msg("9223372036854776000", "0", "9223372036854776000")},
      {one<u64, i64>(~u64(0), NE, AB), range_msg("18446744073709552000", "0", "9223372036854776000")},
      {one<u64, i64>(u64(1) << 63, NE, CL), "9223372036854775807"},
      {one<u64, i64>(~u64(0), NE, CL), "9223372036854775807"},
      {one<u64, i64>(~u64(0), NE, WR), "-1"},
      {one<i64, u64>(std::numeric_limits<i64>::min(), NE, AB),
       range_msg("-9223372036854776000", "0", "9223372036854776000")},
      // Scalar map: first match wins, in every mode, in range or not, lossless pairs too.
      {one<i8, u8>(-1, cfg<i8, u8>(NE, AB, {{-1, 7}, {-1, 9}})), "7"},
      {one<i8, u8>(0, cfg<i8, u8>(NE, AB, {{-1, 7}, {0, 255}})), "255"},
      {one<i8, u8>(-2, cfg<i8, u8>(NE, WR, {{-1, 7}})), "254"},
      {one<u8, u64>(3, cfg<u8, u64>(NE, AB, {{3, 99}})), "99"},
      {one<i64, i64>(-3, cfg<i64, i64>(NE, CL, {{-3, 5}, {-3, 6}})), "5"},
      {one<u64, u8>(~u64(0), cfg<u64, u8>(NE, AB, {{~u64(0), 1}})), "1"}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
  // [5, -1, 7] i8 -> u8: element 0 written, the rest untouched; Clamp and Wrap finish.
  const std::vector<i8> src{5, -1, 7};
  std::vector<u8> dst{42, 42, 42};
  auto err = convert_slice<i8, u8>(src, dst, cfg<i8, u8>(NE, AB));
  ASSERT_TRUE(err);
  EXPECT_EQ(*err, CastError::out_of_range(-1, 0, 127));
  EXPECT_EQ(dst, (std::vector<u8>{5, 42, 42}));
  EXPECT_FALSE((convert_slice<i8, u8>(src, dst, cfg<i8, u8>(NE, CL))));
  EXPECT_EQ(dst, (std::vector<u8>{5, 0, 7}));
  EXPECT_FALSE((convert_slice<i8, u8>(src, dst, cfg<i8, u8>(NE, WR))));
  EXPECT_EQ(dst, (std::vector<u8>{5, 255, 7}));
  EXPECT_FALSE((convert_slice<i8, u8>({}, dst, cfg<i8, u8>(NE, AB))));
  EXPECT_FALSE((convert_slice<i8, u8>(src, {}, cfg<i8, u8>(NE, AB))));
}

// A one-entry map on narrowing pairs over whole vectors: keys at, inside and
// beyond the target's bounds (and the clamp bound itself), among values of
// every kind, in every lane position and the tail, match one-element runs.
TEST_P(IntToInt, OneEntryMapInEveryLane) {
  auto check = [](auto s_tag, auto d_tag) {
    using S = decltype(s_tag);
    using D = decltype(d_tag);
    using SL = std::numeric_limits<S>;
    using DL = std::numeric_limits<D>;
    std::vector<S> pool;
    for (i128 v : {i128(0), i128(1), i128(-1), i128(5), i128(DL::min()) - 1, i128(DL::min()), i128(DL::max()),
                   i128(DL::max()) + 1, (i128(1) << 31) - 1, i128(1) << 31, i128(1) << 32, -(i128(1) << 31) - 1,
                   i128(SL::min()), i128(SL::max())}) {
      if (v >= SL::min() && v <= SL::max()) pool.push_back(static_cast<S>(v));
    }
    for (const S key : pool) {
      std::vector<S> src(77);
      for (std::size_t i = 0; i < src.size(); ++i) src[i] = i % 3 == 1 ? key : pool[(i * 5) % pool.size()];
      SCOPED_TRACE(show(key));
      for (OR o : {CL, WR}) check_run(src, cfg<S, D>(NE, o, {{key, D(7)}}), src.size());
    }
  };
  check(i64{}, u8{});
  check(i64{}, u16{});
  check(i64{}, i8{});
  check(u64{}, u8{});
  check(i64{}, u32{});
  check(i32{}, u8{});
  check(u32{}, i16{});
}

TEST_P(IntToInt, BlockBoundaries) {
  check_blocks<i64, i8>({1, -5, 127, -128, 0}, 128, cfg<i64, i8>(NE, AB));
  check_blocks<i16, u8>({1, 255, 0, 17}, -1, cfg<i16, u8>(NE, AB));
  check_blocks<u32, u16>({65535, 0, 9}, 65536, cfg<u32, u16>(NE, AB));
  check_blocks<i8, u8>({1, 127, 0}, -1, cfg<i8, u8>(NE, AB, {{-2, 3}}));
  check_blocks<u64, i64>({1, 0}, u64(1) << 63, cfg<u64, i64>(NE, AB));
}

}  // namespace
}  // namespace plindra_test
