// Application::profile_report: cycle counters of a profiled run's "profile.cycles" output paired
// with the planned steps, and every check that keeps the reading inside the output buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

constexpr std::uint64_t kClockHz = 1'500'000'000;
constexpr std::uint64_t kMax64 = 0xffffffffffffffff;
constexpr std::uint64_t k2Pow63 = std::uint64_t{1} << 63;
constexpr std::uint8_t kFill = 0xa5;  // the bytes of outputs other than "profile.cycles"

ProfileStep planned_step(std::uint32_t index) {
  return ProfileStep{
      .local_index = index,
      .phase = index,
      .epoch = 0,
      .operation = "operation." + std::to_string(index),
      .kind = index % 2 == 0 ? StepKind::Compute : StepKind::Exchange,
      .kernel = "kernel." + std::to_string(index),
  };
}

TileProfilePlan plan(std::uint32_t tile, std::uint32_t steps) {
  TileProfilePlan result{.physical_tile = tile, .steps = {}};
  for (std::uint32_t i = 0; i < steps; ++i) {
    result.steps.push_back(planned_step(i));
  }
  return result;
}

RegionSlice slice(std::uint32_t tile, std::uint64_t file_offset, std::uint64_t size) {
  return RegionSlice{
      .tile = tile, .tile_address = 0x4c100, .file_offset = file_offset, .size = size};
}

Binding output(std::string name, std::vector<RegionSlice> slices) {
  return Binding{.name = std::move(name), .dtype = "u8", .shape = {}, .slices = std::move(slices)};
}

// An output of the given extent, made of one slice.
Binding output_of_extent(std::string name, std::uint64_t extent) {
  return output(std::move(name), {slice(0, 0, extent)});
}

// The sample package with the given plans and the outputs `before`, then "profile.cycles" made
// of `slices`.
Application profiled(std::vector<TileProfilePlan> plans, std::vector<RegionSlice> slices,
                     std::vector<Binding> before = {}) {
  Application package = tests::sample();
  package.outputs = std::move(before);
  package.outputs.push_back(
      Binding{.name = "profile.cycles", .dtype = "u32", .shape = {}, .slices = std::move(slices)});
  package.profile_tiles = std::move(plans);
  return package;
}

