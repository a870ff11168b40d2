// zorpkg info: a summary of a package for people, or the same figures as JSON.
#include <algorithm>
#include <array>
#include <cstdint>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_io.hpp"
#include "loading.hpp"
#include "zor_package/model.hpp"

namespace zorpkg {

using nlohmann::ordered_json;
using namespace zor_package;

namespace {

struct TileUse {
  std::uint32_t physical_tile = 0;
  std::uint64_t bytes = 0;  // memory the tile's segments occupy
};

struct BindingSummary {
  const Binding* binding = nullptr;
  std::uint64_t extent = 0;
  // Outputs only: where the output starts in a run's output buffer; none when the sum of the
  // extents before it exceeds 64 bits.
  std::optional<std::uint64_t> base;
};

// The figures that both renderings show.
struct Summary {
  std::uint32_t window_bytes = 0;
  std::vector<TileUse> tiles_by_use;  // ascending by bytes, then tile number
  std::uint64_t segments = 0;
  std::uint64_t segment_memory_bytes = 0;
  std::uint64_t segment_data_bytes = 0;
  std::vector<BindingSummary> inputs, outputs, weights;
  std::optional<std::uint64_t> page_bytes;  // none when the sizes add up beyond 64 bits
  std::uint64_t profile_steps = 0;
  std::array<std::uint64_t, 4> steps_by_kind{};
};

constexpr std::array<std::string_view, 4> kStepKindNames{"Exchange", "Compute", "Synchronization",
                                                         "Idle"};

std::vector<BindingSummary> summarise(const Application& package,
                                      const std::vector<Binding>& bindings, bool outputs) {
  std::vector<BindingSummary> out;
  for (const Binding& binding : bindings) {
    // A package that was read has passed validation, so every extent is measurable.
    BindingSummary item{&binding, binding.byte_len().value_or(0), std::nullopt};
    if (outputs) {
      // Names are unique in a valid package, so the lookup finds this very binding.
      if (auto found = package.output_binding(binding.name)) {
        item.base = found->base;
      }
    }
    out.push_back(item);
  }
  return out;
}

Summary summarise(const Application& package) {
  Summary summary;
  summary.window_bytes = package.target.tile_memory().size();
  for (const TileImage& tile : package.tiles) {
    TileUse use{tile.physical_tile, 0};
    for (const Segment& segment : tile.segments) {
      use.bytes += segment.memory_size;
      summary.segment_data_bytes += segment.data.size();
    }
    summary.segments += tile.segments.size();
    summary.segment_memory_bytes += use.bytes;
    summary.tiles_by_use.push_back(use);
  }
  std::ranges::sort(summary.tiles_by_use, [](const TileUse& a, const TileUse& b) {
    return a.bytes != b.bytes ? a.bytes < b.bytes : a.physical_tile < b.physical_tile;
  });
  summary.inputs = summarise(package, package.inputs, false);
  summary.outputs = summarise(package, package.outputs, true);
  summary.weights = summarise(package, package.weights, false);
  std::uint64_t page_bytes = 0;
  bool overflow = false;
  for (const HostPage& page : package.host_exchange.pages) {
    overflow = overflow || __builtin_add_overflow(page_bytes, page.size, &page_bytes);
  }
  if (!overflow) {
    summary.page_bytes = page_bytes;
  }
  for (const TileProfilePlan& plan : package.profile_tiles) {
    summary.profile_steps += plan.steps.size();
    for (const ProfileStep& step : plan.steps) {
      ++summary.steps_by_kind.at(static_cast<std::size_t>(step.kind));
    }
  }
  return summary;
}

// The smallest, median (the lower one of an even count) and largest tile by memory use.
std::array<TileUse, 3> memory_extremes(const Summary& summary) {
  const auto& tiles = summary.tiles_by_use;
  return {tiles.front(), tiles[(tiles.size() - 1) / 2], tiles.back()};
}

std::string percent(std::uint64_t part, std::uint64_t whole) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1)
      << (whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole)) << '%';
  return out.str();
}

std::string plural(std::uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string shape_text(const std::vector<std::uint32_t>& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    out += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
  }
  return out + "]";
}

std::string hex(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << value;
  return out.str();
}

// --- Text --------------------------------------------------------------------------------------

