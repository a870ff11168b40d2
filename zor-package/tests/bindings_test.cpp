// Binding::byte_len and Application::output_binding: extents measured from the slices alone, and
// the base of each output in a run's output buffer.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

constexpr std::uint64_t kMax64 = 0xffffffffffffffff;
constexpr std::uint64_t k2Pow63 = std::uint64_t{1} << 63;

template <class T>
void expect_invalid(const Result<T>& result, std::string_view reason) {
  ASSERT_FALSE(result.has_value()) << "expected the error: " << reason;
  EXPECT_EQ(result.error().kind(), ErrorKind::Invalid);
  EXPECT_EQ(result.error().reason(), reason);
}

RegionSlice at_file(std::uint64_t file_offset, std::uint64_t size) {
  return RegionSlice{.tile = 0, .tile_address = 0x4c000, .file_offset = file_offset, .size = size};
}

Binding binding(std::string name, std::vector<RegionSlice> slices) {
  return Binding{
      .name = std::move(name), .dtype = "u8", .shape = {16}, .slices = std::move(slices)};
}

// "values" with three slices of 4 bytes at file offsets 12, 0 and 12: extent 16.
Binding values() { return binding("values", {at_file(12, 4), at_file(0, 4), at_file(12, 4)}); }

TEST(BindingByteLenTest, ExtentIsTheFurthestSliceEnd) {
  struct Case {
    const char* what;
    std::vector<RegionSlice> slices;
    std::uint64_t extent;
  };
  const Case kCases[] = {
      {"no slices", {}, 0},
      {"repeated and out-of-order offsets", {at_file(12, 4), at_file(0, 4), at_file(12, 4)}, 16},
      {"gap before the only slice", {at_file(100, 4)}, 104},
      {"slice of size 0 reaching furthest", {at_file(0, 4), at_file(100, 0)}, 100},
      {"earlier slice reaching further", {at_file(0, 100), at_file(10, 5)}, 100},
      {"end at 2^64 - 1", {at_file(kMax64 - 4, 4), at_file(0, 8)}, kMax64},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const Result<std::uint64_t> extent = binding("values", c.slices).byte_len();
    ASSERT_TRUE(extent.has_value()) << extent.error();
    EXPECT_EQ(*extent, c.extent);
  }
}

TEST(BindingByteLenTest, AnySliceEndingPast64BitsFails) {
  struct Case {
    const char* what;
    std::vector<RegionSlice> slices;
  };
  const Case kCases[] = {
      {"only slice at offset 2^64 - 1", {at_file(kMax64, 4)}},
      {"end exactly 2^64", {at_file(kMax64 - 3, 4)}},
      {"size 2^64 - 1 after offset 1", {at_file(1, kMax64)}},
      {"later slice overflowing while an earlier one reaches further",
       {at_file(kMax64 - 4, 4), at_file(kMax64, 2)}},
      {"overflowing slice followed by valid ones", {at_file(kMax64, 4), at_file(0, 4)}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    expect_invalid(binding("values", c.slices).byte_len(), "binding values file range overflows");
  }
  expect_invalid(binding("w/Ü 1", {at_file(kMax64, 1)}).byte_len(),
                 "binding w/Ü 1 file range overflows");
}

TEST(OutputBindingTest, BaseIsTheSumOfTheExtentsBeforeIt) {
  Application application = tests::sample();
  // Inputs and weights have no place in the output buffer.
  application.inputs = {binding("input", {at_file(0, 1000)})};
  application.weights = {binding("weight", {at_file(0, 1000)})};
  application.outputs = {values(), binding("gap", {at_file(100, 4)}), binding("empty", {}),
                         binding("last", {at_file(0, 1)})};

  struct Case {
    std::string_view name;
    std::size_t index;
    std::uint64_t base;
  };
  constexpr Case kCases[] = {{"values", 0, 0}, {"gap", 1, 16}, {"empty", 2, 120}, {"last", 3, 120}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Result<OutputBinding> found = application.output_binding(c.name);
    ASSERT_TRUE(found.has_value()) << found.error();
    EXPECT_EQ(found->binding, &application.outputs[c.index]);
    EXPECT_EQ(found->base, c.base);
  }
}

TEST(OutputBindingTest, NameWithoutOutputFails) {
  Application application = tests::sample();
  expect_invalid(application.output_binding("profile.cycles"),
                 "application has no profile.cycles output binding");

  application.inputs = {binding("input", {})};
  application.weights = {binding("weight", {})};
  application.outputs = {values()};
  for (std::string_view name : {"absent", "Values", "value", "input", "weight", ""}) {
    SCOPED_TRACE(name);
    expect_invalid(application.output_binding(name),
                   "application has no " + std::string(name) + " output binding");
  }
}

TEST(OutputBindingTest, FoundOutputIsNotMeasured) {
  Application application = tests::sample();
  Binding next = values();
  next.name = "next";
  application.outputs = {values(), next};
  application.outputs[0].slices[0].file_offset = kMax64;

  expect_invalid(application.outputs[0].byte_len(), "binding values file range overflows");
  expect_invalid(application.output_binding("next"), "binding values file range overflows");
  expect_invalid(application.output_binding("absent"), "binding values file range overflows");
  expect_invalid(application.validate(), "binding values file range overflows");

  const Result<OutputBinding> found = application.output_binding("values");
  ASSERT_TRUE(found.has_value()) << found.error();
  EXPECT_EQ(found->binding, &application.outputs[0]);
  EXPECT_EQ(found->base, 0u);
}

TEST(OutputBindingTest, BaseBeyond64BitsFails) {
  // Each of "first" and "second" spans 2^63 bytes.
  Application application = tests::sample();
  const RegionSlice last_four_bytes = at_file(k2Pow63 - 4, 4);
  application.outputs = {binding("first", {last_four_bytes}), binding("second", {last_four_bytes}),
                         binding("third", {})};

  const Result<OutputBinding> second = application.output_binding("second");
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(second->binding, &application.outputs[1]);
  EXPECT_EQ(second->base, k2Pow63);
  expect_invalid(application.output_binding("third"), "output binding size overflow");
  expect_invalid(application.output_binding("absent"), "output binding size overflow");

  // One byte less and the third output starts at the last representable offset.
  application.outputs[1].slices[0].size = 3;
  const Result<OutputBinding> third = application.output_binding("third");
  ASSERT_TRUE(third.has_value()) << third.error();
  EXPECT_EQ(third->base, kMax64);
  expect_invalid(application.output_binding("absent"), "application has no absent output binding");
}

TEST(OutputBindingTest, RepeatedNameFindsTheFirst) {
  Application application = tests::sample();
  application.outputs = {binding("other", {at_file(0, 8)}), values(), values()};
  application.outputs[2].slices.clear();

  const Result<OutputBinding> found = application.output_binding("values");
  ASSERT_TRUE(found.has_value()) << found.error();
  EXPECT_EQ(found->binding, &application.outputs[1]);
  EXPECT_EQ(*found->binding, values());
  EXPECT_EQ(found->base, 8u);
}

}  // namespace
}  // namespace zor_package
