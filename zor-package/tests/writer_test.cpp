// Writing packages: round trips through the reader, the framing and layout of the written bytes,
// the byte sinks, and the packages that are refused before anything reaches a sink.
#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>
#include <kj/io.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "reader.hpp"
#include "zor_package/log.hpp"
#include "zor_package/model.hpp"
#include "zor_package/schema/application.capnp.h"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

using zor_target::Target;

ProfileStep step(std::uint32_t local_index, StepKind kind) {
  return ProfileStep{
      .local_index = local_index,
      .phase = 7 + local_index,
      .epoch = 3,
      .operation = "operation." + std::to_string(local_index),
      .kind = kind,
      .kernel = "kernel",
      .metadata = {{.name = "reason", .value = "LayoutRearrangement"}, {.name = "n", .value = ""}},
      .exchange_activities = {{.fanout = 0xffff,
                               .paired = true,
                               .kind = ExchangeActivityKind::PartnerBusy,
                               .start_cycle = 1,
                               .end_cycle = 0xffffffff},
                              {.fanout = 2,
                               .paired = false,
                               .kind = ExchangeActivityKind::Receive,
                               .start_cycle = 4,
                               .end_cycle = 10}},
      .exchange_event_cycles = 13,
  };
}

// Every field set and every list non-empty: three tiles with several segments (one of memory
// size 0, one ending at the window's end, one filling the window), bindings in all three lists,
// two host calls with one and two invocations, and profile plans with steps of every kind.
Application rich_package() {
  Application app = Application::create(Target::Zor21);
  app.compiler_version = "zc 2.4.1 (rich, \xc3\xbc)";
  app.tiles = {
      TileImage{.physical_tile = 0,
                .entry_point = 0x4c000,
                .command_address = 0x4c100,
                .diagnostic_address = 0x4c200,
                .segments = {{.address = 0x4d000,
                              .memory_size = 0x20,
                              .data = {0xaa, 0xbb, 0xcc},
                              .flags = 0x80000001},
                             {.address = 0x4c000,
                              .memory_size = 0x100,
                              .data = {1, 2, 3, 4, 5, 6, 7, 8, 9},
                              .flags = 5},
                             {.address = 0x4e000, .memory_size = 0, .data = {}, .flags = 2}}},
      TileImage{.physical_tile = 7,
                .entry_point = 0xe7ff8,
                .command_address = 1,
                .diagnostic_address = 2,
                .segments = {{.address = 0xe7ff8,
                              .memory_size = 8,
                              .data = {0xff, 0xfe, 0xfd, 0xfc, 0xfb, 0xfa, 0xf9, 0xf8},
                              .flags = 1}}},
      TileImage{.physical_tile = 0xfffffffe,
                .entry_point = 0xffffffff,
                .command_address = 0xffffffff,
                .diagnostic_address = 0xffffffff,
                .segments = {{.address = 0x4c000,
                              .memory_size = 0x9c000,
                              .data = {0x11, 0x22},
                              .flags = 0xffffffff}}},
  };
  app.inputs = {{.name = "input.0",
                 .dtype = "f32",
                 .shape = {2, 3},
                 .slices = {{.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = 16},
                            {.tile = 7, .tile_address = 0xe7ff8, .file_offset = 16, .size = 8}}}};
  app.outputs = {
      {.name = "logits",
       .dtype = "f16",
       .shape = {1, 1000},
       .slices = {{.tile = 0, .tile_address = 0x4d000, .file_offset = 0, .size = 0x20}}},
      {.name = "profile.cycles",
       .dtype = "u32",
       .shape = {4},
       .slices = {{.tile = 7, .tile_address = 0xe7ff8, .file_offset = 0, .size = 8}}},
  };
  app.weights = {{.name = "weights.0",
                  .dtype = "bf16",
                  .shape = {64},
                  .slices = {{.tile = 0xfffffffe,
                              .tile_address = 0x4c000,
                              .file_offset = 0xffffffff00000000,
                              .size = 0x10}}}};
  app.host_exchange = HostExchange{
      .startup_mark = 0xdead,
      .command_page = 5,
      .command_offset = 0x1ffc,
      .pages = {{.index = 0, .size = 0x1000}, {.index = 5, .size = 0x2000}},
      .attach_order = {5, 0, 5},
      .calls =
          {HostCall{.name = "load",
                    .command = 1,
                    .phases = 3,
                    .inputs = {{.page = 0, .page_offset = 0, .file_offset = 0, .size = 0x10},
                               {.page = 0, .page_offset = 0x10, .file_offset = 0x10, .size = 0x10}},
                    .outputs = {{.page = 5, .page_offset = 0, .file_offset = 0, .size = 0x20}},
                    .invocations = 1,
                    .input_batch_ends = {1, 2},
                    .output_batch_ends = {1}},
           HostCall{
               .name = "run",
               .command = 2,
               .phases = 4,
               .inputs = {{.page = 5, .page_offset = 0x100, .file_offset = 0, .size = 8}},
               .outputs = {{.page = 0, .page_offset = 0xff8, .file_offset = 0xffffffff, .size = 8}},
               .invocations = 2,
               .input_batch_ends = {1},
               .output_batch_ends = {1}}},
  };
  app.entry_points = {{.name = "main", .command = 2, .external_syncs = 3},
                      {.name = "init", .command = 0xffffffff, .external_syncs = 0}};
  app.device_config_writes = {{.offset = 0x4018, .value = 0xc000000d}, {.offset = 0, .value = 1}};
  app.profile_tiles = {
      {.physical_tile = 7,
       .steps = {step(0, StepKind::Exchange), step(1, StepKind::Compute),
                 step(2, StepKind::Synchronization), step(3, StepKind::Idle)}},
      {.physical_tile = 0, .steps = {step(0, StepKind::Compute)}},
  };
  app.debug_symbols = {{.name = "kernel", .address = 0x4c000},
                       {.name = "\xe2\x9c\x93 check", .address = 0xffffffff}};
  app.debug_regions = {
      {.physical_tile = DebugRegion::kNoTile,
       .address = 0x4c000,
       .size = 8,
       .name = "linked executable"},
      {.physical_tile = 7, .address = 0xe7ff8, .size = 8, .name = "tile seven"},
  };
  return app;
}

