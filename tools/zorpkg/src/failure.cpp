#include "failure.hpp"

#include <sstream>

namespace zorpkg {

std::string Failure::line() const {
  std::string out = "zorpkg: error: ";
  if (!file.empty()) {
    out += file;
    out += ": ";
  }
  out += text;
  return out;
}

Failure library_failure(std::string file, const zor_package::PackageError& error) {
  std::ostringstream rendering;
  rendering << error;
  return Failure{std::move(file), rendering.str(), kExitFailure};
}

}  // namespace zorpkg
