// Integer -> float conversion under every rounding mode.
#include <random>

#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(IntToFloat);

// Every value of an 8- or 16-bit type; for wider ones the values around each
// power of two where float16, float32 and float64 round, ties included, and
// random values.
template <class S>
std::vector<S> inputs() {
  using L = std::numeric_limits<S>;
  std::vector<S> v;
  if constexpr (sizeof(S) <= 2) {
    for (i64 x = L::min(); x <= L::max(); ++x) v.push_back(static_cast<S>(x));
    return v;
  }
  std::vector<i128> xs{L::min(), L::max(), i128(L::max()) - 1, i128(L::min()) + 1};
  for (int k = 0; k < 64; ++k) {
    for (int p : {11, 24, 53}) {
      const i128 b = i128(1) << k, half = k >= p ? i128(1) << (k - p) : 0;
      for (i128 base : {b, b + half, b + 3 * half, 3 * b / 2 + half, 2 * b - half}) {
        for (int d = -2; d <= 2; ++d) xs.insert(xs.end(), {base + d, -(base + d)});
      }
    }
  }
  std::mt19937_64 rng(5);
  for (int i = 0; i < 2000; ++i) xs.push_back(static_cast<i64>(rng()) >> (rng() % 64));
  for (i128 x : xs) {
    if (x >= L::min() && x <= L::max()) v.push_back(static_cast<S>(x));
  }
  return v;
}

template <class D>
double reference(i128 x, RM m) {
  if constexpr (std::is_same_v<D, f16>) return ref_f16(exact_of(x), m);
  else if constexpr (std::is_same_v<D, f32>) return ref_f32(exact_of(x), m);
  else return ref_f64(exact_of(x), m);
}

TEST_P(IntToFloat, EveryPairEveryModeIsCorrectlyRounded) {
  for_each_int([](auto s) {
    using S = decltype(s);
    const auto src = inputs<S>();
    auto check = [&](auto d) {
      using D = decltype(d);
      for (RM m : kModes) {
        for (OR o : kRanges) {  // the out-of-range mode has no effect
          const auto c = cfg<S, D>(m, o);
          for (S x : src) ASSERT_EQ((one<S, D>(x, c)), show(reference<D>(x, m))) << show(x) << " mode " << int(m);
        }
        check_run(src, cfg<S, D>(m), src.size() + 5);
        check_run(src, cfg<S, D>(m), src.size() / 2);
        // With a one-entry map the vector code may take another road.
        check_run(src, cfg<S, D>(m, AB, {{src[1], D(1)}}), src.size());
      }
    };
    for_each_element<FloatTypes>(check);
  });
}

// Each value at every lane position of a vector block and in the tail, among
// neighbours that round differently: ties and the limits of exactness (2048,
// 2^24, 2^53), float16's largest finite value and its overflow threshold, the
// top of each type, with ties and their neighbours near the top of int32 and
// uint32, and values on either side of the split of 64-bit integers into
// halves (ties among them whose low half is near 2^32).
TEST_P(IntToFloat, EveryLaneAndTheTail) {
  const i128 values[] = {0,
                         1,
                         2047,
                         2049,
                         65504,
                         65519,
                         65520,
                         65535,
                         (1 << 24) - 1,
                         (1 << 24) + 1,
                         (1 << 25) + 2,
                         (1 << 25) + 6,
                         (i128(1) << 30) + 63,
                         (i128(1) << 30) + 64,
                         (i128(1) << 30) + 192,
                         (i128(1) << 31) - 65,
                         (i128(1) << 31) - 64,
                         (i128(1) << 31) - 1,
                         (i128(1) << 31) + 1,
                         (i128(1) << 32) - 129,
                         (i128(1) << 32) - 128,
                         (i128(1) << 32) - 5,
                         (i128(1) << 32) + 1,
                         (i128(1) << 48) + 1,
                         (i128(1) << 53) - 1,
                         (i128(1) << 53) + 1,
                         (i128(1) << 53) + 3,
                         (i128(1) << 53) + (i128(1) << 32) - 1,
                         (i128(1) << 54) - 1,
                         (i128(1) << 54) + 2,
                         (i128(1) << 62) + 512,
                         (i128(1) << 63) - 512,
                         (i128(1) << 63) + 1024,
                         (i128(1) << 64) - (i128(1) << 39),
                         (i128(1) << 64) - 1024,
                         (i128(1) << 64) - 1};
  for_each_int([&](auto s) {
    using S = decltype(s);
    using L = std::numeric_limits<S>;
    auto check = [&](auto d) {
      using D = decltype(d);
      for (i128 v : values) {
        for (i128 x : {v, -v}) {
          if (x < L::min() || x > L::max()) continue;
          for (RM m : kModes) {
            for (std::size_t len : {1, 7, 8, 9, 16, 19, 32, 35}) {
              for (std::size_t pos = 0; pos < len; ++pos) {
                std::vector<S> src(len, static_cast<S>(3));
                src[pos] = static_cast<S>(x);
                std::vector<D> dst(len);
                ASSERT_FALSE((convert_slice<S, D>(std::span<const S>(src), std::span<D>(dst), cfg<S, D>(m, CL))));
                ASSERT_EQ(show(dst[pos]), show(reference<D>(x, m)))
                    << show(src[pos]) << " mode " << int(m) << " at " << pos << " of " << len;
                if (len > 1) {
                  ASSERT_EQ(show(dst[len - 1 - (pos == len - 1)]), show(reference<D>(3, m))) << "neighbour";
                }
              }
            }
          }
        }
      }
    };
    for_each_element<FloatTypes>(check);
  });
}

