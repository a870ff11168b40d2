// The figures of `zorpkg report`: cycles per tile by step kind, and statistics of kernels and
// operations over every sample of a cycle profile report.
//
// A sample's duration is end_cycle - start_cycle modulo 2^32, so a counter that wrapped during a
// step still gives the step's true duration (as long as it is shorter than one wrap).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zor_package/profile.hpp"

namespace zorpkg {

inline constexpr std::array<std::string_view, 4> kStepKindNames{"Exchange", "Compute",
                                                                "Synchronization", "Idle"};

// Statistics of a group of sample durations, in cycles.
struct DurationStats {
  std::uint64_t count = 0;
  std::uint64_t total = 0;
  double mean = 0;
  double median = 0;  // the mean of the two middle durations of an even count
  std::uint32_t min = 0;
  std::uint32_t max = 0;
  double share = 0;  // of the enclosing whole: the tile's cycles, or all cycles; 0 when it is 0
};

struct NamedStats {
  std::string name;
  DurationStats stats;
};

struct TileSummary {
  std::uint32_t physical_tile = 0;
  std::uint64_t samples = 0;
  std::uint64_t total = 0;                 // cycles of all samples
  std::array<DurationStats, 4> by_kind{};  // indexed by StepKind; shares of the tile's cycles
};

struct ReportSummary {
  std::uint64_t clock_hz = 0;
  std::uint64_t samples = 0;
  std::uint64_t total = 0;
  std::array<DurationStats, 4> by_kind{};  // over all tiles; shares of all cycles
  std::vector<TileSummary> tiles;          // by tile number; equal numbers in report order
  std::vector<NamedStats> kernels;         // by total, largest first, then by name
  std::vector<NamedStats> operations;      // likewise
};

[[nodiscard]] ReportSummary summarise_report(const zor_package::ProfileReport& report);

}  // namespace zorpkg
