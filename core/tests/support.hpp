// Shared helpers of the core tests: the per-variant fixture, one-element runs
// rendered as text, whole runs checked against one-element runs, exact
// reference roundings, and runs under a caller's floating-point environment.
#pragma once

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "morvith_plindra/kernels.hpp"
#include "morvith_plindra/variants.hpp"

namespace plindra_test {

using namespace morvith_plindra;
using i8 = std::int8_t;
using u8 = std::uint8_t;
using i16 = std::int16_t;
using u16 = std::uint16_t;
using i32 = std::int32_t;
using u32 = std::uint32_t;
using i64 = std::int64_t;
using u64 = std::uint64_t;
using i128 = __int128;
using u128 = unsigned __int128;

using RM = RoundingMode;
using OR = OutOfRangeMode;
constexpr RM NE = RM::NearestEven, TZ = RM::TowardsZero, TP = RM::TowardsPositive, TN = RM::TowardsNegative,
             NA = RM::NearestAway;
constexpr OR CL = OR::Clamp, WR = OR::Wrap, AB = OR::Error;
constexpr RM kModes[] = {NE, TZ, TP, TN, NA};
constexpr OR kRanges[] = {CL, WR, AB};
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const double kInf = std::numeric_limits<double>::infinity();

// f(T{}) for every element type of a list (IntTypes, FloatTypes, ElementTypes).
template <class List, class F>
void for_each_element(F f) {
  for_each_type(List{}, [&](auto tag) { f(typename decltype(tag)::type{}); });
}
template <class F>
void for_each_int(F f) {
  for_each_element<IntTypes>(f);
}

// Kernel tests run once for each variant this library has and this CPU runs,
// the variant in the test's name (Variants/IntToInt.EdgeCases/x86_64_v4).
class VariantTest : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override { scope_.emplace(GetParam()); }
  void TearDown() override { scope_.reset(); }

 private:
  std::optional<ScopedVariant> scope_;
};

inline std::string variant_test_name(const ::testing::TestParamInfo<Variant>& info) {
  std::string name(to_string(info.param));
  for (char& c : name) c = c == '-' ? '_' : c;
  return name;
}

#define PLINDRA_VARIANT_SUITE(Suite)                                                            \
  class Suite : public ::plindra_test::VariantTest {};                                          \
  INSTANTIATE_TEST_SUITE_P(Variants, Suite,                                                     \
                           ::testing::ValuesIn(::morvith_plindra::available_variants().begin(), \
                                               ::morvith_plindra::available_variants().end()),  \
                           ::plindra_test::variant_test_name)

// Values as text: integers in decimal, floats as hex floats (the sign of zero shows).
template <class T>
std::string show(T v) {
  if constexpr (is_float_v<T>) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", static_cast<double>(v));
    return std::isnan(static_cast<double>(v)) ? std::string("nan") : std::string(buf);
  } else if constexpr (std::is_signed_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else {
    return std::to_string(static_cast<unsigned long long>(v));
  }
}

inline std::string range_msg(const std::string& v, const std::string& lo, const std::string& hi) {
  return "Value " + v + " out of range [" + lo + ", " + hi +
         "]. Set out_of_range='clamp' or out_of_range='wrap' to handle this.";
}
inline std::string nonfinite_msg(const std::string& v) {
  return "Cannot cast " + v + " to integer type without scalar_map";
}

template <class S, class D>
CastConfig<S, D> cfg(RM rounding, OR range = AB, std::vector<MapEntry<S, D>> map = {}) {
  CastConfig<S, D> c;
  c.rounding = rounding;
  c.out_of_range = range;
  c.scalar_map = std::move(map);
  return c;
}

// One element through the kernel, run by under(f), which returns f() (see
// expect_callers_environment_ignored): the stored value or the error message.
template <class S, class D, class Under>
std::string one_under(const Under& under, S x, const CastConfig<S, D>& c) {
  const auto [d, err] = under([&] {
    D out{};
    return std::pair{out, convert_slice<S, D>(std::span<const S>(&x, 1), std::span<D>(&out, 1), c)};
  });
  return err ? err->message() : show(d);
}
template <class S, class D>
std::string one(S x, const CastConfig<S, D>& c) {
  return one_under([](auto f) { return f(); }, x, c);
}
template <class S, class D>
std::string one(S x, RM rounding, OR range = AB) {
  return one<S, D>(x, cfg<S, D>(rounding, range));
}

