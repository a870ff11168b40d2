// Every tile of any package that reads rebuilds into an image that holds each segment's data at
// its address.
#include <algorithm>
#include <cstdlib>

#include "zor_package/model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zor_package::Application;
  auto package = Application::read({data, size});
  if (!package) {
    return 0;
  }
  for (const auto& tile : package->tiles) {
    auto image = package->tile_image(tile.physical_tile);
    if (tile.segments.empty()) {
      if (image) std::abort();
      continue;
    }
    if (!image) {
      std::abort();  // validation guarantees that every tile with segments has an image
    }
    const auto base =
        std::min_element(tile.segments.begin(), tile.segments.end(),
                         [](const auto& a, const auto& b) { return a.address < b.address; })
            ->address;
    for (const auto& segment : tile.segments) {
      const std::size_t offset = segment.address - base;
      if (offset + segment.data.size() > image->size() ||
          !std::equal(segment.data.begin(), segment.data.end(),
                      image->begin() + static_cast<std::ptrdiff_t>(offset))) {
        std::abort();
      }
    }
  }
  return 0;
}
