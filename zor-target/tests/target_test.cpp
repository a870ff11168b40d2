#include "zor_target/target.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string_view>

namespace zor_target {
namespace {

TEST(Target, NameParsesBackToTheMember) {
  auto parsed = Target::from_str(Target::Zor21.name());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, Target::Zor21);
  EXPECT_EQ(Target::Zor21.name(), "zor21");
}

TEST(Target, RejectsEveryOtherSpelling) {
  constexpr std::string_view cases[] = {"Zor21", "ZOR21", "zor21 ", " zor21",
                                        "",      "zor2",  "zor211", std::string_view{"zor21\0", 6}};
  for (std::string_view text : cases) {
    SCOPED_TRACE(testing::Message() << "text '" << text << "'");
    auto parsed = Target::from_str(text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), "unsupported ZOR target");
  }
}

TEST(Target, TileMemoryWindow) {
  constexpr AddressRange window = Target::Zor21.tile_memory();
  static_assert(window.start == 0x4c000 && window.end == 0xe8000);
  EXPECT_EQ(window.size(), 0x9c000u);
}

TEST(Target, CopiesCompareEqualAndRenderAsTheMemberName) {
  Target copy = Target::Zor21;
  EXPECT_EQ(copy, Target::Zor21);
  std::ostringstream out;
  out << copy;
  EXPECT_EQ(out.str(), "Zor21");
}

}  // namespace
}  // namespace zor_target