// Four tiles of three 100 KiB segments each: far more than the builder's default first segment of
// 1024 words.
Application large_package() {
  constexpr std::uint32_t kSegmentBytes = 100 * 1024;
  Application app = tests::sample();
  app.tiles.clear();
  for (std::uint32_t tile = 0; tile < 4; ++tile) {
    TileImage& image = app.tiles.emplace_back();
    image.physical_tile = tile;
    for (std::uint32_t s = 0; s < 3; ++s) {
      Segment& segment = image.segments.emplace_back();
      segment.address = 0x4c000 + s * kSegmentBytes;
      segment.memory_size = kSegmentBytes;
      segment.data.resize(kSegmentBytes - s);  // blobs that do not end on a word boundary
      for (std::size_t i = 0; i < segment.data.size(); ++i) {
        segment.data[i] = static_cast<std::uint8_t>(i * 31 + tile * 7 + s);
      }
    }
  }
  return app;
}

template <class T>
testing::AssertionResult ok(const Result<T>& result) {
  if (result.has_value()) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << result.error();
}

Bytes write_bytes(const Application& app) {
  Bytes bytes;
  const Result<void> written = app.write(bytes);
  EXPECT_TRUE(written.has_value()) << written.error();
  return bytes;
}

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// The bytes of a message copied into words, so that the message layer can parse them in place.
kj::Array<capnp::word> aligned(const Bytes& bytes) {
  auto words = kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word));
  std::memcpy(words.begin(), bytes.data(), words.asBytes().size());
  return words;
}

// The length of the message at the front of `bytes` according to its segment table.
std::size_t framed_length(std::span<const std::uint8_t> bytes) {
  const std::size_t segments = std::size_t{u32_at(bytes, 0)} + 1;
  std::size_t words = 0;
  for (std::size_t i = 0; i < segments; ++i) {
    words += u32_at(bytes, 4 * (i + 1));
  }
  const std::size_t table = (4 * (segments + 1) + 7) / 8 * 8;
  return table + words * 8;
}

struct NamedPackage {
  const char* name;
  Application package;
};

std::vector<NamedPackage> packages() {
  return {{"sample", tests::sample()}, {"rich", rich_package()}, {"large", large_package()}};
}

TEST(WriterTest, RoundTripKeepsEveryField) {
  for (const auto& [name, package] : packages()) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(ok(package.validate()));
    const Bytes bytes = write_bytes(package);
    EXPECT_EQ(framed_length(bytes), bytes.size()) << "nothing follows the message";

    const Result<Application> read = Application::read(bytes);
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, package);

    // A reader that follows every pointer once needs no traversal beyond the message's own size.
    const Result<Application> exact = read_application(bytes, 0);
    ASSERT_TRUE(exact.has_value()) << exact.error();
    EXPECT_EQ(*exact, package);
  }
}

