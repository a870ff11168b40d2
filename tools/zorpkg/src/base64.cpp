#include "base64.hpp"

#include <kj/encoding.h>

#include <algorithm>

namespace zorpkg {

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  const kj::String text = kj::encodeBase64(kj::arrayPtr(bytes.data(), bytes.size()));
  return std::string(text.begin(), text.size());
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text, Base64Error& error) {
  const auto decoded = kj::decodeBase64(kj::arrayPtr(text.data(), text.size()));
  // The decoder forgives stray characters and missing padding; a text is accepted only when it
  // is exactly the encoding of what it decodes to, so that every byte sequence has one text.
  const std::string canonical = base64_encode({decoded.begin(), decoded.size()});
  if (!decoded.hadErrors && canonical == text) {
    return std::vector<std::uint8_t>(decoded.begin(), decoded.end());
  }
  const auto differ = std::mismatch(text.begin(), text.end(), canonical.begin(), canonical.end());
  error.position = static_cast<std::size_t>(differ.first - text.begin());
  return std::nullopt;
}

}  // namespace zorpkg
