// zorpkg profile: builds the cycle profile report of a profiled run and writes the report file.
#include <vector>

#include "commands.hpp"
#include "file_io.hpp"
#include "loading.hpp"
#include "zor_package/model.hpp"

namespace zorpkg {

Outcome<void> run_profile(const ProfileOptions& options) {
  if (options.package == kStandardStream && options.run_output == kStandardStream) {
    return fail("-", "the package and the run output cannot both come from standard input",
                kExitUsage);
  }
  auto package = load_package(options.package);
  if (!package) {
    return std::unexpected(package.error());
  }
  auto run_output = read_input(options.run_output);
  if (!run_output) {
    return std::unexpected(run_output.error());
  }
  auto report = package->profile_report(*run_output, options.clock_hz);
  if (!report) {
    // The one complaint about the run output itself; every other one is about the package.
    bool about_run_output = report.error().is_invalid("profile binding exceeds runtime output");
    return std::unexpected(
        library_failure(about_run_output ? options.run_output : options.package, report.error()));
  }
  std::vector<std::uint8_t> bytes;
  if (auto written = report->write(bytes); !written) {
    return std::unexpected(library_failure(options.output, written.error()));
  }
  return write_file(options.output, bytes);
}

}  // namespace zorpkg
