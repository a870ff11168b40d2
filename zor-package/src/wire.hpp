// Helpers shared by the code that converts between the model and Cap'n Proto messages.
#pragma once

#include <capnp/blob.h>

#include <string>
#include <string_view>
#include <utility>

#include "utf8.hpp"
#include "zor_package/error.hpp"

namespace zor_package::wire_support {

inline std::string_view view(capnp::Text::Reader text) { return {text.begin(), text.size()}; }

inline capnp::Text::Reader text(const std::string& value) {
  return {value.data(), value.size()};  // std::string keeps a NUL after its last byte
}

// Decodes a text of a parsed message into the model.
inline Result<std::string> read_text(capnp::Text::Reader text) { return decode_utf8(view(text)); }

}  // namespace zor_package::wire_support

// Evaluates `expression`, a Result; on failure returns its error from the enclosing function,
// otherwise assigns the value to `target`.
#define ZOR_TRY_ASSIGN(target, expression) \
  ZOR_TRY_ASSIGN_IMPL(target, expression, ZOR_TRY_CONCAT(zor_try_result_, __LINE__))
#define ZOR_TRY_CONCAT(a, b) ZOR_TRY_CONCAT_IMPL(a, b)
#define ZOR_TRY_CONCAT_IMPL(a, b) a##b
#define ZOR_TRY_ASSIGN_IMPL(target, expression, result)           \
  auto result = (expression);                                     \
  if (!result) return std::unexpected(std::move(result.error())); \
  target = std::move(*result)

// Evaluates `expression`, a Result<void>; on failure returns its error from the enclosing
// function.
#define ZOR_TRY(expression)                                    \
  if (auto zor_try_status = (expression); !zor_try_status) {   \
    return std::unexpected(std::move(zor_try_status.error())); \
  }                                                            \
  static_assert(true, "a semicolon follows")