TEST_P(IntToFloat, EdgeCases) {
  const i64 p53 = i64(1) << 53, p60 = i64(1) << 60;
  const u64 umax = ~u64(0);
  const std::pair<std::string, double> rows[] = {
      {one<i16, f16>(2049, NE), 2048},
      {one<i16, f16>(2049, TZ), 2048},
      {one<i16, f16>(2049, TN), 2048},
      {one<i16, f16>(2049, TP), 2050},
      {one<i16, f16>(2049, NA), 2050},
      {one<i16, f16>(-2049, NE), -2048},
      {one<i16, f16>(-2049, TZ), -2048},
      {one<i16, f16>(-2049, TP), -2048},
      {one<i16, f16>(-2049, TN), -2050},
      {one<i16, f16>(-2049, NA), -2050},
      {one<i16, f16>(32767, NE), 32768},
      {one<i16, f16>(32767, TP), 32768},
      {one<i16, f16>(32767, NA), 32768},
      {one<i16, f16>(32767, TZ), 32752},
      {one<i16, f16>(32767, TN), 32752},
      {one<i32, f16>(70000, NE), kInf},
      {one<i32, f16>(70000, TP), kInf},
      {one<i32, f16>(70000, NA), kInf},
      {one<i32, f16>(70000, TZ), 65504},
      {one<i32, f16>(70000, TN), 65504},
      {one<i32, f16>(-70000, NE), -kInf},
      {one<i32, f16>(-70000, TN), -kInf},
      {one<i32, f16>(-70000, NA), -kInf},
      {one<i32, f16>(-70000, TZ), -65504},
      {one<i32, f16>(-70000, TP), -65504},
      {one<u16, f16>(65519, NA), 65504},
      {one<u16, f16>(65519, TP), kInf},
      {one<u16, f16>(65520, NE), kInf},
      {one<u16, f16>(65520, NA), kInf},
      {one<u16, f16>(65520, TZ), 65504},
      {one<u16, f16>(65535, NE, CL), kInf},
      {one<u16, f16>(65535, TZ, WR), 65504},
      {one<i64, f16>(std::numeric_limits<i64>::min(), TP), -65504},
      {one<u64, f16>(umax, TN), 65504},
      {one<i32, f32>(16777217, NE), 16777216},
      {one<i32, f32>(16777217, TZ), 16777216},
      {one<i32, f32>(16777217, TN), 16777216},
      {one<i32, f32>(16777217, TP), 16777218},
      {one<i32, f32>(16777217, NA), 16777218},
      {one<i32, f32>(16777219, NE), 16777220},
      {one<i32, f32>(16777219, NA), 16777220},
      {one<i32, f32>(16777219, TZ), 16777218},
      {one<i32, f32>(-16777219, TZ), -16777218},
      {one<u32, f32>(4294967295u, NE), 4294967296.0},
      {one<u32, f32>(4294967295u, TP), 4294967296.0},
      {one<u32, f32>(4294967295u, TZ), 4294967040.0},
      {one<u32, f32>(4294967295u, TN), 4294967040.0},
      {one<u64, f32>(umax, NE), 0x1p64},
      {one<u64, f32>(umax, TZ), 0x1p64 - 0x1p40},
      {one<i64, f32>(p60 + 1, TP), 0x1p60 + 0x1p37},
      {one<i64, f32>(p60 + 1, NE), 0x1p60},
      {one<i64, f32>(-p60 - 1, TN), -0x1p60 - 0x1p37},
      {one<i64, f32>(std::numeric_limits<i64>::max(), TZ), 0x1p63 - 0x1p39},
      {one<i64, f64>(p53 + 1, TP), 9007199254740994.0},
      {one<i64, f64>(p53 + 1, NE), 9007199254740992.0},
      {one<i64, f64>(p53 + 1, TZ), 9007199254740992.0},
      {one<i64, f64>(p53 + 1, TN), 9007199254740992.0},
      {one<i64, f64>(p53 + 1, NA), 9007199254740994.0},
      {one<i64, f64>(p53 + 3, NE), 9007199254740996.0},
      {one<i64, f64>(-p53 - 1, TN), -9007199254740994.0},
      {one<i64, f64>(-p53 - 1, TZ), -9007199254740992.0},
      {one<u64, f64>(umax, TZ), 18446744073709549568.0},
      {one<u64, f64>(umax, TN), 18446744073709549568.0},
      {one<u64, f64>(umax, NE), 0x1p64},
      {one<i64, f64>(std::numeric_limits<i64>::max(), TZ), 0x1p63 - 1024},
      {one<i32, f64>(-2147483647 - 1, TZ), -2147483648.0},
      {one<u8, f16>(255, TZ), 255},
      // Scalar map: first entry wins; targets are stored as given.
      {one<i32, f16>(5, cfg<i32, f16>(TZ, AB, {{5, f16(-kInf)}, {5, f16(1)}})), -kInf},
      {one<u64, f32>(umax, cfg<u64, f32>(NE, AB, {{umax, 2.5f}})), 2.5},
      {one<i8, f64>(-1, cfg<i8, f64>(TP, AB, {{-1, -0.0}})), -0.0},
      {one<i8, f64>(-2, cfg<i8, f64>(TP, AB, {{-1, 7}})), -2},
      {one<i16, f32>(7, cfg<i16, f32>(NE, AB, {{7, std::numeric_limits<float>::infinity()}})), kInf}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, show(want));
  EXPECT_EQ((one<i16, f16>(1, cfg<i16, f16>(NE, AB, {{1, f16(kNaN)}}))), "nan");
  std::vector<f32> dst(3, 9.0f);
  EXPECT_FALSE((convert_slice<i32, f32>(std::vector<i32>{}, dst, cfg<i32, f32>(TZ))));
  EXPECT_EQ(dst, (std::vector<f32>(3, 9.0f)));
}

}  // namespace
}  // namespace plindra_test
