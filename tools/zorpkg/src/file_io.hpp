// Reading the tool's inputs and writing its outputs. The name "-" stands for standard input or
// standard output.
//
// An output file is written to a temporary file in the directory of its destination and renamed
// over the destination only when the command commits it; an output that is dropped uncommitted
// removes its temporary file, so a failed command leaves no partial file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "failure.hpp"

namespace zorpkg {

inline constexpr std::string_view kStandardStream = "-";

// The whole content of `path`, or of standard input for "-".
[[nodiscard]] Outcome<std::vector<std::uint8_t>> read_input(const std::string& path);

enum class Compression : std::uint8_t { None, Gzip };

// Gzip for a path ending in ".gz", otherwise none.
[[nodiscard]] Compression compression_for(std::string_view path);

class Output {
 public:
  // Opens `path` for writing: standard output for "-", otherwise a temporary file beside it.
  [[nodiscard]] static Outcome<Output> open(std::string path,
                                            Compression compression = Compression::None);

  Output(Output&& other) noexcept;
  Output& operator=(Output&& other) noexcept;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  // Removes the temporary file of an output that was never committed.
  ~Output();

  // Appends bytes. A failure to write is remembered and reported by commit().
  void write(const void* data, std::size_t size);
  void write(std::string_view text) { write(text.data(), text.size()); }
  void put(char c) {
    if (cursor_ == buffer_end_) {
      drain();
    }
    *cursor_++ = c;
  }

  // Writes what is buffered, closes the file and renames it over the destination.
  [[nodiscard]] Outcome<void> commit();

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool is_standard_output() const { return path_ == kStandardStream; }

 private:
  struct State;

  explicit Output(std::unique_ptr<State> state);
  void drain();

  std::unique_ptr<State> state_;
  std::string path_;
  char* cursor_ = nullptr;
  char* buffer_end_ = nullptr;
};

// Writes `bytes` to `path` ("-": standard output) as one committed output.
[[nodiscard]] Outcome<void> write_file(const std::string& path,
                                       std::span<const std::uint8_t> bytes);
[[nodiscard]] Outcome<void> write_file(const std::string& path, std::string_view text);

// Creates `path` and its missing parents as directories.
[[nodiscard]] Outcome<void> make_directory(const std::string& path);

// Removes a file written by an earlier committed output; errors are ignored.
void remove_file(const std::string& path);

}  // namespace zorpkg
