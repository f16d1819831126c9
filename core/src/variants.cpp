// The choice of the variant whose kernel table convert_slice runs.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels_impl.hpp"
#include "morvith_plindra/kernels.hpp"

namespace morvith_plindra {

// The tables of the variants (kernels/table.inc): the portable one, and those
// built for x86-64.
namespace portable {
extern const dispatch::KernelTable kKernels;
}
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3)
namespace x86_64_v3 {
extern const dispatch::KernelTable kKernels;
}
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
namespace x86_64_v4 {
extern const dispatch::KernelTable kKernels;
}
#endif

namespace {

constexpr Variant kAllVariants[] = {Variant::Portable, Variant::X86_64_V3, Variant::X86_64_V4};
constexpr std::string_view kVariantNames[] = {"portable", "x86-64-v3", "x86-64-v4"};

struct BuiltVariant {
  Variant variant;
  const dispatch::KernelTable* kernels;
};

// The variants built into the library, from the portable one to the best.
constexpr BuiltVariant kBuilt[] = {
    {Variant::Portable, &portable::kKernels},
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3)
    {Variant::X86_64_V3, &x86_64_v3::kKernels},
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
    {Variant::X86_64_V4, &x86_64_v4::kKernels},
#endif
};

bool cpu_runs(Variant variant) {
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3) || defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
  __builtin_cpu_init();  // may run before the runtime's own initialisation
#endif
  switch (variant) {
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V3)
    case Variant::X86_64_V3: return __builtin_cpu_supports("x86-64-v3");
#endif
#if defined(MORVITH_PLINDRA_HAVE_X86_64_V4)
    case Variant::X86_64_V4: return __builtin_cpu_supports("x86-64-v4");
#endif
    case Variant::Portable: return true;
    default: return false;
  }
}

// Positions in kBuilt of the available variants.
const std::vector<int>& available_positions() {
  static const std::vector<int> positions = [] {
    std::vector<int> out;
    for (std::size_t i = 0; i < std::size(kBuilt); ++i) {
      if (cpu_runs(kBuilt[i].variant)) out.push_back(static_cast<int>(i));
    }
    return out;
  }();
  return positions;
}

int built_position(Variant variant) {
  for (std::size_t i = 0; i < std::size(kBuilt); ++i) {
    if (kBuilt[i].variant == variant) return static_cast<int>(i);
  }
  return -1;
}

std::string joined_names(const auto& variants) {
  std::string out;
  for (const Variant v : variants) out.append(out.empty() ? "" : ", ").append(to_string(v));
  return out;
}

// The process's choice: a position in kBuilt, or why PLINDRA_KERNEL_VARIANT
// names none.
struct Choice {
  int position = -1;
  std::string error;
};

const Choice& process_choice() {
  static const Choice choice = [] {
    const char* setting = std::getenv(kVariantEnvironment);
    if (setting == nullptr || *setting == '\0') return Choice{available_positions().back(), {}};
    const auto parsed = parse_variant(setting);
    if (const auto* v = std::get_if<Variant>(&parsed)) return Choice{built_position(*v), {}};
    return Choice{-1, std::string(kVariantEnvironment) + "=" + setting + ": " + std::get<std::string>(parsed)};
  }();
  return choice;
}

// A test's choice (ScopedVariant), a position in kBuilt; -1 when none.
std::atomic<int> g_scoped{-1};

int active_position() {
  if (const int scoped = g_scoped.load(std::memory_order_relaxed); scoped >= 0) return scoped;
  const Choice& choice = process_choice();
  if (choice.position < 0) throw std::runtime_error(choice.error);
  return choice.position;
}

}  // namespace

std::string_view to_string(Variant variant) { return kVariantNames[static_cast<int>(variant)]; }

std::span<const Variant> available_variants() {
  static const std::vector<Variant> variants = [] {
    std::vector<Variant> out;
    for (const int i : available_positions()) out.push_back(kBuilt[i].variant);
    return out;
  }();
  return variants;
}

