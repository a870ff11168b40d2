// Building a profile report from a package that reads and any run output never crashes and never
// reads outside the output. The input is a 4-byte little-endian package length, the package, and
// the run output.
#include <cstdlib>

#include "zor_package/model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) {
    return 0;
  }
  const std::size_t package_size = std::size_t{data[0]} | std::size_t{data[1]} << 8 |
                                   std::size_t{data[2]} << 16 | std::size_t{data[3]} << 24;
  if (package_size > size - 4) {
    return 0;
  }
  auto package = zor_package::Application::read({data + 4, package_size});
  if (!package) {
    return 0;
  }
  // A copy of exactly the output's size, so that the sanitizers see any read past its end.
  const std::vector<std::uint8_t> output(data + 4 + package_size, data + size);
  auto report = package->profile_report(output, 1'500'000'000);
  if (report && report->tiles.size() != package->profile_tiles.size()) {
    std::abort();
  }
  return 0;
}
