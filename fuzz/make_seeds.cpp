// Writes the seed inputs of every fuzz target into a folder per target, from the packages and
// reports that the self-checks and tests use.
//
//   zor-fuzz-seeds OUTPUT_FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "zor_package/tests.hpp"

namespace {

using namespace zor_package;
using Bytes = std::vector<std::uint8_t>;

Bytes encode(const Application& package) {
  Bytes bytes;
  if (!package.write(bytes)) {
    std::fprintf(stderr, "a seed package does not write\n");
    std::exit(1);
  }
  return bytes;
}

// The sample with a host exchange, an entry point, debug records and one binding of each kind.
Application rich_package() {
  Application package = tests::sample();
  package.tiles[0].segments.push_back(
      Segment{.address = 0x4c100, .memory_size = 16, .data = {0xaa, 0xbb}, .flags = 1});
  const RegionSlice slice{.tile = 0, .tile_address = 0x4c100, .file_offset = 0, .size = 4};
  package.inputs = {Binding{.name = "in", .dtype = "u8", .shape = {4}, .slices = {slice}}};
  package.outputs = {Binding{.name = "out", .dtype = "f32", .shape = {1}, .slices = {slice}}};
  package.weights = {Binding{.name = "w", .dtype = "u8", .shape = {2, 2}, .slices = {slice}}};
  package.host_exchange = HostExchange{
      .startup_mark = 1,
      .command_page = 0,
      .command_offset = 0,
      .pages = {{.index = 0, .size = 0x1000}},
      .attach_order = {0},
      .calls = {HostCall{.name = "run",
                         .command = 2,
                         .phases = 1,
                         .inputs = {{.page = 0, .page_offset = 8, .file_offset = 0, .size = 4}},
                         .outputs = {{.page = 0, .page_offset = 16, .file_offset = 0, .size = 4}},
                         .invocations = 1,
                         .input_batch_ends = {1},
                         .output_batch_ends = {1}}},
  };
  package.entry_points = {{.name = "main", .command = 1, .external_syncs = 0}};
  package.device_config_writes = {{.offset = 0x4018, .value = 0xc000000d}};
  package.debug_symbols = {{.name = "kernel", .address = 0x4c000}};
  package.debug_regions = {{.physical_tile = 0, .address = 0x4c000, .size = 8, .name = "code"}};
  return package;
}

// A package whose run output holds an 8-byte "prefix" and the counters of a three-step plan.
Application profiled_package() {
  Application package = tests::sample();
  package.outputs = {
      Binding{.name = "prefix",
              .dtype = "u8",
              .shape = {8},
              .slices = {{.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = 8}}},
      Binding{.name = "profile.cycles",
              .dtype = "u32",
              .shape = {4},
              .slices = {{.tile = 0, .tile_address = 0x4c100, .file_offset = 0, .size = 16}}},
  };
  TileProfilePlan plan{.physical_tile = 0, .steps = {}};
  const StepKind kinds[] = {StepKind::Exchange, StepKind::Compute, StepKind::Idle};
  for (std::uint32_t i = 0; i < 3; ++i) {
    plan.steps.push_back(ProfileStep{
        .local_index = i,
        .operation = "operation." + std::to_string(i),
        .kind = kinds[i],
        .kernel = "kernel",
        .metadata = {{.name = "reason", .value = "OperatorKernel"}},
        .exchange_activities = {{.fanout = 2,
                                 .paired = true,
                                 .kind = ExchangeActivityKind::Send,
                                 .start_cycle = 1,
                                 .end_cycle = 5}},
    });
  }
  package.profile_tiles = {plan};
  return package;
}

Bytes run_output() {
  Bytes output(8, 0xa5);
  for (std::uint32_t counter : {100u, 180u, 0xfffffff0u, 16u}) {
    for (int shift = 0; shift < 32; shift += 8) {
      output.push_back(static_cast<std::uint8_t>(counter >> shift));
    }
  }
  return output;
}

void save(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zor-fuzz-seeds OUTPUT_FOLDER\n");
    return 2;
  }
  const std::filesystem::path out(argv[1]);
  const std::vector<std::pair<std::string, Bytes>> packages = {
      {"sample", encode(tests::sample())},
      {"legacy", tests::legacy_package_bytes()},
      {"rich", encode(rich_package())},
      {"profiled", encode(profiled_package())},
  };
  for (const auto& [name, bytes] : packages) {
    save(out / "read_package", name, bytes);
    save(out / "tile_images", name, bytes);
  }

  const Application profiled = profiled_package();
  const Bytes package = encode(profiled);
  const Bytes output = run_output();
  Bytes framed;
  for (int shift = 0; shift < 32; shift += 8) {
    framed.push_back(static_cast<std::uint8_t>(package.size() >> shift));
  }
  framed.insert(framed.end(), package.begin(), package.end());
  framed.insert(framed.end(), output.begin(), output.end());
  save(out / "profile_report", "profiled", framed);

  const auto report = profiled.profile_report(output, 1'500'000'000);
  Bytes report_bytes;
  if (!report || !report->write(report_bytes)) {
    std::fprintf(stderr, "the seed report does not build\n");
    return 1;
  }
  save(out / "read_report", "profiled", report_bytes);
  Bytes empty_report;
  if (!ProfileReport{.clock_hz = 0, .tiles = {}}.write(empty_report)) {
    return 1;
  }
  save(out / "read_report", "empty", empty_report);
  return 0;
}