TEST(WriterTest, LargePackageOutgrowsTheDefaultFirstSegment) {
  const Bytes bytes = write_bytes(large_package());
  EXPECT_GT(bytes.size(), 8 + 1024 * sizeof(capnp::word));
  EXPECT_GT(bytes.size(), 12 * 100 * 1024);
}

TEST(WriterTest, TwoWritesGiveIdenticalBytes) {
  for (const auto& [name, package] : packages()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(write_bytes(package), write_bytes(package));
  }
}

TEST(WriterTest, FittingPackageIsOneSegmentMatchingTheTable) {
  for (const Application& package : {tests::sample(), rich_package()}) {
    const Bytes bytes = write_bytes(package);
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(u32_at(bytes, 0), 0u) << "segment count minus one";
    EXPECT_EQ(std::size_t{u32_at(bytes, 4)} * 8 + 8, bytes.size());
  }
}

TEST(WriterTest, AppendsAfterBytesTheVectorAlreadyHolds) {
  const Application package = rich_package();
  const Bytes alone = write_bytes(package);
  // Prefixes of every length modulo 8, so that the message starts at every alignment.
  for (std::size_t prefix_size = 1; prefix_size <= 16; ++prefix_size) {
    SCOPED_TRACE(prefix_size);
    Bytes prefix(prefix_size);
    for (std::size_t i = 0; i < prefix_size; ++i) {
      prefix[i] = static_cast<std::uint8_t>(0xa0 + i);
    }
    Bytes output = prefix;
    ASSERT_TRUE(ok(package.write(output)));
    ASSERT_EQ(output.size(), prefix_size + alone.size());
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), output.begin()));
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(),
                           output.begin() + static_cast<std::ptrdiff_t>(prefix_size)));

    const Result<Application> read = Application::read(std::span(output).subspan(prefix_size));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, package);
  }
}

TEST(WriterTest, InvalidPackageLeavesEverySinkUntouched) {
  const Application empty = Application::create(Target::Zor21);
  log::EventRecorder recorder;
  log::ScopedSubscriber subscribed(recorder);

  Bytes vector = {1, 2, 3};
  const Result<void> to_vector = empty.write(vector);
  ASSERT_FALSE(to_vector.has_value());
  EXPECT_TRUE(to_vector.error().is_invalid("application has no tiles")) << to_vector.error();
  EXPECT_EQ(vector, (Bytes{1, 2, 3}));

  std::ostringstream stream;
  const Result<void> to_stream = empty.write(stream);
  ASSERT_FALSE(to_stream.has_value());
  EXPECT_TRUE(to_stream.error().is_invalid("application has no tiles")) << to_stream.error();
  EXPECT_TRUE(stream.str().empty());

  kj::VectorOutputStream kj_stream;
  const Result<void> to_kj = empty.write(kj_stream);
  ASSERT_FALSE(to_kj.has_value());
  EXPECT_TRUE(to_kj.error().is_invalid("application has no tiles")) << to_kj.error();
  EXPECT_EQ(kj_stream.getArray().size(), 0u);

  EXPECT_TRUE(recorder.events().empty());
}

TEST(WriterTest, RootDataSectionHoldsTheHeader) {
  const Bytes bytes = write_bytes(tests::sample());
  const auto words = aligned(bytes);
  capnp::FlatArrayMessageReader message(words);
  const auto root = message.getRoot<capnp::AnyStruct>();
  EXPECT_EQ(root.getPointerSection().size(), 12u);

  const kj::ArrayPtr<const kj::byte> data = root.getDataSection();
  const Bytes expected = {0x05, 0x00, 0x00, 0x00,   // schema version 5
                          0x00, 0xc0, 0x04, 0x00,   // tile memory base 0x4c000
                          0x00, 0xc0, 0x09, 0x00,   // tile memory size 0x9c000
                          0x00, 0x00, 0x00, 0x00};  // no field
  EXPECT_EQ(Bytes(data.begin(), data.end()), expected);

  const auto typed = message.getRoot<wire::Application>();
  EXPECT_EQ(typed.getSchemaVersion(), 5u);
  EXPECT_EQ(typed.getTarget(), "zor21");
  EXPECT_EQ(typed.getTileMemoryBase(), 0x4c000u);
  EXPECT_EQ(typed.getTileMemorySize(), 0x9c000u);
}

