// Profiled steps: the description of one stretch of a tile's program whose cycles a profiled run
// records. Package profiling plans and cycle profile reports share these records.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "zor_package/error.hpp"

namespace kj {
class OutputStream;
}

namespace zor_package {

// Both enumerations hold the same 16-bit numbers in memory and on the wire.
enum class StepKind : std::uint16_t { Exchange = 0, Compute = 1, Synchronization = 2, Idle = 3 };

enum class ExchangeActivityKind : std::uint16_t { Send = 0, Receive = 1, PartnerBusy = 2 };

// One stretch of exchange activity within a step.
struct ProfileExchangeActivity {
  std::uint16_t fanout = 0;
  bool paired = false;
  ExchangeActivityKind kind = ExchangeActivityKind::Send;
  std::uint32_t start_cycle = 0;  // counter value at which the stretch starts
  std::uint32_t end_cycle = 0;    // counter value at which it ends

  bool operator==(const ProfileExchangeActivity&) const = default;
};

// One free-form annotation of a step, such as "reason" = "LayoutRearrangement".
struct ProfileMetadata {
  std::string name;
  std::string value;

  bool operator==(const ProfileMetadata&) const = default;
};

struct ProfileStep {
  std::uint32_t local_index = 0;  // position in the tile's list of steps
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::string operation;
  StepKind kind = StepKind::Exchange;
  std::string kernel;
  std::vector<ProfileMetadata> metadata;
  std::vector<ProfileExchangeActivity> exchange_activities;
  std::uint32_t exchange_event_cycles = 0;

  // Fills `output`, an already created zor_package::wire::ProfileStep::Builder of a message under
  // construction (from "zor_package/schema/profile.capnp.h"). Every text must be shorter than
  // 2^29 - 1 bytes and every list shorter than 2^29 elements; the package and report writers
  // refuse larger records before they call this.
  template <class WireBuilder>
  void write(WireBuilder output) const;

  // Converts `step`, a zor_package::wire::ProfileStep::Reader of a parsed message. Fails with
  // `Capnp` for a malformed pointer, `Utf8` for a text that is not UTF-8 and `SchemaEnum` for a
  // step or activity kind that the schema does not define.
  template <class WireReader>
  [[nodiscard]] static Result<ProfileStep> read(WireReader step);

  bool operator==(const ProfileStep&) const = default;
};

// One occurrence of a planned step in a run. The counters are 32 bits wide and may wrap, so
// end_cycle may lie below start_cycle; the values are kept as the run reported them.
struct CycleSample {
  ProfileStep step;  // a copy of the planned step
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;

  bool operator==(const CycleSample&) const = default;
};

// The samples of one tile, in step order.
struct TileProfile {
  std::uint32_t physical_tile = 0;
  std::vector<CycleSample> samples;

  bool operator==(const TileProfile&) const = default;
};

// A cycle profile report, as built from a profiled run's output by Application::profile_report.
struct ProfileReport {
  std::uint64_t clock_hz = 0;  // clock rate in hertz, as the builder of the report supplied it
  std::vector<TileProfile> tiles;

  // Appends the report to `output` as one message in the stream framing (schema version 5).
  // Fails with `Capnp` only when the encoding cannot hold a text or list of the report (the
  // vector is then left as it was) or when a stream sink refuses bytes.
  [[nodiscard]] Result<void> write(std::vector<std::uint8_t>& output) const;
  [[nodiscard]] Result<void> write(std::ostream& output) const;
  [[nodiscard]] Result<void> write(kj::OutputStream& output) const;

  // Reads the first message of `input` (any alignment; bytes after it are ignored). Schema
  // versions 1 to 5 are read alike; any other fails with "unsupported profile schema version
  // {version}". The report holds no reference into `input`.
  [[nodiscard]] static Result<ProfileReport> read(std::span<const std::uint8_t> input);

  bool operator==(const ProfileReport&) const = default;
};

std::ostream& operator<<(std::ostream& os, StepKind kind);
std::ostream& operator<<(std::ostream& os, ExchangeActivityKind kind);
std::ostream& operator<<(std::ostream& os, const ProfileExchangeActivity& activity);
std::ostream& operator<<(std::ostream& os, const ProfileMetadata& metadata);
std::ostream& operator<<(std::ostream& os, const ProfileStep& step);
std::ostream& operator<<(std::ostream& os, const CycleSample& sample);
std::ostream& operator<<(std::ostream& os, const TileProfile& tile);
std::ostream& operator<<(std::ostream& os, const ProfileReport& report);

}  // namespace zor_package
