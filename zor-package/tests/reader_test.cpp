// Reading packages: framing faults, the order in which faults are judged, absent values read as
// defaults, inputs of any alignment and length, and the bound on what a hostile message can cost.
#include "reader.hpp"

#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/schema/application.capnp.h"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the hand-made messages below are written as native integers");

using Root = wire::Application::Builder;
using Edit = std::function<void(Root)>;

template <class T>
testing::AssertionResult ok(const Result<T>& result) {
  if (result.has_value()) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << result.error();
}

void expect_error(const Result<Application>& result, ErrorKind kind, std::string_view reason = {}) {
  ASSERT_FALSE(result.has_value()) << "read " << *result;
  EXPECT_EQ(result.error().kind(), kind) << result.error();
  if (kind == ErrorKind::Invalid) {
    EXPECT_EQ(result.error().reason(), reason);
  }
}

Bytes serialise(capnp::MessageBuilder& message) {
  const auto words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return Bytes(bytes.begin(), bytes.end());
}

Bytes write_bytes(const Application& app) {
  Bytes bytes;
  const Result<void> written = app.write(bytes);
  EXPECT_TRUE(written.has_value()) << written.error();
  return bytes;
}

// Little-endian 32-bit values one after another, for segment tables written by hand.
Bytes u32s(std::initializer_list<std::uint32_t> values) {
  Bytes bytes;
  for (std::uint32_t value : values) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  }
  return bytes;
}

void set_header(Root root, std::string_view target = "zor21") {
  root.setSchemaVersion(5);
  root.setTarget(capnp::Text::Reader(target.data(), target.size()));
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
}

// The tile of the sample package.
void add_sample_tile(Root root) {
  auto tile = root.initTiles(1)[0];
  tile.setPhysicalTile(0);
  tile.setEntryPoint(0x4c000);
  tile.setCommandAddress(0x4c100);
  tile.setDiagnosticAddress(0x4c200);
  auto segment = tile.initSegments(1)[0];
  segment.setAddress(0x4c000);
  segment.setMemorySize(8);
  const std::uint8_t data[] = {1, 2, 3, 4};
  segment.setData(capnp::Data::Reader(data, sizeof data));
  segment.setFlags(5);
}

// A message whose root holds a correct header and the sample's tile, and nothing else unless
// `edit` adds it.
Bytes package_with(const Edit& edit) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Application>();
  set_header(root);
  add_sample_tile(root);
  edit(root);
  return serialise(message);
}

// Pointer `index` of a struct, to put something there that the schema does not expect.
template <class Builder>
capnp::AnyPointer::Builder pointer(Builder builder, unsigned index) {
  return capnp::AnyStruct::Builder(std::move(builder)).getPointerSection()[index];
}

constexpr unsigned kTargetPointer = 1;
constexpr unsigned kTilesPointer = 2;
constexpr unsigned kHostExchangePointer = 6;

wire::Segment::Builder first_segment(Root root) { return root.getTiles()[0].getSegments()[0]; }

// Puts a list of 32-bit numbers where the schema expects a text, a blob or a struct.
void set_u32s(capnp::AnyPointer::Builder slot) { slot.initAs<capnp::List<std::uint32_t>>(2); }

