// The profile report file: one message whose root is a Profile.
#include <ostream>

#include "boundary.hpp"
#include "budget.hpp"
#include "encoding.hpp"
#include "message.hpp"
#include "profile_step.hpp"
#include "reason.hpp"
#include "render.hpp"
#include "zor_package/profile.hpp"
#include "zor_package/schema/profile.capnp.h"

namespace zor_package {
namespace {

using encoding::struct_size;

constexpr std::uint32_t kSchemaVersion = 5;
constexpr std::uint32_t kOldestSchemaVersion = 1;

unsigned count(std::size_t size) { return static_cast<unsigned>(size); }

Result<std::size_t> measure(const ProfileReport& report) {
  encoding::EncodedSize size;
  size.add_struct({0, 1});  // the root pointer
  size.add_struct(struct_size<wire::Profile>());
  size.add_struct_list(report.tiles.size(), struct_size<wire::TileProfile>());
  for (const TileProfile& tile : report.tiles) {
    size.add_struct_list(tile.samples.size(), struct_size<wire::CycleSample>());
    for (const CycleSample& sample : tile.samples) {
      size.add_struct(struct_size<wire::ProfileStep>());
      encoding::add_profile_step(size, sample.step);
    }
  }
  return size.words();
}

void build(const ProfileReport& report, capnp::MessageBuilder& message) {
  auto root = message.initRoot<wire::Profile>();
  root.setSchemaVersion(kSchemaVersion);
  root.setClockHz(report.clock_hz);
  auto tiles = root.initTiles(count(report.tiles.size()));
  for (unsigned i = 0; i < tiles.size(); ++i) {
    const TileProfile& tile = report.tiles[i];
    tiles[i].setPhysicalTile(tile.physical_tile);
    auto samples = tiles[i].initSamples(count(tile.samples.size()));
    for (unsigned j = 0; j < samples.size(); ++j) {
      const CycleSample& sample = tile.samples[j];
      samples[j].setStartCycle(sample.start_cycle);
      samples[j].setEndCycle(sample.end_cycle);
      sample.step.write(samples[j].initStep());
    }
  }
}

template <class Sink>
Result<void> write_to(const ProfileReport& report, Sink& sink) {
  auto words = measure(report);
  if (!words) {
    return std::unexpected(std::move(words.error()));
  }
  return message::write_message(sink, *words, [&](capnp::MessageBuilder& m) { build(report, m); });
}

Result<TileProfile> read_tile(wire::TileProfile::Reader stored, RecordBudget& budget) {
  TileProfile tile;
  const auto samples = stored.getSamples();
  ZOR_TRY(budget.reserve(tile.samples, samples.size()));
  for (auto sample : samples) {
    CycleSample& converted = tile.samples.emplace_back();
    ZOR_TRY_ASSIGN(converted.step, read_profile_step(sample.getStep(), budget));
    converted.start_cycle = sample.getStartCycle();
    converted.end_cycle = sample.getEndCycle();
  }
  tile.physical_tile = stored.getPhysicalTile();
  return tile;
}

Result<ProfileReport> read_root(wire::Profile::Reader root, RecordBudget& budget) {
  const std::uint32_t version = root.getSchemaVersion();
  if (version < kOldestSchemaVersion || version > kSchemaVersion) {
    return std::unexpected(reason::invalid("unsupported profile schema version ", version));
  }
  ProfileReport report;
  const auto tiles = root.getTiles();
  ZOR_TRY(budget.reserve(report.tiles, tiles.size()));
  for (auto tile : tiles) {
    ZOR_TRY_ASSIGN(report.tiles.emplace_back(), read_tile(tile, budget));
  }
  report.clock_hz = root.getClockHz();
  return report;
}

}  // namespace

Result<void> ProfileReport::write(std::vector<std::uint8_t>& output) const {
  return guarded([&] { return write_to(*this, output); });
}

Result<void> ProfileReport::write(kj::OutputStream& output) const {
  return guarded([&] { return write_to(*this, output); });
}

Result<void> ProfileReport::write(std::ostream& output) const {
  return guarded([&] {
    message::OstreamOutput stream(output);
    return write_to(*this, stream);
  });
}

Result<ProfileReport> ProfileReport::read(std::span<const std::uint8_t> input) {
  return guarded([&]() -> Result<ProfileReport> {
    std::unique_ptr<message::Parsed> parsed;
    ZOR_TRY_ASSIGN(parsed, message::Parsed::parse(input));
    RecordBudget budget = RecordBudget::for_input(input.size());
    return read_root(parsed->root<wire::Profile>(), budget);
  });
}

std::ostream& operator<<(std::ostream& os, const CycleSample& sample) {
  render::Record(os, "CycleSample")
      .field("step", sample.step)
      .field("start_cycle", sample.start_cycle)
      .field("end_cycle", sample.end_cycle);
  return os;
}

std::ostream& operator<<(std::ostream& os, const TileProfile& tile) {
  render::Record(os, "TileProfile")
      .field("physical_tile", tile.physical_tile)
      .field("samples", tile.samples);
  return os;
}

std::ostream& operator<<(std::ostream& os, const ProfileReport& report) {
  render::Record(os, "ProfileReport")
      .field("clock_hz", report.clock_hz)
      .field("tiles", report.tiles);
  return os;
}

}  // namespace zor_package
