// Instruction-set variants of the kernels. The library holds every kernel
// once per variant (portable, and on x86-64 builds for x86-64-v3 and
// x86-64-v4); convert_slice runs the variant chosen for the process.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/types.hpp"

namespace morvith_plindra {

enum class Variant : std::uint8_t { Portable, X86_64_V3, X86_64_V4 };

// "portable", "x86-64-v3", "x86-64-v4".
std::string_view to_string(Variant variant);

// The variants this library has and this CPU runs, from the portable one to
// the best.
std::span<const Variant> available_variants();

// The available variant called `name`, or why there is none (an unknown name,
// a variant not built into the library, one this CPU does not run).
ParseResult<Variant> parse_variant(std::string_view name);

// Names the variant a process runs (test runs set it to reach every variant
// the machine has); unset or empty: the best available one.
inline constexpr char kVariantEnvironment[] = "PLINDRA_KERNEL_VARIANT";

// The variant convert_slice runs. The choice is made once, at the first call
// of this, variant_environment_error or a conversion: the variant that
// PLINDRA_KERNEL_VARIANT names, else the best available. Throws
// std::runtime_error when the variable names no available variant.
Variant active_variant();

// Makes the choice if not made yet; the message active_variant would throw,
// empty when the choice is good. Lets a program refuse to start rather than
// fail at its first conversion.
std::string variant_environment_error();

// For tests only: every conversion of the process runs `variant` while the
// object lives (nested scopes restore the previous choice). The variant must
// be available (std::invalid_argument otherwise). No other thread may convert
// meanwhile.
class ScopedVariant {
 public:
  explicit ScopedVariant(Variant variant);
  ~ScopedVariant();
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

 private:
  int previous_;
};

namespace dispatch {

// One pair's kernel behind a signature shared by all pairs: spans as pointer
// and size, `config` the pair's CastConfig<S, D>.
using ErasedKernel = KernelResult (*)(const void* src, std::size_t src_size, void* dst, std::size_t dst_size,
                                      const void* config);
// A variant's kernels, indexed by pair_index<S, D>.
using KernelTable = std::array<ErasedKernel, kPairCount>;

// The table of the variant convert_slice runs (see active_variant).
const KernelTable& active_table();

}  // namespace dispatch

}  // namespace morvith_plindra
