// Application::validate and validate_host_batch_ends: every rule with its reason text, the
// boundaries of every range check, and which rule wins when several are broken.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

constexpr std::uint64_t kMax64 = 0xffffffffffffffff;

void expect_invalid(const Result<void>& result, std::string_view reason) {
  ASSERT_FALSE(result.has_value()) << "expected the error: " << reason;
  EXPECT_EQ(result.error().kind(), ErrorKind::Invalid);
  EXPECT_EQ(result.error().reason(), reason);
}

// One change to the sample package and the reason it must be refused with (kValid: none).
using Mutation = void (*)(Application&);
constexpr const char* kValid = nullptr;

struct Case {
  const char* what;
  Mutation mutate;
  const char* reason;
};

void expect_cases(std::span<const Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Application application = tests::sample();
    c.mutate(application);
    const Result<void> result = application.validate();
    if (c.reason == kValid) {
      EXPECT_TRUE(result.has_value()) << result.error();
    } else {
      expect_invalid(result, c.reason);
    }
  }
}

Segment segment(std::uint32_t address, std::uint32_t memory_size, std::size_t data_size = 0) {
  return Segment{.address = address, .memory_size = memory_size, .data = Bytes(data_size, 0xaa)};
}

// The sample tile's one segment: 0x4c000..0x4c008 holding four data bytes.
Segment& sample_segment(Application& application) { return application.tiles[0].segments[0]; }

void add_segment(Application& application, Segment added) {
  application.tiles[0].segments.push_back(std::move(added));
}

void add_tile(Application& application, std::uint32_t physical_tile,
              std::vector<Segment> segments = {}) {
  application.tiles.push_back(
      TileImage{.physical_tile = physical_tile, .segments = std::move(segments)});
}

TileProfilePlan plan(std::uint32_t physical_tile, std::vector<std::uint32_t> local_indices) {
  TileProfilePlan result;
  result.physical_tile = physical_tile;
  for (std::uint32_t index : local_indices) {
    ProfileStep& step = result.steps.emplace_back();
    step.local_index = index;
    step.operation = "op";
  }
  return result;
}

DebugRegion region(std::uint32_t physical_tile, std::uint32_t address, std::uint32_t size,
                   std::string name = "region") {
  return DebugRegion{
      .physical_tile = physical_tile, .address = address, .size = size, .name = std::move(name)};
}

RegionSlice slice(std::uint32_t tile_address, std::uint64_t size, std::uint64_t file_offset = 0,
                  std::uint32_t tile = 0) {
  return RegionSlice{
      .tile = tile, .tile_address = tile_address, .file_offset = file_offset, .size = size};
}

Binding binding(std::string name, std::vector<RegionSlice> slices) {
  return Binding{
      .name = std::move(name), .dtype = "u8", .shape = {16}, .slices = std::move(slices)};
}

HostCall host_call(std::string name, std::uint32_t invocations) {
  HostCall call;
  call.name = std::move(name);
  call.invocations = invocations;
  return call;
}

// One page of 0x1000 bytes holding the command word at its very end, and one call "run" whose
// one input slice of 4 bytes also ends at the page end, in one batch.
void add_host_call(Application& application) {
  HostExchange& exchange = application.host_exchange;
  exchange.pages = {HostPage{.index = 0, .size = 0x1000}};
  exchange.attach_order = {0};
  exchange.command_page = 0;
  exchange.command_offset = 0xffc;
  HostCall& run = exchange.calls.emplace_back(host_call("run", 1));
  run.inputs = {HostSlice{.page = 0, .page_offset = 0xffc, .file_offset = 0, .size = 4}};
  run.input_batch_ends = {1};
}

HostCall& run_call(Application& application) { return application.host_exchange.calls[0]; }

HostSlice& run_input(Application& application) { return run_call(application).inputs[0]; }

