// UTF-8 checking of texts read from files. The message layer checks only that a text ends in a
// NUL byte, so every text is checked here before it enters the model.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "zor_package/error.hpp"

namespace zor_package {

// Succeeds when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF. Otherwise reports the longest valid prefix and the length of the bad sequence.
[[nodiscard]] std::expected<void, Utf8Error> check_utf8(std::string_view text);

// The text as an owned string, or the Utf8 error.
[[nodiscard]] Result<std::string> decode_utf8(std::string_view text);

}  // namespace zor_package
