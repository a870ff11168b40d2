// The target catalogue: the processors a package can be built for, their names in package files
// and the address window of a tile's memory.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string_view>

namespace zor_target {

// A half-open range [start, end) of tile addresses.
struct AddressRange {
  std::uint32_t start = 0;  // first address inside the range
  std::uint32_t end = 0;    // first address past the range

  // The number of bytes in the range; the catalogue guarantees end >= start.
  [[nodiscard]] constexpr std::uint32_t size() const { return end - start; }

  bool operator==(const AddressRange&) const = default;
};

// One catalogued processor. A plain value: copyable, comparable, and rendered as its member name.
class Target {
 public:
  static const Target Zor21;

  // The name that package files store for the target, for example "zor21".
  [[nodiscard]] constexpr std::string_view name() const { return "zor21"; }

  // The tile memory window of the target.
  [[nodiscard]] constexpr AddressRange tile_memory() const { return {0x4c000, 0xe8000}; }

  // The target whose name is exactly `name` (case-sensitive, no trimming), or the static text
  // "unsupported ZOR target".
  [[nodiscard]] static std::expected<Target, std::string_view> from_str(std::string_view name);

  constexpr bool operator==(const Target&) const = default;

 private:
  enum class Member : std::uint8_t { zor21 };

  constexpr explicit Target(Member member) : member_(member) {}

  Member member_;

  friend std::ostream& operator<<(std::ostream& os, Target target);
};

inline constexpr Target Target::Zor21{Target::Member::zor21};

std::ostream& operator<<(std::ostream& os, Target target);

}  // namespace zor_target