TEST(ValidationTest, IgnoresFieldsOutsideItsRules) {
  constexpr Case kCases[] = {
      {"sample package", [](Application&) {}, kValid},
      {"arbitrary values in unchecked fields",
       [](Application& a) {
         add_host_call(a);
         a.compiler_version.clear();
         a.entry_points = {EntryPoint{.name = "", .command = 0xffffffff, .external_syncs = 7}};
         a.tiles[0].entry_point = 0;
         a.tiles[0].command_address = 0xffffffff;
         a.tiles[0].diagnostic_address = 1;
         sample_segment(a).flags = 0xffffffff;
         a.device_config_writes = {DeviceConfigWrite{.offset = 8, .value = 0xffffffff}};
         a.inputs = {Binding{.name = "x", .dtype = "", .shape = {0, 0xffffffff}, .slices = {}}};
         a.host_exchange.startup_mark = 0xffffffff;
         run_call(a).command = 0xffffffff;
         run_call(a).phases = 0xffffffff;
       },
       kValid},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, TilesAndDeviceConfigurationWrites) {
  constexpr Case kCases[] = {
      {"no tiles", [](Application& a) { a.tiles.clear(); }, "application has no tiles"},
      {"distinct aligned configuration writes",
       [](Application& a) {
         a.device_config_writes = {{.offset = 0, .value = 1},
                                   {.offset = 4, .value = 1},
                                   {.offset = 0xfffffffc, .value = 1}};
       },
       kValid},
      {"two writes to offset 4",
       [](Application& a) {
         a.device_config_writes = {{.offset = 4, .value = 1}, {.offset = 4, .value = 2}};
       },
       "unaligned or duplicate device configuration write"},
      {"repeated offset after another",
       [](Application& a) {
         a.device_config_writes = {{.offset = 4}, {.offset = 8}, {.offset = 4}};
       },
       "unaligned or duplicate device configuration write"},
      {"single write to offset 2",
       [](Application& a) { a.device_config_writes = {{.offset = 2, .value = 1}}; },
       "unaligned or duplicate device configuration write"},
      {"unaligned write after an aligned one",
       [](Application& a) {
         a.device_config_writes = {{.offset = 0}, {.offset = 0xffffffff}};
       },
       "unaligned or duplicate device configuration write"},
      {"tiles with distinct numbers, one without segments",
       [](Application& a) {
         add_tile(a, 1);
         add_tile(a, 12, {segment(0x4c000, 8)});
       },
       kValid},
      {"tile number repeated later",
       [](Application& a) {
         add_tile(a, 12);
         add_tile(a, 12);
       },
       "duplicate physical tile 12"},
      {"first tile repeated last",
       [](Application& a) {
         add_tile(a, 1);
         add_tile(a, 0);
       },
       "duplicate physical tile 0"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, SegmentsLieInsideTileMemory) {
  constexpr Case kCases[] = {
      {"data filling the memory size", [](Application& a) { sample_segment(a).data.resize(8); },
       kValid},
      {"segment ending exactly at 0xe8000",
       [](Application& a) { sample_segment(a) = segment(0xe7ff8, 8, 4); }, kValid},
      {"memory size 0 at 0x4c000", [](Application& a) { sample_segment(a) = segment(0x4c000, 0); },
       kValid},
      {"memory size 0 at 0xe8000", [](Application& a) { sample_segment(a) = segment(0xe8000, 0); },
       kValid},
      {"segment starting one below the window",
       [](Application& a) { sample_segment(a) = segment(0x4bfff, 8, 4); },
       "invalid segment on tile 0: address=0x4bfff end=0x4c007 memory_size=8 data_size=4"},
      {"segment ending one past the window",
       [](Application& a) { sample_segment(a) = segment(0xe7ff9, 8, 4); },
       "invalid segment on tile 0: address=0xe7ff9 end=0xe8001 memory_size=8 data_size=4"},
      {"memory size 0 one past the window",
       [](Application& a) { sample_segment(a) = segment(0xe8001, 0); },
       "invalid segment on tile 0: address=0xe8001 end=0xe8001 memory_size=0 data_size=0"},
      {"data longer than the memory size",
       [](Application& a) { sample_segment(a).memory_size = 3; },
       "invalid segment on tile 0: address=0x4c000 end=0x4c003 memory_size=3 data_size=4"},
      {"memory size 0 with one data byte",
       [](Application& a) { sample_segment(a) = segment(0x4c000, 0, 1); },
       "invalid segment on tile 0: address=0x4c000 end=0x4c000 memory_size=0 data_size=1"},
      {"sizes in decimal, addresses in hexadecimal",
       [](Application& a) { add_tile(a, 12, {segment(0x4bff0, 32, 20)}); },
       "invalid segment on tile 12: address=0x4bff0 end=0x4c010 memory_size=32 data_size=20"},
      {"invalid second segment", [](Application& a) { add_segment(a, segment(0xe8000, 4)); },
       "invalid segment on tile 0: address=0xe8000 end=0xe8004 memory_size=4 data_size=0"},
      {"end exactly 2^32", [](Application& a) { sample_segment(a) = segment(0xfffffff8, 8); },
       "segment address overflow"},
      {"end one below 2^32", [](Application& a) { sample_segment(a) = segment(0xfffffff7, 8); },
       "invalid segment on tile 0: address=0xfffffff7 end=0xffffffff memory_size=8 data_size=0"},
      {"address overflow with data longer than the memory size",
       [](Application& a) { sample_segment(a) = segment(0xffffffff, 1, 5); },
       "segment address overflow"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, SegmentsOfOneTileDoNotOverlap) {
  constexpr Case kCases[] = {
      {"touching segments", [](Application& a) { add_segment(a, segment(0x4c008, 4)); }, kValid},
      {"touching segments listed in descending order",
       [](Application& a) {
         auto& segments = a.tiles[0].segments;
         segments.insert(segments.begin(), {segment(0x4c010, 8), segment(0x4c008, 8)});
       },
       kValid},
      {"memory size 0 inside another segment",
       [](Application& a) { add_segment(a, segment(0x4c004, 0)); }, kValid},
      {"same segment on another tile", [](Application& a) { add_tile(a, 1, {sample_segment(a)}); },
       kValid},
      {"copy of the sample segment", [](Application& a) { add_segment(a, sample_segment(a)); },
       "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c008"},
      {"overlap by one byte", [](Application& a) { add_segment(a, segment(0x4c007, 4)); },
       "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c007..0x4c00b"},
      {"equal starts ordered by end",
       [](Application& a) {
         auto& segments = a.tiles[0].segments;
         segments.insert(segments.begin(), segment(0x4c000, 16));
       },
       "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c010"},
      {"segment inside a larger one",
       [](Application& a) {
         auto& segments = a.tiles[0].segments;
         segments.insert(segments.begin(), segment(0x4c100, 0x100));
         segments.push_back(segment(0x4c180, 8));
       },
       "overlapping segments on tile 0: 0x4c100..0x4c200 and 0x4c180..0x4c188"},
      {"first overlapping pair in address order, not list order",
       [](Application& a) {
         add_segment(a, segment(0x4c200, 16));
         add_segment(a, segment(0x4c208, 4));
         add_segment(a, segment(0x4c004, 8));
       },
       "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c004..0x4c00c"},
      {"overlap on a later tile",
       [](Application& a) {
         add_tile(a, 12, {segment(0x4c000, 8), segment(0x4c000, 8)});
       },
       "overlapping segments on tile 12: 0x4c000..0x4c008 and 0x4c000..0x4c008"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, ProfilePlans) {
  constexpr Case kCases[] = {
      {"plan with steps in order",
       [](Application& a) {
         a.profile_tiles = {plan(0, {0, 1, 2})};
       },
       kValid},
      {"plan without steps", [](Application& a) { a.profile_tiles = {plan(0, {})}; }, kValid},
      {"plans for two tiles, the later one first",
       [](Application& a) {
         add_tile(a, 1);
         a.profile_tiles = {plan(1, {0}), plan(0, {0})};
       },
       kValid},
      {"plan for a missing tile", [](Application& a) { a.profile_tiles = {plan(1, {0})}; },
       "invalid tile profile plan"},
      {"two plans for one tile",
       [](Application& a) {
         a.profile_tiles = {plan(0, {0}), plan(0, {0})};
       },
       "invalid tile profile plan"},
      {"first step not at index 0", [](Application& a) { a.profile_tiles = {plan(0, {1})}; },
       "invalid tile profile plan"},
      {"index skipped",
       [](Application& a) {
         a.profile_tiles = {plan(0, {0, 2})};
       },
       "invalid tile profile plan"},
      {"indices swapped",
       [](Application& a) {
         a.profile_tiles = {plan(0, {1, 0})};
       },
       "invalid tile profile plan"},
      {"index repeated",
       [](Application& a) {
         a.profile_tiles = {plan(0, {0, 1, 1})};
       },
       "invalid tile profile plan"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, DebugMap) {
  constexpr Case kCases[] = {
      {"named symbols and valid regions",
       [](Application& a) {
         add_tile(a, 1);
         a.debug_symbols = {DebugSymbol{.name = "main", .address = 0xffffffff}};
         a.debug_regions = {region(0, 0x4c000, 4), region(1, 0, 1),
                            region(DebugRegion::kNoTile, 0xfffffffe, 1)};
       },
       kValid},
      {"symbol with an empty name before valid regions",
       [](Application& a) {
         a.debug_symbols = {DebugSymbol{.name = "main"}, DebugSymbol{.name = ""}};
         a.debug_regions = {region(0, 0, 4)};
       },
       "invalid package debug map"},
      {"symbol with an empty name and no regions",
       [](Application& a) { a.debug_symbols = {DebugSymbol{.name = ""}}; },
       "invalid package debug map"},
      {"region with an empty name", [](Application& a) { a.debug_regions = {region(0, 0, 4, "")}; },
       "invalid package debug map"},
      {"region of size 0",
       [](Application& a) {
         a.debug_regions = {region(0, 0, 4), region(0, 0, 0)};
       },
       "invalid package debug map"},
      {"region of no tile with size 0",
       [](Application& a) { a.debug_regions = {region(DebugRegion::kNoTile, 0, 0)}; },
       "invalid package debug map"},
      {"region ending at 2^32",
       [](Application& a) { a.debug_regions = {region(0, 0xffffffff, 1)}; },
       "invalid package debug map"},
      {"region of size 0xffffffff at 1",
       [](Application& a) { a.debug_regions = {region(0, 1, 0xffffffff)}; },
       "invalid package debug map"},
      {"region on a missing tile", [](Application& a) { a.debug_regions = {region(1, 0, 4)}; },
       "invalid package debug map"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, Bindings) {
  constexpr Case kCases[] = {
      {"distinct names in all three lists, with and without slices",
       [](Application& a) {
         a.inputs = {binding("a", {slice(0x4c000, 4)})};
         a.outputs = {binding("b", {})};
         a.weights = {binding("c", {slice(0x4c000, 8)})};
       },
       kValid},
      {"slices at both ends of the window",
       [](Application& a) {
         a.inputs = {binding("x", {slice(0x4c000, 4), slice(0xe7ffc, 4)})};
       },
       kValid},
      {"slice of size 0 at 0xe8000",
       [](Application& a) { a.inputs = {binding("x", {slice(0xe8000, 0)})}; }, kValid},
      {"slices sharing tile address and file offset",
       [](Application& a) {
         a.inputs = {
             binding("x", {slice(0x4c000, 4, 12), slice(0x4c000, 4), slice(0x4c000, 4, 12)})};
         a.outputs = {binding("y", {slice(0x4c000, 4, 12)})};
       },
       kValid},
      {"file range ending at 2^64 - 1",
       [](Application& a) { a.inputs = {binding("x", {slice(0x4c000, 4, kMax64 - 4)})}; }, kValid},
      {"slice on a later tile",
       [](Application& a) {
         add_tile(a, 1);
         a.inputs = {binding("x", {slice(0x4c000, 4, 0, 1)})};
       },
       kValid},
      {"input with an empty name", [](Application& a) { a.inputs = {binding("", {})}; },
       "empty or duplicate binding "},
      {"weight with an empty name", [](Application& a) { a.weights = {binding("", {})}; },
       "empty or duplicate binding "},
      {"two inputs with one name",
       [](Application& a) {
         a.inputs = {binding("x", {}), binding("x", {})};
       },
       "empty or duplicate binding x"},
      {"input and output with one name",
       [](Application& a) {
         a.inputs = {binding("x", {})};
         a.outputs = {binding("x", {})};
       },
       "empty or duplicate binding x"},
      {"input and weight with one name",
       [](Application& a) {
         a.inputs = {binding("x", {})};
         a.weights = {binding("x", {})};
       },
       "empty or duplicate binding x"},
      {"output and weight with one name",
       [](Application& a) {
         a.outputs = {binding("x", {})};
         a.weights = {binding("x", {})};
       },
       "empty or duplicate binding x"},
      {"file range overflowing from the last offset",
       [](Application& a) { a.outputs = {binding("values", {slice(0x4c000, 4, kMax64)})}; },
       "binding values file range overflows"},
      {"file range ending at 2^64",
       [](Application& a) { a.outputs = {binding("values", {slice(0x4c000, 4, kMax64 - 3)})}; },
       "binding values file range overflows"},
      {"slice size 2^32 at 0x4c000",
       [](Application& a) { a.inputs = {binding("x", {slice(0x4c000, 0x100000000)})}; },
       "binding x slice is too large"},
      {"slice size 0xffffffff at 0",
       [](Application& a) { a.inputs = {binding("x", {slice(0, 0xffffffff)})}; },
       "binding x references invalid tile memory"},
      {"slice size 0xffffffff at 1",
       [](Application& a) { a.inputs = {binding("x", {slice(1, 0xffffffff)})}; },
       "binding address overflow"},
      {"slice ending at 2^32",
       [](Application& a) { a.inputs = {binding("x", {slice(0xffffffff, 1)})}; },
       "binding address overflow"},
      {"slice ending at 2^32 - 1",
       [](Application& a) { a.inputs = {binding("x", {slice(0xfffffffe, 1)})}; },
       "binding x references invalid tile memory"},
      {"slice starting one below the window",
       [](Application& a) { a.inputs = {binding("x", {slice(0x4bfff, 1)})}; },
       "binding x references invalid tile memory"},
      {"slice ending one past the window",
       [](Application& a) { a.inputs = {binding("x", {slice(0xe7ffd, 4)})}; },
       "binding x references invalid tile memory"},
      {"slice of size 0 one past the window",
       [](Application& a) { a.weights = {binding("w", {slice(0xe8001, 0)})}; },
       "binding w references invalid tile memory"},
      {"second slice on a missing tile",
       [](Application& a) {
         a.outputs = {binding("y", {slice(0x4c000, 4), slice(0x4c000, 4, 0, 1)})};
       },
       "binding y references invalid tile memory"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, HostPageTableAndStartupProtocol) {
  constexpr Case kCases[] = {
      {"attach order repeating one page and leaving out another",
       [](Application& a) {
         a.host_exchange.pages = {{.index = 0, .size = 0x1000}, {.index = 7, .size = 0x10}};
         a.host_exchange.attach_order = {7, 7};
       },
       kValid},
      {"pages without attach order",
       [](Application& a) { a.host_exchange.pages = {{.index = 3, .size = 8}}; }, kValid},
      {"page index repeated with another size",
       [](Application& a) {
         a.host_exchange.pages = {{.index = 0, .size = 0x1000}, {.index = 0, .size = 0x10}};
       },
       "invalid host page table"},
      {"page repeated exactly",
       [](Application& a) {
         a.host_exchange.pages = {
             {.index = 3, .size = 8}, {.index = 4, .size = 8}, {.index = 3, .size = 8}};
       },
       "invalid host page table"},
      {"attach order naming a missing page",
       [](Application& a) {
         a.host_exchange.pages = {{.index = 0, .size = 0x1000}};
         a.host_exchange.attach_order = {0, 1};
       },
       "invalid host page table"},
      {"no calls: command page and offset unchecked",
       [](Application& a) {
         a.host_exchange.command_page = 7;
         a.host_exchange.command_offset = kMax64;
       },
       kValid},
      {"command word ending at the page end", add_host_call, kValid},
      {"command word one past the page end",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.command_offset = 0xffd;
       },
       "invalid host startup protocol"},
      {"command offset 2^64 - 3 wrapping into the page",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.command_offset = kMax64 - 2;
       },
       "invalid host startup protocol"},
      {"command offset 2^64 - 1",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.command_offset = kMax64;
       },
       "invalid host startup protocol"},
      {"command word ending at 2^64 - 1 in the largest page",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.pages[0].size = kMax64;
         a.host_exchange.command_offset = kMax64 - 4;
       },
       kValid},
      {"command word ending at 2^64 in the largest page",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.pages[0].size = kMax64;
         a.host_exchange.command_offset = kMax64 - 3;
       },
       "invalid host startup protocol"},
      {"page smaller than the command word",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.pages[0].size = 3;
         a.host_exchange.command_offset = 0;
       },
       "invalid host startup protocol"},
      {"command page missing",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.command_page = 1;
       },
       "invalid host startup protocol"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, HostCalls) {
  constexpr Case kCases[] = {
      {"two input batches and one output batch",
       [](Application& a) {
         add_host_call(a);
         HostCall& call = run_call(a);
         call.inputs.push_back(call.inputs[0]);
         call.input_batch_ends = {1, 2};
         call.outputs = {HostSlice{.page = 0, .page_offset = 0, .file_offset = 0, .size = 0x1000}};
         call.output_batch_ends = {1};
         call.invocations = 3;
       },
       kValid},
      {"no invocations",
       [](Application& a) {
         add_host_call(a);
         run_call(a).invocations = 0;
       },
       "host call run has no invocations"},
      {"input slices without batch ends",
       [](Application& a) {
         add_host_call(a);
         run_call(a).input_batch_ends.clear();
       },
       "host call run input batches cover 0 of 1 slices"},
      {"output batch end without output slices",
       [](Application& a) {
         add_host_call(a);
         run_call(a).output_batch_ends = {1};
       },
       "host call run has invalid output batch boundary 1"},
      {"input slice on a missing page",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page = 1;
       },
       "host call run references missing page"},
      {"output slice on a missing page",
       [](Application& a) {
         add_host_call(a);
         run_call(a).outputs = {HostSlice{.page = 5, .size = 4}};
         run_call(a).output_batch_ends = {1};
       },
       "host call run references missing page"},
      {"slice one past the page end",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page_offset = 0xffd;
       },
       "host call run has an invalid slice range"},
      {"page offset 2^64 - 3 wrapping into the page",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page_offset = kMax64 - 2;
       },
       "host call run has an invalid slice range"},
      {"page offset 2^64 - 1",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page_offset = kMax64;
       },
       "host call run has an invalid slice range"},
      {"slice ending at 2^64 - 1 in the largest page",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.pages[0].size = kMax64;
         run_input(a).page_offset = kMax64 - 4;
       },
       kValid},
      {"slice ending at 2^64 in the largest page",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.pages[0].size = kMax64;
         run_input(a).page_offset = kMax64 - 3;
       },
       "host call run has an invalid slice range"},
      {"slice of size 0 at the page end",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page_offset = 0x1000;
         run_input(a).size = 0;
       },
       kValid},
      {"file range ending at 2^64 - 1",
       [](Application& a) {
         add_host_call(a);
         run_input(a).file_offset = kMax64 - 4;
       },
       kValid},
      {"file offset 2^64 - 3",
       [](Application& a) {
         add_host_call(a);
         run_input(a).file_offset = kMax64 - 2;
       },
       "host call run has an invalid slice range"},
      {"output slice past the page end",
       [](Application& a) {
         add_host_call(a);
         run_call(a).outputs = {HostSlice{.page = 0, .page_offset = 0x1000, .size = 1}};
         run_call(a).output_batch_ends = {1};
       },
       "host call run has an invalid slice range"},
      {"second call without invocations",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.calls.push_back(host_call("other", 0));
       },
       "host call other has no invocations"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, FirstBrokenRuleWins) {
  constexpr Case kCases[] = {
      {"no tiles over a duplicate configuration write",
       [](Application& a) {
         a.tiles.clear();
         a.device_config_writes = {{.offset = 4}, {.offset = 4}};
       },
       "application has no tiles"},
      {"duplicate configuration write over a duplicate tile",
       [](Application& a) {
         a.device_config_writes = {{.offset = 4, .value = 1}, {.offset = 4, .value = 2}};
         add_tile(a, 0);
       },
       "unaligned or duplicate device configuration write"},
      {"duplicate tile over its invalid segment",
       [](Application& a) { add_tile(a, 0, {segment(0x4bfff, 1)}); }, "duplicate physical tile 0"},
      {"invalid segment over an earlier overlap on the same tile",
       [](Application& a) {
         add_segment(a, sample_segment(a));
         add_segment(a, segment(0x4bfff, 1));
       },
       "invalid segment on tile 0: address=0x4bfff end=0x4c000 memory_size=1 data_size=0"},
      {"overlap on tile 0 over an invalid segment on tile 1",
       [](Application& a) {
         add_segment(a, sample_segment(a));
         add_tile(a, 1, {segment(0x4bfff, 1)});
       },
       "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c008"},
      {"overlap on tile 0 over a later duplicate of tile 0",
       [](Application& a) {
         add_segment(a, sample_segment(a));
         add_tile(a, 0);
       },
       "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c008"},
      {"invalid segment over a profile plan for a missing tile",
       [](Application& a) {
         sample_segment(a).memory_size = 3;
         a.profile_tiles = {plan(1, {0})};
       },
       "invalid segment on tile 0: address=0x4c000 end=0x4c003 memory_size=3 data_size=4"},
      {"profile plan over the debug map",
       [](Application& a) {
         a.profile_tiles = {plan(1, {0})};
         a.debug_symbols = {DebugSymbol{.name = ""}};
       },
       "invalid tile profile plan"},
      {"debug map over a binding",
       [](Application& a) {
         a.debug_regions = {region(0, 0, 0)};
         a.inputs = {binding("", {})};
       },
       "invalid package debug map"},
      {"input over output over weight",
       [](Application& a) {
         a.weights = {binding("c", {slice(0, 4)})};
         a.outputs = {binding("b", {slice(0, 4)})};
         a.inputs = {binding("a", {slice(0, 4)})};
       },
       "binding a references invalid tile memory"},
      {"output over weight",
       [](Application& a) {
         a.weights = {binding("c", {slice(0, 4)})};
         a.outputs = {binding("b", {slice(0, 4)})};
       },
       "binding b references invalid tile memory"},
      {"duplicate name over the binding's file range",
       [](Application& a) {
         a.inputs = {binding("x", {})};
         a.weights = {binding("x", {slice(0x4c000, 4, kMax64)})};
       },
       "empty or duplicate binding x"},
      {"file range of a later slice over an earlier slice's tile memory",
       [](Application& a) {
         a.inputs = {binding("x", {slice(0, 4), slice(0x4c000, 4, kMax64)})};
       },
       "binding x file range overflows"},
      {"binding over the host page table",
       [](Application& a) {
         a.inputs = {binding("x", {slice(0, 4)})};
         a.host_exchange.pages = {{.index = 0}, {.index = 0}};
       },
       "binding x references invalid tile memory"},
      {"host page table over the startup protocol",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.pages.push_back(a.host_exchange.pages[0]);
         a.host_exchange.command_page = 1;
       },
       "invalid host page table"},
      {"startup protocol over host calls",
       [](Application& a) {
         add_host_call(a);
         a.host_exchange.command_offset = 0xffd;
         run_call(a).invocations = 0;
       },
       "invalid host startup protocol"},
      {"invocations over batch ends",
       [](Application& a) {
         add_host_call(a);
         run_call(a).invocations = 0;
         run_call(a).input_batch_ends.clear();
       },
       "host call run has no invocations"},
      {"input batch ends over output batch ends",
       [](Application& a) {
         add_host_call(a);
         run_call(a).input_batch_ends.clear();
         run_call(a).output_batch_ends = {1};
       },
       "host call run input batches cover 0 of 1 slices"},
      {"output batch ends over slices",
       [](Application& a) {
         add_host_call(a);
         run_call(a).output_batch_ends = {1};
         run_input(a).page = 1;
       },
       "host call run has invalid output batch boundary 1"},
      {"input slice over output slice",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page_offset = 0xffd;
         run_call(a).outputs = {HostSlice{.page = 5, .size = 4}};
         run_call(a).output_batch_ends = {1};
       },
       "host call run has an invalid slice range"},
      {"slice of the first call over the second call",
       [](Application& a) {
         add_host_call(a);
         run_input(a).page = 1;
         a.host_exchange.calls.push_back(host_call("other", 0));
       },
       "host call run references missing page"},
  };
  expect_cases(kCases);
}