void append_u32_le(Bytes& bytes, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

Bytes counters(std::initializer_list<std::uint32_t> values) {
  Bytes bytes;
  for (std::uint32_t value : values) {
    append_u32_le(bytes, value);
  }
  return bytes;
}

Bytes concat(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

using Cycles = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The (start, end) counter values of each sample of a tile.
Cycles cycles_of(const TileProfile& tile) {
  Cycles cycles;
  for (const CycleSample& sample : tile.samples) {
    cycles.emplace_back(sample.start_cycle, sample.end_cycle);
  }
  return cycles;
}

template <class T>
void expect_invalid(const Result<T>& result, const std::string& reason) {
  ASSERT_FALSE(result.has_value()) << "expected the error: " << reason;
  EXPECT_TRUE(result.error().is_invalid(reason)) << result.error();
}

TEST(ProfileReportConstruction, PairsEachStepWithTheNextCounterValue) {
  // Plans and slices name the tiles in different orders; the report follows the plans.
  const Application package = profiled({plan(9, 1), plan(3, 3)}, {slice(3, 0, 16), slice(9, 16, 8)},
                                       {output_of_extent("prefix", 8)});
  const Bytes buffer = concat(Bytes(8, kFill), counters({100, 150, 175, 400, /* tile 9 */ 7, 8}));

  const Result<ProfileReport> report = package.profile_report(buffer, kClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  const ProfileReport expected{
      .clock_hz = kClockHz,
      .tiles = {{.physical_tile = 9,
                 .samples = {{.step = planned_step(0), .start_cycle = 7, .end_cycle = 8}}},
                {.physical_tile = 3,
                 .samples = {{.step = planned_step(0), .start_cycle = 100, .end_cycle = 150},
                             {.step = planned_step(1), .start_cycle = 150, .end_cycle = 175},
                             {.step = planned_step(2), .start_cycle = 175, .end_cycle = 400}}}},
  };
  EXPECT_EQ(*report, expected);
}

TEST(ProfileReportConstruction, CounterValuesAreLittleEndianAndKeptAsTheyAre) {
  const Application package = profiled({plan(0, 5)}, {slice(0, 0, 24)});
  const Bytes buffer =
      concat({0x04, 0x03, 0x02, 0x01}, counters({0xfffffff0, 16, 0xffffffff, 0, 0}));

  const Result<ProfileReport> report = package.profile_report(buffer, kClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  ASSERT_EQ(report->tiles.size(), 1u);
  EXPECT_EQ(
      cycles_of(report->tiles[0]),
      (Cycles{
          {0x01020304, 0xfffffff0}, {0xfffffff0, 16}, {16, 0xffffffff}, {0xffffffff, 0}, {0, 0}}));
}

TEST(ProfileReportConstruction, CyclesOutputStartsAfterTheExtentsOfEarlierOutputs) {
  const struct {
    const char* label;
    std::vector<Binding> before;
    std::vector<Binding> after;
    std::size_t base;
  } cases[] = {
      {"first output", {}, {}, 0},
      {"one earlier output", {output_of_extent("prefix", 8)}, {}, 8},
      {"slices with a gap, out of order",
       {output("gappy", {slice(0, 12, 4), slice(1, 0, 4)})},
       {},
       16},
      {"an earlier output without slices",
       {output("empty", {}), output_of_extent("prefix", 4)},
       {},
       4},
      {"outputs after it do not count",
       {output_of_extent("prefix", 4)},
       {output_of_extent("later", 100), output("broken", {slice(0, kMax64, 1)})},
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Application package = profiled({plan(1, 1)}, {slice(1, 0, 8)}, c.before);
    package.outputs.insert(package.outputs.end(), c.after.begin(), c.after.end());
    const Bytes buffer = concat(Bytes(c.base, kFill), counters({0x11111111, 0x22222222}));

    const Result<ProfileReport> report = package.profile_report(buffer, kClockHz);
    ASSERT_TRUE(report.has_value()) << report.error();
    ASSERT_EQ(report->tiles.size(), 1u);
    EXPECT_EQ(cycles_of(report->tiles[0]), (Cycles{{0x11111111, 0x22222222}}));
  }
}

TEST(ProfileReportConstruction, WithoutPlansTheReportHasNoTiles) {
  // The slices are never consulted: this one would be out of range and of any size.
  const Application package = profiled({}, {slice(0, kMax64 - 2, 3)});
  for (const std::uint64_t clock : {std::uint64_t{0}, kClockHz, kMax64}) {
    SCOPED_TRACE(clock);
    const Result<ProfileReport> report = package.profile_report({}, clock);
    ASSERT_TRUE(report.has_value()) << report.error();
    EXPECT_EQ(*report, (ProfileReport{.clock_hz = clock, .tiles = {}}));
  }
}

TEST(ProfileReportConstruction, PlanWithoutStepsReadsOneClosingValue) {
  const Application package = profiled({plan(4, 0)}, {slice(4, 0, 4)});
  const Result<ProfileReport> report = package.profile_report(counters({123}), 0);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_EQ(*report,
            (ProfileReport{.clock_hz = 0, .tiles = {{.physical_tile = 4, .samples = {}}}}));
}

TEST(ProfileReportConstruction, SliceSizeMustHoldOneValuePerStepAndOneMore) {
  const struct {
    std::uint32_t tile;
    std::uint32_t steps;
    std::uint64_t size;
    const char* reason;
  } cases[] = {
      {5, 3, 12, "cycle profile slice for tile 5 has size 12, expected 16"},
      {5, 3, 20, "cycle profile slice for tile 5 has size 20, expected 16"},
      {0, 0, 0, "cycle profile slice for tile 0 has size 0, expected 4"},
      {0, 0, 8, "cycle profile slice for tile 0 has size 8, expected 4"},
      // The size is judged before the slice's place in the buffer.
      {0xffffffff, 1, kMax64,
       "cycle profile slice for tile 4294967295 has size 18446744073709551615, expected 8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const Application package = profiled({plan(c.tile, c.steps)}, {slice(c.tile, 0, c.size)});
    expect_invalid(package.profile_report(Bytes(64, 0), kClockHz), c.reason);
  }
}

TEST(ProfileReportConstruction, FirstFailingPlanEndsTheReport) {
  // Tile 1 has a good slice, tile 5 one of 12 bytes for 3 steps, tile 7 none.
  const std::vector<RegionSlice> slices = {slice(6, 0, 4), slice(1, 0, 8), slice(5, 8, 12),
                                           slice(8, 0, 4)};
  const struct {
    const char* label;
    std::vector<TileProfilePlan> plans;
    const char* reason;
  } cases[] = {
      {"no slice", {plan(7, 0)}, "cycle profile has no slice for tile 7"},
      {"no slice after a good plan",
       {plan(1, 1), plan(7, 0)},
       "cycle profile has no slice for tile 7"},
      {"no slice before a wrong size",
       {plan(7, 0), plan(5, 3)},
       "cycle profile has no slice for tile 7"},
      {"wrong size before no slice",
       {plan(1, 1), plan(5, 3), plan(7, 0)},
       "cycle profile slice for tile 5 has size 12, expected 16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Application package = profiled(c.plans, slices);
    expect_invalid(package.profile_report(Bytes(64, 0), kClockHz), c.reason);
  }
}

TEST(ProfileReportConstruction, SliceMustLieInsideTheOutput) {
  const struct {
    const char* label;
    std::uint64_t base;  // extent of the output before "profile.cycles"
    std::uint64_t file_offset;
    std::size_t buffer_size;
    std::optional<std::string> reason;  // none: the slice is read
  } cases[] = {
      {"ending at the end", 0, 8, 16, std::nullopt},
      {"ending at the end after an earlier output", 16, 0, 24, std::nullopt},
      {"one byte further", 0, 9, 16, "profile binding exceeds runtime output"},
      {"one byte further after an earlier output", 16, 1, 24,
       "profile binding exceeds runtime output"},
      {"buffer one byte short", 0, 8, 15, "profile binding exceeds runtime output"},
      {"empty buffer", 0, 0, 0, "profile binding exceeds runtime output"},
      {"start at 2^64 - 16", k2Pow63, k2Pow63 - 16, 16, "profile binding exceeds runtime output"},
      {"base and offset beyond 64 bits", k2Pow63, k2Pow63, 16, "profile output offset overflow"},
      {"end beyond 64 bits", 0, kMax64 - 3, 16, "profile output range overflow"},
      {"end beyond 64 bits after an earlier output", k2Pow63, k2Pow63 - 4, 16,
       "profile output range overflow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Binding> before;
    if (c.base != 0) {
      before.push_back(output_of_extent("prefix", c.base));
    }
    const Application package = profiled({plan(2, 1)}, {slice(2, c.file_offset, 8)}, before);
    // Fill bytes, then the two counter values at the very end.
    Bytes buffer(c.buffer_size >= 8 ? c.buffer_size - 8 : 0, kFill);
    buffer = concat(std::move(buffer), counters({41, 42}));
    buffer.resize(c.buffer_size);

    const Result<ProfileReport> report = package.profile_report(buffer, kClockHz);
    if (c.reason) {
      expect_invalid(report, *c.reason);
      continue;
    }
    ASSERT_TRUE(report.has_value()) << report.error();
    ASSERT_EQ(report->tiles.size(), 1u);
    EXPECT_EQ(cycles_of(report->tiles[0]), (Cycles{{41, 42}}));
  }
}

TEST(ProfileReportConstruction, LaterSliceOfATileIsTheOneRead) {
  const Bytes buffer = counters({1, 2, 30, 40});
  const struct {
    const char* label;
    std::vector<RegionSlice> slices;
    std::optional<std::string> reason;  // none: the values 30 and 40 are read
  } cases[] = {
      {"two good slices", {slice(2, 0, 8), slice(2, 8, 8)}, std::nullopt},
      {"a wrong earlier slice", {slice(2, 0, 12), slice(2, 8, 8)}, std::nullopt},
      {"an earlier slice out of range", {slice(2, 100, 8), slice(2, 8, 8)}, std::nullopt},
      {"a wrong later slice",
       {slice(2, 8, 8), slice(2, 0, 12)},
       "cycle profile slice for tile 2 has size 12, expected 8"},
      {"a later slice out of range",
       {slice(2, 8, 8), slice(2, 100, 8)},
       "profile binding exceeds runtime output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Application package = profiled({plan(2, 1)}, c.slices);
    const Result<ProfileReport> report = package.profile_report(buffer, kClockHz);
    if (c.reason) {
      expect_invalid(report, *c.reason);
      continue;
    }
    ASSERT_TRUE(report.has_value()) << report.error();
    ASSERT_EQ(report->tiles.size(), 1u);
    EXPECT_EQ(cycles_of(report->tiles[0]), (Cycles{{30, 40}}));
  }
}

TEST(ProfileReportConstruction, SlicesOfTilesWithoutAPlanAreIgnored) {
  const Application package = profiled(
      {plan(1, 1)}, {slice(9, kMax64, 3), slice(1, 0, 8), slice(10, 0, 0), slice(11, 4, 100)});
  const Result<ProfileReport> report = package.profile_report(counters({5, 6}), kClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  ASSERT_EQ(report->tiles.size(), 1u);
  EXPECT_EQ(report->tiles[0].physical_tile, 1u);
  EXPECT_EQ(cycles_of(report->tiles[0]), (Cycles{{5, 6}}));
}

TEST(ProfileReportConstruction, LookupFailuresAreReturnedUnchanged) {
  // Every case also has a plan without a slice, which is never reached.
  const struct {
    const char* label;
    std::vector<Binding> outputs;
    const char* reason;
  } cases[] = {
      {"no outputs", {}, "application has no profile.cycles output binding"},
      {"names that differ",
       {output("Profile.cycles", {}), output("profile.cycles ", {}), output("profile", {})},
       "application has no profile.cycles output binding"},
      {"earlier output whose extent overflows",
       {output_of_extent("prefix", 4), output("broken", {slice(0, kMax64 - 3, 4)}),
        output("profile.cycles", {})},
       "binding broken file range overflows"},
      {"earlier extents beyond 64 bits",
       {output_of_extent("a", k2Pow63), output_of_extent("b", k2Pow63),
        output("profile.cycles", {})},
       "output binding size overflow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Application package = tests::sample();
    package.outputs = c.outputs;
    package.inputs = {output("profile.cycles", {slice(3, 0, 4)})};
    package.weights = package.inputs;
    package.profile_tiles = {plan(3, 0)};
    expect_invalid(package.profile_report(counters({1}), kClockHz), c.reason);
  }
}

TEST(ProfileReportConstruction, PackageNeedNotBeValid) {
  Application package = Application::create(zor_target::Target::Zor21);
  package.outputs = {output("profile.cycles", {slice(0, 0, 8)})};
  package.profile_tiles = {plan(0, 1)};
  ASSERT_FALSE(package.validate().has_value());

  const Result<ProfileReport> report = package.profile_report(counters({3, 4}), kClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_EQ(
      *report,
      (ProfileReport{
          .clock_hz = kClockHz,
          .tiles = {{.physical_tile = 0,
                     .samples = {{.step = planned_step(0), .start_cycle = 3, .end_cycle = 4}}}}}));
}

}  // namespace
}  // namespace zor_package
