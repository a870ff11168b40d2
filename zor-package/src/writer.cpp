// Writing a package: validation, then the message built field by field in a fixed order, so
// that a package always gives the same bytes.
#include <ostream>

#include "boundary.hpp"
#include "encoding.hpp"
#include "message.hpp"
#include "zor_package/log.hpp"
#include "zor_package/model.hpp"
#include "zor_package/schema/application.capnp.h"

namespace zor_package {
namespace {

using encoding::struct_size;
using wire_support::text;

constexpr std::uint32_t kSchemaVersion = 5;

unsigned count(std::size_t size) { return static_cast<unsigned>(size); }

capnp::Data::Reader data(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

// The words of the message, measured before anything is built; fails when the encoding cannot
// hold a list, blob or text of the package.
Result<std::size_t> measure(const Application& app) {
  encoding::EncodedSize size;
  size.add_struct({0, 1});  // the root pointer
  size.add_struct(struct_size<wire::Application>());
  size.add_text(app.compiler_version);
  size.add_text(std::string(app.target.name()));
  size.add_struct_list(app.tiles.size(), struct_size<wire::TileImage>());
  for (const TileImage& tile : app.tiles) {
    size.add_struct_list(tile.segments.size(), struct_size<wire::Segment>());
    for (const Segment& segment : tile.segments) {
      size.add_data(segment.data);
    }
  }
  for (const auto* bindings : {&app.inputs, &app.outputs, &app.weights}) {
    size.add_struct_list(bindings->size(), struct_size<wire::Binding>());
    for (const Binding& binding : *bindings) {
      size.add_text(binding.name);
      size.add_text(binding.dtype);
      size.add_u32_list(binding.shape.size());
      size.add_struct_list(binding.slices.size(), struct_size<wire::RegionSlice>());
    }
  }
  const HostExchange& exchange = app.host_exchange;
  size.add_struct(struct_size<wire::HostExchange>());
  size.add_struct_list(exchange.pages.size(), struct_size<wire::HostPage>());
  size.add_u32_list(exchange.attach_order.size());
  size.add_struct_list(exchange.calls.size(), struct_size<wire::HostCall>());
  for (const HostCall& call : exchange.calls) {
    size.add_text(call.name);
    size.add_u32_list(call.input_batch_ends.size());
    size.add_u32_list(call.output_batch_ends.size());
    size.add_struct_list(call.inputs.size(), struct_size<wire::HostSlice>());
    size.add_struct_list(call.outputs.size(), struct_size<wire::HostSlice>());
  }
  size.add_struct_list(app.entry_points.size(), struct_size<wire::EntryPoint>());
  for (const EntryPoint& entry_point : app.entry_points) {
    size.add_text(entry_point.name);
  }
  size.add_struct_list(app.device_config_writes.size(), struct_size<wire::DeviceConfigWrite>());
  size.add_struct_list(app.profile_tiles.size(), struct_size<wire::TileProfilePlan>());
  for (const TileProfilePlan& plan : app.profile_tiles) {
    size.add_struct_list(plan.steps.size(), struct_size<wire::ProfileStep>());
    for (const ProfileStep& step : plan.steps) {
      encoding::add_profile_step(size, step);
    }
  }
  size.add_struct_list(app.debug_symbols.size(), struct_size<wire::DebugSymbol>());
  for (const DebugSymbol& symbol : app.debug_symbols) {
    size.add_text(symbol.name);
  }
  size.add_struct_list(app.debug_regions.size(), struct_size<wire::DebugRegion>());
  for (const DebugRegion& region : app.debug_regions) {
    size.add_text(region.name);
  }
  return size.words();
}

void write_segments(capnp::List<wire::Segment>::Builder list,
                    const std::vector<Segment>& segments) {
  for (unsigned i = 0; i < list.size(); ++i) {
    const Segment& segment = segments[i];
    auto out = list[i];
    out.setAddress(segment.address);
    out.setMemorySize(segment.memory_size);
    out.setData(data(segment.data));
    out.setFlags(segment.flags);
  }
}

void write_tiles(capnp::List<wire::TileImage>::Builder list, const std::vector<TileImage>& tiles) {
  for (unsigned i = 0; i < list.size(); ++i) {
    const TileImage& tile = tiles[i];
    auto out = list[i];
    out.setPhysicalTile(tile.physical_tile);
    out.setEntryPoint(tile.entry_point);
    out.setCommandAddress(tile.command_address);
    out.setDiagnosticAddress(tile.diagnostic_address);
    write_segments(out.initSegments(count(tile.segments.size())), tile.segments);
  }
}

void write_bindings(capnp::List<wire::Binding>::Builder list,
                    const std::vector<Binding>& bindings) {
  for (unsigned i = 0; i < list.size(); ++i) {
    const Binding& binding = bindings[i];
    auto out = list[i];
    out.setName(text(binding.name));
    out.setDtype(text(binding.dtype));
    auto shape = out.initShape(count(binding.shape.size()));
    for (unsigned d = 0; d < shape.size(); ++d) {
      shape.set(d, binding.shape[d]);
    }
    auto slices = out.initSlices(count(binding.slices.size()));
    for (unsigned s = 0; s < slices.size(); ++s) {
      const RegionSlice& slice = binding.slices[s];
      slices[s].setTile(slice.tile);
      slices[s].setTileAddress(slice.tile_address);
      slices[s].setFileOffset(slice.file_offset);
      slices[s].setSize(slice.size);
    }
  }
}

void write_u32_list(capnp::List<std::uint32_t>::Builder list,
                    const std::vector<std::uint32_t>& values) {
  for (unsigned i = 0; i < list.size(); ++i) {
    list.set(i, values[i]);
  }
}

void write_host_slices(capnp::List<wire::HostSlice>::Builder list,
                       const std::vector<HostSlice>& slices) {
  for (unsigned i = 0; i < list.size(); ++i) {
    const HostSlice& slice = slices[i];
    auto out = list[i];
    out.setPage(slice.page);
    out.setPageOffset(slice.page_offset);
    out.setFileOffset(slice.file_offset);
    out.setSize(slice.size);
  }
}

void write_host_exchange(wire::HostExchange::Builder out, const HostExchange& exchange) {
  out.setStartupMark(exchange.startup_mark);
  out.setCommandPage(exchange.command_page);
  out.setCommandOffset(exchange.command_offset);
  auto pages = out.initPages(count(exchange.pages.size()));
  for (unsigned i = 0; i < pages.size(); ++i) {
    pages[i].setIndex(exchange.pages[i].index);
    pages[i].setSize(exchange.pages[i].size);
  }
  write_u32_list(out.initAttachOrder(count(exchange.attach_order.size())), exchange.attach_order);
  auto calls = out.initCalls(count(exchange.calls.size()));
  for (unsigned i = 0; i < calls.size(); ++i) {
    const HostCall& call = exchange.calls[i];
    auto call_out = calls[i];
    call_out.setName(text(call.name));
    call_out.setCommand(call.command);
    call_out.setPhases(call.phases);
    call_out.setInvocations(call.invocations);
    write_u32_list(call_out.initInputBatchEnds(count(call.input_batch_ends.size())),
                   call.input_batch_ends);
    write_u32_list(call_out.initOutputBatchEnds(count(call.output_batch_ends.size())),
                   call.output_batch_ends);
    write_host_slices(call_out.initInputs(count(call.inputs.size())), call.inputs);
    write_host_slices(call_out.initOutputs(count(call.outputs.size())), call.outputs);
  }
}

void write_profile_tiles(capnp::List<wire::TileProfilePlan>::Builder list,
                         const std::vector<TileProfilePlan>& plans) {
  for (unsigned i = 0; i < list.size(); ++i) {
    const TileProfilePlan& plan = plans[i];
    list[i].setPhysicalTile(plan.physical_tile);
    auto steps = list[i].initSteps(count(plan.steps.size()));
    for (unsigned j = 0; j < steps.size(); ++j) {
      plan.steps[j].write(steps[j]);
    }
  }
}

void build(const Application& app, capnp::MessageBuilder& message) {
  auto root = message.initRoot<wire::Application>();
  root.setSchemaVersion(kSchemaVersion);
  root.setCompilerVersion(text(app.compiler_version));
  const std::string target_name(app.target.name());
  root.setTarget(text(target_name));
  const zor_target::AddressRange window = app.target.tile_memory();
  root.setTileMemoryBase(window.start);
  root.setTileMemorySize(window.size());

  write_tiles(root.initTiles(count(app.tiles.size())), app.tiles);
  write_bindings(root.initInputs(count(app.inputs.size())), app.inputs);
  write_bindings(root.initOutputs(count(app.outputs.size())), app.outputs);
  write_bindings(root.initWeights(count(app.weights.size())), app.weights);
  write_host_exchange(root.initHostExchange(), app.host_exchange);

  auto entry_points = root.initEntryPoints(count(app.entry_points.size()));
  for (unsigned i = 0; i < entry_points.size(); ++i) {
    entry_points[i].setName(text(app.entry_points[i].name));
    entry_points[i].setCommand(app.entry_points[i].command);
    entry_points[i].setExternalSyncs(app.entry_points[i].external_syncs);
  }
  auto config_writes = root.initDeviceConfigWrites(count(app.device_config_writes.size()));
  for (unsigned i = 0; i < config_writes.size(); ++i) {
    config_writes[i].setOffset(app.device_config_writes[i].offset);
    config_writes[i].setValue(app.device_config_writes[i].value);
  }
  write_profile_tiles(root.initProfileTiles(count(app.profile_tiles.size())), app.profile_tiles);
  auto symbols = root.initDebugSymbols(count(app.debug_symbols.size()));
  for (unsigned i = 0; i < symbols.size(); ++i) {
    symbols[i].setName(text(app.debug_symbols[i].name));
    symbols[i].setAddress(app.debug_symbols[i].address);
  }
  auto regions = root.initDebugRegions(count(app.debug_regions.size()));
  for (unsigned i = 0; i < regions.size(); ++i) {
    const DebugRegion& region = app.debug_regions[i];
    regions[i].setPhysicalTile(region.physical_tile);
    regions[i].setAddress(region.address);
    regions[i].setSize(region.size);
    regions[i].setName(text(region.name));
  }
}

// The steps every sink shares: validate, announce, measure, build and serialise, announce.
template <class Sink>
Result<void> write_to(const Application& app, Sink& sink) {
  if (auto valid = app.validate(); !valid) {
    return valid;
  }
  log::emit(log::Level::Info, "writing application package",
            {{"tiles", std::uint64_t{app.tiles.size()}}});
  auto words = measure(app);
  if (!words) {
    return std::unexpected(std::move(words.error()));
  }
  auto written =
      message::write_message(sink, *words, [&](capnp::MessageBuilder& m) { build(app, m); });
  if (!written) {
    return written;
  }
  log::emit(log::Level::Info, "application package written");
  return {};
}

}  // namespace

Result<void> Application::write(std::vector<std::uint8_t>& output) const {
  return guarded([&] { return write_to(*this, output); });
}

Result<void> Application::write(kj::OutputStream& output) const {
  return guarded([&] { return write_to(*this, output); });
}

Result<void> Application::write(std::ostream& output) const {
  return guarded([&] {
    message::OstreamOutput stream(output);
    return write_to(*this, stream);
  });
}

}  // namespace zor_package
