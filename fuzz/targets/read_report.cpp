// Reading any bytes as a profile report never crashes; a report that reads writes back to bytes
// that read as the same report.
#include <cstdlib>

#include "zor_package/profile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zor_package::ProfileReport;
  auto report = ProfileReport::read({data, size});
  if (!report) {
    return 0;
  }
  std::vector<std::uint8_t> bytes;
  if (!report->write(bytes)) {
    std::abort();
  }
  auto again = ProfileReport::read(bytes);
  if (!again || *again != *report) {
    std::abort();
  }
  return 0;
}