void line(std::ostringstream& out, std::string_view label, const std::string& value) {
  out << std::left << std::setw(16) << label << value << '\n';
}

void binding_lines(std::ostringstream& out, std::string_view label,
                   const std::vector<BindingSummary>& bindings, bool outputs) {
  line(out, label, std::to_string(bindings.size()));
  for (const BindingSummary& item : bindings) {
    const Binding& binding = *item.binding;
    out << "  " << binding.name << "  " << binding.dtype << ' ' << shape_text(binding.shape) << ", "
        << plural(binding.slices.size(), "slice", "slices") << ", extent "
        << plural(item.extent, "byte", "bytes");
    if (outputs) {
      out << ", base " << (item.base ? std::to_string(*item.base) : "beyond 64 bits");
    }
    out << '\n';
  }
}

std::string render_text(const std::string& path, const Application& package,
                        const Summary& summary) {
  std::ostringstream out;
  auto window = package.target.tile_memory();
  line(out, "package", path);
  line(out, "target",
       std::string(package.target.name()) + " (tile memory " + hex(window.start) + ".." +
           hex(window.end) + ", " + std::to_string(window.size()) + " bytes a tile)");
  line(out, "compiler", package.compiler_version.empty() ? "(none)" : package.compiler_version);
  line(out, "tiles", std::to_string(package.tiles.size()));
  if (!summary.tiles_by_use.empty()) {
    auto extremes = memory_extremes(summary);
    constexpr std::array<std::string_view, 3> kWhich{"smallest", "median", "largest"};
    for (std::size_t i = 0; i < extremes.size(); ++i) {
      out << "  " << std::left << std::setw(10) << kWhich[i] << "tile " << extremes[i].physical_tile
          << ": " << plural(extremes[i].bytes, "byte", "bytes") << " used ("
          << percent(extremes[i].bytes, summary.window_bytes) << " of the window)\n";
    }
  }
  line(out, "segments",
       std::to_string(summary.segments) + ", " + std::to_string(summary.segment_memory_bytes) +
           " bytes in memory, " + std::to_string(summary.segment_data_bytes) + " bytes of data");
  binding_lines(out, "inputs", summary.inputs, false);
  binding_lines(out, "outputs", summary.outputs, true);
  binding_lines(out, "weights", summary.weights, false);
  const HostExchange& exchange = package.host_exchange;
  line(out, "host exchange",
       plural(exchange.pages.size(), "page", "pages") + " (" +
           (summary.page_bytes ? plural(*summary.page_bytes, "byte", "bytes")
                               : std::string("more than 2^64 bytes")) +
           "), " + plural(exchange.calls.size(), "call", "calls") + ", startup mark " +
           std::to_string(exchange.startup_mark) + ", command word at page " +
           std::to_string(exchange.command_page) + " offset " +
           std::to_string(exchange.command_offset));
  for (const HostCall& call : exchange.calls) {
    out << "  " << call.name << "  command " << call.command << ", "
        << plural(call.phases, "phase", "phases") << ", "
        << plural(call.invocations, "invocation", "invocations") << ", "
        << plural(call.inputs.size(), "input slice", "input slices") << " in "
        << plural(call.input_batch_ends.size(), "batch", "batches") << ", "
        << plural(call.outputs.size(), "output slice", "output slices") << " in "
        << plural(call.output_batch_ends.size(), "batch", "batches") << '\n';
  }
  line(out, "entry points", std::to_string(package.entry_points.size()));
  for (const EntryPoint& entry : package.entry_points) {
    out << "  " << entry.name << "  command " << entry.command << ", "
        << plural(entry.external_syncs, "external sync", "external syncs") << '\n';
  }
  line(out, "config writes", std::to_string(package.device_config_writes.size()));
  std::string plan = plural(package.profile_tiles.size(), "tile", "tiles") + ", " +
                     plural(summary.profile_steps, "step", "steps");
  if (summary.profile_steps > 0) {
    for (std::size_t kind = 0; kind < kStepKindNames.size(); ++kind) {
      plan += (kind == 0 ? ": " : ", ") + std::to_string(summary.steps_by_kind[kind]) + " " +
              std::string(kStepKindNames[kind]);
    }
  }
  line(out, "profile plan", package.profile_tiles.empty() ? "none" : plan);
  line(out, "debug symbols", std::to_string(package.debug_symbols.size()));
  line(out, "debug regions", std::to_string(package.debug_regions.size()));
  return out.str();
}

