// report and trace on a small report whose figures are worked out by hand, one of its counters
// wrapping, and on the profiled sample: the figures, the JSON and CSV forms, and a trace that a
// JSON parser accepts, with its rows, times and nesting.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tool.hpp"

namespace zorpkg::e2e {
namespace {

using namespace zor_package;
using nlohmann::json;

CycleSample sample(StepKind kind, const char* kernel, const char* operation, std::uint32_t start,
                   std::uint32_t end) {
  return {.step = {.operation = operation, .kind = kind, .kernel = kernel},
          .start_cycle = start,
          .end_cycle = end};
}

// Tile 5: k1 (Compute, 100 to 400: 300 cycles), then k2 (Exchange, 400 to 450: 50 cycles) with
// three activities, two of them overlapping.
// Tile 2: k1 (Compute, 0xffffff00 to 0x100: the counter wraps, 0x200 = 512 cycles), then k3
// (Idle, 0x100 to 0x164: 100 cycles).
// At 1000 Hz a cycle lasts 1000 microseconds.
ProfileReport hand_report() {
  ProfileReport report{.clock_hz = 1000};
  TileProfile tile5{.physical_tile = 5};
  tile5.samples.push_back(sample(StepKind::Compute, "k1", "a", 100, 400));
  tile5.samples.push_back(sample(StepKind::Exchange, "k2", "b", 400, 450));
  tile5.samples.back().step.local_index = 1;
  tile5.samples.back().step.exchange_activities = {
      {.fanout = 2,
       .paired = true,
       .kind = ExchangeActivityKind::Send,
       .start_cycle = 5,
       .end_cycle = 20},
      {.fanout = 2,
       .paired = true,
       .kind = ExchangeActivityKind::Receive,
       .start_cycle = 10,
       .end_cycle = 30},
      {.fanout = 1,
       .paired = false,
       .kind = ExchangeActivityKind::PartnerBusy,
       .start_cycle = 30,
       .end_cycle = 40},
  };
  tile5.samples.back().step.metadata = {{"reason", "LayoutRearrangement"}};
  TileProfile tile2{.physical_tile = 2};
  tile2.samples.push_back(sample(StepKind::Compute, "k1", "a", 0xffffff00, 0x100));
  tile2.samples.push_back(sample(StepKind::Idle, "k3", "b", 0x100, 0x164));
  report.tiles = {tile5, tile2};
  return report;
}

double share(double part, double whole) { return part / whole; }

TEST(Report, FiguresOfTheHandComputedReport) {
  TempDir dir;
  write_bytes(dir / "r.zprof", report_bytes(hand_report()));
  ToolRun run = zorpkg({"report", dir / "r.zprof", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  json report = json::parse(run.out);
  EXPECT_EQ(report["clock_hz"], 1000);
  EXPECT_EQ(report["samples"], 4);
  EXPECT_EQ(report["total_cycles"], 962);

  const json& tiles = report["tiles"];
  ASSERT_EQ(tiles.size(), 2U);
  EXPECT_EQ(tiles[0]["physical_tile"], 2);  // in tile order
  EXPECT_EQ(tiles[0]["total_cycles"], 612);
  EXPECT_EQ(tiles[0]["by_kind"]["Compute"]["total_cycles"], 512);
  EXPECT_DOUBLE_EQ(tiles[0]["by_kind"]["Compute"]["share"].get<double>(), share(512, 612));
  EXPECT_EQ(tiles[0]["by_kind"]["Idle"]["total_cycles"], 100);
  EXPECT_EQ(tiles[0]["by_kind"]["Exchange"]["count"], 0);
  EXPECT_EQ(tiles[1]["physical_tile"], 5);
  EXPECT_EQ(tiles[1]["total_cycles"], 350);
  EXPECT_EQ(tiles[1]["by_kind"]["Exchange"]["total_cycles"], 50);
  EXPECT_DOUBLE_EQ(tiles[1]["by_kind"]["Compute"]["share"].get<double>(), share(300, 350));

  const json& kernels = report["kernels"];
  ASSERT_EQ(kernels.size(), 3U);
  EXPECT_EQ(kernels[0], json({{"name", "k1"},
                              {"count", 2},
                              {"total_cycles", 812},
                              {"mean_cycles", 406.0},
                              {"median_cycles", 406.0},
                              {"min_cycles", 300},
                              {"max_cycles", 512},
                              {"share", share(812, 962)}}));
  EXPECT_EQ(kernels[1]["name"], "k3");
  EXPECT_EQ(kernels[2]["name"], "k2");
  const json& operations = report["operations"];
  EXPECT_EQ(operations[1], json({{"name", "b"},
                                 {"count", 2},
                                 {"total_cycles", 150},
                                 {"mean_cycles", 75.0},
                                 {"median_cycles", 75.0},
                                 {"min_cycles", 50},
                                 {"max_cycles", 100},
                                 {"share", share(150, 962)}}));

  ToolRun top = zorpkg({"report", dir / "r.zprof", "--json", "--top", "1"});
  EXPECT_EQ(json::parse(top.out)["kernels"].size(), 1U);
}

TEST(Report, TableForPeopleAndCsvForScripts) {
  TempDir dir;
  write_bytes(dir / "r.zprof", report_bytes(hand_report()));
  ToolRun text = zorpkg({"report", dir / "r.zprof", "--top", "2"});
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* expected : {"samples  4 on 2 tiles, 962 cycles (962000.000 us of tile time)",
                               "durations are counter differences modulo 2^32", "tile 0002",
                               "tile 0005", "top 2 of 3 kernels by total cycles", "k1", "406.0"}) {
    EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;
  }

  ToolRun csv = zorpkg({"report", "-", "--csv", "-o", dir / "r.csv"}, dir / "r.zprof");
  ASSERT_EQ(csv.status, 0) << csv.err;
  std::string table = read_text(dir / "r.csv");
  EXPECT_TRUE(table.starts_with(
      "group,tile,name,count,total_cycles,mean_cycles,median_cycles,min_cycles,max_cycles,share\n"
      "kind,,Exchange,1,50,50,50,50,50,"))
      << table;
  EXPECT_NE(table.find("\ntile,2,Compute,1,512,512,512,512,512,"), std::string::npos) << table;
  EXPECT_NE(table.find("\nkernel,,k1,2,812,406,406,300,512,"), std::string::npos) << table;
  EXPECT_NE(table.find("\noperation,,b,2,150,75,75,50,100,"), std::string::npos) << table;
  EXPECT_EQ(std::ranges::count(table, '\n'), 1 + 4 + 2 * 4 + 3 + 2);
}

TEST(Report, RefusesAFileOfAnUnsupportedVersion) {
  TempDir dir;
  write_bytes(dir / "v0.zprof", capnp_encode("profile", "Profile", "(clockHz = 1000)"));
  ToolRun run = zorpkg({"report", dir / "v0.zprof"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "zorpkg: error: " + (dir / "v0.zprof") +
                         ": Invalid(\"unsupported profile schema version 0\")\n");
}

// A complete event of a trace, its times in whole nanoseconds.
struct Event {
  std::string name;
  std::string category;
  std::int64_t start = 0;
  std::int64_t end = 0;
  json args;
};

std::int64_t nanoseconds(const json& microseconds) {
  return std::llround(microseconds.get<double>() * 1000.0);
}

// The complete events of each row, by row name, in the order of the file.
std::map<std::string, std::vector<Event>> rows_of(const json& trace) {
  std::map<std::pair<int, int>, std::string> names;
  for (const json& event : trace["traceEvents"]) {
    if (event["ph"] == "M" && event["name"] == "thread_name") {
      names[{event["pid"], event["tid"]}] = event["args"]["name"];
    }
  }
  std::map<std::string, std::vector<Event>> rows;
  for (const json& event : trace["traceEvents"]) {
    if (event["ph"] != "X") {
      continue;
    }
    auto name = names.find({event["pid"], event["tid"]});
    EXPECT_NE(name, names.end()) << "an event on a row without a name";
    std::int64_t start = nanoseconds(event["ts"]);
    rows[name->second].push_back(
        {event["name"], event["cat"], start, start + nanoseconds(event["dur"]), event["args"]});
  }
  return rows;
}

// True when the events of the row, taken by start, either follow one another or lie inside one
// another.
::testing::AssertionResult nests(std::vector<Event> events) {
  std::ranges::stable_sort(events, [](const Event& a, const Event& b) {
    return a.start != b.start ? a.start < b.start : a.end > b.end;
  });
  std::vector<std::int64_t> open_ends;
  for (const Event& event : events) {
    while (!open_ends.empty() && open_ends.back() <= event.start) {
      open_ends.pop_back();
    }
    if (!open_ends.empty() && event.end > open_ends.back()) {
      return ::testing::AssertionFailure()
             << event.name << " at " << event.start << " overlaps an event that ends at "
             << open_ends.back();
    }
    open_ends.push_back(event.end);
  }
  return ::testing::AssertionSuccess();
}

TEST(Trace, RowsTimesAndArgumentsOfTheHandComputedReport) {
  TempDir dir;
  write_bytes(dir / "r.zprof", report_bytes(hand_report()));
  ToolRun run = zorpkg({"trace", dir / "r.zprof", "-o", dir / "r.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  json trace = json::parse(read_text(dir / "r.json"));
  auto rows = rows_of(trace);

  // Tile 2 comes first and sets the timeline: its counter starts 256 cycles below the wrap, so
  // tile 5's first value, 100, lies 356 cycles later. A cycle is 1 ms.
  std::vector<std::pair<std::string, std::vector<std::pair<std::int64_t, std::int64_t>>>> expected{
      {"tile 0002", {{0, 512'000'000}, {512'000'000, 612'000'000}}},
      {"tile 0005", {{356'000'000, 656'000'000}, {656'000'000, 706'000'000}}},
      {"tile 0005 exchange", {{661'000'000, 676'000'000}, {686'000'000, 696'000'000}}},
      {"tile 0005 exchange 2", {{666'000'000, 686'000'000}}},
  };
  ASSERT_EQ(rows.size(), expected.size());
  for (const auto& [row, times] : expected) {
    SCOPED_TRACE(row);
    ASSERT_EQ(rows[row].size(), times.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
      EXPECT_EQ(rows[row][i].start, times[i].first);
      EXPECT_EQ(rows[row][i].end, times[i].second);
    }
    EXPECT_TRUE(nests(rows[row]));
  }
  const Event& wrapped = rows["tile 0002"][0];
  EXPECT_EQ(wrapped.name, "k1");
  EXPECT_EQ(wrapped.args["start_cycle"], 0xffffff00U);
  EXPECT_EQ(wrapped.args["end_cycle"], 0x100);
  EXPECT_EQ(wrapped.args["cycles"], 512);
  EXPECT_EQ(wrapped.args["operation"], "a");
  const Event& exchange = rows["tile 0005"][1];
  EXPECT_EQ(exchange.args["metadata"], json({{"reason", "LayoutRearrangement"}}));
  EXPECT_EQ(rows["tile 0005 exchange 2"][0].name, "Receive");
  EXPECT_EQ(rows["tile 0005 exchange"][1].name, "PartnerBusy");
  EXPECT_EQ(rows["tile 0005"][0].category, "Compute");
  EXPECT_EQ(rows["tile 0005"][1].category, "Exchange");
  EXPECT_EQ(rows["tile 0005 exchange"][0].category, "exchange");
}

TEST(Trace, TheProfiledSampleGivesNestedRowsCompressedOrOnStandardOutput) {
  TempDir dir;
  ASSERT_EQ(zorpkg({"sample", "--profiled", "-o", dir / "p.zpkg"}).status, 0);
  ASSERT_EQ(zorpkg({"profile", dir / "p.zpkg", dir / "p.zpkg.run", "--clock", "1500000000", "-o",
                    dir / "r.zprof"})
                .status,
            0);
  ToolRun plain = zorpkg({"trace", dir / "r.zprof", "-o", "-"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  json trace = json::parse(plain.out);
  auto rows = rows_of(trace);
  // For each of 4 tiles a row of samples and two of activities, since its first step sends and
  // receives at once.
  EXPECT_EQ(rows.size(), 12U);
  std::int64_t earliest = INT64_MAX;
  for (const auto& [name, events] : rows) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(nests(events));
    for (const Event& event : events) {
      earliest = std::min(earliest, event.start);
    }
  }
  EXPECT_EQ(earliest, 0);

  ToolRun compressed = zorpkg({"trace", dir / "r.zprof", "-o", dir / "r.json.gz"});
  ASSERT_EQ(compressed.status, 0) << compressed.err;
  gzFile file = gzopen((dir / "r.json.gz").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::string text;
  std::array<char, 4096> buffer{};
  for (int count; (count = gzread(file, buffer.data(), buffer.size())) > 0;) {
    text.append(buffer.data(), static_cast<std::size_t>(count));
  }
  gzclose(file);
  EXPECT_EQ(text, plain.out);
  EXPECT_LT(read_bytes(dir / "r.json.gz").size(), plain.out.size());
}

TEST(Trace, NeedsAClockRate) {
  TempDir dir;
  ProfileReport report = hand_report();
  report.clock_hz = 0;
  write_bytes(dir / "r.zprof", report_bytes(report));
  ToolRun refused = zorpkg({"trace", dir / "r.zprof", "-o", dir / "r.json"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "zorpkg: error: " + (dir / "r.zprof") +
                             ": the report has no clock rate (0 Hz); give one with --clock HZ\n");
  EXPECT_FALSE(fs::exists(dir / "r.json"));

  ToolRun given = zorpkg({"trace", dir / "r.zprof", "--clock", "2000", "-o", dir / "r.json"});
  ASSERT_EQ(given.status, 0) << given.err;
  auto rows = rows_of(json::parse(read_text(dir / "r.json")));
  EXPECT_EQ(rows["tile 0002"][0].end, 256'000'000);  // 512 cycles at 2 kHz
}

}  // namespace
}  // namespace zorpkg::e2e
