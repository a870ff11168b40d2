// The checks of cycle profiling: a report through its file, and reports built from generated
// run outputs.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"

namespace zor_package::tests {
namespace {

constexpr std::uint64_t kClockHz = 1'500'000'000;
constexpr std::uint64_t kSeed = 0x70726f66;
constexpr int kRandomCases = 64;

// SplitMix64: a fixed sequence for a fixed seed on every machine and compiler, which the
// standard distributions do not promise.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }

  // A uniform draw from [low, high]: draws below the largest multiple of the range's width are
  // rejected, so every value is equally likely.
  std::uint64_t between(std::uint64_t low, std::uint64_t high) {
    const std::uint64_t width = high - low + 1;
    const std::uint64_t rejected = (0 - width) % width;  // 2^64 mod width
    std::uint64_t draw = next();
    while (draw < rejected) {
      draw = next();
    }
    return low + draw % width;
  }

 private:
  std::uint64_t state_;
};

ProfileStep round_trip_step(std::uint32_t index, StepKind kind) {
  ProfileStep step{
      .local_index = index,
      .phase = 5,
      .epoch = 8,
      .operation = "accumulate",
      .kind = kind,
      .kernel = "gemm_f32_accumulate",
      .metadata = {{.name = "innerBlock", .value = "8"}},
      .exchange_activities = {},
      .exchange_event_cycles = 9,
  };
  if (kind == StepKind::Exchange) {
    step.exchange_activities = {
        {.fanout = 2,
         .paired = true,
         .kind = ExchangeActivityKind::Send,
         .start_cycle = 2,
         .end_cycle = 6},
        {.fanout = 2,
         .paired = true,
         .kind = ExchangeActivityKind::PartnerBusy,
         .start_cycle = 6,
         .end_cycle = 8},
    };
  }
  return step;
}

void append_u32_le(Bytes& buffer, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    buffer.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// One generated run: a package with a "prefix" output before "profile.cycles", the output buffer
// and every tile's counter values.
struct RandomRun {
  Application package = Application::create(zor_target::Target::Zor21);
  Bytes output;
  std::vector<std::vector<std::uint32_t>> counters;
};

RandomRun random_run(Generator& random) {
  RandomRun run;
  const auto tiles = static_cast<std::uint32_t>(random.between(1, 8));
  const auto prefix = static_cast<std::uint32_t>(random.between(0, 8) * 4);

  Binding prefix_output{.name = "prefix", .dtype = "u8", .shape = {prefix}, .slices = {}};
  if (prefix != 0) {
    prefix_output.slices.push_back(
        {.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = prefix});
  }
  run.package.outputs.push_back(prefix_output);
  run.output.assign(prefix, 0xa5);

  Binding cycles{.name = "profile.cycles", .dtype = "u32", .shape = {}, .slices = {}};
  std::uint64_t file_offset = 0;
  for (std::uint32_t tile = 0; tile < tiles; ++tile) {
    const auto steps = static_cast<std::uint32_t>(random.between(1, 16));
    std::vector<std::uint32_t>& values = run.counters.emplace_back();
    values.push_back(static_cast<std::uint32_t>(random.between(0, 0x7fffffff)));
    for (std::uint32_t i = 0; i < steps; ++i) {
      values.push_back(values.back() + static_cast<std::uint32_t>(random.between(1, 10000)));
    }
    for (std::uint32_t value : values) {
      append_u32_le(run.output, value);
    }
    const std::uint64_t size = (std::uint64_t{steps} + 1) * 4;
    cycles.slices.push_back(
        {.tile = tile, .tile_address = 0x4c100, .file_offset = file_offset, .size = size});
    file_offset += size;

    TileProfilePlan plan{.physical_tile = tile, .steps = {}};
    for (std::uint32_t j = 0; j < steps; ++j) {
      const StepKind kind = random.between(0, 1) == 0 ? StepKind::Compute : StepKind::Exchange;
      plan.steps.push_back(ProfileStep{.local_index = j,
                                       .phase = j,
                                       .epoch = 0,
                                       .operation = "operation." + std::to_string(j),
                                       .kind = kind,
                                       .kernel = "kernel." + std::to_string(j)});
    }
    run.package.profile_tiles.push_back(std::move(plan));
  }
  cycles.shape = {static_cast<std::uint32_t>(file_offset / 4)};
  run.package.outputs.push_back(std::move(cycles));
  return run;
}

bool report_pairs_adjacent_counters(const RandomRun& run, const ProfileReport& report) {
  if (report.clock_hz != kClockHz || report.tiles.size() != run.counters.size()) {
    return false;
  }
  for (std::size_t k = 0; k < report.tiles.size(); ++k) {
    const TileProfile& tile = report.tiles[k];
    const TileProfilePlan& plan = run.package.profile_tiles[k];
    const std::vector<std::uint32_t>& values = run.counters[k];
    if (tile.physical_tile != k || tile.samples.size() != plan.steps.size()) {
      return false;
    }
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
      const CycleSample& sample = tile.samples[i];
      if (sample.step != plan.steps[i] || sample.start_cycle != values[i] ||
          sample.end_cycle != values[i + 1]) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

ProfileReport four_kinds_report() {
  const StepKind kinds[] = {StepKind::Exchange, StepKind::Compute, StepKind::Synchronization,
                            StepKind::Idle};
  TileProfile tile{.physical_tile = 17, .samples = {}};
  for (std::uint32_t i = 0; i < 4; ++i) {
    tile.samples.push_back(CycleSample{
        .step = round_trip_step(i, kinds[i]), .start_cycle = 0xfffffff5 + i, .end_cycle = 7 + i});
  }
  return ProfileReport{.clock_hz = kClockHz, .tiles = {tile}};
}

void profile_round_trip() {
  const ProfileReport report = four_kinds_report();
  Bytes bytes;
  require_ok(report.write(bytes), "write of the report");
  require(require_ok(ProfileReport::read(bytes), "read of the report") == report,
          "the report read back equals the report written");
}

void randomized_profile_reports_use_adjacent_start_samples() {
  Generator random(kSeed);
  for (int round = 0; round < kRandomCases; ++round) {
    const std::string failure = "random case " + std::to_string(round);
    const RandomRun run = random_run(random);
    const ProfileReport report =
        require_ok(run.package.profile_report(run.output, kClockHz), failure);
    require(report_pairs_adjacent_counters(run, report), failure);
  }
}

}  // namespace zor_package::tests
