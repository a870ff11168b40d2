// A small package that exercises every part of the library: the sample package with a second
// tile, a host exchange, a profile plan and its "profile.cycles" output, and the output buffer of
// a profiled run of it.
#pragma once

#include <cstdint>

#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zor_package::tests {

inline constexpr std::uint64_t kProfiledClockHz = 1'500'000'000;

inline Application profiled_sample() {
  Application app = sample();
  app.compiler_version = "zc 3.1";
  app.tiles.push_back(TileImage{
      .physical_tile = 1,
      .entry_point = 0x4d000,
      .segments = {{.address = 0x4d000, .memory_size = 16, .data = {9, 8, 7}},
                   {.address = 0x4c000, .memory_size = 4, .data = {1}}},
  });
  app.inputs = {{.name = "tokens",
                 .dtype = "u32",
                 .shape = {2},
                 .slices = {{.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = 8}}}};
  app.outputs = {{.name = "profile.cycles",
                  .dtype = "u32",
                  .shape = {3},
                  .slices = {{.tile = 1, .tile_address = 0x4d100, .file_offset = 0, .size = 12}}}};
  app.host_exchange = HostExchange{
      .startup_mark = 7,
      .command_page = 0,
      .command_offset = 0x10,
      .pages = {{.index = 0, .size = 0x100}},
      .attach_order = {0},
      .calls = {{.name = "run",
                 .command = 1,
                 .phases = 2,
                 .inputs = {{.page = 0, .page_offset = 0x20, .file_offset = 0, .size = 8}},
                 .outputs = {{.page = 0, .page_offset = 0x40, .file_offset = 0, .size = 12}},
                 .invocations = 1,
                 .input_batch_ends = {1},
                 .output_batch_ends = {1}}},
  };
  app.entry_points = {{.name = "main", .command = 1, .external_syncs = 0}};
  app.profile_tiles = {
      {.physical_tile = 1,
       .steps = {{.local_index = 0,
                  .operation = "matmul",
                  .kind = StepKind::Compute,
                  .kernel = "gemm_f32",
                  .metadata = {{.name = "innerBlock", .value = "8"}}},
                 {.local_index = 1,
                  .operation = "gather",
                  .kind = StepKind::Exchange,
                  .exchange_activities = {{.fanout = 2,
                                           .paired = true,
                                           .kind = ExchangeActivityKind::Receive,
                                           .start_cycle = 260,
                                           .end_cycle = 390}}}}},
  };
  app.debug_symbols = {{.name = "main", .address = 0x4d000}};
  return app;
}

// The output buffer of one profiled run: tile 1's three counter values, little-endian.
inline Bytes profiled_run_output() { return {100, 0, 0, 0, 250, 0, 0, 0, 144, 1, 0, 0}; }

}  // namespace zor_package::tests
