#include <algorithm>
#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "zor_package/tests.hpp"

namespace zor_package::tests {
namespace {

// The failure message of a check, or nothing when it passed.
std::optional<std::string> run_one(const Check& check) {
  try {
    check.run();
    return std::nullopt;
  } catch (const std::exception& failure) {
    return std::string(failure.what());
  } catch (...) {
    return std::string("threw an exception of unknown type");
  }
}

bool registered(std::span<const Check> checks, std::string_view name) {
  return std::any_of(checks.begin(), checks.end(),
                     [name](const Check& check) { return check.name == name; });
}

bool selected_by(std::span<const std::string_view> selected, const Check& check) {
  return selected.empty() ||
         std::find(selected.begin(), selected.end(), check.name) != selected.end();
}

}  // namespace

int run_checks(std::span<const Check> checks, std::span<const std::string_view> selected,
               std::ostream& out) {
  for (std::string_view name : selected) {
    if (!registered(checks, name)) {
      out << "unknown check: " << name << '\n';
      return -1;
    }
  }
  int passed = 0;
  int failed = 0;
  for (const Check& check : checks) {
    if (!selected_by(selected, check)) {
      continue;
    }
    if (auto failure = run_one(check)) {
      out << "FAILED " << check.name << ": " << *failure << '\n';
      ++failed;
    } else {
      out << "passed " << check.name << '\n';
      ++passed;
    }
  }
  out << passed << " passed, " << failed << " failed" << std::endl;
  return failed;
}

}  // namespace zor_package::tests
