#include "render.hpp"

#include <algorithm>

namespace zor_package::render {
namespace {
constexpr char kHex[] = "0123456789abcdef";
constexpr std::size_t kShownBytes = 32;
}  // namespace

void quoted(std::ostream& os, std::string_view text) {
  os << '"';
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      os << '\\' << c;
    } else if (byte < 0x20 || byte == 0x7f) {
      os << "\\x" << kHex[byte >> 4] << kHex[byte & 0xf];
    } else {
      os << c;
    }
  }
  os << '"';
}

void bytes(std::ostream& os, const std::vector<std::uint8_t>& data) {
  os << '<' << data.size() << " bytes";
  std::size_t shown = std::min(data.size(), kShownBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    os << (i == 0 ? ": " : " ") << kHex[data[i] >> 4] << kHex[data[i] & 0xf];
  }
  if (shown < data.size()) {
    os << " ...";
  }
  os << '>';
}

}  // namespace zor_package::render
