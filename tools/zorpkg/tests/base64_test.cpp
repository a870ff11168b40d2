#include "base64.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <vector>

namespace zorpkg {
namespace {

TEST(Base64, EveryLengthRoundTrips) {
  std::vector<std::uint8_t> bytes;
  for (int length = 0; length < 10; ++length) {
    SCOPED_TRACE(length);
    const std::string text = base64_encode(bytes);
    EXPECT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
    Base64Error error;
    EXPECT_EQ(base64_decode(text, error), std::optional(bytes));
    bytes.push_back(static_cast<std::uint8_t>(0xf1 * length));
  }
  EXPECT_EQ(base64_encode(std::vector<std::uint8_t>{0xfb, 0xff}), "+/8=");
}

TEST(Base64, OnlyTheCanonicalTextDecodes) {
  struct Case {
    std::string_view text;
    std::size_t position;
  };
  constexpr Case cases[] = {
      {"AAE", 3},     // padding left out
      {"AA=A", 2},    // padding inside
      {"AB==", 1},    // bits beyond the last byte are not zero
      {" AAA", 0},    // white space
      {"AAAA\n", 4},  // a trailing line break
      {"AA*A", 2},    // a character outside the alphabet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Base64Error error;
    EXPECT_EQ(base64_decode(c.text, error), std::nullopt);
    EXPECT_EQ(error.position, c.position);
  }
}

}  // namespace
}  // namespace zorpkg
