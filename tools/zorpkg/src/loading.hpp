// Reading a package or a profile report from a file ("-": standard input) with the library's
// readers, so that every load checks what the library checks.
#pragma once

#include <string>

#include "failure.hpp"
#include "zor_package/model.hpp"
#include "zor_package/profile.hpp"

namespace zorpkg {

[[nodiscard]] Outcome<zor_package::Application> load_package(const std::string& path);
[[nodiscard]] Outcome<zor_package::ProfileReport> load_report(const std::string& path);

}  // namespace zorpkg
