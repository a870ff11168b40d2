// Turning the cycle counters of a profiled run into a report.
#include <unordered_map>
#include <utility>

#include "boundary.hpp"
#include "reason.hpp"
#include "zor_package/model.hpp"

namespace zor_package {
namespace {

constexpr std::string_view kCyclesOutput = "profile.cycles";
constexpr std::uint64_t kCounterBytes = 4;

std::uint32_t load_u32_le(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

// The slice of each tile; when several slices name a tile, the last one counts.
std::unordered_map<std::uint32_t, const RegionSlice*> index_slices(const Binding& binding) {
  std::unordered_map<std::uint32_t, const RegionSlice*> index;
  index.reserve(binding.slices.size());
  for (const RegionSlice& slice : binding.slices) {
    index.insert_or_assign(slice.tile, &slice);
  }
  return index;
}

// The bytes of a plan's counter values in `output`, after every check of size and range.
Result<std::span<const std::uint8_t>> counter_bytes(const TileProfilePlan& plan,
                                                    const RegionSlice& slice,
                                                    std::uint64_t binding_base,
                                                    std::span<const std::uint8_t> output) {
  std::uint64_t samples = 0;
  if (__builtin_add_overflow(std::uint64_t{plan.steps.size()}, 1, &samples)) {
    return std::unexpected(PackageError::invalid("profile sample count overflow"));
  }
  std::uint64_t expected = 0;
  if (__builtin_mul_overflow(samples, kCounterBytes, &expected)) {
    return std::unexpected(PackageError::invalid("profile sample size overflow"));
  }
  if (slice.size != expected) {
    return std::unexpected(reason::invalid("cycle profile slice for tile ", plan.physical_tile,
                                           " has size ", slice.size, ", expected ", expected));
  }
  std::uint64_t start64 = 0;
  if (__builtin_add_overflow(binding_base, slice.file_offset, &start64) ||
      !std::in_range<std::size_t>(start64)) {
    return std::unexpected(PackageError::invalid("profile output offset overflow"));
  }
  if (!std::in_range<std::size_t>(slice.size)) {
    return std::unexpected(PackageError::invalid("profile output size exceeds usize"));
  }
  const auto start = static_cast<std::size_t>(start64);
  const auto size = static_cast<std::size_t>(slice.size);
  std::size_t end = 0;
  if (__builtin_add_overflow(start, size, &end)) {
    return std::unexpected(PackageError::invalid("profile output range overflow"));
  }
  if (end > output.size()) {
    return std::unexpected(PackageError::invalid("profile binding exceeds runtime output"));
  }
  return output.subspan(start, size);
}

TileProfile pair_steps(const TileProfilePlan& plan, std::span<const std::uint8_t> counters) {
  TileProfile tile{.physical_tile = plan.physical_tile, .samples = {}};
  tile.samples.reserve(plan.steps.size());
  std::uint32_t start = load_u32_le(counters.data());
  for (std::size_t i = 0; i < plan.steps.size(); ++i) {
    const std::uint32_t end = load_u32_le(counters.data() + (i + 1) * kCounterBytes);
    tile.samples.push_back(
        CycleSample{.step = plan.steps[i], .start_cycle = start, .end_cycle = end});
    start = end;
  }
  return tile;
}

Result<ProfileReport> build_report(const Application& app, std::span<const std::uint8_t> output,
                                   std::uint64_t clock_hz) {
  auto found = app.output_binding(kCyclesOutput);
  if (!found) {
    return std::unexpected(std::move(found.error()));
  }
  const auto slices = index_slices(*found->binding);

  ProfileReport report{.clock_hz = clock_hz, .tiles = {}};
  report.tiles.reserve(app.profile_tiles.size());
  for (const TileProfilePlan& plan : app.profile_tiles) {
    auto slice = slices.find(plan.physical_tile);
    if (slice == slices.end()) {
      return std::unexpected(
          reason::invalid("cycle profile has no slice for tile ", plan.physical_tile));
    }
    auto counters = counter_bytes(plan, *slice->second, found->base, output);
    if (!counters) {
      return std::unexpected(std::move(counters.error()));
    }
    report.tiles.push_back(pair_steps(plan, *counters));
  }
  return report;
}

}  // namespace

Result<ProfileReport> Application::profile_report(std::span<const std::uint8_t> output,
                                                  std::uint64_t clock_hz) const {
  return guarded([&] { return build_report(*this, output, clock_hz); });
}

}  // namespace zor_package
