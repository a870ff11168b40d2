// The size of an encoded message, measured from the model before anything is built, and the
// limits of the encoding: no list of more than 2^29 - 1 elements or words, no blob of more than
// 2^29 - 1 bytes, no text of more than 2^29 - 2 bytes (its NUL counts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zor_package/error.hpp"
#include "zor_package/profile.hpp"

namespace zor_package::encoding {

inline constexpr std::uint64_t kMaxListElements = (std::uint64_t{1} << 29) - 1;
inline constexpr std::uint64_t kMaxListWords = (std::uint64_t{1} << 29) - 1;
inline constexpr std::uint64_t kMaxDataBytes = kMaxListElements;
inline constexpr std::uint64_t kMaxTextBytes = kMaxListElements - 1;
// The largest segment a message may have; a message up to this size is built in one segment.
inline constexpr std::uint64_t kMaxSegmentWords = (std::uint64_t{1} << 29) - 1;

// Words of a struct with `data` data words and `pointers` pointers.
struct StructSize {
  std::uint16_t data;
  std::uint16_t pointers;

  [[nodiscard]] constexpr std::uint64_t words() const { return std::uint64_t{data} + pointers; }
};

// The section sizes of a generated struct type, as its schema lays it out.
template <class WireStruct>
constexpr StructSize struct_size() {
  return {WireStruct::_capnpPrivate::dataWordSize, WireStruct::_capnpPrivate::pointerCount};
}

// Adds up the words a message will take, in the way the message builder allocates them. The
// first value beyond a limit of the encoding is remembered and reported by words().
class EncodedSize {
 public:
  void add_struct(StructSize size) { words_ += size.words(); }

  // A list of structs, its tag word included; the elements' own texts and lists are added apart.
  void add_struct_list(std::size_t count, StructSize element);

  void add_text(const std::string& text);
  void add_data(const std::vector<std::uint8_t>& data);
  void add_u32_list(std::size_t count);

  // The total in words, or a Capnp error naming the first limit that was passed.
  [[nodiscard]] Result<std::size_t> words() const;

 private:
  void refuse(std::string description);

  std::uint64_t words_ = 0;
  std::optional<std::string> refused_;
};

// The words of a ProfileStep's texts and lists (its struct is part of the list that holds it).
void add_profile_step(EncodedSize& size, const ProfileStep& step);

}  // namespace zor_package::encoding
