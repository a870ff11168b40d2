#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>

#include "zor_package/tests.hpp"

namespace zor_package::tests {
namespace {

constexpr std::string_view kModule = "tests::";

bool is_lower_snake_case(std::string_view name) {
  return !name.empty() && name.front() != '_' && name.back() != '_' &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
         });
}

TEST(Registry, NamesAreModuleQualifiedAndStrictlyAlphabetical) {
  const auto checks = registry();
  ASSERT_FALSE(checks.empty());
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const std::string_view name = checks[i].name;
    SCOPED_TRACE(name);
    ASSERT_TRUE(name.starts_with(kModule));
    EXPECT_TRUE(is_lower_snake_case(name.substr(kModule.size())));
    EXPECT_NE(checks[i].run, nullptr);
    if (i > 0) {
      EXPECT_LT(checks[i - 1].name, name);
    }
  }
}

TEST(Registry, HoldsTheValidationChecks) {
  const std::pair<std::string_view, void (*)()> expected[] = {
      {"tests::binding_extents_and_output_offsets_share_checked_file_geometry",
       binding_extents_and_output_offsets_share_checked_file_geometry},
      {"tests::rejects_ambiguous_device_configuration", rejects_ambiguous_device_configuration},
      {"tests::rejects_implicit_host_batches", rejects_implicit_host_batches},
      {"tests::rejects_overflowing_host_ranges", rejects_overflowing_host_ranges},
      {"tests::rejects_overlapping_segments", rejects_overlapping_segments},
  };
  const auto checks = registry();
  for (const auto& [name, run] : expected) {
    SCOPED_TRACE(name);
    const auto found = std::find_if(checks.begin(), checks.end(),
                                    [name](const Check& check) { return check.name == name; });
    ASSERT_NE(found, checks.end());
    EXPECT_EQ(found->run, run);
  }
}

TEST(Registry, EveryCheckPasses) {
  for (const Check& check : registry()) {
    SCOPED_TRACE(check.name);
    try {
      check.run();
    } catch (const std::exception& failure) {
      ADD_FAILURE() << failure.what();
    } catch (...) {
      ADD_FAILURE() << "threw an exception of unknown type";
    }
  }
}

TEST(Sample, IsTheDescribedPackage) {
  Application expected = Application::create(zor_target::Target::Zor21);
  expected.tiles = {TileImage{
      .physical_tile = 0,
      .entry_point = 0x4c000,
      .command_address = 0x4c100,
      .diagnostic_address = 0x4c200,
      .segments = {Segment{.address = 0x4c000, .memory_size = 8, .data = {1, 2, 3, 4}, .flags = 5}},
  }};
  EXPECT_EQ(sample(), expected);
}

TEST(Sample, PassesValidation) {
  const auto validated = sample().validate();
  EXPECT_TRUE(validated.has_value()) << validated.error();
}

TEST(Sample, EveryCallGivesAFreshPackage) {
  Application first = sample();
  first.tiles[0].segments[0].data.push_back(5);
  first.tiles.clear();
  EXPECT_EQ(sample().tiles.size(), 1u);
  EXPECT_EQ(sample().tiles[0].segments[0].data.size(), 4u);
}

}  // namespace
}  // namespace zor_package::tests
