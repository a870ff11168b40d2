// Tile images: each segment's data at its place above the lowest segment address, zeros
// everywhere else, and refusals instead of stray reads or writes on packages that skipped
// validation.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

// The sample package with tile 0's segments replaced.
Application with_segments(std::vector<Segment> segments) {
  Application app = tests::sample();
  app.tiles[0].segments = std::move(segments);
  return app;
}

Bytes image_of(const Application& app, std::uint32_t tile) {
  const Result<Bytes> image = app.tile_image(tile);
  EXPECT_TRUE(image.has_value()) << image.error();
  return image.value_or(Bytes{});
}

TEST(TileImageTest, SampleTileHoldsItsDataFollowedByZeros) {
  const Application sample = tests::sample();
  EXPECT_EQ(image_of(sample, 0), (Bytes{1, 2, 3, 4, 0, 0, 0, 0}));

  Bytes bytes;
  ASSERT_TRUE(sample.write(bytes).has_value());
  const Result<Application> read = Application::read(bytes);
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(image_of(*read, 0), (Bytes{1, 2, 3, 4, 0, 0, 0, 0}));
}

TEST(TileImageTest, GapBetweenSegmentsIsZero) {
  const Segment low{.address = 0x4c000, .memory_size = 8, .data = {1, 2, 3, 4}};
  const Segment high{.address = 0x4c100, .memory_size = 4, .data = {0xaa}};
  Bytes expected(0x104, 0);
  expected[0] = 1;
  expected[1] = 2;
  expected[2] = 3;
  expected[3] = 4;
  expected[0x100] = 0xaa;

  // The load base is the lowest address, not the first segment's.
  EXPECT_EQ(image_of(with_segments({low, high}), 0), expected);
  EXPECT_EQ(image_of(with_segments({high, low}), 0), expected);
}

TEST(TileImageTest, SegmentsOfMemorySizeZeroTakePartWithoutBytes) {
  const Segment empty_low{.address = 0x4c000, .memory_size = 0};
  const Segment high{.address = 0x4c010, .memory_size = 2, .data = {0xaa, 0xbb}};
  const Segment empty_high{.address = 0x4c020, .memory_size = 0};

  EXPECT_EQ(image_of(with_segments({empty_low}), 0), Bytes{});

  // The empty segments set the base and the end of the image.
  Bytes expected(0x20, 0);
  expected[0x10] = 0xaa;
  expected[0x11] = 0xbb;
  EXPECT_EQ(image_of(with_segments({high, empty_low, empty_high}), 0), expected);
}

TEST(TileImageTest, ImageOfAWholeWindow) {
  Application app = with_segments({{.address = 0xe7ffc, .memory_size = 4, .data = {9, 8, 7, 6}},
                                   {.address = 0x4c000, .memory_size = 1, .data = {5}}});
  ASSERT_TRUE(app.validate().has_value());
  const Bytes image = image_of(app, 0);
  ASSERT_EQ(image.size(), 0x9c000u);
  EXPECT_EQ(image.front(), 5);
  EXPECT_EQ(Bytes(image.end() - 4, image.end()), (Bytes{9, 8, 7, 6}));
}

TEST(TileImageTest, TheRequestedTileIsTheFirstOfThatNumber) {
  Application app = tests::sample();
  app.tiles.push_back(TileImage{.physical_tile = 9,
                                .segments = {{.address = 0x50000, .memory_size = 2, .data = {7}}}});
  app.tiles.push_back(TileImage{.physical_tile = 9,
                                .segments = {{.address = 0x60000, .memory_size = 3, .data = {8}}}});
  EXPECT_EQ(image_of(app, 9), (Bytes{7, 0}));
  EXPECT_EQ(image_of(app, 0), (Bytes{1, 2, 3, 4, 0, 0, 0, 0}));
}

TEST(TileImageTest, RefusesWhatItCannotBuild) {
  Application no_segments = tests::sample();
  no_segments.tiles.push_back(TileImage{.physical_tile = 4});

  struct Case {
    const char* name;
    Application package;
    std::uint32_t tile;
    const char* reason;
  };
  // The last three packages break validation and are refused without touching memory outside
  // the image.
  const Case cases[] = {
      {"unknown tile", tests::sample(), 1, "unknown tile 1"},
      {"largest tile number", tests::sample(), 0xffffffff, "unknown tile 4294967295"},
      {"tile without segments", no_segments, 4, "tile has no loadable segments"},
      {"single segment past 2^32",
       with_segments({{.address = 0xfffffff0, .memory_size = 0x20, .data = {1}}}), 0,
       "segment address overflow"},
      {"segment far above the base",
       with_segments({{.address = 0x4c000, .memory_size = 8, .data = {1}},
                      {.address = 0xfffffff0, .memory_size = 0x20, .data = {2}}}),
       0, "segment address overflow"},
      {"data longer than memory size",
       with_segments({{.address = 0x4c000, .memory_size = 2, .data = {1, 2, 3, 4}}}), 0,
       "segment data exceeds tile image"},
      {"data longer than memory size, inside a larger image",
       with_segments({{.address = 0x4c000, .memory_size = 2, .data = {1, 2, 3, 4}},
                      {.address = 0x4c100, .memory_size = 4, .data = {}}}),
       0, "segment data exceeds tile image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Bytes> image = c.package.tile_image(c.tile);
    ASSERT_FALSE(image.has_value()) << image->size() << " bytes";
    EXPECT_TRUE(image.error().is_invalid(c.reason)) << image.error();
  }
}

}  // namespace
}  // namespace zor_package
