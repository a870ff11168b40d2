#include "workload.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "splitmix64.hpp"
#include "zor_package/tests.hpp"

namespace zor_bench {
namespace {

using zor_package::Application;
using zor_package::Binding;
using zor_package::Bytes;
using zor_package::DebugRegion;
using zor_package::DebugSymbol;
using zor_package::DeviceConfigWrite;
using zor_package::EntryPoint;
using zor_package::ExchangeActivityKind;
using zor_package::HostCall;
using zor_package::HostExchange;
using zor_package::HostPage;
using zor_package::HostSlice;
using zor_package::PackageError;
using zor_package::ProfileExchangeActivity;
using zor_package::ProfileStep;
using zor_package::RegionSlice;
using zor_package::Segment;
using zor_package::StepKind;
using zor_package::TileImage;
using zor_package::TileProfilePlan;

constexpr std::uint32_t kMemoryStart = 0x4c000;
constexpr std::uint32_t kMemoryEnd = 0xe8000;
constexpr std::uint32_t kMemorySize = kMemoryEnd - kMemoryStart;
constexpr std::uint32_t kProfileSteps = 64;
constexpr std::uint32_t kCounterBytes = 4;
constexpr std::string_view kCyclesOutput = "profile.cycles";
// The run output has a stream of its own, so that it does not shift when the package changes.
constexpr std::uint64_t kRunOutputSeed = kSeed + 0x100;

// What grows with the scale; everything else is the same per tile at every scale.
struct Dimensions {
  std::uint32_t tiles = 0;
  std::uint32_t host_pages = 0;
  std::uint32_t host_calls = 0;
};

constexpr std::array<Dimensions, kMaxScale + 1> kDimensions = {
    {{1, 0, 0}, {92, 4, 16}, {1472, 64, 256}}};

constexpr std::uint32_t kInputs = 24;
constexpr std::uint32_t kOutputs = 16;  // the last is "profile.cycles"
constexpr std::uint32_t kWeights = 160;

struct Dtype {
  std::string_view name;
  std::uint32_t bytes = 0;  // size of one element
};

constexpr std::array<Dtype, 4> kDtypes = {{{"f16", 2}, {"f32", 4}, {"i32", 4}, {"u8", 1}}};

constexpr std::array<std::string_view, 8> kOperations = {
    "matmul", "softmax", "layernorm", "gelu", "add", "transpose", "reduce", "copy"};

constexpr std::array<std::string_view, 8> kWeightParts = {
    "query", "key", "value", "projection", "norm.scale", "norm.bias", "ffn.up", "ffn.down"};

[[noreturn]] void fail(std::string_view what, const PackageError& error) {
  std::fprintf(stderr, "benchmark workload: %.*s: %s\n", static_cast<int>(what.size()), what.data(),
               error.message().c_str());
  std::abort();
}

[[noreturn]] void fail(std::string_view what) {
  std::fprintf(stderr, "benchmark workload: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

// `total` split at random into `count` parts, each a multiple of `unit` (as `total` must be).
std::vector<std::uint32_t> split(SplitMix64& random, std::uint32_t total, std::uint32_t count,
                                 std::uint32_t unit) {
  std::vector<std::uint64_t> weights(count);
  std::uint64_t weight_sum = 0;
  for (std::uint64_t& weight : weights) {
    weight = random.between(1, 1000);
    weight_sum += weight;
  }
  const std::uint64_t units = total / unit;
  std::vector<std::uint32_t> parts(count);
  std::uint32_t given = 0;
  for (std::uint32_t i = 0; i + 1 < count; ++i) {
    parts[i] = static_cast<std::uint32_t>(units * weights[i] / weight_sum) * unit;
    given += parts[i];
  }
  parts.back() = total - given;
  return parts;
}

// `size` bytes (a multiple of 8) of the stream, little-endian whatever the machine.
Bytes random_bytes(SplitMix64& random, std::uint32_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    const std::uint64_t value = random.next();
    for (std::size_t b = 0; b < 8; ++b) {
      bytes[i + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
  }
  return bytes;
}

// A part of `whole` between `low_percent` and `high_percent` of it, rounded down to `unit`.
std::uint32_t percent_of(SplitMix64& random, std::uint32_t whole, std::uint32_t low_percent,
                         std::uint32_t high_percent, std::uint32_t unit) {
  const std::uint64_t part = std::uint64_t{whole} * random.between(low_percent, high_percent) / 100;
  return static_cast<std::uint32_t>(part / unit * unit);
}

TileImage generate_tile(SplitMix64& random, std::uint32_t physical_tile) {
  const std::uint32_t count = random.between(3, 8);
  const std::uint32_t used = percent_of(random, kMemorySize, 60, 95, 16);
  const std::vector<std::uint32_t> sizes = split(random, used, count, 16);
  const std::vector<std::uint32_t> gaps = split(random, kMemorySize - used, count + 1, 16);

  TileImage tile{.physical_tile = physical_tile};
  tile.segments.reserve(count);
  std::uint32_t address = kMemoryStart;
  for (std::uint32_t i = 0; i < count; ++i) {
    address += gaps[i];
    const std::uint32_t data_size = percent_of(random, sizes[i], 40, 100, 8);
    tile.segments.push_back(Segment{.address = address,
                                    .memory_size = sizes[i],
                                    .data = random_bytes(random, data_size),
                                    .flags = random.between(0, 7)});
    address += sizes[i];
  }
  tile.entry_point = tile.segments.front().address;
  tile.command_address = tile.segments.front().address + 0x40;
  tile.diagnostic_address = tile.segments.back().address;
  return tile;
}

std::uint32_t slice_address(SplitMix64& random, std::uint32_t size) {
  return kMemoryStart + random.between(0, (kMemorySize - size) / 16) * 16;
}

// A binding of `slice_size` bytes on every tile, its slices back to back in tile order.
Binding binding_on_every_tile(SplitMix64& random, std::string name, const Dtype& dtype,
                              std::uint32_t tiles, std::uint32_t slice_size) {
  Binding binding{.name = std::move(name),
                  .dtype = std::string(dtype.name),
                  .shape = {tiles, slice_size / dtype.bytes}};
  binding.slices.reserve(tiles);
  for (std::uint32_t tile = 0; tile < tiles; ++tile) {
    binding.slices.push_back(RegionSlice{.tile = tile,
                                         .tile_address = slice_address(random, slice_size),
                                         .file_offset = std::uint64_t{tile} * slice_size,
                                         .size = slice_size});
  }
  return binding;
}

// A binding of a random element type whose slices hold 16 to 16 * max_units bytes.
Binding random_binding(SplitMix64& random, std::string name, std::uint32_t tiles,
                       std::uint32_t max_units) {
  const Dtype& dtype = kDtypes[random.between(0, kDtypes.size() - 1)];
  const std::uint32_t slice_size = random.between(1, max_units) * 16;
  return binding_on_every_tile(random, std::move(name), dtype, tiles, slice_size);
}

ProfileStep generate_step(SplitMix64& random, std::uint32_t index) {
  const std::string_view operation = kOperations[random.between(0, kOperations.size() - 1)];
  ProfileStep step{
      .local_index = index,
      .phase = index / 4,
      .epoch = index / 16,
      .operation = "layer" + std::to_string(index / 8) + "/" + std::string(operation),
      .kind = static_cast<StepKind>(random.between(0, 3)),
      .kernel = "kernel." + std::string(operation) + "." + std::to_string(random.between(0, 15)),
  };
  if (step.kind == StepKind::Exchange) {
    step.metadata = {{"reason", "LayoutRearrangement"}};
    const std::uint32_t activities = random.between(1, 3);
    std::uint32_t cycle = random.between(0, 1000);
    for (std::uint32_t i = 0; i < activities; ++i) {
      const std::uint32_t length = random.between(1, 500);
      step.exchange_activities.push_back(
          ProfileExchangeActivity{.fanout = static_cast<std::uint16_t>(random.between(1, 16)),
                                  .paired = random.between(0, 1) == 1,
                                  .kind = static_cast<ExchangeActivityKind>(random.between(0, 2)),
                                  .start_cycle = cycle,
                                  .end_cycle = cycle + length});
      cycle += length;
    }
    step.exchange_event_cycles = random.between(1, 2000);
  } else if (step.kind == StepKind::Compute) {
    step.metadata = {{"vertices", std::to_string(random.between(1, 4096))}};
  }
  return step;
}

std::vector<HostSlice> host_slices(SplitMix64& random, const std::vector<HostPage>& pages,
                                   std::uint32_t count) {
  std::vector<HostSlice> slices;
  slices.reserve(count);
  std::uint64_t file_offset = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const HostPage& page = pages[random.between(0, static_cast<std::uint32_t>(pages.size() - 1))];
    const std::uint32_t size = random.between(1, 64) * 64;
    const auto last_offset = static_cast<std::uint32_t>((page.size - size) / 64);
    slices.push_back(HostSlice{.page = page.index,
                               .page_offset = std::uint64_t{random.between(0, last_offset)} * 64,
                               .file_offset = file_offset,
                               .size = size});
    file_offset += size;
  }
  return slices;
}

// Batch ends over `count` slices: every boundary between two slices is a batch end or not.
std::vector<std::uint32_t> batch_ends(SplitMix64& random, std::uint32_t count) {
  std::vector<std::uint32_t> ends;
  for (std::uint32_t end = 1; end < count; ++end) {
    if (random.between(0, 1) == 1) {
      ends.push_back(end);
    }
  }
  ends.push_back(count);
  return ends;
}

HostExchange generate_host_exchange(SplitMix64& random, const Dimensions& dimensions) {
  HostExchange exchange{.startup_mark = 1, .command_page = 0, .command_offset = 0};
  for (std::uint32_t index = 0; index < dimensions.host_pages; ++index) {
    exchange.pages.push_back(
        HostPage{.index = index, .size = std::uint64_t{random.between(16, 256)} * 4096});
    exchange.attach_order.push_back(index);
  }
  for (std::uint32_t c = 0; c < dimensions.host_calls; ++c) {
    HostCall call{.name = "stream." + std::to_string(c),
                  .command = c + 1,
                  .phases = random.between(1, 4),
                  .invocations = random.between(1, 8)};
    call.inputs = host_slices(random, exchange.pages, random.between(1, 4));
    call.input_batch_ends = batch_ends(random, static_cast<std::uint32_t>(call.inputs.size()));
    call.outputs = host_slices(random, exchange.pages, random.between(1, 4));
    call.output_batch_ends = batch_ends(random, static_cast<std::uint32_t>(call.outputs.size()));
    exchange.calls.push_back(std::move(call));
  }
  return exchange;
}

// The sample package with the smallest profiling setup: one step on tile 0.
Application sample_with_profiling() {
  Application package = zor_package::tests::sample();
  package.outputs.push_back(Binding{
      .name = std::string(kCyclesOutput),
      .dtype = "u32",
      .shape = {1, 2},
      .slices = {RegionSlice{.tile = 0, .tile_address = 0x4c100, .file_offset = 0, .size = 8}}});
  package.profile_tiles.push_back(TileProfilePlan{
      .physical_tile = 0,
      .steps = {ProfileStep{.operation = "main", .kind = StepKind::Compute, .kernel = "main"}}});
  return package;
}

Application full_package(int scale) {
  const Dimensions& dimensions = kDimensions[static_cast<std::size_t>(scale)];
  SplitMix64 random(kSeed + static_cast<std::uint64_t>(scale));
  Application package = Application::create(zor_target::Target::Zor21);

  package.tiles.reserve(dimensions.tiles);
  for (std::uint32_t tile = 0; tile < dimensions.tiles; ++tile) {
    package.tiles.push_back(generate_tile(random, tile));
  }

  for (std::uint32_t i = 0; i < kInputs; ++i) {
    package.inputs.push_back(
        random_binding(random, "input." + std::to_string(i), dimensions.tiles, 32));
  }
  for (std::uint32_t i = 0; i + 1 < kOutputs; ++i) {
    package.outputs.push_back(
        random_binding(random, "output." + std::to_string(i), dimensions.tiles, 32));
  }
  package.outputs.push_back(binding_on_every_tile(random, std::string(kCyclesOutput),
                                                  Dtype{"u32", kCounterBytes}, dimensions.tiles,
                                                  (kProfileSteps + 1) * kCounterBytes));
  for (std::uint32_t i = 0; i < kWeights; ++i) {
    const std::string name = "encoder.layer" + std::to_string(i / kWeightParts.size()) + "." +
                             std::string(kWeightParts[i % kWeightParts.size()]);
    package.weights.push_back(random_binding(random, name, dimensions.tiles, 256));
  }

  package.host_exchange = generate_host_exchange(random, dimensions);

  package.entry_points = {EntryPoint{.name = "main", .command = 1},
                          EntryPoint{.name = "init", .command = 2},
                          EntryPoint{.name = "step", .command = 3, .external_syncs = 2},
                          EntryPoint{.name = "shutdown", .command = 4}};
  for (std::uint32_t i = 0; i < 32; ++i) {
    package.device_config_writes.push_back(DeviceConfigWrite{
        .offset = 0x1000 + 4 * i, .value = static_cast<std::uint32_t>(random.next())});
  }

  package.profile_tiles.reserve(dimensions.tiles);
  for (std::uint32_t tile = 0; tile < dimensions.tiles; ++tile) {
    TileProfilePlan plan{.physical_tile = tile};
    plan.steps.reserve(kProfileSteps);
    for (std::uint32_t index = 0; index < kProfileSteps; ++index) {
      plan.steps.push_back(generate_step(random, index));
    }
    package.profile_tiles.push_back(std::move(plan));
  }

  for (std::uint32_t i = 0; i < 64; ++i) {
    package.debug_symbols.push_back(
        DebugSymbol{.name = "vertex." + std::to_string(i),
                    .address = kMemoryStart + random.between(0, kMemorySize / 4 - 1) * 4});
  }
  package.debug_regions.push_back(DebugRegion{.physical_tile = DebugRegion::kNoTile,
                                              .address = kMemoryStart,
                                              .size = kMemorySize,
                                              .name = "tile memory"});
  for (std::uint32_t tile = 0; tile < dimensions.tiles; ++tile) {
    package.debug_regions.push_back(DebugRegion{
        .physical_tile = tile, .address = kMemoryEnd - 0x1000, .size = 0x1000, .name = "stack"});
  }
  return package;
}

// The length of a tile's image: from its lowest segment address to its highest segment end.
std::size_t image_length(const TileImage& tile) {
  std::uint32_t low = kMemoryEnd;
  std::uint32_t high = kMemoryStart;
  for (const Segment& segment : tile.segments) {
    low = std::min(low, segment.address);
    high = std::max(high, segment.address + segment.memory_size);
  }
  return high - low;
}

void store_u32_le(std::uint8_t* at, std::uint32_t value) {
  for (std::size_t b = 0; b < 4; ++b) {
    at[b] = static_cast<std::uint8_t>(value >> (8 * b));
  }
}

}  // namespace

Application generate_package(int scale) {
  if (scale < 0 || scale > kMaxScale) {
    fail("scale " + std::to_string(scale) + " does not exist");
  }
  return scale == 0 ? sample_with_profiling() : full_package(scale);
}

Bytes generate_run_output(const Application& package, std::uint64_t seed) {
  SplitMix64 random(seed);
  auto cycles = package.output_binding(kCyclesOutput);
  if (!cycles) {
    fail("no cycle profile output", cycles.error());
  }
  std::uint64_t size = 0;
  for (const Binding& output : package.outputs) {
    auto extent = output.byte_len();
    if (!extent) {
      fail("an output has no extent", extent.error());
    }
    size += *extent;
  }
  Bytes run_output(size);

  std::unordered_map<std::uint32_t, const RegionSlice*> slices;
  for (const RegionSlice& slice : cycles->binding->slices) {
    slices.insert_or_assign(slice.tile, &slice);
  }
  for (const TileProfilePlan& plan : package.profile_tiles) {
    const RegionSlice& slice = *slices.at(plan.physical_tile);
    std::uint8_t* at = run_output.data() + cycles->base + slice.file_offset;
    std::uint32_t counter = random.between(0, 0x7fffffff);
    for (std::size_t value = 0; value <= plan.steps.size(); ++value) {
      store_u32_le(at + kCounterBytes * value, counter);
      counter += random.between(1, 10'000);
    }
  }
  return run_output;
}

Workload generate(int scale) {
  Workload workload{.scale = scale, .package = generate_package(scale)};
  if (auto valid = workload.package.validate(); !valid) {
    fail("the generated package is invalid", valid.error());
  }
  if (auto written = workload.package.write(workload.package_bytes); !written) {
    fail("writing the package", written.error());
  }
  workload.run_output =
      generate_run_output(workload.package, kRunOutputSeed + static_cast<std::uint64_t>(scale));
  auto report = workload.package.profile_report(workload.run_output, kClockHz);
  if (!report) {
    fail("building the profile report", report.error());
  }
  workload.report = std::move(*report);
  if (auto written = workload.report.write(workload.report_bytes); !written) {
    fail("writing the profile report", written.error());
  }
  for (const TileImage& tile : workload.package.tiles) {
    workload.image_bytes += image_length(tile);
  }
  return workload;
}

const Workload& cached_workload(int scale) {
  static std::array<std::unique_ptr<Workload>, kMaxScale + 1> cache;
  if (scale < 0 || scale > kMaxScale) {
    fail("scale " + std::to_string(scale) + " does not exist");
  }
  std::unique_ptr<Workload>& slot = cache[static_cast<std::size_t>(scale)];
  if (!slot) {
    slot = std::make_unique<Workload>(generate(scale));
  }
  return *slot;
}

}  // namespace zor_bench