TEST(WriterTest, InvocationsAreStoredAgainstTheirDefaultOfOne) {
  const Application package = rich_package();
  ASSERT_EQ(package.host_exchange.calls[0].invocations, 1u);
  ASSERT_EQ(package.host_exchange.calls[1].invocations, 2u);
  const Bytes bytes = write_bytes(package);
  const auto words = aligned(bytes);
  capnp::FlatArrayMessageReader message(words);
  const auto calls = message.getRoot<wire::Application>().getHostExchange().getCalls();
  ASSERT_EQ(calls.size(), 2u);

  const kj::ArrayPtr<const kj::byte> once = capnp::AnyStruct::Reader(calls[0]).getDataSection();
  const kj::ArrayPtr<const kj::byte> twice = capnp::AnyStruct::Reader(calls[1]).getDataSection();
  ASSERT_EQ(once.size(), 16u);
  EXPECT_EQ(u32_at(std::span(once.begin(), once.size()), 8), 0u);
  EXPECT_EQ(u32_at(std::span(twice.begin(), twice.size()), 8), 3u);

  // The stored value 1 stands for no invocations at all, which the reader refuses.
  const std::size_t slot = static_cast<std::size_t>(once.begin() + 8 - words.asBytes().begin());
  Bytes patched = bytes;
  patched[slot] = 1;
  const Result<Application> read = Application::read(patched);
  ASSERT_FALSE(read.has_value());
  EXPECT_TRUE(read.error().is_invalid("host call load has no invocations")) << read.error();
}

TEST(WriterTest, StreamSinksReceiveTheSameBytesAsAVector) {
  for (const auto& [name, package] : packages()) {
    SCOPED_TRACE(name);
    const Bytes expected = write_bytes(package);

    std::ostringstream stream;
    ASSERT_TRUE(ok(package.write(stream)));
    const std::string streamed = stream.str();
    EXPECT_EQ(Bytes(streamed.begin(), streamed.end()), expected);

    kj::VectorOutputStream kj_stream;
    ASSERT_TRUE(ok(package.write(kj_stream)));
    const auto array = kj_stream.getArray();
    EXPECT_EQ(Bytes(array.begin(), array.end()), expected);
  }
}

// A stream buffer that takes `capacity` bytes and refuses everything after them.
class LimitedBuffer : public std::streambuf {
 public:
  explicit LimitedBuffer(std::size_t capacity) : capacity_(capacity) {}

  std::size_t taken() const { return taken_; }

 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    const auto room = static_cast<std::streamsize>(capacity_ - taken_);
    const std::streamsize accepted = std::min(count, room);
    taken_ += static_cast<std::size_t>(accepted);
    return accepted;
  }

  int_type overflow(int_type ch) override {
    if (taken_ == capacity_) {
      return traits_type::eof();
    }
    ++taken_;
    return traits_type::not_eof(ch);
  }

 private:
  std::size_t capacity_;
  std::size_t taken_ = 0;
};

TEST(WriterTest, RefusingStreamGivesCapnpError) {
  const Application package = rich_package();
  {
    SCOPED_TRACE("stream already failed");
    std::ostringstream stream;
    stream.setstate(std::ios::badbit);
    const Result<void> written = package.write(stream);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().kind(), ErrorKind::Capnp) << written.error();
  }
  for (const std::size_t capacity : {std::size_t{0}, std::size_t{8}, std::size_t{100}}) {
    SCOPED_TRACE(capacity);
    LimitedBuffer buffer(capacity);
    std::ostream stream(&buffer);
    const Result<void> written = package.write(stream);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().kind(), ErrorKind::Capnp) << written.error();
    EXPECT_EQ(buffer.taken(), capacity);
  }
}

TEST(WriterTest, TextBeyondTheEncodingIsRefusedBeforeAnythingIsWritten) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "allocates 512 MiB";
#else
  // A text holds at most 2^29 - 2 bytes, because its NUL counts against the list length.
  Application package = tests::sample();
  package.compiler_version.assign((std::size_t{1} << 29) - 1, 'v');

  Bytes vector = {1, 2, 3};
  const Result<void> to_vector = package.write(vector);
  ASSERT_FALSE(to_vector.has_value());
  EXPECT_EQ(to_vector.error().kind(), ErrorKind::Capnp) << to_vector.error();
  EXPECT_EQ(vector, (Bytes{1, 2, 3}));

  std::ostringstream stream;
  const Result<void> to_stream = package.write(stream);
  ASSERT_FALSE(to_stream.has_value());
  EXPECT_EQ(to_stream.error().kind(), ErrorKind::Capnp) << to_stream.error();
  EXPECT_TRUE(stream.str().empty());
#endif
}

}  // namespace
}  // namespace zor_package
