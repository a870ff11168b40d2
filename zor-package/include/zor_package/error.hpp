// PackageError: the one error of every fallible operation of the package library.
//
// Exactly one of five kinds is present. Failures of the message layer, of UTF-8 decoding and of
// an enumerant lookup convert implicitly into their kind so that they are simply passed on;
// `Invalid` is only ever built from a reason text with PackageError::invalid.
//
// No operation of the library throws: running out of memory is reported as an `Io` error
// (std::errc::not_enough_memory), and any other exception from the layers below as a `Capnp`
// error carrying its description.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace zor_package {

enum class ErrorKind : std::uint8_t { Capnp, Io, Utf8, SchemaEnum, Invalid };

// A failure reported by the Cap'n Proto message reader or writer, or by a byte sink.
struct CapnpError {
  std::string description;
};

// An operating-system input/output error.
struct IoError {
  std::error_code code;
};

// Where UTF-8 decoding failed.
struct Utf8Error {
  std::size_t valid_up_to = 0;  // length of the longest valid prefix, in bytes
  // Length of the invalid sequence at `valid_up_to`, in bytes; empty when the text ends in the
  // middle of a sequence that could still have been completed.
  std::optional<std::uint8_t> error_len;

  bool operator==(const Utf8Error&) const = default;
};

// An enumerated field holds a value that the schema does not define.
struct SchemaEnumError {
  std::uint16_t value = 0;  // the raw stored value
};

class [[nodiscard]] PackageError {
 public:
  PackageError(CapnpError error) : payload_(std::move(error)) {}  // NOLINT: implicit
  PackageError(IoError error) : payload_(error) {}                // NOLINT: implicit
  PackageError(Utf8Error error) : payload_(error) {}              // NOLINT: implicit
  PackageError(SchemaEnumError error) : payload_(error) {}        // NOLINT: implicit

  // A broken rule of the package, carrying its fixed reason text.
  static PackageError invalid(std::string reason);

  [[nodiscard]] ErrorKind kind() const;

  // The reason text of an `Invalid` error, or the description of a `Capnp` or `Io` error;
  // empty for the other kinds.
  [[nodiscard]] std::string reason() const;

  // The stored value of a `SchemaEnum` error.
  [[nodiscard]] std::optional<std::uint16_t> raw_value() const;

  // The position of a `Utf8` error.
  [[nodiscard]] std::optional<Utf8Error> utf8() const;

  [[nodiscard]] bool is_invalid(std::string_view reason) const {
    return kind() == ErrorKind::Invalid && this->reason() == reason;
  }

  // A sentence for people, for instance "invalid package: application has no tiles".
  [[nodiscard]] std::string message() const;

 private:
  struct InvalidReason {
    std::string reason;
  };

  explicit PackageError(InvalidReason reason) : payload_(std::move(reason)) {}

  std::variant<CapnpError, IoError, Utf8Error, SchemaEnumError, InvalidReason> payload_;

  friend std::ostream& operator<<(std::ostream& os, const PackageError& error);
};

// Renders the kind followed by its payload, as in Invalid("application has no tiles").
std::ostream& operator<<(std::ostream& os, const PackageError& error);
std::ostream& operator<<(std::ostream& os, ErrorKind kind);

template <typename T>
using Result = std::expected<T, PackageError>;

}  // namespace zor_package