// --- JSON --------------------------------------------------------------------------------------

ordered_json tile_use_json(const TileUse& use) {
  return ordered_json{{"physical_tile", use.physical_tile}, {"bytes", use.bytes}};
}

ordered_json bindings_json(const std::vector<BindingSummary>& bindings, bool outputs) {
  ordered_json list = ordered_json::array();
  for (const BindingSummary& item : bindings) {
    ordered_json entry{{"name", item.binding->name},
                       {"dtype", item.binding->dtype},
                       {"shape", item.binding->shape},
                       {"slices", item.binding->slices.size()},
                       {"extent", item.extent}};
    if (outputs) {
      entry["base"] = item.base ? ordered_json(*item.base) : ordered_json(nullptr);
    }
    list.push_back(std::move(entry));
  }
  return list;
}

ordered_json render_json(const Application& package, const Summary& summary) {
  ordered_json out;
  auto window = package.target.tile_memory();
  out["target"] = std::string(package.target.name());
  out["tile_memory"] = {{"start", window.start}, {"end", window.end}, {"bytes", window.size()}};
  out["compiler_version"] = package.compiler_version;
  ordered_json tiles{{"count", package.tiles.size()}};
  if (!summary.tiles_by_use.empty()) {
    auto extremes = memory_extremes(summary);
    tiles["smallest"] = tile_use_json(extremes[0]);
    tiles["median"] = tile_use_json(extremes[1]);
    tiles["largest"] = tile_use_json(extremes[2]);
  }
  out["tiles"] = std::move(tiles);
  out["segments"] = {{"count", summary.segments},
                     {"memory_bytes", summary.segment_memory_bytes},
                     {"data_bytes", summary.segment_data_bytes}};
  out["inputs"] = bindings_json(summary.inputs, false);
  out["outputs"] = bindings_json(summary.outputs, true);
  out["weights"] = bindings_json(summary.weights, false);
  const HostExchange& exchange = package.host_exchange;
  ordered_json calls = ordered_json::array();
  for (const HostCall& call : exchange.calls) {
    calls.push_back({{"name", call.name},
                     {"command", call.command},
                     {"phases", call.phases},
                     {"invocations", call.invocations},
                     {"input_slices", call.inputs.size()},
                     {"input_batches", call.input_batch_ends.size()},
                     {"output_slices", call.outputs.size()},
                     {"output_batches", call.output_batch_ends.size()}});
  }
  out["host_exchange"] = {{"startup_mark", exchange.startup_mark},
                          {"command_page", exchange.command_page},
                          {"command_offset", exchange.command_offset},
                          {"pages", exchange.pages.size()},
                          {"page_bytes", summary.page_bytes ? ordered_json(*summary.page_bytes)
                                                            : ordered_json(nullptr)},
                          {"calls", std::move(calls)}};
  ordered_json entries = ordered_json::array();
  for (const EntryPoint& entry : package.entry_points) {
    entries.push_back({{"name", entry.name},
                       {"command", entry.command},
                       {"external_syncs", entry.external_syncs}});
  }
  out["entry_points"] = std::move(entries);
  out["device_config_writes"] = package.device_config_writes.size();
  ordered_json kinds;
  for (std::size_t kind = 0; kind < kStepKindNames.size(); ++kind) {
    kinds[std::string(kStepKindNames[kind])] = summary.steps_by_kind[kind];
  }
  out["profile_plan"] = {{"tiles", package.profile_tiles.size()},
                         {"steps", summary.profile_steps},
                         {"steps_by_kind", std::move(kinds)}};
  out["debug_symbols"] = package.debug_symbols.size();
  out["debug_regions"] = package.debug_regions.size();
  return out;
}

}  // namespace

Outcome<void> run_info(const InfoOptions& options) {
  auto package = load_package(options.package);
  if (!package) {
    return std::unexpected(package.error());
  }
  Summary summary = summarise(*package);
  std::string text = options.json ? render_json(*package, summary).dump(2) + "\n"
                                  : render_text(options.package, *package, summary);
  return write_file(options.output, text);
}

}  // namespace zorpkg
