// Rebuilding the memory image of one tile from its segments.
#include <algorithm>
#include <cstring>

#include "boundary.hpp"
#include "reason.hpp"
#include "zor_package/log.hpp"
#include "zor_package/model.hpp"

namespace zor_package {
namespace {

const TileImage* find_tile(const std::vector<TileImage>& tiles, std::uint32_t physical_tile) {
  auto found = std::find_if(tiles.begin(), tiles.end(), [&](const TileImage& tile) {
    return tile.physical_tile == physical_tile;
  });
  return found == tiles.end() ? nullptr : &*found;
}

// The image length: the highest segment end above the load base. Validation keeps every end
// within 32 bits; a package that skipped it is refused instead of wrapping.
Result<std::uint32_t> image_length(const std::vector<Segment>& segments, std::uint32_t load_base) {
  std::uint32_t length = 0;
  for (const Segment& segment : segments) {
    std::uint32_t end = 0;
    if (__builtin_add_overflow(segment.address, segment.memory_size, &end)) {
      return std::unexpected(PackageError::invalid("segment address overflow"));
    }
    if (segment.data.size() > segment.memory_size) {
      return std::unexpected(PackageError::invalid("segment data exceeds tile image"));
    }
    length = std::max(length, end - load_base);
  }
  return length;
}

Result<Bytes> build_image(const std::vector<TileImage>& tiles, std::uint32_t physical_tile) {
  const TileImage* tile = find_tile(tiles, physical_tile);
  if (tile == nullptr) {
    return std::unexpected(reason::invalid("unknown tile ", physical_tile));
  }
  if (tile->segments.empty()) {
    return std::unexpected(PackageError::invalid("tile has no loadable segments"));
  }
  const std::uint32_t load_base =
      std::min_element(tile->segments.begin(), tile->segments.end(),
                       [](const Segment& a, const Segment& b) { return a.address < b.address; })
          ->address;
  auto length = image_length(tile->segments, load_base);
  if (!length) {
    return std::unexpected(std::move(length.error()));
  }

  Bytes image(*length);
  if (log::enabled()) {
    const std::string base = reason::text("0x", reason::Hex{load_base});
    log::emit(log::Level::Trace, "reconstructing tile image",
              {{"physical_tile", std::uint64_t{physical_tile}},
               {"load_base", base},
               {"image_bytes", std::uint64_t{*length}}});
  }
  for (const Segment& segment : tile->segments) {
    if (!segment.data.empty()) {
      std::memcpy(image.data() + (segment.address - load_base), segment.data.data(),
                  segment.data.size());
    }
  }
  return image;
}

}  // namespace

Result<Bytes> Application::tile_image(std::uint32_t physical_tile) const {
  return guarded([&] { return build_image(tiles, physical_tile); });
}

}  // namespace zor_package
