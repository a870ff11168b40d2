// The rules a package must keep before it is written and after it is read. They run in a fixed
// order and the first broken rule is the result, so the order decides which error wins.
#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "reason.hpp"
#include "zor_package/model.hpp"

namespace zor_package {
namespace {

// Validation holds segments and binding slices to these fixed bounds, whatever the target.
constexpr zor_target::AddressRange kTileMemory = zor_target::Target::Zor21.tile_memory();
constexpr std::uint32_t kCommandWordBytes = 4;

using reason::Hex;

bool inside_tile_memory(std::uint32_t start, std::uint32_t end) {
  return start >= kTileMemory.start && end <= kTileMemory.end;
}

// A segment's occupied addresses [start, end), for the overlap test.
struct Range {
  std::uint32_t start;
  std::uint32_t end;

  auto operator<=>(const Range&) const = default;
};

class Validator {
 public:
  explicit Validator(const Application& application) : app_(application) {}

  Result<void> run() {
    if (app_.tiles.empty()) {
      return fail(PackageError::invalid("application has no tiles"));
    }
    for (auto rule :
         {&Validator::check_config_writes, &Validator::check_tiles, &Validator::check_profile_plans,
          &Validator::check_debug_map, &Validator::check_bindings, &Validator::check_host_pages,
          &Validator::check_startup_protocol, &Validator::check_host_calls}) {
      if (auto result = (this->*rule)(); !result) {
        return result;
      }
    }
    return {};
  }

 private:
  static Result<void> fail(PackageError error) { return std::unexpected(std::move(error)); }

  Result<void> check_config_writes() {
    std::unordered_set<std::uint32_t> offsets;
    offsets.reserve(app_.device_config_writes.size());
    for (const DeviceConfigWrite& write : app_.device_config_writes) {
      if (write.offset % 4 != 0 || !offsets.insert(write.offset).second) {
        return fail(PackageError::invalid("unaligned or duplicate device configuration write"));
      }
    }
    return {};
  }

  Result<void> check_tiles() {
    tile_ids_.reserve(app_.tiles.size());
    std::vector<Range> ranges;
    for (const TileImage& tile : app_.tiles) {
      if (!tile_ids_.insert(tile.physical_tile).second) {
        return fail(reason::invalid("duplicate physical tile ", tile.physical_tile));
      }
      ranges.clear();
      ranges.reserve(tile.segments.size());
      for (const Segment& segment : tile.segments) {
        if (auto result = check_segment(tile, segment, ranges); !result) {
          return result;
        }
      }
      if (auto result = check_overlaps(tile, ranges); !result) {
        return result;
      }
    }
    return {};
  }

  static Result<void> check_segment(const TileImage& tile, const Segment& segment,
                                    std::vector<Range>& ranges) {
    std::uint32_t end = 0;
    if (__builtin_add_overflow(segment.address, segment.memory_size, &end)) {
      return fail(PackageError::invalid("segment address overflow"));
    }
    if (!inside_tile_memory(segment.address, end) || segment.data.size() > segment.memory_size) {
      return fail(reason::invalid("invalid segment on tile ", tile.physical_tile, ": address=0x",
                                  Hex{segment.address}, " end=0x", Hex{end}, " memory_size=",
                                  segment.memory_size, " data_size=", segment.data.size()));
    }
    if (segment.memory_size != 0) {
      ranges.push_back({segment.address, end});
    }
    return {};
  }

  // Every recorded range is non-empty, so after sorting any overlap shows between neighbours.
  static Result<void> check_overlaps(const TileImage& tile, std::vector<Range>& ranges) {
    std::sort(ranges.begin(), ranges.end());
    auto overlapping = std::adjacent_find(ranges.begin(), ranges.end(),
                                          [](Range a, Range b) { return b.start < a.end; });
    if (overlapping == ranges.end()) {
      return {};
    }
    const Range first = overlapping[0];
    const Range second = overlapping[1];
    return fail(reason::invalid("overlapping segments on tile ", tile.physical_tile, ": 0x",
                                Hex{first.start}, "..0x", Hex{first.end}, " and 0x",
                                Hex{second.start}, "..0x", Hex{second.end}));
  }

  Result<void> check_profile_plans() {
    std::unordered_set<std::uint32_t> profiled;
    profiled.reserve(app_.profile_tiles.size());
    for (const TileProfilePlan& plan : app_.profile_tiles) {
      const bool valid = tile_ids_.contains(plan.physical_tile) &&
                         profiled.insert(plan.physical_tile).second && steps_in_order(plan);
      if (!valid) {
        return fail(PackageError::invalid("invalid tile profile plan"));
      }
    }
    return {};
  }

  static bool steps_in_order(const TileProfilePlan& plan) {
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
      if (plan.steps[i].local_index != i) {
        return false;
      }
    }
    return true;
  }

  Result<void> check_debug_map() {
    const bool symbols_named = std::none_of(app_.debug_symbols.begin(), app_.debug_symbols.end(),
                                            [](const DebugSymbol& s) { return s.name.empty(); });
    const bool regions_valid =
        symbols_named && std::all_of(app_.debug_regions.begin(), app_.debug_regions.end(),
                                     [this](const DebugRegion& r) { return region_valid(r); });
    if (!regions_valid) {
      return fail(PackageError::invalid("invalid package debug map"));
    }
    return {};
  }

