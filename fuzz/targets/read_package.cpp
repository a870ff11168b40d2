// Reading any bytes as a package never crashes; a package that reads writes back to bytes that
// read as the same package.
#include <cstdlib>

#include "zor_package/model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zor_package::Application;
  auto package = Application::read({data, size});
  if (!package) {
    return 0;
  }
  std::vector<std::uint8_t> bytes;
  if (!package->write(bytes)) {
    std::abort();  // a package that passed validation on reading must write
  }
  auto again = Application::read(bytes);
  if (!again || *again != *package) {
    std::abort();
  }
  return 0;
}