TEST(ReaderTest, FramingFaultsAreCapnpErrors) {
  Bytes too_many_segments = u32s({511});
  too_many_segments.resize(4 * 513 + 4 + 64);  // a zero size for each of 512 segments, padding
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty input", {}},
      {"three bytes", {0, 0, 0}},
      {"count word without sizes", u32s({0})},
      {"input ends inside the table", u32s({2, 1, 1})},
      {"input ends inside the segment", u32s({0, 2, 0, 0})},
      {"512 segments", too_many_segments},
      {"count word 0xffffffff", u32s({0xffffffff, 0, 0, 0})},
      {"a segment of 2^32 - 1 words in 16 bytes", u32s({0, 0xffffffff, 0, 0})},
      {"root is a list pointer", u32s({0, 1, 1, 0})},
      {"root points past its segment", u32s({0, 1, 10 << 2, 1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(Application::read(c.bytes), ErrorKind::Capnp);
  }
}

TEST(ReaderTest, NullRootReadsAsAnEmptyRoot) {
  // One segment of one zero word: the framing is sound and the root has no target.
  expect_error(Application::read(u32s({0, 1, 0, 0})), ErrorKind::Invalid,
               "unsupported package target");

  // 511 segments are allowed: the first holds the null root, the others are empty.
  Bytes most_segments = u32s({510, 1});
  most_segments.resize(4 * 512 + 8);
  expect_error(Application::read(most_segments), ErrorKind::Invalid, "unsupported package target");
}

TEST(ReaderTest, EarliestFaultWins) {
  struct Case {
    const char* name;
    Edit edit;
    ErrorKind kind;
    std::string_view reason = {};
    std::optional<std::uint16_t> raw_value = {};
  };
  // A text of bytes as they are, valid UTF-8 or not.
  const auto raw_text = [](const char* bytes) { return capnp::Text::Reader(bytes); };
  const Case cases[] = {
      // The target, judged before anything else.
      {"absent target", [](Root root) { pointer(root, kTargetPointer).clear(); },
       ErrorKind::Invalid, "unsupported package target"},
      {"upper-case target", [](Root root) { root.setTarget("ZOR21"); }, ErrorKind::Invalid,
       "unsupported package target"},
      {"target with a trailing blank", [](Root root) { root.setTarget("zor21 "); },
       ErrorKind::Invalid, "unsupported package target"},
      {"foreign target with a wrong memory size",
       [](Root root) {
         root.setTarget("unknown-zor");
         root.setTileMemorySize(0x9c001);
       },
       ErrorKind::Invalid, "unsupported package target"},
      {"non-UTF-8 target with a wrong header",
       [&](Root root) {
         root.setTarget(raw_text("zor\xff"));
         root.setSchemaVersion(4);
       },
       ErrorKind::Utf8},
      {"target without its NUL, wrong header",
       [](Root root) {
         const std::uint8_t name[] = {'z', 'o', 'r', '2', '1'};
         pointer(root, kTargetPointer).setAs<capnp::Data>(capnp::Data::Reader(name, sizeof name));
         root.setSchemaVersion(4);
       },
       ErrorKind::Capnp},
      {"target of the wrong kind, wrong header",
       [](Root root) {
         set_u32s(pointer(root, kTargetPointer));
         root.setSchemaVersion(4);
       },
       ErrorKind::Capnp},

      // The header.
      {"schema version 4", [](Root root) { root.setSchemaVersion(4); }, ErrorKind::Invalid,
       "incompatible package header"},
      {"schema version 6", [](Root root) { root.setSchemaVersion(6); }, ErrorKind::Invalid,
       "incompatible package header"},
      {"base one above the window", [](Root root) { root.setTileMemoryBase(0x4c001); },
       ErrorKind::Invalid, "incompatible package header"},
      {"size one below the window", [](Root root) { root.setTileMemorySize(0x9bfff); },
       ErrorKind::Invalid, "incompatible package header"},
      {"wrong header and non-UTF-8 compiler version",
       [&](Root root) {
         root.setTileMemoryBase(0);
         root.setCompilerVersion(raw_text("zc\xc3"));
       },
       ErrorKind::Invalid, "incompatible package header"},

      // The compiler version and the records, in the order of the root's fields, before any
      // validation rule.
      {"non-UTF-8 compiler version without tiles",
       [&](Root root) {
         pointer(root, kTilesPointer).clear();
         root.setCompilerVersion(raw_text("zc\xc3"));
       },
       ErrorKind::Utf8},
      {"correct header and no lists", [](Root root) { pointer(root, kTilesPointer).clear(); },
       ErrorKind::Invalid, "application has no tiles"},
      {"tiles as a struct", [](Root root) { pointer(root, kTilesPointer).initAsAnyStruct(1, 0); },
       ErrorKind::Capnp},
      {"segment data as a list of words, segment outside the window",
       [](Root root) {
         first_segment(root).setAddress(0);
         set_u32s(pointer(first_segment(root), 0));
       },
       ErrorKind::Capnp},
      {"segment data as a struct",
       [](Root root) { pointer(first_segment(root), 0).initAsAnyStruct(1, 0); }, ErrorKind::Capnp},
      {"segment data of the wrong kind before a non-UTF-8 binding name",
       [&](Root root) {
         set_u32s(pointer(first_segment(root), 0));
         root.initInputs(1)[0].setName(raw_text("in\xff"));
       },
       ErrorKind::Capnp},
      {"non-UTF-8 binding name",
       [&](Root root) { root.initWeights(1)[0].setName(raw_text("w\xff")); }, ErrorKind::Utf8},
      {"host exchange of the wrong kind",
       [](Root root) { set_u32s(pointer(root, kHostExchangePointer)); }, ErrorKind::Capnp},
      {"non-UTF-8 host call name",
       [&](Root root) {
         root.initHostExchange().initCalls(1)[0].setName(raw_text("\xed\xa0\x80"));
       },
       ErrorKind::Utf8},
      {"non-UTF-8 entry point name",
       [&](Root root) { root.initEntryPoints(1)[0].setName(raw_text("\xc0\xaf")); },
       ErrorKind::Utf8},
      {"step kind 4",
       [](Root root) {
         auto steps = root.initProfileTiles(1)[0].initSteps(1);
         steps[0].setKind(static_cast<wire::StepKind>(4));
       },
       ErrorKind::SchemaEnum,
       {},
       4},
      {"activity kind 3 before a non-UTF-8 debug symbol name",
       [&](Root root) {
         auto step = root.initProfileTiles(1)[0].initSteps(1)[0];
         step.initExchangeActivities(1)[0].setKind(static_cast<wire::ExchangeActivityKind>(3));
         root.initDebugSymbols(1)[0].setName(raw_text("\xff"));
       },
       ErrorKind::SchemaEnum,
       {},
       3},
      {"non-UTF-8 debug region name with an invalid region",
       [&](Root root) { root.initDebugRegions(1)[0].setName(raw_text("r\x80")); }, ErrorKind::Utf8},
      {"profile plan for a missing tile",
       [](Root root) { root.initProfileTiles(1)[0].setPhysicalTile(3); }, ErrorKind::Invalid,
       "invalid tile profile plan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Application> read = Application::read(package_with(c.edit));
    expect_error(read, c.kind, c.reason);
    if (c.raw_value && !read) {
      EXPECT_EQ(read.error().raw_value(), c.raw_value);
    }
  }
}

TEST(ReaderTest, AbsentValuesReadAsDefaults) {
  // Only the header and the sample's tile are present: no compiler version, no host exchange,
  // and every other list is a null pointer.
  const Result<Application> read = Application::read(package_with([](Root) {}));
  ASSERT_TRUE(ok(read));
  Application expected = tests::sample();
  expected.compiler_version.clear();
  EXPECT_EQ(*read, expected);
  EXPECT_EQ(read->host_exchange, HostExchange{});
}

TEST(ReaderTest, HostCallStoredWithoutInvocationsReadsOne) {
  const Bytes bytes = package_with([](Root root) {
    auto exchange = root.initHostExchange();
    auto page = exchange.initPages(1)[0];
    page.setIndex(0);
    page.setSize(0x1000);
    // A producer that knew only the first word of the data section and the name.
    auto call = pointer(exchange, 2).initAsListOfAnyStruct(1, 1, 1)[0];
    const std::uint32_t command_and_phases[] = {2, 4};
    std::memcpy(call.getDataSection().begin(), command_and_phases, sizeof command_and_phases);
    call.getPointerSection()[0].setAs<capnp::Text>("short");
  });
  const Result<Application> read = Application::read(bytes);
  ASSERT_TRUE(ok(read));
  ASSERT_EQ(read->host_exchange.calls.size(), 1u);
  EXPECT_EQ(read->host_exchange.calls[0],
            (HostCall{.name = "short", .command = 2, .phases = 4, .invocations = 1}));
}

// A package with enough records to spread over many segments of a small message builder.
Application several_tiles() {
  Application app = tests::sample();
  app.compiler_version = "zc 2.4.1";
  app.tiles.clear();
  for (std::uint32_t tile = 0; tile < 8; ++tile) {
    app.tiles.push_back(TileImage{
        .physical_tile = tile * 3,
        .entry_point = 0x4c000 + tile,
        .segments = {{.address = 0x4c000, .memory_size = 0x40, .data = Bytes(tile * 5, 0xab)},
                     {.address = 0x4c100, .memory_size = 4, .data = {0xcd}, .flags = tile}},
    });
    app.debug_symbols.push_back({.name = "symbol." + std::to_string(tile), .address = tile});
  }
  return app;
}

// The message of `bytes` copied into a builder whose segments hold `segment_words` words, so
// that most objects are reached through far pointers.
Bytes spread_over_segments(const Bytes& bytes, unsigned segment_words) {
  auto words = kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word));
  std::memcpy(words.begin(), bytes.data(), bytes.size());
  capnp::FlatArrayMessageReader reader(words);
  capnp::MallocMessageBuilder builder(segment_words, capnp::AllocationStrategy::FIXED_SIZE);
  builder.setRoot(reader.getRoot<wire::Application>());
  EXPECT_GT(builder.getSegmentsForOutput().size(), 8u);
  return serialise(builder);
}

TEST(ReaderTest, ReadsMessagesOfManySegments) {
  const Application package = several_tiles();
  const Bytes bytes = spread_over_segments(write_bytes(package), 8);
  const Result<Application> read = Application::read(bytes);
  ASSERT_TRUE(ok(read));
  EXPECT_EQ(*read, package);
}

TEST(ReaderTest, HonestMessagesReadWithinTheirOwnSize) {
  const Application package = several_tiles();
  const Bytes flat = write_bytes(package);
  const Bytes spread = spread_over_segments(flat, 8);
  for (const Bytes* bytes : {&flat, &spread}) {
    const Result<Application> read = read_application(*bytes, 0);
    ASSERT_TRUE(ok(read));
    EXPECT_EQ(*read, package);
  }
  const Bytes legacy = tests::legacy_package_bytes();
  EXPECT_TRUE(ok(read_application(legacy, 0)));
}

TEST(ReaderTest, EveryTruncationFailsWithCapnp) {
  const Bytes sample = write_bytes(tests::sample());
  const Bytes spread = spread_over_segments(write_bytes(several_tiles()), 8);
  for (const Bytes* bytes : {&sample, &spread}) {
    for (std::size_t length = 0; length < bytes->size(); ++length) {
      SCOPED_TRACE(length);
      expect_error(Application::read(std::span(*bytes).first(length)), ErrorKind::Capnp);
    }
  }
}

TEST(ReaderTest, BytesAfterTheMessageAreIgnored) {
  const Application package = tests::sample();
  const Bytes bytes = write_bytes(package);
  const Bytes other = write_bytes(several_tiles());
  for (const Bytes& suffix : {Bytes(1, 0), Bytes(9, 0xff), Bytes(4096, 0), other}) {
    SCOPED_TRACE(suffix.size());
    Bytes input = bytes;
    input.insert(input.end(), suffix.begin(), suffix.end());
    const Result<Application> read = Application::read(input);
    ASSERT_TRUE(ok(read));
    EXPECT_EQ(*read, package);
  }
}

TEST(ReaderTest, ReadsInputAtAnyAlignment) {
  const Application package = several_tiles();
  const Bytes bytes = spread_over_segments(write_bytes(package), 8);
  for (std::size_t offset = 1; offset < 8; ++offset) {
    SCOPED_TRACE(offset);
    Bytes buffer(offset, 0xee);
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    const Bytes unchanged = buffer;
    const Result<Application> read = Application::read(std::span(buffer).subspan(offset));
    ASSERT_TRUE(ok(read));
    EXPECT_EQ(*read, package);
    EXPECT_EQ(buffer, unchanged);
  }
}

// Pointer words of the encoding, for a message whose pointers alias one another.
constexpr std::uint64_t struct_pointer(std::int64_t offset, std::uint16_t data_words,
                                       std::uint16_t pointers) {
  return (static_cast<std::uint64_t>(offset) << 2 & 0xffffffff) | std::uint64_t{data_words} << 32 |
         std::uint64_t{pointers} << 48;
}

constexpr std::uint8_t kByteElements = 2;
constexpr std::uint8_t kInlineComposite = 7;

constexpr std::uint64_t list_pointer(std::int64_t offset, std::uint8_t element_size,
                                     std::uint32_t count) {
  return 1 | (static_cast<std::uint64_t>(offset) << 2 & 0xffffffff) |
         std::uint64_t{element_size} << 32 | std::uint64_t{count} << 35;
}

// The offset field of a pointer at word `from` to word `to`.
constexpr std::int64_t offset(std::size_t from, std::size_t to) {
  return static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from) - 1;
}

