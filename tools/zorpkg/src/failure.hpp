// Failure: why a command of the tool did not complete, as one line for standard error.
#pragma once

#include <expected>
#include <string>
#include <utility>

#include "zor_package/error.hpp"

namespace zorpkg {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // an error of a file or of the library
inline constexpr int kExitUsage = 2;    // a usage error, or a file that validate cannot open

struct Failure {
  std::string file;  // the file the failure concerns; empty when it concerns none
  std::string text;  // the rendering of the error, one line
  int exit_status = kExitFailure;

  // The line for standard error: "zorpkg: error: FILE: TEXT".
  [[nodiscard]] std::string line() const;
};

template <typename T>
using Outcome = std::expected<T, Failure>;

// A failure of `file` that the library reported, rendered as the library renders its errors, for
// instance Invalid("application has no tiles").
[[nodiscard]] Failure library_failure(std::string file, const zor_package::PackageError& error);

[[nodiscard]] inline std::unexpected<Failure> fail(std::string file, std::string text,
                                                   int exit_status = kExitFailure) {
  return std::unexpected(Failure{std::move(file), std::move(text), exit_status});
}

}  // namespace zorpkg
