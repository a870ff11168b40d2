#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace zor_package {
namespace {

// The accepted ranges of the second byte of a multi-byte sequence, by its first byte, follow the
// table of well-formed byte sequences of the Unicode standard (chapter 3, table 3-7).
struct Lead {
  std::uint8_t length;      // total bytes in the sequence, 0 for a byte that cannot lead
  std::uint8_t second_min;  // bounds of the second byte
  std::uint8_t second_max;
};

constexpr Lead lead_of(std::uint8_t byte) {
  if (byte < 0xc2) return {0, 0, 0};  // continuation bytes and overlong two-byte leads
  if (byte < 0xe0) return {2, 0x80, 0xbf};
  if (byte == 0xe0) return {3, 0xa0, 0xbf};
  if (byte == 0xed) return {3, 0x80, 0x9f};  // excludes the surrogates
  if (byte < 0xf0) return {3, 0x80, 0xbf};
  if (byte == 0xf0) return {4, 0x90, 0xbf};
  if (byte < 0xf4) return {4, 0x80, 0xbf};
  if (byte == 0xf4) return {4, 0x80, 0x8f};  // nothing above U+10FFFF
  return {0, 0, 0};
}

bool is_continuation(std::uint8_t byte) { return (byte & 0xc0) == 0x80; }

// Skips the ASCII prefix eight bytes at a time; texts in packages are almost always ASCII.
std::size_t ascii_prefix(const unsigned char* bytes, std::size_t size) {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  while (i < size && bytes[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::expected<void, Utf8Error> check_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    i += ascii_prefix(bytes + i, size - i);
    if (i == size) break;
    const Lead lead = lead_of(bytes[i]);
    if (lead.length == 0) {
      return std::unexpected(Utf8Error{.valid_up_to = i, .error_len = 1});
    }
    // The bad sequence is as long as the prefix of it that could still have become valid.
    std::uint8_t good = 1;
    for (; good < lead.length; ++good) {
      if (i + good == size) {
        return std::unexpected(Utf8Error{.valid_up_to = i, .error_len = std::nullopt});
      }
      const std::uint8_t byte = bytes[i + good];
      const bool fits =
          good == 1 ? (byte >= lead.second_min && byte <= lead.second_max) : is_continuation(byte);
      if (!fits) {
        return std::unexpected(Utf8Error{.valid_up_to = i, .error_len = good});
      }
    }
    i += lead.length;
  }
  return {};
}

Result<std::string> decode_utf8(std::string_view text) {
  if (auto checked = check_utf8(text); !checked) {
    return std::unexpected(PackageError(checked.error()));
  }
  return std::string(text);
}

}  // namespace zor_package
