// The benchmark packages: valid, shaped as documented, and the same on every run and machine.
#include "workload.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>

namespace zor_bench {
namespace {

using zor_package::Application;
using zor_package::Binding;
using zor_package::Segment;
using zor_package::TileImage;

constexpr std::uint32_t kMemoryStart = 0x4c000;
constexpr std::uint32_t kMemorySize = 0x9c000;

// FNV-1a over every segment's data, in package order.
std::uint64_t data_fingerprint(const Application& package) {
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const TileImage& tile : package.tiles) {
    for (const Segment& segment : tile.segments) {
      for (const std::uint8_t byte : segment.data) {
        hash = (hash ^ byte) * 0x100000001b3;
      }
    }
  }
  return hash;
}

TEST(WorkloadTest, SmallScalesAreValidAndCarryAProfiledRun) {
  for (int scale = 0; scale <= 1; ++scale) {
    SCOPED_TRACE(scale);
    const Workload& workload = cached_workload(scale);
    EXPECT_TRUE(workload.package.validate().has_value());
    EXPECT_EQ(workload.report.tiles.size(), workload.package.profile_tiles.size());
    EXPECT_EQ(Application::read(workload.package_bytes), workload.package);
  }
}

TEST(WorkloadTest, ScaleZeroIsTheSamplePackageWithOneProfiledStep) {
  const Workload& workload = cached_workload(0);
  ASSERT_EQ(workload.package.tiles.size(), 1U);
  EXPECT_EQ(workload.package.tiles[0].segments[0].data, (zor_package::Bytes{1, 2, 3, 4}));
  ASSERT_EQ(workload.package.outputs.size(), 1U);
  EXPECT_EQ(workload.package.outputs[0].name, "profile.cycles");
  ASSERT_EQ(workload.report.tiles.size(), 1U);
  EXPECT_EQ(workload.report.tiles[0].samples.size(), 1U);
  EXPECT_EQ(workload.run_output.size(), 8U);
  EXPECT_EQ(workload.image_bytes, 8U);
}

TEST(WorkloadTest, ScaleOneIsASixteenthOfAProcessor) {
  const Application& package = cached_workload(1).package;
  ASSERT_EQ(package.tiles.size(), 92U);
  for (const TileImage& tile : package.tiles) {
    SCOPED_TRACE(tile.physical_tile);
    EXPECT_GE(tile.segments.size(), 3U);
    EXPECT_LE(tile.segments.size(), 8U);
    const std::uint64_t used =
        std::accumulate(tile.segments.begin(), tile.segments.end(), std::uint64_t{0},
                        [](std::uint64_t sum, const Segment& s) { return sum + s.memory_size; });
    EXPECT_GE(used * 100, std::uint64_t{kMemorySize} * 60 - 1600);
    EXPECT_LE(used * 100, std::uint64_t{kMemorySize} * 95);
    for (const Segment& segment : tile.segments) {
      EXPECT_GE(segment.address, kMemoryStart);
      EXPECT_LE(segment.data.size(), segment.memory_size);
    }
  }
  EXPECT_EQ(package.inputs.size() + package.outputs.size() + package.weights.size(), 200U);
  for (const auto* bindings : {&package.inputs, &package.outputs, &package.weights}) {
    for (const Binding& binding : *bindings) {
      EXPECT_EQ(binding.slices.size(), 92U) << binding.name;
    }
  }
  EXPECT_EQ(package.outputs.back().name, "profile.cycles");
  EXPECT_EQ(package.host_exchange.pages.size(), 4U);
  EXPECT_EQ(package.host_exchange.calls.size(), 16U);
  ASSERT_EQ(package.profile_tiles.size(), 92U);
  for (const auto& plan : package.profile_tiles) {
    EXPECT_EQ(plan.steps.size(), 64U);
  }
}

TEST(WorkloadTest, GenerationIsDeterministic) {
  const Workload& cached = cached_workload(1);
  EXPECT_EQ(generate_package(1), cached.package);
  EXPECT_EQ(generate_run_output(cached.package, 1), generate_run_output(cached.package, 1));
  // Pinned values: a change here changes the benchmark packages, so results before and after
  // it are not comparable.
  std::uint64_t data_bytes = 0;
  for (const TileImage& tile : cached.package.tiles) {
    for (const Segment& segment : tile.segments) {
      data_bytes += segment.data.size();
    }
  }
  EXPECT_EQ(data_bytes, 31'980'480U);
  EXPECT_EQ(cached.image_bytes, 54'914'688U);
  EXPECT_EQ(data_fingerprint(cached.package), 8591026544047141059U);
}

}  // namespace
}  // namespace zor_bench
