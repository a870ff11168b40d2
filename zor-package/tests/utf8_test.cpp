#include "utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace zor_package {
namespace {

using namespace std::string_view_literals;

// An invalid sequence of `len` bytes after `valid_up_to` good ones.
constexpr std::optional<Utf8Error> bad(std::size_t valid_up_to, std::uint8_t len) {
  return Utf8Error{.valid_up_to = valid_up_to, .error_len = len};
}

// A sequence cut short by the end of the text after `valid_up_to` good bytes.
constexpr std::optional<Utf8Error> cut(std::size_t valid_up_to) {
  return Utf8Error{.valid_up_to = valid_up_to, .error_len = std::nullopt};
}

constexpr std::optional<Utf8Error> kValid = std::nullopt;

std::string describe(const std::optional<Utf8Error>& error) {
  if (!error) return "valid";
  std::ostringstream out;
  out << "valid_up_to " << error->valid_up_to << ", error_len ";
  if (error->error_len) {
    out << unsigned{*error->error_len};
  } else {
    out << "none";
  }
  return out.str();
}

struct Case {
  const char* label;
  std::string_view text;
  std::optional<Utf8Error> error;
};

// Positions as Rust's std::str::from_utf8 reports them. A letter that follows a hex escape is
// beyond 'f', so that the escape does not swallow it.
constexpr Case kCases[] = {
    {"empty", ""sv, kValid},
    {"ascii", "operation.4"sv, kValid},
    {"ascii with NUL and DEL", "a\0b\x7f"sv, kValid},
    {"two bytes, lowest", "\xc2\x80"sv, kValid},
    {"two bytes, highest", "\xdf\xbf"sv, kValid},
    {"three bytes, lowest", "\xe0\xa0\x80"sv, kValid},
    {"three bytes, below the surrogates", "\xed\x9f\xbf"sv, kValid},
    {"three bytes, above the surrogates", "\xee\x80\x80"sv, kValid},
    {"three bytes, highest", "\xef\xbf\xbf"sv, kValid},
    {"four bytes, lowest", "\xf0\x90\x80\x80"sv, kValid},
    {"four bytes, emoji", "\xf0\x9f\x98\x80"sv, kValid},
    {"four bytes, U+10FFFF", "\xf4\x8f\xbf\xbf"sv, kValid},
    {"mixed widths", "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z"sv, kValid},

    {"overlong NUL", "\xc0\x80"sv, bad(0, 1)},
    {"overlong two bytes, highest", "\xc1\xbf"sv, bad(0, 1)},
    {"overlong three bytes", "\xe0\x80\x80"sv, bad(0, 1)},
    {"overlong three bytes, highest", "\xe0\x9f\xbf"sv, bad(0, 1)},
    {"overlong four bytes", "\xf0\x80\x80\x80"sv, bad(0, 1)},
    {"overlong four bytes, highest", "\xf0\x8f\xbf\xbf"sv, bad(0, 1)},
    {"surrogate U+D800", "\xed\xa0\x80"sv, bad(0, 1)},
    {"surrogate U+DFFF", "\xed\xbf\xbf"sv, bad(0, 1)},
    {"U+110000", "\xf4\x90\x80\x80"sv, bad(0, 1)},
    {"lead byte F5", "\xf5\x80\x80\x80"sv, bad(0, 1)},
    {"lead byte FF", "\xff"sv, bad(0, 1)},
    {"stray continuation byte", "a\x80z"sv, bad(1, 1)},
    {"continuation after a complete sequence", "\xc3\xa9\xa9"sv, bad(2, 1)},

    {"cut after a two-byte lead", "ab\xc2"sv, cut(2)},
    {"cut after a three-byte lead", "\xe2"sv, cut(0)},
    {"cut inside three bytes", "\xe2\x82"sv, cut(0)},
    {"cut inside four bytes", "\xf0\x9f\x98"sv, cut(0)},
    {"cut after a valid second byte of E0", "\xe0\xa0"sv, cut(0)},
    {"bad second byte beats the end of the text", "\xe0\x80"sv, bad(0, 1)},
    {"bad second byte beats a surrogate's end", "\xed\xa0"sv, bad(0, 1)},

    {"bad second byte of two", "\xc2Z"sv, bad(0, 1)},
    {"bad second byte of three", "\xe2Z"sv, bad(0, 1)},
    {"bad second byte of four", "\xf0\xc0"sv, bad(0, 1)},
    {"bad third byte", "\xe2\x82Z"sv, bad(0, 2)},
    {"bad third byte of four", "\xf0\x9fZ"sv, bad(0, 2)},
    {"bad fourth byte", "\xf0\x9f\x98Z"sv, bad(0, 3)},
    {"new lead where a continuation belongs", "\xe2\x82\xe2\x82\xac"sv, bad(0, 2)},
    {"error after a valid prefix", "ab\xe2\x82\xacyz\xff"sv, bad(7, 1)},

    // Long ASCII runs are skipped eight bytes at a time; errors must be found at their exact
    // place inside and just after such runs.
    {"long ascii", "abcdefghijklmnopqrstuvwxy"sv, kValid},
    {"long ascii then multibyte", "abcdefghijklmnop\xe2\x82\xacqrs"sv, kValid},
    {"multibyte inside the first word", "abc\xc3\xa9ghijklmnop"sv, kValid},
    {"bad byte right after eight ascii", "abcdefgh\x80"sv, bad(8, 1)},
    {"bad byte after sixteen ascii", "abcdefghijklmnop\xffghijklmn"sv, bad(16, 1)},
    {"bad byte in the middle of a word", "abcdefghijk\x80mnopqrstu"sv, bad(11, 1)},
    {"cut after ten ascii", "abcdefghij\xf0\x9f"sv, cut(10)},
    {"bad third byte after seventeen ascii", "abcdefghijklmnopq\xe2\x82X"sv, bad(17, 2)},
    {"surrogate after ascii and multibyte", "\xc2\xa9ghijklmnopqr\xed\xa0\x80"sv, bad(14, 1)},
    {"error after a second long run", "abcdefghij\xc3\xa9klmnopqrstuv\xc0\xaf"sv, bad(24, 1)},
};

TEST(Utf8, CheckReportsValidPrefixAndErrorLength) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    const auto checked = check_utf8(c.text);
    const std::optional<Utf8Error> error =
        checked.has_value() ? std::nullopt : std::optional<Utf8Error>(checked.error());
    EXPECT_EQ(describe(error), describe(c.error));
  }
}

TEST(Utf8, DecodeCopiesValidTextAndReportsTheSameError) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    const auto decoded = decode_utf8(c.text);
    if (!c.error) {
      ASSERT_TRUE(decoded.has_value()) << decoded.error();
      EXPECT_EQ(*decoded, c.text);
      continue;
    }
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), ErrorKind::Utf8);
    EXPECT_EQ(describe(decoded.error().utf8()), describe(c.error));
  }
}

TEST(Utf8, ChecksOnlyTheGivenBytes) {
  // The view ends inside a sequence even though the buffer behind it completes the sequence.
  constexpr std::string_view buffer = "abcdefghij\xe2\x82\xac"sv;
  const auto cut_short = check_utf8(buffer.substr(0, 12));
  ASSERT_FALSE(cut_short.has_value());
  EXPECT_EQ(describe(cut_short.error()), describe(cut(10)));
  EXPECT_TRUE(check_utf8(buffer.substr(0, 10)).has_value());
}

}  // namespace
}  // namespace zor_package
