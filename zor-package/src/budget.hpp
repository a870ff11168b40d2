// A bound on the memory that the records read from one message may take.
//
// The traversal limit bounds the bytes a reader visits, but not the records it makes of them: a
// list of zero-sized structs costs one word per element, and a list of bytes read as a list of
// structs yields eight elements per word, each of which becomes a record of a hundred bytes or
// more. Every list is charged its element count times the record size before any memory is
// reserved for it, so that a message of n bytes never grows into more than a small multiple of n.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "zor_package/error.hpp"

namespace zor_package {

class RecordBudget {
 public:
  // Room for the records of an honest message of `input_bytes` bytes, whose records take at most
  // a few times their encoded size, with slack for small messages.
  static RecordBudget for_input(std::size_t input_bytes) {
    return RecordBudget(std::uint64_t{input_bytes} * kBytesPerInputByte + kSlackBytes);
  }

  static RecordBudget unlimited() {
    return RecordBudget(std::numeric_limits<std::uint64_t>::max());
  }

  // Charges `count` records of type T and reserves room for them in `list`.
  template <class T>
  Result<void> reserve(std::vector<T>& list, std::size_t count) {
    const std::uint64_t bytes = std::uint64_t{count} * sizeof(T);
    if (bytes > remaining_) {
      return std::unexpected(
          PackageError(CapnpError{"message holds more records than its size allows"}));
    }
    remaining_ -= bytes;
    list.reserve(count);
    return {};
  }

 private:
  static constexpr std::uint64_t kBytesPerInputByte = 8;
  static constexpr std::uint64_t kSlackBytes = 64ull << 20;

  explicit RecordBudget(std::uint64_t bytes) : remaining_(bytes) {}

  std::uint64_t remaining_;
};

}  // namespace zor_package