// One tile whose `count` segments all name the same blob of `blob_words` words as their data:
// a small message that a reader would turn into count times the blob.
Bytes aliased_blob_package(std::size_t count, std::size_t blob_words) {
  constexpr std::size_t kRootData = 1;      // 2 data words
  constexpr std::size_t kRootPointers = 3;  // 12 pointers
  constexpr std::size_t kTarget = 15;
  constexpr std::size_t kTiles = 16;     // tag, then one tile of 2 data words and 1 pointer
  constexpr std::size_t kSegments = 20;  // tag, then the segments of 2 data words and 1 pointer
  const std::size_t blob = kSegments + 1 + 3 * count;

  std::vector<std::uint64_t> words(blob + blob_words, 0);
  words[0] = struct_pointer(offset(0, kRootData), 2, 12);
  words[kRootData] = 5 | std::uint64_t{0x4c000} << 32;
  words[kRootData + 1] = 0x9c000;
  words[kRootPointers + 1] = list_pointer(offset(kRootPointers + 1, kTarget), kByteElements, 6);
  std::memcpy(&words[kTarget], "zor21", 6);
  words[kRootPointers + 2] = list_pointer(offset(kRootPointers + 2, kTiles), kInlineComposite, 3);
  words[kTiles] = struct_pointer(1, 2, 1);
  const std::size_t tile_pointer = kTiles + 3;
  words[tile_pointer] = list_pointer(offset(tile_pointer, kSegments), kInlineComposite,
                                     static_cast<std::uint32_t>(3 * count));
  words[kSegments] = struct_pointer(static_cast<std::int64_t>(count), 2, 1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t element = kSegments + 1 + 3 * i;
    words[element] = 0x4c000 | std::uint64_t{0x9c000} << 32;
    words[element + 2] = list_pointer(offset(element + 2, blob), kByteElements,
                                      static_cast<std::uint32_t>(8 * blob_words));
  }

  Bytes bytes = u32s({0, static_cast<std::uint32_t>(words.size())});
  const auto* body = reinterpret_cast<const std::uint8_t*>(words.data());
  bytes.insert(bytes.end(), body, body + words.size() * sizeof(std::uint64_t));
  return bytes;
}

