// zorpkg report: a cycle profile report summarised as tables for people, or as JSON or CSV.
#include <algorithm>
#include <charconv>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_io.hpp"
#include "loading.hpp"
#include "report_summary.hpp"

namespace zorpkg {

using nlohmann::ordered_json;

namespace {

constexpr std::string_view kDurationRule = "durations are counter differences modulo 2^32";

// The shortest text that reads back as the same double.
std::string number(double value) {
  std::array<char, 32> buffer{};
  auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return error == std::errc{} ? std::string(buffer.data(), end) : std::string("0");
}

std::string fixed(double value, int decimals) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(decimals) << value;
  return out.str();
}

std::string percent(double share) { return fixed(100.0 * share, 1) + "%"; }

std::string tile_name(std::uint32_t physical_tile, std::size_t width) {
  std::string digits = std::to_string(physical_tile);
  return "tile " + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

std::size_t tile_number_width(const ReportSummary& summary) {
  std::size_t width = 4;
  for (const TileSummary& tile : summary.tiles) {
    width = std::max(width, std::to_string(tile.physical_tile).size());
  }
  return width;
}

std::vector<NamedStats> top(const std::vector<NamedStats>& ranked, std::size_t count) {
  if (count == 0 || count >= ranked.size()) {
    return ranked;
  }
  return {ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(count)};
}

// --- Text --------------------------------------------------------------------------------------

// Columns padded to their widest cell: the first left-aligned, the others right-aligned.
class Table {
 public:
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  void render(std::ostringstream& out) const {
    std::vector<std::size_t> widths;
    for (const auto& row : rows_) {
      widths.resize(std::max(widths.size(), row.size()));
      for (std::size_t i = 0; i < row.size(); ++i) {
        widths[i] = std::max(widths[i], row[i].size());
      }
    }
    for (const auto& row : rows_) {
      std::string text;
      for (std::size_t i = 0; i < row.size(); ++i) {
        std::string pad(widths[i] - row[i].size(), ' ');
        text += i == 0 ? row[i] + pad : "  " + pad + row[i];
      }
      out << text << '\n';
    }
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

// Cycles and their share, the share padded to the width of "100.0%" so that shares line up.
std::string kind_cell(const DurationStats& stats) {
  std::string share = percent(stats.share);
  return std::to_string(stats.total) +
         std::string(7 - std::min<std::size_t>(share.size(), 6), ' ') + share;
}

void named_table(std::ostringstream& out, std::string_view what,
                 const std::vector<NamedStats>& ranked, std::size_t count) {
  auto shown = top(ranked, count);
  out << '\n'
      << (shown.size() == ranked.size()
              ? "all " + std::to_string(ranked.size())
              : "top " + std::to_string(shown.size()) + " of " + std::to_string(ranked.size()))
      << ' ' << what << "s by total cycles\n";
  Table table;
  table.add({std::string(what), "count", "total", "mean", "median", "min", "max", "share"});
  for (const NamedStats& item : shown) {
    const DurationStats& s = item.stats;
    table.add({item.name.empty() ? "(unnamed)" : item.name, std::to_string(s.count),
               std::to_string(s.total), fixed(s.mean, 1), fixed(s.median, 1), std::to_string(s.min),
               std::to_string(s.max), percent(s.share)});
  }
  table.render(out);
}

std::string render_text(const std::string& path, const ReportSummary& summary, std::size_t count) {
  std::ostringstream out;
  out << "report   " << path << '\n';
  out << "clock    "
      << (summary.clock_hz == 0 ? std::string("unknown (0 Hz)")
                                : std::to_string(summary.clock_hz) + " Hz")
      << '\n';
  out << "samples  " << summary.samples << " on " << summary.tiles.size()
      << (summary.tiles.size() == 1 ? " tile, " : " tiles, ") << summary.total << " cycles";
  if (summary.clock_hz != 0) {
    out << " ("
        << fixed(1e6 * static_cast<double>(summary.total) / static_cast<double>(summary.clock_hz),
                 3)
        << " us of tile time)";
  }
  out << "\n" << kDurationRule << "\n\n";

  out << "cycles by step kind\n";
  Table kinds;
  std::vector<std::string> header{"tile", "samples", "total"};
  for (std::string_view kind : kStepKindNames) {
    header.emplace_back(kind);
  }
  kinds.add(header);
  std::vector<std::string> all{"all", std::to_string(summary.samples),
                               std::to_string(summary.total)};
  for (const DurationStats& stats : summary.by_kind) {
    all.push_back(kind_cell(stats));
  }
  kinds.add(all);
  std::size_t width = tile_number_width(summary);
  for (const TileSummary& tile : summary.tiles) {
    std::vector<std::string> row{tile_name(tile.physical_tile, width), std::to_string(tile.samples),
                                 std::to_string(tile.total)};
    for (const DurationStats& stats : tile.by_kind) {
      row.push_back(kind_cell(stats));
    }
    kinds.add(row);
  }
  kinds.render(out);
  named_table(out, "kernel", summary.kernels, count);
  named_table(out, "operation", summary.operations, count);
  return out.str();
}

// --- JSON --------------------------------------------------------------------------------------

ordered_json stats_json(const DurationStats& s) {
  return ordered_json{{"count", s.count},      {"total_cycles", s.total},
                      {"mean_cycles", s.mean}, {"median_cycles", s.median},
                      {"min_cycles", s.min},   {"max_cycles", s.max},
                      {"share", s.share}};
}

ordered_json kinds_json(const std::array<DurationStats, 4>& by_kind) {
  ordered_json out = ordered_json::object();
  for (std::size_t kind = 0; kind < by_kind.size(); ++kind) {
    out[std::string(kStepKindNames[kind])] = stats_json(by_kind[kind]);
  }
  return out;
}

ordered_json named_json(const std::vector<NamedStats>& ranked, std::size_t count) {
  ordered_json out = ordered_json::array();
  for (const NamedStats& item : top(ranked, count)) {
    ordered_json entry{{"name", item.name}};
    entry.update(stats_json(item.stats));
    out.push_back(std::move(entry));
  }
  return out;
}

std::string render_json(const ReportSummary& summary, std::size_t count) {
  ordered_json out;
  out["clock_hz"] = summary.clock_hz;
  out["samples"] = summary.samples;
  out["total_cycles"] = summary.total;
  out["durations"] = "end_cycle - start_cycle modulo 2^32";
  out["by_kind"] = kinds_json(summary.by_kind);
  ordered_json tiles = ordered_json::array();
  for (const TileSummary& tile : summary.tiles) {
    tiles.push_back({{"physical_tile", tile.physical_tile},
                     {"samples", tile.samples},
                     {"total_cycles", tile.total},
                     {"by_kind", kinds_json(tile.by_kind)}});
  }
  out["tiles"] = std::move(tiles);
  out["kernels"] = named_json(summary.kernels, count);
  out["operations"] = named_json(summary.operations, count);
  return out.dump(2) + "\n";
}

// --- CSV ---------------------------------------------------------------------------------------

// A field quoted as RFC 4180 asks when it holds a comma, a quote or a line break.
std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  }
  return quoted + "\"";
}

void csv_row(std::ostringstream& out, std::string_view group, const std::string& tile,
             std::string_view name, const DurationStats& s) {
  out << group << ',' << tile << ',' << csv_field(name) << ',' << s.count << ',' << s.total << ','
      << number(s.mean) << ',' << number(s.median) << ',' << s.min << ',' << s.max << ','
      << number(s.share) << "\n";
}

// One table for scripts: a row per step kind over all tiles, per step kind of each tile, per
// kernel and per operation, all with the same statistics.
std::string render_csv(const ReportSummary& summary, std::size_t count) {
  std::ostringstream out;
  out << "group,tile,name,count,total_cycles,mean_cycles,median_cycles,min_cycles,max_cycles,"
         "share\n";
  for (std::size_t kind = 0; kind < summary.by_kind.size(); ++kind) {
    csv_row(out, "kind", "", kStepKindNames[kind], summary.by_kind[kind]);
  }
  for (const TileSummary& tile : summary.tiles) {
    for (std::size_t kind = 0; kind < tile.by_kind.size(); ++kind) {
      csv_row(out, "tile", std::to_string(tile.physical_tile), kStepKindNames[kind],
              tile.by_kind[kind]);
    }
  }
  for (const NamedStats& item : top(summary.kernels, count)) {
    csv_row(out, "kernel", "", item.name, item.stats);
  }
  for (const NamedStats& item : top(summary.operations, count)) {
    csv_row(out, "operation", "", item.name, item.stats);
  }
  return out.str();
}

}  // namespace

Outcome<void> run_report(const ReportOptions& options) {
  auto report = load_report(options.report);
  if (!report) {
    return std::unexpected(report.error());
  }
  ReportSummary summary = summarise_report(*report);
  switch (options.format) {
    case ReportFormat::Json:
      return write_file(options.output, render_json(summary, options.top));
    case ReportFormat::Csv:
      return write_file(options.output, render_csv(summary, options.top));
    case ReportFormat::Text:
      break;
  }
  return write_file(options.output, render_text(options.report, summary, options.top));
}

}  // namespace zorpkg