  bool region_valid(const DebugRegion& region) const {
    std::uint32_t end = 0;
    return !region.name.empty() && region.size != 0 &&
           !__builtin_add_overflow(region.address, region.size, &end) &&
           (region.physical_tile == DebugRegion::kNoTile ||
            tile_ids_.contains(region.physical_tile));
  }

  Result<void> check_bindings() {
    names_.reserve(app_.inputs.size() + app_.outputs.size() + app_.weights.size());
    for (const auto* list : {&app_.inputs, &app_.outputs, &app_.weights}) {
      for (const Binding& binding : *list) {
        if (auto result = check_binding(binding); !result) {
          return result;
        }
      }
    }
    return {};
  }

  Result<void> check_binding(const Binding& binding) {
    if (binding.name.empty() || !names_.insert(binding.name).second) {
      return fail(reason::invalid("empty or duplicate binding ", binding.name));
    }
    if (auto extent = binding.byte_len(); !extent) {
      return fail(std::move(extent.error()));
    }
    for (const RegionSlice& slice : binding.slices) {
      if (slice.size > std::numeric_limits<std::uint32_t>::max()) {
        return fail(reason::invalid("binding ", binding.name, " slice is too large"));
      }
      std::uint32_t end = 0;
      if (__builtin_add_overflow(slice.tile_address, static_cast<std::uint32_t>(slice.size),
                                 &end)) {
        return fail(PackageError::invalid("binding address overflow"));
      }
      if (!tile_ids_.contains(slice.tile) || !inside_tile_memory(slice.tile_address, end)) {
        return fail(reason::invalid("binding ", binding.name, " references invalid tile memory"));
      }
    }
    return {};
  }

  Result<void> check_host_pages() {
    const HostExchange& exchange = app_.host_exchange;
    pages_.reserve(exchange.pages.size());
    for (const HostPage& page : exchange.pages) {
      pages_.emplace(page.index, page.size);
    }
    const bool unique = pages_.size() == exchange.pages.size();
    const bool attachable =
        std::all_of(exchange.attach_order.begin(), exchange.attach_order.end(),
                    [this](std::uint32_t index) { return pages_.contains(index); });
    if (!unique || !attachable) {
      return fail(PackageError::invalid("invalid host page table"));
    }
    return {};
  }

  Result<void> check_startup_protocol() {
    const HostExchange& exchange = app_.host_exchange;
    if (exchange.calls.empty()) {
      return {};
    }
    auto page = pages_.find(exchange.command_page);
    std::uint64_t end = 0;
    const bool valid = page != pages_.end() &&
                       !__builtin_add_overflow(exchange.command_offset, kCommandWordBytes, &end) &&
                       end <= page->second;
    if (!valid) {
      return fail(PackageError::invalid("invalid host startup protocol"));
    }
    return {};
  }

  Result<void> check_host_calls() {
    for (const HostCall& call : app_.host_exchange.calls) {
      if (call.invocations == 0) {
        return fail(reason::invalid("host call ", call.name, " has no invocations"));
      }
      if (auto r =
              validate_host_batch_ends(call, "input", call.input_batch_ends, call.inputs.size());
          !r) {
        return r;
      }
      if (auto r =
              validate_host_batch_ends(call, "output", call.output_batch_ends, call.outputs.size());
          !r) {
        return r;
      }
      for (const auto* slices : {&call.inputs, &call.outputs}) {
        for (const HostSlice& slice : *slices) {
          if (auto r = check_host_slice(call, slice); !r) {
            return r;
          }
        }
      }
    }
    return {};
  }

  Result<void> check_host_slice(const HostCall& call, const HostSlice& slice) const {
    auto page = pages_.find(slice.page);
    if (page == pages_.end()) {
      return fail(reason::invalid("host call ", call.name, " references missing page"));
    }
    std::uint64_t page_end = 0;
    std::uint64_t file_end = 0;
    const bool valid = !__builtin_add_overflow(slice.page_offset, slice.size, &page_end) &&
                       page_end <= page->second &&
                       !__builtin_add_overflow(slice.file_offset, slice.size, &file_end);
    if (!valid) {
      return fail(reason::invalid("host call ", call.name, " has an invalid slice range"));
    }
    return {};
  }

  const Application& app_;
  std::unordered_set<std::uint32_t> tile_ids_;
  std::unordered_set<std::string_view> names_;
  std::unordered_map<std::uint32_t, std::uint64_t> pages_;
};

}  // namespace

Result<void> Application::validate() const {
  return guarded([&] { return Validator(*this).run(); });
}

Result<void> validate_host_batch_ends(const HostCall& call, std::string_view direction,
                                      std::span<const std::uint32_t> ends,
                                      std::size_t slice_count) {
  std::size_t previous = 0;
  for (std::uint32_t end : ends) {
    if (end <= previous || end > slice_count) {
      return std::unexpected(reason::invalid("host call ", call.name, " has invalid ", direction,
                                             " batch boundary ", end));
    }
    previous = end;
  }
  if (previous != slice_count) {
    return std::unexpected(reason::invalid("host call ", call.name, " ", direction,
                                           " batches cover ", previous, " of ", slice_count,
                                           " slices"));
  }
  return {};
}

}  // namespace zor_package
