// The edge of the library's interface: whatever the layers below throw becomes a PackageError,
// so that no exception ever reaches a caller.
#pragma once

#include <expected>
#include <utility>

#include "zor_package/error.hpp"

namespace zor_package {

// The error for the exception being handled; call it only inside a catch block. A message-layer
// exception is a `Capnp` error, running out of memory an `Io` error (not_enough_memory), and any
// other exception a `Capnp` error with its description.
[[nodiscard]] PackageError error_from_current_exception();

// Runs `operation`, which returns a Result, and turns anything it throws into that Result's
// error.
template <class Operation>
auto guarded(Operation&& operation) -> decltype(operation()) {
  try {
    return std::forward<Operation>(operation)();
  } catch (...) {
    return std::unexpected(error_from_current_exception());
  }
}

}  // namespace zor_package
