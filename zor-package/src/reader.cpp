// Reading a package: the message, its header against the target catalogue, every record in the
// order of the root's fields, then validation. The first fault ends the read.
#include "reader.hpp"

#include "boundary.hpp"
#include "budget.hpp"
#include "message.hpp"
#include "profile_step.hpp"
#include "zor_package/log.hpp"
#include "zor_package/model.hpp"
#include "zor_package/schema/application.capnp.h"

namespace zor_package {
namespace {

using wire_support::read_text;

constexpr std::uint32_t kSchemaVersion = 5;

Result<std::vector<std::uint32_t>> read_u32_list(capnp::List<std::uint32_t>::Reader list,
                                                 RecordBudget& budget) {
  std::vector<std::uint32_t> values;
  ZOR_TRY(budget.reserve(values, list.size()));
  for (std::uint32_t value : list) {
    values.push_back(value);
  }
  return values;
}

// Where each segment's bytes lie in the message. They are copied into the model from the caller's
// input once every record is converted, after the aligned copy of a misaligned input is gone, so
// that the copy and the model's bytes never take memory at the same time.
class SegmentBytes {
 public:
  explicit SegmentBytes(const std::uint8_t* message) : message_(message) {}

  void note(std::size_t tile, std::size_t segment, capnp::Data::Reader data) {
    if (data.size() != 0) {
      places_.push_back({.tile = tile,
                         .segment = segment,
                         .offset = static_cast<std::size_t>(data.begin() - message_),
                         .size = data.size()});
    }
  }

  // `input` holds the message at its start, as the parsed bytes did.
  void copy_into(std::vector<TileImage>& tiles, std::span<const std::uint8_t> input) const {
    for (const Place& place : places_) {
      const auto bytes = input.subspan(place.offset, place.size);
      tiles[place.tile].segments[place.segment].data.assign(bytes.begin(), bytes.end());
    }
  }

 private:
  struct Place {
    std::size_t tile;
    std::size_t segment;
    std::size_t offset;  // from the start of the message, in bytes
    std::size_t size;
  };

