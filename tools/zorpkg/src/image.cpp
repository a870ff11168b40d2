// zorpkg image: writes the memory image of one tile, or of every tile, and tells where it loads.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_io.hpp"
#include "loading.hpp"
#include "zor_package/model.hpp"

namespace zorpkg {

using namespace zor_package;

namespace {

// The tile address of an image's first byte: the lowest segment address of the tile, which the
// library's image starts at.
std::uint32_t load_base(const TileImage& tile) {
  std::uint32_t base = tile.segments.front().address;
  for (const Segment& segment : tile.segments) {
    base = std::min(base, segment.address);
  }
  return base;
}

const TileImage* find_tile(const Application& package, std::uint32_t physical_tile) {
  auto found = std::ranges::find(package.tiles, physical_tile, &TileImage::physical_tile);
  return found == package.tiles.end() ? nullptr : &*found;
}

std::string describe(std::uint32_t physical_tile, std::uint32_t base, std::size_t size) {
  std::ostringstream out;
  out << "tile " << physical_tile << ": load base 0x" << std::hex << base << std::dec << ", "
      << size << (size == 1 ? " byte" : " bytes");
  return out.str();
}

// Image files are named by zero-padded tile number, so that name order is tile order.
std::string image_name(std::uint32_t physical_tile, std::size_t width) {
  std::string number = std::to_string(physical_tile);
  if (number.size() < width) {
    number.insert(0, width - number.size(), '0');
  }
  return "tile-" + number + ".bin";
}

Outcome<void> write_one(const Application& package, const ImageOptions& options) {
  auto image = package.tile_image(options.tile);
  if (!image) {
    return std::unexpected(library_failure(options.package, image.error()));
  }
  if (auto written = write_file(options.output, *image); !written) {
    return written;
  }
  // The image itself may be on standard output; the description then goes to standard error.
  std::ostream& out = options.output == kStandardStream ? std::cerr : std::cout;
  out << describe(options.tile, load_base(*find_tile(package, options.tile)), image->size())
      << " -> " << options.output << '\n';
  return {};
}

Outcome<void> write_all(const Application& package, const ImageOptions& options) {
  if (options.output == kStandardStream) {
    return fail("-", "--all writes a file per tile and needs a directory, not standard output",
                kExitUsage);
  }
  if (auto made = make_directory(options.output); !made) {
    return made;
  }
  std::uint32_t highest = 0;
  for (const TileImage& tile : package.tiles) {
    highest = std::max(highest, tile.physical_tile);
  }
  std::size_t width = std::max<std::size_t>(4, std::to_string(highest).size());
  std::vector<std::string> written;
  std::string lines;
  auto undo = [&] {
    for (const std::string& path : written) {
      remove_file(path);
    }
  };
  for (const TileImage& tile : package.tiles) {
    if (tile.segments.empty()) {
      lines += "tile " + std::to_string(tile.physical_tile) + ": no loadable segments, skipped\n";
      continue;
    }
    auto image = package.tile_image(tile.physical_tile);
    if (!image) {
      undo();
      return std::unexpected(library_failure(options.package, image.error()));
    }
    std::string path =
        (std::filesystem::path(options.output) / image_name(tile.physical_tile, width)).string();
    if (auto done = write_file(path, *image); !done) {
      undo();
      return done;
    }
    written.push_back(path);
    lines += describe(tile.physical_tile, load_base(tile), image->size()) + " -> " + path + "\n";
  }
  std::cout << lines;
  return {};
}

}  // namespace

Outcome<void> run_image(const ImageOptions& options) {
  auto package = load_package(options.package);
  if (!package) {
    return std::unexpected(package.error());
  }
  return options.all ? write_all(*package, options) : write_one(*package, options);
}

}  // namespace zorpkg
