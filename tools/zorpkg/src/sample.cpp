// zorpkg sample: writes the embedded sample package, or a profiled variant of it together with
// the output of a profiled run of it, for trying the profile commands.
#include <array>
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_io.hpp"
#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zorpkg {

using namespace zor_package;

namespace {

constexpr std::uint32_t kProfiledTiles = 4;
constexpr std::uint32_t kSliceAddress = 0x4c100;  // where each tile keeps its counter values

struct PlannedStep {
  StepKind kind;
  const char* operation;
  const char* kernel;
  std::uint32_t cycles;  // duration on tile 0; later tiles take a little longer
};

constexpr std::array<PlannedStep, 6> kSteps{{
    {StepKind::Exchange, "operation.0", "multicast", 120},
    {StepKind::Compute, "operation.1", "gemm_f32_accumulate", 900},
    {StepKind::Synchronization, "operation.1", "sync", 40},
    {StepKind::Compute, "operation.2", "relu_f32", 300},
    {StepKind::Exchange, "operation.3", "gather", 150},
    {StepKind::Idle, "operation.3", "idle", 60},
}};

// Counters start just below 2^32 so that every tile's counter wraps during the run.
constexpr std::uint32_t kFirstCounter = 0xfffffc00;

ProfileStep planned_step(std::uint32_t index) {
  const PlannedStep& planned = kSteps.at(index);
  ProfileStep step{.local_index = index,
                   .phase = index / 2,
                   .epoch = 0,
                   .operation = planned.operation,
                   .kind = planned.kind,
                   .kernel = planned.kernel};
  if (index == 0) {
    step.metadata = {{"reason", "LayoutRearrangement"}};
    step.exchange_activities = {
        {.fanout = 2,
         .paired = true,
         .kind = ExchangeActivityKind::Send,
         .start_cycle = 4,
         .end_cycle = 70},
        {.fanout = 2,
         .paired = true,
         .kind = ExchangeActivityKind::Receive,
         .start_cycle = 20,
         .end_cycle = 110},
    };
    step.exchange_event_cycles = 13;
  } else if (index == 1) {
    step.metadata = {{"innerBlock", "8"}};
  } else if (index == 4) {
    step.exchange_activities = {
        {.fanout = 1,
         .paired = true,
         .kind = ExchangeActivityKind::Receive,
         .start_cycle = 0,
         .end_cycle = 90},
        {.fanout = 1,
         .paired = false,
         .kind = ExchangeActivityKind::PartnerBusy,
         .start_cycle = 90,
         .end_cycle = 140},
    };
    step.exchange_event_cycles = 7;
  }
  return step;
}

struct ProfiledSample {
  Application package;
  Bytes run_output;
};

ProfiledSample profiled_sample() {
  ProfiledSample sample{tests::sample(), {}};
  Application& package = sample.package;
  const TileImage first = package.tiles.front();
  for (std::uint32_t tile = 1; tile < kProfiledTiles; ++tile) {
    TileImage copy = first;
    copy.physical_tile = tile;
    copy.segments.front().memory_size += 0x40 * tile;
    copy.segments.front().data.push_back(static_cast<std::uint8_t>(tile));
    package.tiles.push_back(copy);
  }
  package.entry_points.push_back({.name = "main", .command = 1, .external_syncs = 0});
  package.debug_symbols.push_back({.name = "main", .address = first.entry_point});

  constexpr std::uint64_t kSliceBytes = (kSteps.size() + 1) * 4;
  Binding cycles{.name = "profile.cycles", .dtype = "u32"};
  for (std::uint32_t tile = 0; tile < kProfiledTiles; ++tile) {
    TileProfilePlan plan{.physical_tile = tile};
    std::uint32_t counter = kFirstCounter + 8 * tile;
    auto record = [&](std::uint32_t value) {
      for (int shift = 0; shift < 32; shift += 8) {
        sample.run_output.push_back(static_cast<std::uint8_t>(value >> shift));
      }
    };
    record(counter);
    for (std::uint32_t index = 0; index < kSteps.size(); ++index) {
      plan.steps.push_back(planned_step(index));
      counter += kSteps.at(index).cycles + 10 * tile * index;  // wraps past 2^32
      record(counter);
    }
    package.profile_tiles.push_back(std::move(plan));
    cycles.slices.push_back({.tile = tile,
                             .tile_address = kSliceAddress,
                             .file_offset = tile * kSliceBytes,
                             .size = kSliceBytes});
  }
  cycles.shape = {static_cast<std::uint32_t>(sample.run_output.size() / 4)};
  package.outputs.push_back(std::move(cycles));
  return sample;
}

Outcome<void> write_package(const Application& package, Output& output) {
  std::vector<std::uint8_t> bytes;
  if (auto written = package.write(bytes); !written) {
    return std::unexpected(library_failure(output.path(), written.error()));
  }
  output.write(bytes.data(), bytes.size());
  return {};
}

}  // namespace

Outcome<void> run_sample(const SampleOptions& options) {
  if (!options.profiled) {
    auto output = Output::open(options.output);
    if (!output) {
      return std::unexpected(output.error());
    }
    if (auto written = write_package(tests::sample(), *output); !written) {
      return written;
    }
    return output->commit();
  }
  if (options.output == kStandardStream && options.run_output.empty()) {
    return fail("-", "a profiled sample on standard output needs --run-output FILE", kExitUsage);
  }
  std::string run_path = options.run_output.empty() ? options.output + ".run" : options.run_output;
  if (run_path == options.output) {
    return fail(run_path, "the package and the run output cannot share one file", kExitUsage);
  }
  ProfiledSample sample = profiled_sample();
  auto package_output = Output::open(options.output);
  if (!package_output) {
    return std::unexpected(package_output.error());
  }
  auto run_output = Output::open(run_path);
  if (!run_output) {
    return std::unexpected(run_output.error());
  }
  if (auto written = write_package(sample.package, *package_output); !written) {
    return written;
  }
  run_output->write(sample.run_output.data(), sample.run_output.size());
  if (auto committed = run_output->commit(); !committed) {
    return committed;
  }
  if (auto committed = package_output->commit(); !committed) {
    if (!run_output->is_standard_output()) {
      remove_file(run_path);
    }
    return committed;
  }
  return {};
}

}  // namespace zorpkg