ParseResult<Variant> parse_variant(std::string_view name) {
  std::size_t known = 0;
  while (known < std::size(kVariantNames) && kVariantNames[known] != name) ++known;
  if (known == std::size(kVariantNames)) {
    return std::string("unknown kernel variant \"").append(name).append("\" (known: ") + joined_names(kAllVariants) +
           ")";
  }
  const auto variant = static_cast<Variant>(known);
  const int position = built_position(variant);
  if (position < 0) {
    std::vector<Variant> built;
    for (const auto& b : kBuilt) built.push_back(b.variant);
    return "kernel variant " + std::string(name) + " is not built into this library (built: " + joined_names(built) +
           ")";
  }
  if (!cpu_runs(variant)) {
    return "this CPU does not run kernel variant " + std::string(name) +
           " (available: " + joined_names(available_variants()) + ")";
  }
  return variant;
}

Variant active_variant() { return kBuilt[active_position()].variant; }

std::string variant_environment_error() { return process_choice().error; }

ScopedVariant::ScopedVariant(Variant variant) : previous_(g_scoped.load()) {
  const auto available = available_variants();
  if (std::find(available.begin(), available.end(), variant) == available.end()) {
    throw std::invalid_argument("kernel variant " + std::string(to_string(variant)) + " is not available");
  }
  g_scoped.store(built_position(variant));
}

ScopedVariant::~ScopedVariant() { g_scoped.store(previous_); }

const dispatch::KernelTable& dispatch::active_table() { return *kBuilt[active_position()].kernels; }

// The choices made per CPU class, on what was measured there.
namespace {
// Tests' choices (ScopedCopyOrder, ScopedOutputStreamingCpu): 1 yes, 0 no, -1 none.
std::atomic<int> g_forced_copy_order{-1};
std::atomic<int> g_forced_cpu_streams{-1};

// What those choices read of the CPU, once.
struct CpuClass {
  bool intel = false;
  bool avx512 = false;
};

const CpuClass& cpu_class() noexcept {
  static const CpuClass cpu = [] {
    CpuClass c;
#if defined(__x86_64__)
    __builtin_cpu_init();  // may run before the runtime's own initialisation
    c.intel = __builtin_cpu_is("intel") != 0;
    c.avx512 = __builtin_cpu_supports("avx512f") != 0;
#endif
    return c;
  }();
  return cpu;
}
}  // namespace

// On Intel cores, whose prefetchers fall behind 32-byte loads from L2 and
// memory. On AMD Zen 4 the prefetches only cost, so other cores never
// stream (figures: bench/README.md, "Reading sources ahead").
std::size_t dispatch::stream_bytes() noexcept { return cpu_class().intel ? std::size_t(1) << 20 : ~std::size_t(0); }

// Forwards on Intel cores, where copying from the end is slower; elsewhere
// from the end, which is faster into fresh memory beyond the last-level
// cache on AMD Zen 4 (figures: bench/README.md, "The masked copy").
bool dispatch::copies_forwards() noexcept {
  const int forced = g_forced_copy_order.load(std::memory_order_relaxed);
  return forced >= 0 ? forced != 0 : cpu_class().intel;
}

// Into resident memory from 24 MiB on, streaming took 0.74-0.94 of
// np.copyto's time on AMD Zen 4 and an Intel Xeon, where plain stores take
// about as long as np.copyto; on AMD Zen 3 it took 1.10-1.29x and plain
// stores 0.95-1.04x (bench/README.md, "Streamed outputs"). AVX-512 tells
// those classes apart: Zen 4 and the Xeon have it, Zen 3 lacks it. A CPU of
// no measured class without it (older AMD cores, Intel cores without
// AVX-512, other vendors) keeps plain stores too: where that is the wrong
// choice it forgoes a gain of up to a quarter, where streaming is wrong it
// costs up to 1.3x.
bool dispatch::cpu_streams_outputs() noexcept {
  const int forced = g_forced_cpu_streams.load(std::memory_order_relaxed);
  return forced >= 0 ? forced != 0 : cpu_class().avx512;
}

ScopedCopyOrder::ScopedCopyOrder(bool forwards) : previous_(g_forced_copy_order.load()) {
  g_forced_copy_order.store(forwards ? 1 : 0);
}

ScopedCopyOrder::~ScopedCopyOrder() { g_forced_copy_order.store(previous_); }

ScopedOutputStreamingCpu::ScopedOutputStreamingCpu(bool streams) : previous_(g_forced_cpu_streams.load()) {
  g_forced_cpu_streams.store(streams ? 1 : 0);
}

ScopedOutputStreamingCpu::~ScopedOutputStreamingCpu() { g_forced_cpu_streams.store(previous_); }

}  // namespace morvith_plindra