// Runs the whole slice into a sentinel-filled destination of length dst_len
// and checks it against one-element runs: the first failing element's error,
// every element before it written, it and everything after it untouched.
// With discard_on_error the same error and elements before it, the rest free.
template <class S, class D>
void check_run(const std::vector<S>& src, const CastConfig<S, D>& c, std::size_t dst_len) {
  const std::size_t n = std::min(src.size(), dst_len);
  std::vector<std::string> want;
  std::string want_err;
  for (std::size_t i = 0; i < n && want_err.empty(); ++i) {
    D d{};
    const auto err = convert_slice<S, D>(std::span<const S>(&src[i], 1), std::span<D>(&d, 1), c);
    if (err) want_err = err->message();
    else want.push_back(show(d));
  }
  std::vector<D> dst(dst_len);
  if (dst_len) std::memset(dst.data(), 0xA5, dst_len * sizeof(D));
  D sentinel;
  std::memset(&sentinel, 0xA5, sizeof(D));
  const auto err = convert_slice<S, D>(std::span<const S>(src), std::span<D>(dst), c);
  EXPECT_EQ(err ? err->message() : std::string(), want_err);
  for (std::size_t i = 0; i < dst_len; ++i) {
    if (i < want.size()) {
      ASSERT_EQ(show(dst[i]), want[i]) << "element " << i;
    } else {
      ASSERT_EQ(std::memcmp(&dst[i], &sentinel, sizeof(D)), 0) << "element " << i << " was written";
    }
  }
  CastConfig<S, D> discarding = c;
  discarding.discard_on_error = true;
  std::vector<D> scratch(dst_len);
  const auto scratch_err = convert_slice<S, D>(std::span<const S>(src), std::span<D>(scratch), discarding);
  EXPECT_EQ(scratch_err ? scratch_err->message() : std::string(), want_err) << "discarding";
  for (std::size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(show(scratch[i]), want[i]) << "element " << i << ", discarding";
  }
}

// Long runs built from `good` values with a failing value at positions around
// the kernels' block sizes (a second one a little later), each checked with a
// full destination and with destinations that end at or just after the failure.
template <class S, class D>
void check_blocks(const std::vector<S>& good, S bad, const CastConfig<S, D>& c) {
  for (std::size_t pos : {0, 1, 255, 256, 257, 511, 512, 1000, 1023, 1024, 1025, 2047, 2048, 2099, 5000}) {
    std::vector<S> src(2100);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = good[i % good.size()];
    if (pos < src.size()) src[pos] = bad;
    if (pos + 5 < src.size()) src[pos + 5] = bad;
    SCOPED_TRACE("failure at " + std::to_string(pos));
    for (std::size_t len : {src.size(), pos, pos + 1, src.size() + 3}) {
      if (len <= src.size() + 3) check_run(src, c, len);
    }
  }
}

// Reference rounding to an integral value, on the magnitude (where
// |v| - floor(|v|) is exact), from floor alone.
inline double ref_integral(double v, RM m) {
  if (!std::isfinite(v)) return v;
  const double a = std::fabs(v), fl = std::floor(a), frac = a - fl;
  if (frac == 0) return v;
  const bool neg = v < 0;
  bool up = false;  // the magnitude rounds up
  switch (m) {
    case NE: up = frac > 0.5 || (frac == 0.5 && std::fmod(fl, 2) != 0); break;
    case NA: up = frac >= 0.5; break;
    case TZ: up = false; break;
    case TP: up = !neg; break;
    case TN: up = neg; break;
  }
  return std::copysign(fl + up, v);
}

