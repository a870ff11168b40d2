// Base64 of the standard alphabet with padding (RFC 4648, section 4), for segment data in JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorpkg {

[[nodiscard]] std::string base64_encode(std::span<const std::uint8_t> bytes);

struct Base64Error {
  std::size_t position = 0;  // index of the first character that differs from the canonical text
};

// Decodes strictly: only the one text that encodes a byte sequence is accepted (length a multiple
// of 4, padding only at the end, no white space, the bits that padding leaves over zero).
[[nodiscard]] std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text,
                                                                     Base64Error& error);

}  // namespace zorpkg
