// zorpkg validate: reads each package, which checks and validates it, and prints one verdict line
// per file on standard output.
#include <iostream>
#include <sstream>

#include "commands.hpp"
#include "file_io.hpp"
#include "zor_package/model.hpp"

namespace zorpkg {

int run_validate(const ValidateOptions& options) {
  int status = kExitOk;
  for (const std::string& path : options.packages) {
    auto bytes = read_input(path);
    if (!bytes) {
      std::cout.flush();
      std::cerr << bytes.error().line() << '\n';
      status = kExitUsage;
      continue;
    }
    auto package = zor_package::Application::read(*bytes);
    std::ostringstream line;
    line << path << ": ";
    if (package) {
      line << "ok";
    } else {
      line << "error: " << package.error();
      if (status == kExitOk) {
        status = kExitFailure;
      }
    }
    std::cout << line.str() << '\n';
  }
  std::cout.flush();
  return status;
}

}  // namespace zorpkg
