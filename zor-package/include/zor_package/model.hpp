// The in-memory application package: the records a compiler fills and a loader reads.
//
// Every record is a plain value with public fields: copying is deep, equality compares every
// field (lists element by element, in order), and operator<< names the record and its fields.
// Nothing in the model enforces consistency; Application::validate judges a package.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zor_package/error.hpp"
#include "zor_package/profile.hpp"
#include "zor_target/target.hpp"

namespace kj {
class OutputStream;
}

namespace zor_package {

using Bytes = std::vector<std::uint8_t>;

// One loadable piece of a tile's memory.
struct Segment {
  std::uint32_t address = 0;      // first tile address the segment occupies
  std::uint32_t memory_size = 0;  // bytes occupied in memory; past `data` they are zero
  Bytes data;                     // contents of the segment's first bytes
  std::uint32_t flags = 0;        // attribute bits, carried without meaning

  bool operator==(const Segment&) const = default;
};

// What is loaded into one tile.
struct TileImage {
  std::uint32_t physical_tile = 0;
  std::uint32_t entry_point = 0;
  std::uint32_t command_address = 0;
  std::uint32_t diagnostic_address = 0;
  std::vector<Segment> segments;

  bool operator==(const TileImage&) const = default;
};

// One piece of a binding: where it lies in tile memory and in the tensor's host-side bytes.
struct RegionSlice {
  std::uint32_t tile = 0;          // physical tile holding the piece
  std::uint32_t tile_address = 0;  // address of the piece in that tile's memory
  std::uint64_t file_offset = 0;   // byte offset of the piece in the binding's host-side data
  std::uint64_t size = 0;          // length of the piece, in bytes

  bool operator==(const RegionSlice&) const = default;
};

// A named tensor and where its pieces lie.
struct Binding {
  std::string name;
  std::string dtype;                 // element type name, carried without meaning
  std::vector<std::uint32_t> shape;  // dimensions, carried without meaning
  std::vector<RegionSlice> slices;

  // The extent: the largest file_offset + size over the slices, 0 without slices. Fails with
  // "binding {name} file range overflows" when any slice's end exceeds 64 bits.
  [[nodiscard]] Result<std::uint64_t> byte_len() const;

  bool operator==(const Binding&) const = default;
};

struct HostPage {
  std::uint32_t index = 0;  // the key by which slices and the command page name the page
  std::uint64_t size = 0;   // in bytes

  bool operator==(const HostPage&) const = default;
};

// One piece of a host call's data.
struct HostSlice {
  std::uint32_t page = 0;         // index of the host page the piece lies in
  std::uint64_t page_offset = 0;  // byte offset of the piece in that page
  std::uint64_t file_offset = 0;  // byte offset of the piece in the host-side data
  std::uint64_t size = 0;         // in bytes

  bool operator==(const HostSlice&) const = default;
};

struct HostCall {
  std::string name;
  std::uint32_t command = 0;
  std::uint32_t phases = 0;
  std::vector<HostSlice> inputs;
  std::vector<HostSlice> outputs;
  std::uint32_t invocations = 1;                 // at least 1 in a valid package
  std::vector<std::uint32_t> input_batch_ends;   // exclusive batch ends over `inputs`
  std::vector<std::uint32_t> output_batch_ends;  // exclusive batch ends over `outputs`

  bool operator==(const HostCall&) const = default;
};

// How the host moves data to and from the device. The default value is the empty exchange.
struct HostExchange {
  std::uint32_t startup_mark = 0;
  std::uint32_t command_page = 0;    // index of the page holding the command word
  std::uint64_t command_offset = 0;  // byte offset of the 4-byte command word in that page
  std::vector<HostPage> pages;
  std::vector<std::uint32_t> attach_order;  // page indices in attach order
  std::vector<HostCall> calls;

  bool operator==(const HostExchange&) const = default;
};

struct EntryPoint {
  std::string name;
  std::uint32_t command = 0;
  std::uint32_t external_syncs = 0;

  bool operator==(const EntryPoint&) const = default;
};

struct DeviceConfigWrite {
  std::uint32_t offset = 0;  // register offset, a multiple of 4
  std::uint32_t value = 0;

  bool operator==(const DeviceConfigWrite&) const = default;
};

struct TileProfilePlan {
  std::uint32_t physical_tile = 0;
  std::vector<ProfileStep> steps;  // in the order the profiled run records them

  bool operator==(const TileProfilePlan&) const = default;
};

struct DebugSymbol {
  std::string name;
  std::uint32_t address = 0;

  bool operator==(const DebugSymbol&) const = default;
};

// A region with physical_tile kNoTile belongs to no particular tile.
struct DebugRegion {
  static constexpr std::uint32_t kNoTile = 0xffffffff;

  std::uint32_t physical_tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;  // in bytes
  std::string name;

