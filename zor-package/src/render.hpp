// Developer-readable rendering of records: `Name { field: value, ... }`.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zor_package::render {

void quoted(std::ostream& os, std::string_view text);

// Byte sequences show their length and at most their first 32 bytes in hexadecimal, so that a
// segment of a full tile stays readable in a test failure.
void bytes(std::ostream& os, const std::vector<std::uint8_t>& data);

template <class T>
void value(std::ostream& os, const T& v);

template <class T>
void value(std::ostream& os, const std::vector<T>& list) {
  os << '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    os << (i == 0 ? "" : ", ");
    value(os, list[i]);
  }
  os << ']';
}

inline void value(std::ostream& os, const std::vector<std::uint8_t>& data) { bytes(os, data); }

template <class T>
void value(std::ostream& os, const T& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    quoted(os, v);
  } else if constexpr (std::is_same_v<T, bool>) {
    os << (v ? "true" : "false");
  } else if constexpr (std::is_unsigned_v<T>) {
    os << std::uint64_t{v};
  } else {
    os << v;
  }
}

// Writes `Name { a: 1, b: "x" }` one field at a time.
class Record {
 public:
  Record(std::ostream& os, std::string_view name) : os_(os) { os_ << name << " {"; }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record() { os_ << (first_ ? "}" : " }"); }

  template <class T>
  Record& field(std::string_view name, const T& v) {
    os_ << (first_ ? " " : ", ") << name << ": ";
    first_ = false;
    value(os_, v);
    return *this;
  }

 private:
  std::ostream& os_;
  bool first_ = true;
};

}  // namespace zor_package::render
