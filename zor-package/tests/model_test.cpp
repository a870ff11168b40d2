#include "zor_package/model.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

using zor_target::Target;

template <class T>
std::string rendered(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// Each of `parts` appears in `text`, each after the one before it.
testing::AssertionResult appear_in_order(std::string_view text,
                                         const std::vector<std::string_view>& parts) {
  std::size_t from = 0;
  for (std::string_view part : parts) {
    const std::size_t at = text.find(part, from);
    if (at == std::string_view::npos) {
      return testing::AssertionFailure()
             << "'" << part << "' not found after offset " << from << " in: " << text;
    }
    from = at + part.size();
  }
  return testing::AssertionSuccess();
}

// A package that fills every list, so that copies and comparisons reach every record type.
Application full_package() {
  Application application = tests::sample();
  application.tiles.push_back(TileImage{
      .physical_tile = 1,
      .entry_point = 0x4c000,
      .command_address = 0x4c100,
      .diagnostic_address = 0x4c200,
      .segments = {Segment{.address = 0x4c000, .memory_size = 4, .data = {9}, .flags = 0}},
  });
  const Binding binding{
      .name = "values",
      .dtype = "f32",
      .shape = {2, 3},
      .slices = {RegionSlice{.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = 24}},
  };
  application.inputs = {binding};
  application.outputs = {binding};
  application.weights = {binding};
  application.host_exchange.pages = {HostPage{.index = 0, .size = 0x1000}};
  application.host_exchange.attach_order = {0};
  application.host_exchange.calls = {HostCall{
      .name = "run",
      .command = 1,
      .phases = 2,
      .inputs = {HostSlice{.page = 0, .page_offset = 0, .file_offset = 0, .size = 4}},
      .outputs = {},
      .invocations = 1,
      .input_batch_ends = {1},
      .output_batch_ends = {},
  }};
  application.entry_points = {EntryPoint{.name = "main", .command = 1, .external_syncs = 0}};
  application.device_config_writes = {DeviceConfigWrite{.offset = 4, .value = 1}};
  ProfileStep step;
  step.operation = "operation.4";
  step.kernel = "multicast";
  application.profile_tiles = {TileProfilePlan{.physical_tile = 0, .steps = {step}}};
  application.debug_symbols = {DebugSymbol{.name = "start", .address = 0x4c000}};
  application.debug_regions = {DebugRegion{
      .physical_tile = DebugRegion::kNoTile, .address = 0x4c000, .size = 16, .name = "shared"}};
  return application;
}

TEST(Application, CreateGivesAnEmptyPackage) {
  const Application application = Application::create(Target::Zor21);
  EXPECT_EQ(application.target, Target::Zor21);
  EXPECT_EQ(application.compiler_version, "0.1.0");
  EXPECT_TRUE(application.tiles.empty());
  EXPECT_TRUE(application.inputs.empty());
  EXPECT_TRUE(application.outputs.empty());
  EXPECT_TRUE(application.weights.empty());
  EXPECT_TRUE(application.entry_points.empty());
  EXPECT_TRUE(application.device_config_writes.empty());
  EXPECT_TRUE(application.profile_tiles.empty());
  EXPECT_TRUE(application.debug_symbols.empty());
  EXPECT_TRUE(application.debug_regions.empty());

  const HostExchange& exchange = application.host_exchange;
  EXPECT_EQ(exchange, HostExchange{});
  EXPECT_EQ(exchange.startup_mark, 0u);
  EXPECT_EQ(exchange.command_page, 0u);
  EXPECT_EQ(exchange.command_offset, 0u);
  EXPECT_TRUE(exchange.pages.empty());
  EXPECT_TRUE(exchange.attach_order.empty());
  EXPECT_TRUE(exchange.calls.empty());

  EXPECT_EQ(Application::create(Target::Zor21), application);
}

TEST(Application, CopyIsDeep) {
  const Application source = full_package();
  Application copy = source;
  ASSERT_EQ(copy, source);

  copy.tiles[0].segments[0].data[0] = 0xff;
  copy.outputs[0].slices[0].size = 1;
  copy.host_exchange.calls[0].inputs[0].page_offset = 8;
  copy.profile_tiles[0].steps[0].operation += "x";
  copy.debug_regions[0].name.clear();

  EXPECT_NE(copy, source);
  EXPECT_EQ(source, full_package());
}

TEST(Application, AnyDifferenceAnywhereMakesItUnequal) {
  const Application base = full_package();
  const struct {
    const char* label;
    void (*change)(Application&);
  } changes[] = {
      {"compiler version", [](Application& a) { a.compiler_version = "0.1.1"; }},
      {"order of two tiles", [](Application& a) { std::swap(a.tiles[0], a.tiles[1]); }},
      {"segment flags", [](Application& a) { a.tiles[0].segments[0].flags = 4; }},
      {"segment data length", [](Application& a) { a.tiles[0].segments[0].data.push_back(0); }},
      {"order of a shape",
       [](Application& a) { std::swap(a.inputs[0].shape[0], a.inputs[0].shape[1]); }},
      {"output dtype", [](Application& a) { a.outputs[0].dtype = "f16"; }},
      {"weight slice tile", [](Application& a) { a.weights[0].slices[0].tile = 1; }},
      {"startup mark", [](Application& a) { a.host_exchange.startup_mark = 1; }},
      {"command offset", [](Application& a) { a.host_exchange.command_offset = 4; }},
      {"attach order", [](Application& a) { a.host_exchange.attach_order.push_back(0); }},
      {"host call invocations 1 and 0",
       [](Application& a) { a.host_exchange.calls[0].invocations = 0; }},
      {"call batch ends",
       [](Application& a) { a.host_exchange.calls[0].input_batch_ends.clear(); }},
      {"entry point syncs", [](Application& a) { a.entry_points[0].external_syncs = 1; }},
      {"config value", [](Application& a) { a.device_config_writes[0].value = 2; }},
      {"profile step", [](Application& a) { a.profile_tiles[0].steps[0].kind = StepKind::Idle; }},
      {"symbol address", [](Application& a) { a.debug_symbols[0].address = 0x4c004; }},
      {"region tile", [](Application& a) { a.debug_regions[0].physical_tile = 0; }},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.label);
    Application changed = base;
    c.change(changed);
    EXPECT_NE(changed, base);
    EXPECT_FALSE(changed == base);
  }
}