// An exact value: (-1)^neg * mag * 2^exp.
struct Exact {
  bool neg;
  u128 mag;
  int exp;
};
inline Exact exact_of(double x) {
  int e = 0;
  const double f = std::frexp(std::fabs(x), &e);
  return {std::signbit(x), static_cast<u128>(static_cast<u64>(std::ldexp(f, 53))), e - 53};
}
inline Exact exact_of(i128 x) { return {x < 0, static_cast<u128>(x < 0 ? -x : x), 0}; }

// Reference rounding of an exact value into a binary format with p significand
// bits, smallest step 2^qmin and largest finite value maxf, under any mode.
inline double ref_float(Exact v, int p, int qmin, double maxf, RM m) {
  if (v.mag == 0) return v.neg ? -0.0 : 0.0;
  int top = -1;
  for (u128 t = v.mag; t; t >>= 1) ++top;
  const int q = std::max(top + v.exp - (p - 1), qmin);
  u128 keep = v.mag, rem = 0, half = 1;
  if (v.exp < q) {
    const int sh = q - v.exp;
    keep = sh >= 127 ? 0 : v.mag >> sh;
    rem = sh >= 127 ? v.mag : v.mag & ((u128(1) << sh) - 1);
    half = sh >= 127 ? (u128(1) << 126) : u128(1) << (sh - 1);
  }
  const int qe = v.exp < q ? q : v.exp;
  const bool up = rem != 0 && ((m == TP && !v.neg) || (m == TN && v.neg) || (m == NA && rem >= half) ||
                               (m == NE && (rem > half || (rem == half && (keep & 1)))));
  double mag = std::ldexp(static_cast<double>(keep + up), qe);
  if (mag > maxf) {
    const bool shrink = m == TZ || (m == TP && v.neg) || (m == TN && !v.neg);
    mag = shrink ? maxf : kInf;
  }
  return v.neg ? -mag : mag;
}
inline double ref_f16(Exact v, RM m) { return ref_float(v, 11, -24, 65504.0, m); }
inline double ref_f32(Exact v, RM m) { return ref_float(v, 24, -149, 0x1.fffffep127, m); }
inline double ref_f64(Exact v, RM m) { return ref_float(v, 53, -1074, 0x1.fffffffffffffp1023, m); }

// Runs run(under) in the default floating-point environment and under each
// one a caller may have set: every directed rounding and, on x86-64,
// flush-to-zero with denormals-are-zero and trapping invalid operations.
// under(f) returns f() computed in the environment; only library calls go
// there, since the test's own conversions and formatting would be changed by
// it. Every run must give the default run's results, and every call must hand
// the caller's environment back exactly, status flags included.
template <class Run>
void expect_callers_environment_ignored(Run run) {
  const auto want = run([](auto f) { return f(); });
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    bool handed_back = true;
    const auto got = run([&](auto f) {
      std::fesetround(mode);
      std::feclearexcept(FE_ALL_EXCEPT);
      const auto r = f();
      handed_back &= std::fegetround() == mode && std::fetestexcept(FE_ALL_EXCEPT) == 0;
      std::fesetround(FE_TONEAREST);
      return r;
    });
    EXPECT_TRUE(handed_back) << "caller's rounding mode " << mode;
    EXPECT_EQ(got, want) << "caller's rounding mode " << mode;
  }
#if defined(__x86_64__)
  // One status flag raised beforehand: it must stay, and no other may appear.
  constexpr unsigned kDenormalsAreZero = 0x40, kStatusFlags = 0x3f;
  const unsigned saved = _mm_getcsr();
  const unsigned caller = (saved & ~kStatusFlags & ~unsigned(_MM_MASK_INVALID)) | _MM_FLUSH_ZERO_ON |
                          kDenormalsAreZero | _MM_EXCEPT_INEXACT;
  bool handed_back = true;
  const auto got = run([&](auto f) {
    _mm_setcsr(caller);
    const auto r = f();
    handed_back &= _mm_getcsr() == caller;
    _mm_setcsr(saved);
    return r;
  });
  EXPECT_TRUE(handed_back);
  EXPECT_EQ(got, want) << "flush-to-zero, denormals-are-zero, trapping invalid operations";
#endif
}

}  // namespace plindra_test
