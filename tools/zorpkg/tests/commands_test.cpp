// Each subcommand of zorpkg run on real files: its success path, what it prints and its exit
// status, usage errors, and the rule that a failed command leaves no output behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tool.hpp"
#include "zor_package/tests.hpp"

namespace zorpkg::e2e {
namespace {

using namespace zor_package;
using nlohmann::json;

TEST(Help, ShowsExamplesAndTheWrappingRuleAndExitsZero) {
  ToolRun run = zorpkg({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Examples:"), std::string::npos);
  EXPECT_NE(run.out.find("zorpkg trace run.zprof -o run.trace.json.gz"), std::string::npos);
  EXPECT_NE(run.out.find("modulo 2^32"), std::string::npos);
  for (const char* command : {"report", "trace"}) {
    SCOPED_TRACE(command);
    ToolRun sub = zorpkg({command, "--help"});
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find("modulo 2^32"), std::string::npos);
    EXPECT_NE(sub.out.find("Example"), std::string::npos);
  }
}

TEST(Usage, MistakesOnTheCommandLineExitWithTwo) {
  TempDir dir;
  write_bytes(dir / "p.zpkg", package_bytes(tests::sample()));
  const std::vector<std::vector<std::string>> cases{
      {},
      {"frobnicate"},
      {"info"},
      {"info", dir / "p.zpkg", "--bogus"},
      {"validate"},
      {"image", dir / "p.zpkg", "-o", dir / "x.bin"},
      {"image", dir / "p.zpkg", "--tile", "0", "--all", "-o", dir / "x"},
      {"image", dir / "p.zpkg", "--tile", "-1", "-o", dir / "x.bin"},
      {"assemble", dir / "p.json"},
      {"profile", dir / "p.zpkg", dir / "p.run", "-o", dir / "r.zprof"},
      {"profile", dir / "p.zpkg", dir / "p.run", "--clock", "0", "-o", dir / "r.zprof"},
      {"profile", dir / "p.zpkg", dir / "p.run", "--clock", "1.5e9", "-o", dir / "r.zprof"},
      {"report", dir / "r.zprof", "--json", "--csv"},
      {"trace", dir / "r.zprof"},
      {"sample", "--profiled", "-o", "-"},
      {"sample", "-o", dir / "s.zpkg", "--run-output", dir / "s.run"},
      {"image", dir / "p.zpkg", "--all", "-o", "-"},
      {"report", dir / "r.zprof", "--top", "-1"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& arg : args) {
      line += arg + " ";
    }
    SCOPED_TRACE(line);
    ToolRun run = zorpkg(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.err.starts_with("zorpkg: error: ")) << run.err;
  }
  EXPECT_EQ(dir.files(), std::vector<std::string>{"p.zpkg"});
}

TEST(Errors, AreOneLineNamingTheFileAndExitWithOne) {
  TempDir dir;
  write_bytes(dir / "p.zpkg", package_bytes(tests::sample()));
  write_bytes(dir / "empty.zpkg", {});
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases{
      {{"info", dir / "missing.zpkg"},
       "zorpkg: error: " + (dir / "missing.zpkg") + ": cannot open: No such file or directory"},
      {{"image", dir / "p.zpkg", "--tile", "1", "-o", dir / "out.bin"},
       "zorpkg: error: " + (dir / "p.zpkg") + ": Invalid(\"unknown tile 1\")"},
      {{"profile", dir / "p.zpkg", dir / "p.zpkg", "--clock", "1", "-o", dir / "out.zprof"},
       "zorpkg: error: " + (dir / "p.zpkg") +
           ": Invalid(\"application has no profile.cycles output binding\")"},
      {{"info", "-o", dir / "out.txt", dir / "no-such-dir/p.zpkg"},
       "zorpkg: error: " + (dir / "no-such-dir/p.zpkg") +
           ": cannot open: No such file or directory"},
      {{"dump", dir / "p.zpkg", "-o", dir / "no-such-dir/out.json"},
       "zorpkg: error: " + (dir / "no-such-dir/out.json") +
           ": cannot create: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ToolRun run = zorpkg(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.line + "\n");
    EXPECT_EQ(run.out, "");
  }
  ToolRun empty = zorpkg({"info", dir / "empty.zpkg"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_TRUE(empty.err.starts_with("zorpkg: error: " + (dir / "empty.zpkg") + ": Capnp(\""))
      << empty.err;
  EXPECT_EQ(std::ranges::count(empty.err, '\n'), 1);
  // No output file, and no temporary file either.
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"empty.zpkg", "p.zpkg"}));
}

TEST(Sample, WritesTheEmbeddedSampleAndTheProfiledSampleWithItsRunOutput) {
  TempDir dir;
  ToolRun plain = zorpkg({"sample", "-o", dir / "s.zpkg"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(read_bytes(dir / "s.zpkg"), package_bytes(tests::sample()));

  ToolRun profiled = zorpkg({"sample", "--profiled", "-o", dir / "p.zpkg"});
  EXPECT_EQ(profiled.status, 0) << profiled.err;
  auto package = Application::read(read_bytes(dir / "p.zpkg"));
  ASSERT_TRUE(package.has_value()) << package.error();
  EXPECT_FALSE(package->profile_tiles.empty());
  auto report = package->profile_report(read_bytes(dir / "p.zpkg.run"), 1);
  ASSERT_TRUE(report.has_value()) << report.error();
  bool wrapped = false;
  for (const TileProfile& tile : report->tiles) {
    for (const CycleSample& sample : tile.samples) {
      wrapped = wrapped || sample.end_cycle < sample.start_cycle;
    }
  }
  EXPECT_TRUE(wrapped) << "the profiled sample shows a counter that wraps";

  ToolRun to_stdout = zorpkg({"sample", "--profiled", "-o", "-", "--run-output", dir / "o.run"});
  EXPECT_EQ(to_stdout.status, 0) << to_stdout.err;
  EXPECT_EQ(Bytes(to_stdout.out.begin(), to_stdout.out.end()), read_bytes(dir / "p.zpkg"));
  EXPECT_EQ(read_bytes(dir / "o.run"), read_bytes(dir / "p.zpkg.run"));
}

TEST(Info, SummarisesAPackageAsTextAndAsJson) {
  TempDir dir;
  write_bytes(dir / "rich.zpkg", package_bytes(rich_package()));
  ToolRun text = zorpkg({"info", dir / "rich.zpkg"});
  EXPECT_EQ(text.status, 0) << text.err;
  for (const char* expected :
       {"target          zor21", "compiler        zc 2.1.0-ünïcode ✓", "tiles           3",
        "smallest  tile 7: 0 bytes used (0.0% of the window)",
        "median    tile 0: 264 bytes used (0.0% of the window)",
        "largest   tile 4294967295: 638976 bytes used (100.0% of the window)",
        "segments        4, 639240 bytes in memory, 1009 bytes of data",
        "logits  bf16 [], 1 slice, extent 0 bytes, base 0",
        "host exchange   2 pages (more than 2^64 bytes), 2 calls",
        "profile plan    2 tiles, 4 steps: 1 Exchange, 1 Compute, "
        "1 Synchronization, 1 Idle"}) {
    EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;
  }

  ToolRun as_json = zorpkg({"info", "--json", "-"}, dir / "rich.zpkg");
  EXPECT_EQ(as_json.status, 0) << as_json.err;
  json info = json::parse(as_json.out);
  EXPECT_EQ(info["target"], "zor21");
  EXPECT_EQ(info["tiles"]["count"], 3);
  EXPECT_EQ(info["tiles"]["largest"]["physical_tile"], 0xffffffffU);
  EXPECT_EQ(info["segments"]["memory_bytes"], 639240);
  EXPECT_EQ(info["inputs"][0]["extent"], 0xffffffffffffffffULL);
  EXPECT_EQ(info["host_exchange"]["page_bytes"], nullptr) << "the page sizes add up beyond 64 bits";
}

TEST(Validate, PrintsOkForEachValidFile) {
  TempDir dir;
  write_bytes(dir / "a.zpkg", package_bytes(tests::sample()));
  write_bytes(dir / "b.zpkg", package_bytes(rich_package()));
  ToolRun run = zorpkg({"validate", dir / "a.zpkg", dir / "b.zpkg", "-"}, dir / "a.zpkg");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, (dir / "a.zpkg") + ": ok\n" + (dir / "b.zpkg") + ": ok\n-: ok\n");
  EXPECT_EQ(run.err, "");
}

TEST(Image, WritesOneTileOrEveryTileAndTellsTheLoadBase) {
  TempDir dir;
  Application package = tests::sample();
  package.tiles.push_back({.physical_tile = 12,
                           .segments = {{.address = 0x4c100, .memory_size = 4, .data = {0xaa}},
                                        {.address = 0x4c000, .memory_size = 2, .data = {1, 2}}}});
  package.tiles.push_back({.physical_tile = 3});
  write_bytes(dir / "p.zpkg", package_bytes(package));

  ToolRun one = zorpkg({"image", dir / "p.zpkg", "--tile", "0", "-o", dir / "tile0.bin"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, "tile 0: load base 0x4c000, 8 bytes -> " + (dir / "tile0.bin") + "\n");
  EXPECT_EQ(read_bytes(dir / "tile0.bin"), (Bytes{1, 2, 3, 4, 0, 0, 0, 0}));

  ToolRun piped = zorpkg({"image", "-", "--tile", "12", "-o", "-"}, dir / "p.zpkg");
  EXPECT_EQ(piped.status, 0) << piped.err;
  Bytes expected(0x104, 0);
  expected[0] = 1;
  expected[1] = 2;
  expected[0x100] = 0xaa;
  EXPECT_EQ(Bytes(piped.out.begin(), piped.out.end()), expected);
  EXPECT_EQ(piped.err, "tile 12: load base 0x4c000, 260 bytes -> -\n");

  ToolRun all = zorpkg({"image", dir / "p.zpkg", "--all", "-o", dir / "images"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, "tile 0: load base 0x4c000, 8 bytes -> " + (dir / "images/tile-0000.bin") +
                         "\ntile 12: load base 0x4c000, 260 bytes -> " +
                         (dir / "images/tile-0012.bin") +
                         "\ntile 3: no loadable segments, skipped\n");
  EXPECT_EQ(read_bytes(dir / "images/tile-0012.bin"), expected);
  EXPECT_EQ(read_bytes(dir / "images/tile-0000.bin"), read_bytes(dir / "tile0.bin"));

  ToolRun empty = zorpkg({"image", dir / "p.zpkg", "--tile", "3", "-o", dir / "tile3.bin"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "zorpkg: error: " + (dir / "p.zpkg") +
                           ": Invalid(\"tile has no loadable segments\")\n");
  EXPECT_FALSE(fs::exists(dir / "tile3.bin"));
}

TEST(Profile, WritesTheReportTheLibraryBuildsFromTheRunOutput) {
  TempDir dir;
  ASSERT_EQ(zorpkg({"sample", "--profiled", "-o", dir / "p.zpkg"}).status, 0);
  ToolRun run =
      zorpkg({"profile", dir / "p.zpkg", "-", "--clock", "1500000000", "-o", dir / "r.zprof"},
             dir / "p.zpkg.run");
  EXPECT_EQ(run.status, 0) << run.err;
  auto package = Application::read(read_bytes(dir / "p.zpkg"));
  ASSERT_TRUE(package.has_value());
  auto expected = package->profile_report(read_bytes(dir / "p.zpkg.run"), 1'500'000'000);
  ASSERT_TRUE(expected.has_value());
  auto written = ProfileReport::read(read_bytes(dir / "r.zprof"));
  ASSERT_TRUE(written.has_value()) << written.error();
  EXPECT_EQ(*written, *expected);

  // A run output one byte short names the run output, and writes nothing.
  Bytes short_run = read_bytes(dir / "p.zpkg.run");
  short_run.pop_back();
  write_bytes(dir / "short.run", short_run);
  ToolRun shorter = zorpkg(
      {"profile", dir / "p.zpkg", dir / "short.run", "--clock", "1", "-o", dir / "short.zprof"});
  EXPECT_EQ(shorter.status, 1);
  EXPECT_EQ(shorter.err, "zorpkg: error: " + (dir / "short.run") +
                             ": Invalid(\"profile binding exceeds runtime output\")\n");
  EXPECT_FALSE(fs::exists(dir / "short.zprof"));
}

}  // namespace
}  // namespace zorpkg::e2e
