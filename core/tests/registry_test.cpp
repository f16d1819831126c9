// The element registry: the order users see, name lookup, the float formats'
// facts checked against the types' own arithmetic, and the exact pairs.
#include "support.hpp"

namespace plindra_test {
namespace {

TEST(Registry, NamesInCanonicalOrder) {
  const std::vector<std::string_view> names(kElementNames.begin(), kElementNames.end());
  EXPECT_EQ(names, (std::vector<std::string_view>{"int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
                                                  "uint64", "float16", "float32", "float64"}));
  for (std::size_t i = 0; i < kElementCount; ++i) EXPECT_EQ(element_index_of(kElementNames[i]), int(i));
  for (const char* other : {"", "Int8", "int8 ", "int", "float", "int128", "bool", "f4"}) {
    EXPECT_EQ(element_index_of(other), -1) << other;
  }
  EXPECT_EQ(element_index_of(std::string_view("int8\0", 5)), -1);
  // Integers first, then floats: the kind lists partition the registry.
  EXPECT_EQ(IntTypes::size + FloatTypes::size, kElementCount);
  for_each_element<IntTypes>([](auto t) { EXPECT_EQ(kElementKinds[element_index<decltype(t)>], Kind::Int); });
  for_each_element<FloatTypes>([](auto t) { EXPECT_EQ(kElementKinds[element_index<decltype(t)>], Kind::Float); });
}

TEST(Registry, PairIndicesCoverEveryPairOnce) {
  std::vector<int> seen(kPairCount);
  for_each_element<ElementTypes>([&](auto s) {
    for_each_element<ElementTypes>([&](auto d) {
      using S = decltype(s);
      using D = decltype(d);
      constexpr std::size_t p = pair_index<S, D>;
      static_assert(std::is_same_v<pair_source_t<p>, S> && std::is_same_v<pair_target_t<p>, D>);
      ++seen[p];
    });
  });
  EXPECT_EQ(seen, std::vector<int>(kPairCount, 1));
}

// Infinity, the largest finite value and the significand width of each float
// type, as its arithmetic has them.
TEST(Registry, FloatFactsMatchTheTypes) {
  for_each_element<FloatTypes>([](auto t) {
    using T = decltype(t);
    using Tr = ElementTraits<T>;
    SCOPED_TRACE(std::string(Tr::name));
    const T inf = std::bit_cast<T>(inf_bits_v<T>);
    EXPECT_TRUE(std::isinf(static_cast<double>(inf)) && inf > T(0));
    EXPECT_EQ(static_cast<double>(std::bit_cast<T>(bits_t<T>(inf_bits_v<T> - 1))), max_finite_v<T>);
    const double ulp = std::ldexp(1.0, 1 - Tr::significand_bits);  // of 1
    EXPECT_NE(static_cast<T>(1.0 + ulp), T(1));
    EXPECT_EQ(static_cast<T>(1.0 + ulp / 2), T(1));  // the tie rounds to even
    EXPECT_EQ(sizeof(element_storage_t<T>), sizeof(T));
    EXPECT_EQ(Tr::bits, int(sizeof(T) * 8));
  });
  EXPECT_TRUE((std::is_same_v<element_storage_t<f16>, u16>));
}

TEST(Registry, ExactPairs) {
  EXPECT_TRUE((pair_is_exact<f16, f32>() && pair_is_exact<f16, f64>() && pair_is_exact<f32, f64>()));
  EXPECT_FALSE((pair_is_exact<f32, f16>() || pair_is_exact<f64, f32>() || pair_is_exact<f64, f16>()));
  EXPECT_TRUE((pair_is_exact<u8, f16>() && pair_is_exact<i8, f16>() && pair_is_exact<i32, f64>()));
  EXPECT_FALSE((pair_is_exact<i16, f16>() || pair_is_exact<i32, f32>() || pair_is_exact<u64, f64>()));
  EXPECT_TRUE((pair_is_exact<u32, i64>() && pair_is_exact<i8, i8>()));
  EXPECT_FALSE((pair_is_exact<i8, u64>() || pair_is_exact<u64, i64>()));
}

}  // namespace
}  // namespace plindra_test
