#include "base64.hpp"

#include <array>

namespace zorpkg {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kNotBase64 = 0xff;

constexpr std::array<std::uint8_t, 256> make_decoding_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotBase64);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecoding = make_decoding_table();

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                          std::uint32_t{bytes[i + 2]};
    text += kAlphabet[(group >> 18) & 0x3f];
    text += kAlphabet[(group >> 12) & 0x3f];
    text += kAlphabet[(group >> 6) & 0x3f];
    text += kAlphabet[group & 0x3f];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) {
      group |= std::uint32_t{bytes[i + 1]} << 8;
    }
    text += kAlphabet[(group >> 18) & 0x3f];
    text += kAlphabet[(group >> 12) & 0x3f];
    text += rest == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text, Base64Error& error) {
  if (text.size() % 4 != 0) {
    error.position = text.size();
    return std::nullopt;
  }
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text[text.size() - 2] == '=' ? 2 : 1;
  }
  std::size_t significant = text.size() - padding;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < significant; ++i) {
    std::uint8_t value = kDecoding[static_cast<unsigned char>(text[i])];
    if (value == kNotBase64) {
      error.position = i;
      return std::nullopt;
    }
    group = (group << 6) | value;
    if (i % 4 == 3) {
      bytes.push_back(static_cast<std::uint8_t>(group >> 16));
      bytes.push_back(static_cast<std::uint8_t>(group >> 8));
      bytes.push_back(static_cast<std::uint8_t>(group));
      group = 0;
    }
  }
  // The last group holds 2 or 3 characters: 1 or 2 bytes, and 4 or 2 bits that must be zero.
  if (padding == 2) {
    if ((group & 0xf) != 0) {
      error.position = significant - 1;
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 4));
  } else if (padding == 1) {
    if ((group & 0x3) != 0) {
      error.position = significant - 1;
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 10));
    bytes.push_back(static_cast<std::uint8_t>(group >> 2));
  }
  return bytes;
}

}  // namespace zorpkg
