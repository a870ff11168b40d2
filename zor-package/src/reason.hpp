// Building the reason texts of Invalid errors: names as they are, numbers in decimal, and
// numbers after "0x" in lower-case hexadecimal without leading zeros.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "zor_package/error.hpp"

namespace zor_package::reason {

// A number to be written in hexadecimal; the template writes the "0x" itself.
struct Hex {
  std::uint64_t value;
};

inline void append(std::string& out, std::string_view text) { out.append(text); }

inline void append(std::string& out, std::unsigned_integral auto number) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::uint64_t{number});
  out.append(buffer, end);
}

inline void append(std::string& out, Hex number) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number.value, 16);
  out.append(buffer, end);
}

template <class... Parts>
std::string text(const Parts&... parts) {
  std::string out;
  (append(out, parts), ...);
  return out;
}

// An `Invalid` error whose reason is the parts written one after another.
template <class... Parts>
PackageError invalid(const Parts&... parts) {
  return PackageError::invalid(text(parts...));
}

}  // namespace zor_package::reason
