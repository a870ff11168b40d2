// The library's log events as a subscriber records them: which operations emit what, in which
// order, and that failed operations emit only what precedes their failure.
#include "zor_package/log.hpp"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/schema/application.capnp.h"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

using log::Level;
using log::RecordedEvent;

RecordedEvent info(std::string message,
                   std::vector<std::pair<std::string, RecordedEvent::OwnedValue>> fields = {}) {
  return RecordedEvent{.level = Level::Info,
                       .target = "zor_package",
                       .message = std::move(message),
                       .fields = std::move(fields)};
}

RecordedEvent tile_event(std::uint64_t tile, std::string load_base, std::uint64_t bytes) {
  return RecordedEvent{
      .level = Level::Trace,
      .target = "zor_package",
      .message = "reconstructing tile image",
      .fields = {
          {"physical_tile", tile}, {"load_base", std::move(load_base)}, {"image_bytes", bytes}}};
}

const RecordedEvent kReading = info("reading application package");

// Records the events of one test.
class LogTest : public testing::Test {
 protected:
  std::vector<RecordedEvent> events() const { return recorder_.events(); }

 private:
  log::EventRecorder recorder_;
  log::ScopedSubscriber subscribed_{recorder_};
};

// A package of three tiles with compiler version "zc 9".
Application three_tiles() {
  Application app = tests::sample();
  app.compiler_version = "zc 9";
  for (std::uint32_t tile : {5u, 6u}) {
    app.tiles.push_back(
        TileImage{.physical_tile = tile,
                  .segments = {{.address = 0x4fab0, .memory_size = 0x10, .data = {1}}}});
  }
  return app;
}

TEST_F(LogTest, WriteEmitsTwoEvents) {
  Bytes bytes;
  ASSERT_TRUE(three_tiles().write(bytes).has_value());
  EXPECT_EQ(events(),
            (std::vector{info("writing application package", {{"tiles", std::uint64_t{3}}}),
                         info("application package written")}));
}

TEST_F(LogTest, FailedWriteEmitsNothingBeforeValidationAndNoEndAfterIt) {
  Bytes bytes;
  ASSERT_FALSE(Application::create(zor_target::Target::Zor21).write(bytes).has_value());
  EXPECT_EQ(events(), std::vector<RecordedEvent>{});

  // A stream that refuses the message fails after the first event.
  std::ostringstream refusing;
  refusing.setstate(std::ios::badbit);
  ASSERT_FALSE(tests::sample().write(refusing).has_value());
  EXPECT_EQ(events(),
            (std::vector{info("writing application package", {{"tiles", std::uint64_t{1}}})}));
}

TEST_F(LogTest, ReadEmitsTwoEvents) {
  Bytes bytes;
  ASSERT_TRUE(three_tiles().write(bytes).has_value());
  ASSERT_TRUE(Application::read(bytes).has_value());
  const std::vector<RecordedEvent> all = events();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(std::vector(all.begin() + 2, all.end()),
            (std::vector{kReading, info("application package read",
                                        {{"tiles", std::uint64_t{3}}, {"compiler", "zc 9"}})}));
}

TEST_F(LogTest, AbsentCompilerVersionIsRecordedEmpty) {
  ASSERT_TRUE(Application::read(tests::legacy_package_bytes()).has_value());
  EXPECT_EQ(events(),
            (std::vector{kReading, info("application package read",
                                        {{"tiles", std::uint64_t{1}}, {"compiler", ""}})}));
}

TEST_F(LogTest, FailedReadEmitsOnlyTheFirstEvent) {
  // A correct header and nothing else: the read fails in validation, after every conversion.
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Application>();
  root.setSchemaVersion(5);
  root.setTarget("zor21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  const auto words = capnp::messageToFlatArray(message);
  const auto no_tiles = words.asBytes();

  const Result<Application> invalid = Application::read(no_tiles);
  ASSERT_FALSE(invalid.has_value());
  EXPECT_TRUE(invalid.error().is_invalid("application has no tiles")) << invalid.error();
  ASSERT_FALSE(Application::read({}).has_value());
  EXPECT_EQ(events(), (std::vector{kReading, kReading}));
}

TEST_F(LogTest, TileImageEmitsOneTraceEvent) {
  const Application app = three_tiles();
  ASSERT_TRUE(app.tile_image(0).has_value());
  ASSERT_TRUE(app.tile_image(6).has_value());
  Application empty = tests::sample();
  empty.tiles[0].segments = {{.address = 0xe8000, .memory_size = 0}};
  ASSERT_TRUE(empty.tile_image(0).has_value());
  EXPECT_EQ(events(), (std::vector{tile_event(0, "0x4c000", 8), tile_event(6, "0x4fab0", 0x10),
                                   tile_event(0, "0xe8000", 0)}));
}

TEST_F(LogTest, FailedTileImageEmitsNothing) {
  Application app = tests::sample();
  app.tiles.push_back(TileImage{.physical_tile = 2});
  app.tiles.push_back(TileImage{
      .physical_tile = 3, .segments = {{.address = 0x4c000, .memory_size = 1, .data = {1, 2}}}});
  for (std::uint32_t tile : {1u, 2u, 3u}) {
    EXPECT_FALSE(app.tile_image(tile).has_value());
  }
  EXPECT_EQ(events(), std::vector<RecordedEvent>{});
}

}  // namespace
}  // namespace zor_package
