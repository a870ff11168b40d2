// The checks of validation and binding measurement, on the sample package.
#include <cstdint>
#include <string>

#include "check.hpp"

namespace zor_package::tests {
namespace {

// The sample package with one host page of 0x1000 bytes and a call "run" whose one input slice
// of 4 bytes ends exactly at the page end, as does the command word.
Application host_range_package() {
  Application application = sample();
  HostExchange& exchange = application.host_exchange;
  exchange.pages = {HostPage{.index = 0, .size = 0x1000}};
  exchange.command_page = 0;
  exchange.command_offset = 0xffc;
  exchange.calls = {HostCall{
      .name = "run",
      .command = 1,
      .phases = 2,
      .inputs = {HostSlice{.page = 0, .page_offset = 0xffc, .file_offset = 0, .size = 4}},
      .outputs = {},
      .invocations = 1,
      .input_batch_ends = {1},
      .output_batch_ends = {},
  }};
  return application;
}

constexpr std::uint64_t kPastPageEnd[] = {0xffd, 0xfffffffffffffffd, 0xffffffffffffffff};

}  // namespace

void rejects_overlapping_segments() {
  Application application = sample();
  application.tiles[0].segments.push_back(application.tiles[0].segments[0]);
  require_invalid(application.validate(),
                  "overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c000..0x4c008",
                  "two identical segments on one tile");
}

void rejects_ambiguous_device_configuration() {
  Application application = sample();
  application.device_config_writes = {{.offset = 4, .value = 1}, {.offset = 4, .value = 2}};
  require_invalid(application.validate(), "unaligned or duplicate device configuration write",
                  "two writes to offset 4");
}

void rejects_implicit_host_batches() {
  const HostCall call{
      .name = "explicit-batches",
      .command = 0,
      .phases = 0,
      .inputs = {},
      .outputs = {},
      .invocations = 1,
      .input_batch_ends = {},
      .output_batch_ends = {},
  };
  require_err(validate_host_batch_ends(call, "input", {}, 1), "input slices without batch ends");
  require_err(validate_host_batch_ends(call, "output", {}, 1), "output slices without batch ends");
  require_ok(validate_host_batch_ends(call, "input", {}, 0), "no slices and no batch ends");
}

void rejects_overflowing_host_ranges() {
  Application application = host_range_package();
  require_ok(application.validate(), "command word and slice ending at the page end");

  for (std::uint64_t offset : kPastPageEnd) {
    application.host_exchange.command_offset = offset;
    require_err(application.validate(), "command offset " + std::to_string(offset));
  }
  application.host_exchange.command_offset = 0xffc;

  HostSlice& slice = application.host_exchange.calls[0].inputs[0];
  for (std::uint64_t offset : kPastPageEnd) {
    slice.page_offset = offset;
    require_err(application.validate(), "slice offset " + std::to_string(offset));
  }
  slice.page_offset = 0xffc;
  slice.file_offset = 0xfffffffffffffffd;
  require_err(application.validate(), "slice file offset 18446744073709551613");
}

void binding_extents_and_output_offsets_share_checked_file_geometry() {
  Binding values{.name = "values", .dtype = "u8", .shape = {16}, .slices = {}};
  require_eq(require_ok(values.byte_len(), "extent without slices"), 0u, "extent without slices");

  for (std::uint64_t offset : {12u, 0u, 12u}) {
    values.slices.push_back(
        RegionSlice{.tile = 0, .tile_address = 0x4c000, .file_offset = offset, .size = 4});
  }
  require_eq(require_ok(values.byte_len(), "extent of three slices"), 16u,
             "extent of three slices");

  Application application = sample();
  Binding next = values;
  next.name = "next";
  application.outputs = {values, next};
  const OutputBinding found = require_ok(application.output_binding("next"), "lookup of next");
  require_eq(found.base, 16u, "base of next");
  require(found.binding == &application.outputs[1], "lookup of next finds the second output");
  require_err(application.output_binding("absent"), "lookup of absent");

  application.outputs[0].slices[0].file_offset = 0xffffffffffffffff;
  require_err(application.outputs[0].byte_len(), "extent of an overflowing slice");
  require_err(application.output_binding("next"), "lookup behind an overflowing output");
  require_err(application.validate(), "validation of an overflowing output");
}

}  // namespace zor_package::tests
