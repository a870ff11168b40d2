// Edge coverage for the fuzzing engine from GCC's basic-block instrumentation.
//
// GCC instruments every basic block with a call to __sanitizer_cov_trace_pc, which the engine no
// longer accepts as its own coverage. This file answers those calls instead: each call records
// the edge from the previous block into a table of 8-bit counters that the engine registers like
// the inline counters of its own compiler, with one pseudo-PC per counter so that it can count
// coverage. The engine's own handler is made weak at build time so that this one is used.
#include <cstddef>
#include <cstdint>

extern "C" {
void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);
void __sanitizer_cov_pcs_init(const std::uintptr_t* pcs_begin, const std::uintptr_t* pcs_end);
}

namespace {

constexpr std::size_t kCounters = std::size_t{1} << 18;

alignas(64) std::uint8_t counters[kCounters];
// Pairs of (pseudo-PC, flags), one per counter.
std::uintptr_t pcs[2 * kCounters];
thread_local std::uintptr_t previous_block = 0;

struct Registration {
  Registration() {
    for (std::size_t i = 0; i < kCounters; ++i) {
      pcs[2 * i] = i + 1;
      pcs[2 * i + 1] = 0;
    }
    __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
    __sanitizer_cov_pcs_init(pcs, pcs + 2 * kCounters);
  }
} registration;

}  // namespace

extern "C" __attribute__((no_sanitize_coverage, no_sanitize("address", "undefined"))) void
__sanitizer_cov_trace_pc() {
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const std::uintptr_t block = (pc ^ (pc >> 15)) * 0x9e3779b97f4a7c15ULL >> 40;
  counters[(block ^ previous_block) % kCounters]++;
  previous_block = block >> 1;
}
