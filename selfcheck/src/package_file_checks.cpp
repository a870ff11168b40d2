// The checks of the package file: a rich round trip with tile image reconstruction, the order in
// which the reader judges target and header, and a package stored by an earlier writer.
#include <capnp/message.h>
#include <capnp/serialize.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "zor_package/schema/application.capnp.h"

namespace zor_package::tests {
namespace {

using zor_target::Target;

Bytes serialise(capnp::MessageBuilder& message) {
  const auto words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return Bytes(bytes.begin(), bytes.end());
}

ProfileStep round_trip_step() {
  return ProfileStep{
      .local_index = 0,
      .phase = 7,
      .epoch = 0,
      .operation = "operation.0",
      .kind = StepKind::Compute,
      .kernel = "kernel",
      .metadata = {{.name = "reason", .value = "OperatorKernel"}},
      .exchange_activities = {{.fanout = 2,
                               .paired = true,
                               .kind = ExchangeActivityKind::Receive,
                               .start_cycle = 3,
                               .end_cycle = 11},
                              {.fanout = 2,
                               .paired = true,
                               .kind = ExchangeActivityKind::PartnerBusy,
                               .start_cycle = 1,
                               .end_cycle = 3}},
      .exchange_event_cycles = 13,
  };
}

HostExchange round_trip_host_exchange() {
  return HostExchange{
      .startup_mark = 1,
      .command_page = 0,
      .command_offset = 0,
      .pages = {{.index = 0, .size = 0x1000}, {.index = 1, .size = 0x2000}},
      .attach_order = {0, 1},
      .calls = {HostCall{
          .name = "batched",
          .command = 2,
          .phases = 4,
          .inputs = {{.page = 1, .page_offset = 0, .file_offset = 0, .size = 0x10},
                     {.page = 1, .page_offset = 0x1000, .file_offset = 0x10, .size = 0x10}},
          .outputs = {{.page = 1, .page_offset = 0, .file_offset = 0, .size = 0x20}},
          .invocations = 1,
          .input_batch_ends = {2},
          .output_batch_ends = {1},
      }},
  };
}

// A root with the given target text and header and nothing else set.
Bytes header_only_package(std::string_view target, std::uint32_t tile_memory_size) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Application>();
  root.setSchemaVersion(5);
  root.setTarget(capnp::Text::Reader(target.data(), target.size()));
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(tile_memory_size);
  return serialise(message);
}

void set_activity(wire::ExchangeActivity::Builder activity, wire::ExchangeActivityKind kind,
                  std::uint32_t start, std::uint32_t end, std::uint16_t fanout, bool paired) {
  activity.setKind(kind);
  activity.setStartCycle(start);
  activity.setEndCycle(end);
  activity.setFanout(fanout);
  activity.setPaired(paired);
}

// A package as an earlier writer stored it: only the fields named here are set, so the compiler
// version, the tile's segments and every other list are null pointers, not empty values.
Bytes legacy_package() {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Application>();
  root.setSchemaVersion(5);
  root.setTarget("zor21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  auto tile = root.initTiles(1)[0];
  tile.setPhysicalTile(0);
  tile.setEntryPoint(0x4c000);

  auto plan = root.initProfileTiles(1)[0];
  plan.setPhysicalTile(0);
  auto steps = plan.initSteps(4);
  auto first = steps[0];
  first.setLocalIndex(0);
  first.setPhase(7);
  first.setEpoch(3);
  first.setOperation("operation.4");
  first.setKind(wire::StepKind::EXCHANGE);
  first.setKernel("multicast");
  auto metadata = first.initMetadata(1)[0];
  metadata.setName("reason");
  metadata.setValue("LayoutRearrangement");
  auto activities = first.initExchangeActivities(3);
  set_activity(activities[0], wire::ExchangeActivityKind::SEND, 2, 8, 3, true);
  set_activity(activities[1], wire::ExchangeActivityKind::RECEIVE, 4, 10, 2, false);
  set_activity(activities[2], wire::ExchangeActivityKind::PARTNER_BUSY, 1, 12, 3, true);
  first.setExchangeEventCycles(13);

  const wire::StepKind later_kinds[] = {wire::StepKind::COMPUTE, wire::StepKind::SYNCHRONIZATION,
                                        wire::StepKind::IDLE};
  for (unsigned i = 1; i < 4; ++i) {
    steps[i].setLocalIndex(i);
    steps[i].setKind(later_kinds[i - 1]);
  }
  return serialise(message);
}

ProfileStep legacy_first_step() {
  return ProfileStep{
      .local_index = 0,
      .phase = 7,
      .epoch = 3,
      .operation = "operation.4",
      .kind = StepKind::Exchange,
      .kernel = "multicast",
      .metadata = {{.name = "reason", .value = "LayoutRearrangement"}},
      .exchange_activities = {{.fanout = 3,
                               .paired = true,
                               .kind = ExchangeActivityKind::Send,
                               .start_cycle = 2,
                               .end_cycle = 8},
                              {.fanout = 2,
                               .paired = false,
                               .kind = ExchangeActivityKind::Receive,
                               .start_cycle = 4,
                               .end_cycle = 10},
                              {.fanout = 3,
                               .paired = true,
                               .kind = ExchangeActivityKind::PartnerBusy,
                               .start_cycle = 1,
                               .end_cycle = 12}},
      .exchange_event_cycles = 13,
  };
}

// Whether every pointer that the earlier writer left unset is null in `stored`.
bool absent_pointers_are_null(const Bytes& stored) {
  auto words = kj::heapArray<capnp::word>(stored.size() / sizeof(capnp::word));
  std::memcpy(words.asBytes().begin(), stored.data(), stored.size());
  capnp::FlatArrayMessageReader message(words);
  const auto root = message.getRoot<wire::Application>();
  const auto tile = root.getTiles()[0];
  const auto later_step = root.getProfileTiles()[0].getSteps()[1];
  return !root.hasCompilerVersion() && !root.hasInputs() && !root.hasOutputs() &&
         !root.hasWeights() && !root.hasHostExchange() && !root.hasEntryPoints() &&
         !root.hasDeviceConfigWrites() && !root.hasDebugSymbols() && !root.hasDebugRegions() &&
         !tile.hasSegments() && !later_step.hasOperation() && !later_step.hasKernel() &&
         !later_step.hasMetadata() && !later_step.hasExchangeActivities();
}

}  // namespace

Bytes legacy_package_bytes() { return legacy_package(); }

void round_trip_and_reconstruct() {
  Application package = sample();
  package.profile_tiles = {TileProfilePlan{.physical_tile = 0, .steps = {round_trip_step()}}};
  package.device_config_writes = {{.offset = 0x4018, .value = 0xc000000d}};
  package.debug_symbols = {{.name = "kernel", .address = 0x4c000}};
  package.debug_regions = {{.physical_tile = DebugRegion::kNoTile,
                            .address = 0x4c000,
                            .size = 8,
                            .name = "linked executable"}};
  package.host_exchange = round_trip_host_exchange();

  Bytes bytes;
  require_ok(package.write(bytes), "write");
  const Application read = require_ok(Application::read(bytes), "read");
  require(read == package, "the package read back equals the package written");

  const Bytes image = require_ok(read.tile_image(0), "image of tile 0");
  require(image.size() >= 8, "image of tile 0 holds at least 8 bytes");
  require(Bytes(image.begin(), image.begin() + 8) == Bytes{1, 2, 3, 4, 0, 0, 0, 0},
          "image of tile 0 starts with 01 02 03 04 00 00 00 00");
}

void package_header_rejects_unknown_targets_and_mismatched_memory() {
  const zor_target::AddressRange window = Target::Zor21.tile_memory();
  require(window.start == 0x4c000 && window.end == 0xe8000, "tile memory window of Zor21");
  for (unsigned bit = 0; bit < 32; ++bit) {
    const std::uint32_t size = window.size() ^ (std::uint32_t{1} << bit);
    const std::string where = " with bit " + std::to_string(bit) + " of the size inverted";
    require_invalid(Application::read(header_only_package(Target::Zor21.name(), size)),
                    "incompatible package header", "catalogued target" + where);
    require_invalid(Application::read(header_only_package("unknown-zor", size)),
                    "unsupported package target", "foreign target" + where);
  }
}

void reads_legacy_package_profile_records() {
  const Bytes stored = legacy_package();
  require_eq(stored.size(), 568u, "size of the stored package");
  require(absent_pointers_are_null(stored), "the stored package leaves absent pointers null");
  const Application package = require_ok(Application::read(stored), "read of the stored package");

  require(!package.profile_tiles.empty(), "the stored package has a profile plan");
  const std::vector<ProfileStep>& steps = package.profile_tiles[0].steps;
  const StepKind expected_kinds[] = {StepKind::Exchange, StepKind::Compute,
                                     StepKind::Synchronization, StepKind::Idle};
  require_eq(steps.size(), 4u, "steps of the first plan");
  for (std::size_t i = 0; i < steps.size(); ++i) {
    require_eq(steps[i].kind, expected_kinds[i], "kind of step " + std::to_string(i));
  }
  require_eq(steps[0], legacy_first_step(), "first step");

  Bytes rewritten;
  require_ok(package.write(rewritten), "write of the read package");
  require(require_ok(Application::read(rewritten), "read of the rewritten package") == package,
          "the rewritten package reads back equal");
}

}  // namespace zor_package::tests