TEST(ValidationTest, HostBatchEnds) {
  struct BatchCase {
    std::vector<std::uint32_t> ends;
    std::size_t slice_count;
    std::string_view direction;
    const char* reason;  // kValid: accepted
  };
  const BatchCase kCases[] = {
      {{}, 0, "input", kValid},
      {{1}, 1, "input", kValid},
      {{3}, 3, "output", kValid},
      {{1, 2, 3}, 3, "output", kValid},
      {{}, 1, "input", "host call explicit-batches input batches cover 0 of 1 slices"},
      {{}, 1, "output", "host call explicit-batches output batches cover 0 of 1 slices"},
      {{1, 2}, 12, "output", "host call explicit-batches output batches cover 2 of 12 slices"},
      {{1, 1}, 2, "input", "host call explicit-batches has invalid input batch boundary 1"},
      {{2}, 1, "input", "host call explicit-batches has invalid input batch boundary 2"},
      {{1}, 0, "output", "host call explicit-batches has invalid output batch boundary 1"},
      {{0}, 0, "input", "host call explicit-batches has invalid input batch boundary 0"},
      {{0, 1}, 1, "input", "host call explicit-batches has invalid input batch boundary 0"},
      {{2, 1}, 3, "input", "host call explicit-batches has invalid input batch boundary 1"},
      {{1, 13}, 12, "output", "host call explicit-batches has invalid output batch boundary 13"},
  };
  const HostCall call = host_call("explicit-batches", 1);
  for (const BatchCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.direction << " ends " << testing::PrintToString(c.ends)
                                    << " over " << c.slice_count << " slices");
    const Result<void> result = validate_host_batch_ends(call, c.direction, c.ends, c.slice_count);
    if (c.reason == kValid) {
      EXPECT_TRUE(result.has_value()) << result.error();
    } else {
      expect_invalid(result, c.reason);
    }
  }
}

}  // namespace
}  // namespace zor_package
