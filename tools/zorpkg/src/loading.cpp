#include "loading.hpp"

#include "file_io.hpp"

namespace zorpkg {

Outcome<zor_package::Application> load_package(const std::string& path) {
  auto bytes = read_input(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  auto package = zor_package::Application::read(*bytes);
  if (!package) {
    return std::unexpected(library_failure(path, package.error()));
  }
  return std::move(*package);
}

Outcome<zor_package::ProfileReport> load_report(const std::string& path) {
  auto bytes = read_input(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  auto report = zor_package::ProfileReport::read(*bytes);
  if (!report) {
    return std::unexpected(library_failure(path, report.error()));
  }
  return std::move(*report);
}

}  // namespace zorpkg
