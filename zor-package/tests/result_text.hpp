// Results rendered as text, errors included, so that outcomes of any type compare alike.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "zor_package/error.hpp"

namespace zor_package {

template <class T>
std::string render(const Result<T>& result) {
  if (!result) {
    return "error " + testing::PrintToString(result.error());
  }
  if constexpr (std::is_void_v<T>) {
    return "ok";
  } else {
    return testing::PrintToString(*result);
  }
}

}  // namespace zor_package