  const std::uint8_t* message_;
  std::vector<Place> places_;
};

Result<std::vector<TileImage>> read_tiles(capnp::List<wire::TileImage>::Reader list,
                                          RecordBudget& budget, SegmentBytes& bytes) {
  std::vector<TileImage> tiles;
  ZOR_TRY(budget.reserve(tiles, list.size()));
  for (auto stored : list) {
    TileImage& tile = tiles.emplace_back();
    tile.physical_tile = stored.getPhysicalTile();
    tile.entry_point = stored.getEntryPoint();
    tile.command_address = stored.getCommandAddress();
    tile.diagnostic_address = stored.getDiagnosticAddress();
    const auto segments = stored.getSegments();
    ZOR_TRY(budget.reserve(tile.segments, segments.size()));
    for (auto segment : segments) {
      Segment& converted = tile.segments.emplace_back();
      converted.address = segment.getAddress();
      converted.memory_size = segment.getMemorySize();
      bytes.note(tiles.size() - 1, tile.segments.size() - 1, segment.getData());
      converted.flags = segment.getFlags();
    }
  }
  return tiles;
}

Result<std::vector<Binding>> read_bindings(capnp::List<wire::Binding>::Reader list,
                                           RecordBudget& budget) {
  std::vector<Binding> bindings;
  ZOR_TRY(budget.reserve(bindings, list.size()));
  for (auto stored : list) {
    Binding& binding = bindings.emplace_back();
    ZOR_TRY_ASSIGN(binding.name, read_text(stored.getName()));
    ZOR_TRY_ASSIGN(binding.dtype, read_text(stored.getDtype()));
    ZOR_TRY_ASSIGN(binding.shape, read_u32_list(stored.getShape(), budget));
    const auto slices = stored.getSlices();
    ZOR_TRY(budget.reserve(binding.slices, slices.size()));
    for (auto slice : slices) {
      binding.slices.push_back(RegionSlice{.tile = slice.getTile(),
                                           .tile_address = slice.getTileAddress(),
                                           .file_offset = slice.getFileOffset(),
                                           .size = slice.getSize()});
    }
  }
  return bindings;
}

Result<std::vector<HostSlice>> read_host_slices(capnp::List<wire::HostSlice>::Reader list,
                                                RecordBudget& budget) {
  std::vector<HostSlice> slices;
  ZOR_TRY(budget.reserve(slices, list.size()));
  for (auto slice : list) {
    slices.push_back(HostSlice{.page = slice.getPage(),
                               .page_offset = slice.getPageOffset(),
                               .file_offset = slice.getFileOffset(),
                               .size = slice.getSize()});
  }
  return slices;
}

Result<HostCall> read_host_call(wire::HostCall::Reader stored, RecordBudget& budget) {
  HostCall call;
  ZOR_TRY_ASSIGN(call.name, read_text(stored.getName()));
  call.command = stored.getCommand();
  call.phases = stored.getPhases();
  call.invocations = stored.getInvocations();
  ZOR_TRY_ASSIGN(call.inputs, read_host_slices(stored.getInputs(), budget));
  ZOR_TRY_ASSIGN(call.outputs, read_host_slices(stored.getOutputs(), budget));
  ZOR_TRY_ASSIGN(call.input_batch_ends, read_u32_list(stored.getInputBatchEnds(), budget));
  ZOR_TRY_ASSIGN(call.output_batch_ends, read_u32_list(stored.getOutputBatchEnds(), budget));
  return call;
}

Result<HostExchange> read_host_exchange(wire::HostExchange::Reader stored, RecordBudget& budget) {
  HostExchange exchange;
  exchange.startup_mark = stored.getStartupMark();
  exchange.command_page = stored.getCommandPage();
  exchange.command_offset = stored.getCommandOffset();
  const auto pages = stored.getPages();
  ZOR_TRY(budget.reserve(exchange.pages, pages.size()));
  for (auto page : pages) {
    exchange.pages.push_back(HostPage{.index = page.getIndex(), .size = page.getSize()});
  }
  ZOR_TRY_ASSIGN(exchange.attach_order, read_u32_list(stored.getAttachOrder(), budget));
  const auto calls = stored.getCalls();
  ZOR_TRY(budget.reserve(exchange.calls, calls.size()));
  for (auto call : calls) {
    ZOR_TRY_ASSIGN(exchange.calls.emplace_back(), read_host_call(call, budget));
  }
  return exchange;
}

Result<std::vector<TileProfilePlan>> read_profile_tiles(
    capnp::List<wire::TileProfilePlan>::Reader list, RecordBudget& budget) {
  std::vector<TileProfilePlan> plans;
  ZOR_TRY(budget.reserve(plans, list.size()));
  for (auto stored : list) {
    TileProfilePlan& plan = plans.emplace_back();
    plan.physical_tile = stored.getPhysicalTile();
    const auto steps = stored.getSteps();
    ZOR_TRY(budget.reserve(plan.steps, steps.size()));
    for (auto step : steps) {
      ZOR_TRY_ASSIGN(plan.steps.emplace_back(), read_profile_step(step, budget));
    }
  }
  return plans;
}

Result<std::vector<EntryPoint>> read_entry_points(capnp::List<wire::EntryPoint>::Reader list,
                                                  RecordBudget& budget) {
  std::vector<EntryPoint> entry_points;
  ZOR_TRY(budget.reserve(entry_points, list.size()));
  for (auto stored : list) {
    EntryPoint& entry_point = entry_points.emplace_back();
    ZOR_TRY_ASSIGN(entry_point.name, read_text(stored.getName()));
    entry_point.command = stored.getCommand();
    entry_point.external_syncs = stored.getExternalSyncs();
  }
  return entry_points;
}

Result<std::vector<DeviceConfigWrite>> read_config_writes(
    capnp::List<wire::DeviceConfigWrite>::Reader list, RecordBudget& budget) {
  std::vector<DeviceConfigWrite> writes;
  ZOR_TRY(budget.reserve(writes, list.size()));
  for (auto stored : list) {
    writes.push_back(DeviceConfigWrite{.offset = stored.getOffset(), .value = stored.getValue()});
  }
  return writes;
}

Result<std::vector<DebugSymbol>> read_debug_symbols(capnp::List<wire::DebugSymbol>::Reader list,
                                                    RecordBudget& budget) {
  std::vector<DebugSymbol> symbols;
  ZOR_TRY(budget.reserve(symbols, list.size()));
  for (auto stored : list) {
    DebugSymbol& symbol = symbols.emplace_back();
    ZOR_TRY_ASSIGN(symbol.name, read_text(stored.getName()));
    symbol.address = stored.getAddress();
  }
  return symbols;
}

Result<std::vector<DebugRegion>> read_debug_regions(capnp::List<wire::DebugRegion>::Reader list,
                                                    RecordBudget& budget) {
  std::vector<DebugRegion> regions;
  ZOR_TRY(budget.reserve(regions, list.size()));
  for (auto stored : list) {
    DebugRegion& region = regions.emplace_back();
    region.physical_tile = stored.getPhysicalTile();
    region.address = stored.getAddress();
    region.size = stored.getSize();
    ZOR_TRY_ASSIGN(region.name, read_text(stored.getName()));
  }
  return regions;
}

// The target named by the root, judged before its header so that a foreign package is reported
// as such whatever its header holds.
Result<zor_target::Target> read_target(wire::Application::Reader root) {
  std::string name;
  ZOR_TRY_ASSIGN(name, read_text(root.getTarget()));
  auto target = zor_target::Target::from_str(name);
  if (!target) {
    return std::unexpected(PackageError::invalid("unsupported package target"));
  }
  return *target;
}

bool header_matches(wire::Application::Reader root, zor_target::Target target) {
  const zor_target::AddressRange window = target.tile_memory();
  return root.getSchemaVersion() == kSchemaVersion && root.getTileMemoryBase() == window.start &&
         root.getTileMemorySize() == window.size();
}

Result<Application> read_root(wire::Application::Reader root, RecordBudget& budget,
                              SegmentBytes& bytes) {
  zor_target::Target target = zor_target::Target::Zor21;
  ZOR_TRY_ASSIGN(target, read_target(root));
  if (!header_matches(root, target)) {
    return std::unexpected(PackageError::invalid("incompatible package header"));
  }
  Application app = Application::create(target);
  ZOR_TRY_ASSIGN(app.compiler_version, read_text(root.getCompilerVersion()));
  ZOR_TRY_ASSIGN(app.tiles, read_tiles(root.getTiles(), budget, bytes));
  ZOR_TRY_ASSIGN(app.inputs, read_bindings(root.getInputs(), budget));
  ZOR_TRY_ASSIGN(app.outputs, read_bindings(root.getOutputs(), budget));
  ZOR_TRY_ASSIGN(app.weights, read_bindings(root.getWeights(), budget));
  ZOR_TRY_ASSIGN(app.host_exchange, read_host_exchange(root.getHostExchange(), budget));
  ZOR_TRY_ASSIGN(app.entry_points, read_entry_points(root.getEntryPoints(), budget));
  ZOR_TRY_ASSIGN(app.device_config_writes,
                 read_config_writes(root.getDeviceConfigWrites(), budget));
  ZOR_TRY_ASSIGN(app.profile_tiles, read_profile_tiles(root.getProfileTiles(), budget));
  ZOR_TRY_ASSIGN(app.debug_symbols, read_debug_symbols(root.getDebugSymbols(), budget));
  ZOR_TRY_ASSIGN(app.debug_regions, read_debug_regions(root.getDebugRegions(), budget));
  return app;
}

// The message and every record, before validation.
Result<Application> parse_and_convert(std::span<const std::uint8_t> input,
                                      std::uint64_t slack_words) {
  std::unique_ptr<message::Parsed> parsed;
  ZOR_TRY_ASSIGN(parsed, message::Parsed::parse(input, slack_words));
  RecordBudget budget = RecordBudget::for_input(input.size());
  SegmentBytes bytes(parsed->message_bytes());
  Application app = Application::create(zor_target::Target::Zor21);
  ZOR_TRY_ASSIGN(app, read_root(parsed->root<wire::Application>(), budget, bytes));
  parsed.reset();
  bytes.copy_into(app.tiles, input);
  return app;
}

}  // namespace

Result<Application> Application::read(std::span<const std::uint8_t> input) {
  return read_application(input, message::Parsed::kSlackWords);
}

Result<Application> read_application(std::span<const std::uint8_t> input,
                                     std::uint64_t slack_words) {
  log::emit(log::Level::Info, "reading application package");
  Application app = Application::create(zor_target::Target::Zor21);
  ZOR_TRY_ASSIGN(app, guarded([&] { return parse_and_convert(input, slack_words); }));
  if (auto valid = app.validate(); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  log::emit(log::Level::Info, "application package read",
            {{"tiles", std::uint64_t{app.tiles.size()}}, {"compiler", app.compiler_version}});
  return app;
}

}  // namespace zor_package
