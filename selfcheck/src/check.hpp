// Comparisons for the self-checks: each throws CheckFailure with a message naming what failed.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

#include "zor_package/error.hpp"
#include "zor_package/tests.hpp"

namespace zor_package::tests {

[[noreturn]] void fail(std::string message);

inline void require(bool condition, std::string_view message) {
  if (!condition) {
    fail(std::string(message));
  }
}

template <class A, class B>
void require_eq(const A& actual, const B& expected, std::string_view message) {
  if (!(actual == expected)) {
    std::ostringstream out;
    out << message << ": got " << actual << ", expected " << expected;
    fail(out.str());
  }
}

// The value of a result that must succeed.
template <class T>
decltype(auto) require_ok(T&& result, std::string_view what) {
  if (!result.has_value()) {
    std::ostringstream out;
    out << what << " failed: " << result.error();
    fail(out.str());
  }
  if constexpr (!std::is_void_v<typename std::remove_cvref_t<T>::value_type>) {
    return *std::forward<T>(result);
  }
}

// A result that must fail, with any error.
template <class T>
void require_err(const T& result, std::string_view message) {
  require(!result.has_value(), message);
}

// A result that must fail with an Invalid error of exactly `reason`.
template <class T>
void require_invalid(const T& result, std::string_view reason, std::string_view message) {
  if (result.has_value()) {
    fail(std::string(message) + ": succeeded, expected Invalid(\"" + std::string(reason) + "\")");
  }
  if (!result.error().is_invalid(reason)) {
    std::ostringstream out;
    out << message << ": got " << result.error() << ", expected Invalid(\"" << reason << "\")";
    fail(out.str());
  }
}

}  // namespace zor_package::tests