TEST(ReaderTest, AliasedBlobsAreRefusedInsteadOfCopiedOverAndOver) {
  // Sound as a message: with a single segment naming the blob it is an honest package.
  const Result<Application> single = read_application(aliased_blob_package(1, 8192), 0);
  ASSERT_TRUE(ok(single));
  EXPECT_EQ(single->tiles[0].segments[0].data, Bytes(65536, 0));

  // 4096 segments naming one blob of 64 KiB: 160 KiB of input, 256 MiB of segment data.
  const Bytes bytes = aliased_blob_package(4096, 8192);
  EXPECT_LT(bytes.size(), 200u * 1024);
  expect_error(Application::read(bytes), ErrorKind::Capnp);
}

TEST(ReaderTest, ListsOfEmptyStructsAreRefused) {
  // Elements without data or pointers take no room on the wire, whatever their count.
  constexpr unsigned kMostElements = (1u << 29) - 1;
  for (const unsigned field : {kTilesPointer, 3u, 7u, 9u}) {
    SCOPED_TRACE(field);
    capnp::MallocMessageBuilder message;
    auto root = message.initRoot<wire::Application>();
    set_header(root);
    if (field != kTilesPointer) {
      add_sample_tile(root);
    }
    pointer(root, field).initAsListOfAnyStruct(0, 0, kMostElements);
    const Bytes bytes = serialise(message);
    EXPECT_LT(bytes.size(), 1024u);
    expect_error(Application::read(bytes), ErrorKind::Capnp);
  }
}

}  // namespace
}  // namespace zor_package