  bool operator==(const DebugRegion&) const = default;
};

struct Application;

// An output binding found by name, and where its data starts in a run's output buffer.
struct OutputBinding {
  const Binding* binding = nullptr;  // refers into the package; valid as long as it is
  std::uint64_t base = 0;            // sum of the extents of the outputs before it, in bytes
};

// The whole package.
struct Application {
  zor_target::Target target;
  std::string compiler_version;
  std::vector<TileImage> tiles;
  std::vector<Binding> inputs;
  std::vector<Binding> outputs;  // their order fixes their place in a run's output buffer
  std::vector<Binding> weights;
  HostExchange host_exchange;
  std::vector<EntryPoint> entry_points;
  std::vector<DeviceConfigWrite> device_config_writes;
  std::vector<TileProfilePlan> profile_tiles;  // empty when the package carries no plan
  std::vector<DebugSymbol> debug_symbols;
  std::vector<DebugRegion> debug_regions;

  // A package for `target` with compiler version "0.1.0", every list empty and the default host
  // exchange.
  [[nodiscard]] static Application create(zor_target::Target target);

  // Validates the package and appends it to `output` as one message in the stream framing.
  // An invalid package leaves the vector untouched; so does a package that the encoding cannot
  // hold (a list of 2^29 elements or more, a blob of 2^29 bytes or more, a text of 2^29 - 1
  // bytes or more), which fails with a `Capnp` error. Two writes give identical bytes.
  [[nodiscard]] Result<void> write(std::vector<std::uint8_t>& output) const;

  // The same for stream sinks. A stream that refuses bytes gives a `Capnp` error and may then
  // hold the beginning of the message.
  [[nodiscard]] Result<void> write(std::ostream& output) const;
  [[nodiscard]] Result<void> write(kj::OutputStream& output) const;

  // Reads the first message of `input` (any alignment; bytes after the message are ignored),
  // checks its header against the target catalogue, converts every record and validates the
  // result. The first fault ends the read: framing, then the target text, the target lookup,
  // the header, the compiler version, the records in field order, and last validation.
  // The returned package holds no reference into `input`.
  [[nodiscard]] static Result<Application> read(std::span<const std::uint8_t> input);

  // The memory image of a tile from the lowest segment address up to the highest segment end:
  // each segment's data at its address, every other byte 0. Fails with "unknown tile {tile}" or
  // "tile has no loadable segments". On a package that never passed validation it never reads or
  // writes outside its buffers: "segment address overflow" when a segment ends beyond 32 bits,
  // "segment data exceeds tile image" when a segment holds more data than its memory size.
  [[nodiscard]] Result<Bytes> tile_image(std::uint32_t physical_tile) const;

  // Turns the output buffer of a profiled run into a report: for every profiling plan, in order,
  // the tile's slice of the "profile.cycles" output holds one little-endian 32-bit counter value
  // at the start of each step and one after the last; sample i pairs step i with values i and
  // i + 1. `clock_hz` is copied into the report. The package need not be validated; nothing is
  // ever read outside `output`. Fails with the lookup's error, or with the first plan's
  // "cycle profile has no slice for tile {tile}", "cycle profile slice for tile {tile} has size
  // {size}, expected {expected}", "profile output offset overflow" or "profile binding exceeds
  // runtime output".
  [[nodiscard]] Result<ProfileReport> profile_report(std::span<const std::uint8_t> output,
                                                     std::uint64_t clock_hz) const;

  // Succeeds when the package keeps every rule; otherwise the first broken rule as an `Invalid`
  // error with its reason.
  [[nodiscard]] Result<void> validate() const;

  // The first output named `name` (compared byte for byte) and its base. Measures only the
  // outputs before it; fails with "application has no {name} output binding", an earlier
  // output's "binding {name} file range overflows", or "output binding size overflow".
  [[nodiscard]] Result<OutputBinding> output_binding(std::string_view name) const;

  bool operator==(const Application&) const = default;
};

// Checks the batch ends of one direction of a host call: strictly rising, each at most
// `slice_count`, the last equal to it. `direction` ("input" or "output") and the call's name
// appear in the reason texts.
[[nodiscard]] Result<void> validate_host_batch_ends(const HostCall& call,
                                                    std::string_view direction,
                                                    std::span<const std::uint32_t> ends,
                                                    std::size_t slice_count);

std::ostream& operator<<(std::ostream& os, const Segment& segment);
std::ostream& operator<<(std::ostream& os, const TileImage& tile);
std::ostream& operator<<(std::ostream& os, const RegionSlice& slice);
std::ostream& operator<<(std::ostream& os, const Binding& binding);
std::ostream& operator<<(std::ostream& os, const HostPage& page);
std::ostream& operator<<(std::ostream& os, const HostSlice& slice);
std::ostream& operator<<(std::ostream& os, const HostCall& call);
std::ostream& operator<<(std::ostream& os, const HostExchange& exchange);
std::ostream& operator<<(std::ostream& os, const EntryPoint& entry_point);
std::ostream& operator<<(std::ostream& os, const DeviceConfigWrite& write);
std::ostream& operator<<(std::ostream& os, const TileProfilePlan& plan);
std::ostream& operator<<(std::ostream& os, const DebugSymbol& symbol);
std::ostream& operator<<(std::ostream& os, const DebugRegion& region);
std::ostream& operator<<(std::ostream& os, const OutputBinding& found);
std::ostream& operator<<(std::ostream& os, const Application& application);

}  // namespace zor_package
