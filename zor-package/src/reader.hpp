// The package reader with the traversal slack as a parameter, so that tests can show that an
// honest package reads within exactly its own size.
#pragma once

#include <cstdint>
#include <span>

#include "zor_package/model.hpp"

namespace zor_package {

[[nodiscard]] Result<Application> read_application(std::span<const std::uint8_t> input,
                                                   std::uint64_t slack_words);

}  // namespace zor_package
