// The instruction-set variants: which are available, choosing one by name, by
// the environment and by ScopedVariant, and every variant converting all 121
// pairs as the portable kernels do.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <stdexcept>

#include "support.hpp"

namespace plindra_test {
namespace {

constexpr Variant kAllVariants[] = {Variant::Portable, Variant::X86_64_V3, Variant::X86_64_V4};

bool is_available(Variant v) {
  const auto available = available_variants();
  return std::find(available.begin(), available.end(), v) != available.end();
}

TEST(Variants, AvailableFromPortableToBestNamesRoundTrip) {
  const auto available = available_variants();
  ASSERT_FALSE(available.empty());
  EXPECT_EQ(available.front(), Variant::Portable);
  EXPECT_TRUE(std::is_sorted(available.begin(), available.end()));
  EXPECT_EQ(to_string(Variant::Portable), "portable");
  EXPECT_EQ(to_string(Variant::X86_64_V3), "x86-64-v3");
  EXPECT_EQ(to_string(Variant::X86_64_V4), "x86-64-v4");
  for (const Variant v : kAllVariants) {
    const auto parsed = parse_variant(to_string(v));
    if (is_available(v)) {
      EXPECT_EQ(std::get<Variant>(parsed), v);
    } else {
      // Not built, or not run by this CPU: said so, and no test may pick it.
      const std::string& why = std::get<std::string>(parsed);
      EXPECT_TRUE(why.find("not built") != std::string::npos || why.find("does not run") != std::string::npos) << why;
      EXPECT_THROW(ScopedVariant{v}, std::invalid_argument);
    }
  }
}

TEST(Variants, UnknownNamesAreRefused) {
  for (const char* name : {"", "Portable", "x86_64_v4", "x86-64-v2", "avx512", "portable ", "v4"}) {
    const auto parsed = parse_variant(name);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << name;
    EXPECT_EQ(std::get<std::string>(parsed),
              std::string("unknown kernel variant \"") + name + "\" (known: portable, x86-64-v3, x86-64-v4)");
  }
}

// Each scope redirects every conversion to its variant's table and gives the
// previous choice back when it ends.
TEST(Variants, ScopedVariantNestsAndRestores) {
  const ScopedVariant base(Variant::Portable);
  std::set<const dispatch::KernelTable*> tables;
  for (const Variant v : available_variants()) {
    const ScopedVariant outer(v);
    EXPECT_EQ(active_variant(), v);
    const auto* table = &dispatch::active_table();
    tables.insert(table);
    {
      const ScopedVariant inner(Variant::Portable);
      EXPECT_EQ(active_variant(), Variant::Portable);
    }
    EXPECT_EQ(active_variant(), v);
    EXPECT_EQ(&dispatch::active_table(), table);
  }
  EXPECT_EQ(tables.size(), available_variants().size());
  EXPECT_EQ(active_variant(), Variant::Portable);
}

// CTest also runs this test alone with PLINDRA_KERNEL_VARIANT set to each
// variant's name and to names that pick none (see CMakeLists.txt).
TEST(Variants, EnvironmentChoosesTheVariant) {
  const char* setting = std::getenv(kVariantEnvironment);
  const std::vector<u8> src{1, 2, 200};
  std::vector<i8> dst(3);
  auto convert = [&] { return convert_slice<u8, i8>(src, dst, cfg<u8, i8>(NE, CL)); };
  if (setting == nullptr || *setting == '\0') {
    EXPECT_EQ(variant_environment_error(), "");
    EXPECT_EQ(active_variant(), available_variants().back());
    return;
  }
  const auto parsed = parse_variant(setting);
  if (const auto* v = std::get_if<Variant>(&parsed)) {
    EXPECT_EQ(variant_environment_error(), "");
    EXPECT_EQ(active_variant(), *v);
    EXPECT_FALSE(convert());
    EXPECT_EQ(dst, (std::vector<i8>{1, 2, 127}));
    return;
  }
  const std::string why = std::string("PLINDRA_KERNEL_VARIANT=") + setting + ": " + std::get<std::string>(parsed);
  EXPECT_EQ(variant_environment_error(), why);
  for (int attempt = 0; attempt < 2; ++attempt) {  // every call fails alike
    try {
      (void)convert();
      ADD_FAILURE() << "a conversion ran without a variant";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), why);
    }
    EXPECT_THROW(active_variant(), std::runtime_error);
  }
  const ScopedVariant chosen(Variant::Portable);  // a test's choice still works
  EXPECT_FALSE(convert());
}

// Source elements: random bit patterns (NaNs, infinities, subnormals, values
// out of every range), and values in [0, 100] that every type holds.
template <class S>
std::vector<S> agreement_inputs(std::mt19937_64& rng, bool tame) {
  std::vector<S> v(1500);
  for (S& x : v) {
    if (tame) {
      x = static_cast<S>(is_float_v<S> ? static_cast<double>(rng() % 1001) / 10 : static_cast<double>(rng() % 101));
    } else {
      const auto bits = static_cast<bits_t<S>>(rng());
      std::memcpy(&x, &bits, sizeof(S));
    }
  }
  return v;
}

// The destination's bytes (filled with 0xA5 first) and the error message.
template <class S, class D>
std::vector<unsigned char> run_bytes(const std::vector<S>& src, const CastConfig<S, D>& c, std::string& error) {
  std::vector<D> dst(src.size());
  std::memset(dst.data(), 0xA5, dst.size() * sizeof(D));
  const auto err = convert_slice<S, D>(src, dst, c);
  error = err ? err->message() : "";
  std::vector<unsigned char> bytes(dst.size() * sizeof(D));
  std::memcpy(bytes.data(), dst.data(), bytes.size());
  return bytes;
}

TEST(Variants, AgreeWithPortableOnEveryPair) {
  std::mt19937_64 rng(2024);
  for_each_element<ElementTypes>([&](auto s) {
    for_each_element<ElementTypes>([&](auto d) {
      using S = decltype(s);
      using D = decltype(d);
      for (const bool tame : {false, true}) {
        const auto src = agreement_inputs<S>(rng, tame);
        D target;
        const auto target_bits = static_cast<bits_t<D>>(rng());
        std::memcpy(&target, &target_bits, sizeof(D));
        for (const RM m : kModes) {
          for (const OR o : kRanges) {
            for (const bool mapped : {false, true}) {
              const auto c = mapped ? cfg<S, D>(m, o, {{src[7], target}}) : cfg<S, D>(m, o);
              std::string want_error;
              const ScopedVariant portable(Variant::Portable);
              const auto want = run_bytes<S, D>(src, c, want_error);
              for (const Variant v : available_variants()) {
                const ScopedVariant chosen(v);
                std::string error;
                const auto got = run_bytes<S, D>(src, c, error);
                ASSERT_EQ(got, want) << ElementTraits<S>::name << " -> " << ElementTraits<D>::name << " "
                                     << to_string(v) << " mode " << int(m) << "/" << int(o) << (tame ? " tame" : " raw")
                                     << (mapped ? " mapped" : "");
                ASSERT_EQ(error, want_error);
              }
            }
          }
        }
      }
    });
  });
}

}  // namespace
}  // namespace plindra_test