TEST(DebugRegion, BelongingToNoTileIsAPlainValue) {
  const DebugRegion region{
      .physical_tile = DebugRegion::kNoTile, .address = 0x4c000, .size = 4, .name = "r"};
  EXPECT_EQ(region.physical_tile, 0xffffffffu);
  EXPECT_EQ(DebugRegion(region), region);
  EXPECT_TRUE(appear_in_order(rendered(region), {"physical_tile", "4294967295"}));
}

TEST(Rendering, NamesTheRecordAndItsFieldsInDeclaredOrder) {
  const Application application = full_package();
  const struct {
    std::string text;
    std::vector<std::string_view> parts;
  } cases[] = {
      {rendered(application),
       {"Application", "target: ", "Zor21", "compiler_version: ", "\"0.1.0\"", "tiles: ",
        "inputs: ", "outputs: ", "weights: ", "host_exchange: ", "HostExchange", "entry_points: ",
        "device_config_writes: ", "profile_tiles: ", "debug_symbols: ", "debug_regions: "}},
      {rendered(application.tiles[0]),
       {"TileImage", "physical_tile: ", "entry_point: ", "command_address: ",
        "diagnostic_address: ", "segments: ", "Segment"}},
      {rendered(application.tiles[0].segments[0]),
       {"Segment", "address: ", "memory_size: ", "8", "data: ", "flags: ", "5"}},
      {rendered(application.inputs[0]),
       {"Binding", "name: ", "\"values\"", "dtype: ", "\"f32\"", "shape: ", "2", "3",
        "slices: ", "RegionSlice", "tile: ", "tile_address: ", "file_offset: ", "size: "}},
      {rendered(application.host_exchange),
       {"HostExchange", "startup_mark: ", "command_page: ", "command_offset: ", "pages: ",
        "HostPage", "index: ", "size: ", "attach_order: ", "calls: ", "HostCall"}},
      {rendered(application.host_exchange.calls[0]),
       {"HostCall", "name: ", "\"run\"", "command: ", "phases: ", "inputs: ", "HostSlice",
        "page: ", "page_offset: ", "file_offset: ", "size: ", "outputs: ", "invocations: ",
        "input_batch_ends: ", "output_batch_ends: "}},
      {rendered(application.entry_points[0]),
       {"EntryPoint", "name: ", "\"main\"", "command: ", "external_syncs: "}},
      {rendered(application.device_config_writes[0]), {"DeviceConfigWrite", "offset: ", "value: "}},
      {rendered(application.profile_tiles[0]),
       {"TileProfilePlan", "physical_tile: ", "steps: ", "ProfileStep", "\"operation.4\""}},
      {rendered(application.debug_symbols[0]), {"DebugSymbol", "name: ", "\"start\"", "address: "}},
      {rendered(application.debug_regions[0]),
       {"DebugRegion", "physical_tile: ", "address: ", "size: ", "name: ", "\"shared\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parts.front());
    EXPECT_TRUE(appear_in_order(c.text, c.parts));
  }
}

}  // namespace
}  // namespace zor_package
