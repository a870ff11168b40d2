#include "zor_package/model.hpp"

#include <ostream>

#include "render.hpp"

namespace zor_package {

Application Application::create(zor_target::Target target) {
  return Application{
      .target = target,
      .compiler_version = "0.1.0",
      .tiles = {},
      .inputs = {},
      .outputs = {},
      .weights = {},
      .host_exchange = HostExchange{},
      .entry_points = {},
      .device_config_writes = {},
      .profile_tiles = {},
      .debug_symbols = {},
      .debug_regions = {},
  };
}

std::ostream& operator<<(std::ostream& os, const Segment& segment) {
  render::Record(os, "Segment")
      .field("address", segment.address)
      .field("memory_size", segment.memory_size)
      .field("data", segment.data)
      .field("flags", segment.flags);
  return os;
}

std::ostream& operator<<(std::ostream& os, const TileImage& tile) {
  render::Record(os, "TileImage")
      .field("physical_tile", tile.physical_tile)
      .field("entry_point", tile.entry_point)
      .field("command_address", tile.command_address)
      .field("diagnostic_address", tile.diagnostic_address)
      .field("segments", tile.segments);
  return os;
}

std::ostream& operator<<(std::ostream& os, const RegionSlice& slice) {
  render::Record(os, "RegionSlice")
      .field("tile", slice.tile)
      .field("tile_address", slice.tile_address)
      .field("file_offset", slice.file_offset)
      .field("size", slice.size);
  return os;
}

std::ostream& operator<<(std::ostream& os, const Binding& binding) {
  render::Record(os, "Binding")
      .field("name", binding.name)
      .field("dtype", binding.dtype)
      .field("shape", binding.shape)
      .field("slices", binding.slices);
  return os;
}

std::ostream& operator<<(std::ostream& os, const HostPage& page) {
  render::Record(os, "HostPage").field("index", page.index).field("size", page.size);
  return os;
}

std::ostream& operator<<(std::ostream& os, const HostSlice& slice) {
  render::Record(os, "HostSlice")
      .field("page", slice.page)
      .field("page_offset", slice.page_offset)
      .field("file_offset", slice.file_offset)
      .field("size", slice.size);
  return os;
}

std::ostream& operator<<(std::ostream& os, const HostCall& call) {
  render::Record(os, "HostCall")
      .field("name", call.name)
      .field("command", call.command)
      .field("phases", call.phases)
      .field("inputs", call.inputs)
      .field("outputs", call.outputs)
      .field("invocations", call.invocations)
      .field("input_batch_ends", call.input_batch_ends)
      .field("output_batch_ends", call.output_batch_ends);
  return os;
}

std::ostream& operator<<(std::ostream& os, const HostExchange& exchange) {
  render::Record(os, "HostExchange")
      .field("startup_mark", exchange.startup_mark)
      .field("command_page", exchange.command_page)
      .field("command_offset", exchange.command_offset)
      .field("pages", exchange.pages)
      .field("attach_order", exchange.attach_order)
      .field("calls", exchange.calls);
  return os;
}

std::ostream& operator<<(std::ostream& os, const EntryPoint& entry_point) {
  render::Record(os, "EntryPoint")
      .field("name", entry_point.name)
      .field("command", entry_point.command)
      .field("external_syncs", entry_point.external_syncs);
  return os;
}

std::ostream& operator<<(std::ostream& os, const DeviceConfigWrite& write) {
  render::Record(os, "DeviceConfigWrite").field("offset", write.offset).field("value", write.value);
  return os;
}

std::ostream& operator<<(std::ostream& os, const TileProfilePlan& plan) {
  render::Record(os, "TileProfilePlan")
      .field("physical_tile", plan.physical_tile)
      .field("steps", plan.steps);
  return os;
}

std::ostream& operator<<(std::ostream& os, const DebugSymbol& symbol) {
  render::Record(os, "DebugSymbol").field("name", symbol.name).field("address", symbol.address);
  return os;
}

std::ostream& operator<<(std::ostream& os, const DebugRegion& region) {
  render::Record(os, "DebugRegion")
      .field("physical_tile", region.physical_tile)
      .field("address", region.address)
      .field("size", region.size)
      .field("name", region.name);
  return os;
}

std::ostream& operator<<(std::ostream& os, const OutputBinding& found) {
  render::Record record(os, "OutputBinding");
  if (found.binding != nullptr) {
    record.field("binding", *found.binding);
  }
  record.field("base", found.base);
  return os;
}

std::ostream& operator<<(std::ostream& os, const Application& application) {
  render::Record(os, "Application")
      .field("target", application.target)
      .field("compiler_version", application.compiler_version)
      .field("tiles", application.tiles)
      .field("inputs", application.inputs)
      .field("outputs", application.outputs)
      .field("weights", application.weights)
      .field("host_exchange", application.host_exchange)
      .field("entry_points", application.entry_points)
      .field("device_config_writes", application.device_config_writes)
      .field("profile_tiles", application.profile_tiles)
      .field("debug_symbols", application.debug_symbols)
      .field("debug_regions", application.debug_regions);
  return os;
}

}  // namespace zor_package
