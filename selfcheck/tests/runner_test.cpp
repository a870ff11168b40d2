#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zor_package/tests.hpp"

namespace zor_package::tests {
namespace {

// The names of the fake checks, in the order they ran.
std::vector<std::string_view>& ran() {
  static std::vector<std::string_view> names;
  return names;
}

constexpr std::string_view kFirstOk = "fake::first_ok";
constexpr std::string_view kCheckFailure = "fake::check_failure";
constexpr std::string_view kStdException = "fake::std_exception";
constexpr std::string_view kOtherException = "fake::other_exception";
constexpr std::string_view kLastOk = "fake::last_ok";

constexpr Check kFakeChecks[] = {
    {kFirstOk, [] { ran().push_back(kFirstOk); }},
    {kCheckFailure,
     [] {
       ran().push_back(kCheckFailure);
       throw CheckFailure("page offset 4093 accepted");
     }},
    {kStdException,
     [] {
       ran().push_back(kStdException);
       throw std::out_of_range("vector index 3 out of range");
     }},
    {kOtherException,
     [] {
       ran().push_back(kOtherException);
       throw 42;
     }},
    {kLastOk, [] { ran().push_back(kLastOk); }},
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The one output line that names `check`, or "" when there is not exactly one.
std::string line_of(const std::vector<std::string>& lines, std::string_view check) {
  std::string found;
  int count = 0;
  for (const std::string& line : lines) {
    if (line.find(check) != std::string::npos) {
      found = line;
      ++count;
    }
  }
  return count == 1 ? found : "";
}

TEST(RunChecks, ReportsEveryOutcomeAndKeepsGoing) {
  ran().clear();
  std::ostringstream out;
  const int failed = run_checks(kFakeChecks, {}, out);

  EXPECT_EQ(failed, 3);
  EXPECT_EQ(ran(), (std::vector<std::string_view>{kFirstOk, kCheckFailure, kStdException,
                                                  kOtherException, kLastOk}));

  const std::vector<std::string> lines = lines_of(out.str());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "2 passed, 3 failed");

  for (std::string_view check : {kFirstOk, kLastOk}) {
    SCOPED_TRACE(check);
    EXPECT_TRUE(line_of(lines, check).starts_with("passed ")) << out.str();
  }
  const struct {
    std::string_view check;
    std::string_view message;
  } failures[] = {
      {kCheckFailure, "page offset 4093 accepted"},
      {kStdException, "vector index 3 out of range"},
      {kOtherException, "unknown type"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.check);
    const std::string line = line_of(lines, f.check);
    EXPECT_TRUE(line.starts_with("FAILED ")) << out.str();
    EXPECT_NE(line.find(f.message), std::string::npos) << out.str();
  }
}

TEST(RunChecks, SelectsByName) {
  const struct {
    const char* label;
    std::vector<std::string_view> selected;
    std::vector<std::string_view> expected_runs;  // in registry order, whatever the selection
    int expected_result;
    std::string closing_line;
  } cases[] = {
      {"one passing", {kLastOk}, {kLastOk}, 0, "1 passed, 0 failed"},
      {"one failing", {kOtherException}, {kOtherException}, 1, "0 passed, 1 failed"},
      {"two out of order",
       {kLastOk, kCheckFailure},
       {kCheckFailure, kLastOk},
       1,
       "1 passed, 1 failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ran().clear();
    std::ostringstream out;
    EXPECT_EQ(run_checks(kFakeChecks, c.selected, out), c.expected_result);
    EXPECT_EQ(ran(), c.expected_runs);
    const std::vector<std::string> lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), c.expected_runs.size() + 1) << out.str();
    EXPECT_EQ(lines.back(), c.closing_line);
  }
}

TEST(RunChecks, UnknownNameRunsNothing) {
  const std::vector<std::vector<std::string_view>> selections = {
      {"fake::missing"},
      {kFirstOk, "fake::missing"},
      {"fake::first"},  // a prefix of a registered name is not that name
      {"first_ok"},
  };
  for (const auto& selected : selections) {
    SCOPED_TRACE(selected.back());
    ran().clear();
    std::ostringstream out;
    EXPECT_EQ(run_checks(kFakeChecks, selected, out), -1);
    EXPECT_TRUE(ran().empty());
    EXPECT_NE(out.str().find(selected.back()), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find(" passed, "), std::string::npos) << out.str();
  }
}

TEST(RunChecks, NothingToRunPassesTrivially) {
  std::ostringstream out;
  EXPECT_EQ(run_checks({}, {}, out), 0);
  EXPECT_EQ(out.str(), "0 passed, 0 failed\n");
}

}  // namespace
}  // namespace zor_package::tests
