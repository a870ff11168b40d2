#include "report_summary.hpp"

#include <algorithm>
#include <unordered_map>

#include "cycles.hpp"

namespace zorpkg {

using namespace zor_package;

namespace {

using Groups = std::unordered_map<std::string, std::vector<std::uint32_t>>;

// Sorts `durations` and measures them; the share is left to the caller.
DurationStats measure(std::vector<std::uint32_t>& durations) {
  DurationStats stats;
  if (durations.empty()) {
    return stats;
  }
  std::ranges::sort(durations);
  stats.count = durations.size();
  for (std::uint32_t duration : durations) {
    stats.total += duration;
  }
  stats.mean = static_cast<double>(stats.total) / static_cast<double>(stats.count);
  std::size_t middle = durations.size() / 2;
  stats.median =
      durations.size() % 2 == 1
          ? durations[middle]
          : (static_cast<double>(durations[middle - 1]) + static_cast<double>(durations[middle])) /
                2;
  stats.min = durations.front();
  stats.max = durations.back();
  return stats;
}

double share(std::uint64_t part, std::uint64_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

std::vector<NamedStats> rank(Groups& groups, std::uint64_t whole) {
  std::vector<NamedStats> ranked;
  ranked.reserve(groups.size());
  for (auto& [name, durations] : groups) {
    NamedStats item{name, measure(durations)};
    item.stats.share = share(item.stats.total, whole);
    ranked.push_back(std::move(item));
  }
  std::ranges::sort(ranked, [](const NamedStats& a, const NamedStats& b) {
    return a.stats.total != b.stats.total ? a.stats.total > b.stats.total : a.name < b.name;
  });
  return ranked;
}

}  // namespace

ReportSummary summarise_report(const ProfileReport& report) {
  ReportSummary summary;
  summary.clock_hz = report.clock_hz;
  std::array<std::vector<std::uint32_t>, 4> all_by_kind;
  Groups kernels;
  Groups operations;
  for (const TileProfile& tile : report.tiles) {
    TileSummary tile_summary{.physical_tile = tile.physical_tile, .samples = tile.samples.size()};
    std::array<std::vector<std::uint32_t>, 4> by_kind;
    for (const CycleSample& sample : tile.samples) {
      std::uint32_t duration = cycle_duration(sample.start_cycle, sample.end_cycle);
      auto kind = static_cast<std::size_t>(sample.step.kind);
      by_kind.at(kind).push_back(duration);
      all_by_kind.at(kind).push_back(duration);
      kernels[sample.step.kernel].push_back(duration);
      operations[sample.step.operation].push_back(duration);
      tile_summary.total += duration;
    }
    for (std::size_t kind = 0; kind < by_kind.size(); ++kind) {
      tile_summary.by_kind[kind] = measure(by_kind[kind]);
      tile_summary.by_kind[kind].share =
          share(tile_summary.by_kind[kind].total, tile_summary.total);
    }
    summary.samples += tile_summary.samples;
    summary.total += tile_summary.total;
    summary.tiles.push_back(tile_summary);
  }
  for (std::size_t kind = 0; kind < all_by_kind.size(); ++kind) {
    summary.by_kind[kind] = measure(all_by_kind[kind]);
    summary.by_kind[kind].share = share(summary.by_kind[kind].total, summary.total);
  }
  std::ranges::stable_sort(summary.tiles, {}, &TileSummary::physical_tile);
  summary.kernels = rank(kernels, summary.total);
  summary.operations = rank(operations, summary.total);
  return summary;
}

}  // namespace zorpkg
