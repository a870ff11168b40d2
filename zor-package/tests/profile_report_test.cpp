// ProfileReport::write and ProfileReport::read: reports through the profile file and back, the
// schema versions a reader accepts, and inputs that are cut short, misaligned or malformed.
#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>
#include <kj/io.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <spanstream>
#include <sstream>
#include <string>
#include <vector>

#include "zor_package/profile.hpp"
#include "zor_package/schema/profile.capnp.h"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kClockHz = 1'500'000'000;

using tests::four_kinds_report;

Bytes written(const ProfileReport& report) {
  Bytes bytes;
  const Result<void> result = report.write(bytes);
  EXPECT_TRUE(result.has_value()) << result.error();
  return bytes;
}

Bytes flat_bytes(capnp::MessageBuilder& message) {
  const kj::Array<capnp::word> flat = capnp::messageToFlatArray(message);
  const auto bytes = flat.asBytes();
  return Bytes(bytes.begin(), bytes.end());
}

// The report that hand_built() stores when it is given no changes.
ProfileReport hand_report() {
  // The compute step of the four-kinds report, with its metadata and without activities.
  const ProfileStep step = four_kinds_report().tiles[0].samples[1].step;
  return ProfileReport{
      .clock_hz = kClockHz,
      .tiles = {{.physical_tile = 3,
                 .samples = {{.step = step, .start_cycle = 40, .end_cycle = 90}}},
                {.physical_tile = 4, .samples = {}}},
  };
}

using Root = wire::Profile::Builder;

// A profile message built field by field with the generated builders, as another writer could
// have left it: two tiles (3 with one sample, 4 without), the schema version only when given,
// and `change` applied last.
Bytes hand_built(std::optional<std::uint32_t> version,
                 const std::function<void(Root)>& change = {}) {
  capnp::MallocMessageBuilder message;
  Root root = message.initRoot<wire::Profile>();
  if (version) {
    root.setSchemaVersion(*version);
  }
  root.setClockHz(kClockHz);
  auto tiles = root.initTiles(2);
  tiles[0].setPhysicalTile(3);
  auto sample = tiles[0].initSamples(1)[0];
  sample.setStartCycle(40);
  sample.setEndCycle(90);
  hand_report().tiles[0].samples[0].step.write(sample.initStep());
  tiles[1].setPhysicalTile(4);
  if (change) {
    change(root);
  }
  return flat_bytes(message);
}

wire::CycleSample::Builder first_sample(Root root) { return root.getTiles()[0].getSamples()[0]; }

// The pointer section of a struct under construction, to store pointers that its schema forbids.
template <class Builder>
capnp::List<capnp::AnyPointer>::Builder pointers(Builder record) {
  return capnp::AnyStruct::Builder(kj::mv(record)).getPointerSection();
}

TEST(ProfileReportFile, RoundTrips) {
  const ProfileReport many_tiles{
      .clock_hz = 0xffffffffffffffff,
      .tiles = {{.physical_tile = 0xffffffff,
                 .samples = {{.step = {}, .start_cycle = 0xffffffff, .end_cycle = 0xffffffff}}},
                {.physical_tile = 0, .samples = {}},
                four_kinds_report().tiles[0],
                four_kinds_report().tiles[0]},
  };
  const struct {
    const char* label;
    ProfileReport report;
  } cases[] = {
      {"no tiles", ProfileReport{.clock_hz = kClockHz, .tiles = {}}},
      {"a tile without samples",
       ProfileReport{.clock_hz = kClockHz, .tiles = {{.physical_tile = 9, .samples = {}}}}},
      {"clock 0", ProfileReport{.clock_hz = 0, .tiles = four_kinds_report().tiles}},
      {"every step kind, end cycles below start cycles", four_kinds_report()},
      {"largest numbers and repeated tiles", many_tiles},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes bytes = written(c.report);
    const Result<ProfileReport> read = ProfileReport::read(bytes);
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, c.report);
  }
}

TEST(ProfileReportFile, WriteAppendsToWhatTheVectorHolds) {
  const ProfileReport first = four_kinds_report();
  const ProfileReport second{.clock_hz = 0, .tiles = {{.physical_tile = 2, .samples = {}}}};
  const Bytes prefix = {0xaa, 0xbb, 0xcc};

  Bytes bytes = prefix;
  ASSERT_TRUE(first.write(bytes).has_value());
  const std::size_t second_at = bytes.size();
  ASSERT_TRUE(second.write(bytes).has_value());

  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), prefix);
  EXPECT_EQ(Bytes(bytes.begin() + 3, bytes.begin() + static_cast<std::ptrdiff_t>(second_at)),
            written(first));
  const std::span<const std::uint8_t> all(bytes);
  const Result<ProfileReport> read_first = ProfileReport::read(all.subspan(3));
  ASSERT_TRUE(read_first.has_value()) << read_first.error();
  EXPECT_EQ(*read_first, first);
  const Result<ProfileReport> read_second = ProfileReport::read(all.subspan(second_at));
  ASSERT_TRUE(read_second.has_value()) << read_second.error();
  EXPECT_EQ(*read_second, second);
}

TEST(ProfileReportFile, ReadsSchemaVersionsOneToFive) {
  for (std::uint32_t version = 1; version <= 5; ++version) {
    SCOPED_TRACE(version);
    const Result<ProfileReport> read = ProfileReport::read(hand_built(version));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, hand_report());
  }
}

TEST(ProfileReportFile, RefusesOtherSchemaVersions) {
  // A null root pointer: the whole root reads as defaults.
  const Bytes absent_root = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  // The version is judged before any tile is read.
  const Bytes broken_tiles =
      hand_built(6, [](Root root) { pointers(root)[0].initAs<wire::MetadataEntry>(); });
  const struct {
    const char* label;
    Bytes bytes;
    const char* reason;
  } cases[] = {
      {"never set", hand_built(std::nullopt), "unsupported profile schema version 0"},
      {"absent root", absent_root, "unsupported profile schema version 0"},
      {"6", hand_built(6), "unsupported profile schema version 6"},
      {"largest", hand_built(0xffffffff), "unsupported profile schema version 4294967295"},
      {"6 with a broken tile list", broken_tiles, "unsupported profile schema version 6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Result<ProfileReport> read = ProfileReport::read(c.bytes);
    ASSERT_FALSE(read.has_value()) << *read;
    EXPECT_TRUE(read.error().is_invalid(c.reason)) << read.error();
  }
}

TEST(ProfileReportFile, AbsentStepReadsAsTheDefaultStep) {
  const Bytes bytes = hand_built(5, [](Root root) { pointers(first_sample(root))[0].clear(); });
  ProfileReport expected = hand_report();
  expected.tiles[0].samples[0].step = ProfileStep{};

  const Result<ProfileReport> read = ProfileReport::read(bytes);
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, expected);
}

TEST(ProfileReportFile, IgnoresBytesAfterTheMessage) {
  const Bytes message = written(four_kinds_report());
  const Bytes other = written(ProfileReport{.clock_hz = 1, .tiles = {}});
  const struct {
    const char* label;
    Bytes trailer;
  } cases[] = {
      {"one byte", {0xff}},
      {"words of ones", Bytes(24, 0xff)},
      {"a second message", other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Bytes bytes = message;
    bytes.insert(bytes.end(), c.trailer.begin(), c.trailer.end());
    const Result<ProfileReport> read = ProfileReport::read(bytes);
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, four_kinds_report());
  }
}

TEST(ProfileReportFile, ReadsAtAnyAlignment) {
  const Bytes message = written(four_kinds_report());
  // 64-bit elements keep the start of the storage on a word boundary.
  std::vector<std::uint64_t> storage(message.size() / 8 + 2);
  auto* base = reinterpret_cast<std::uint8_t*>(storage.data());
  for (std::size_t shift = 0; shift < 8; ++shift) {
    SCOPED_TRACE(shift);
    std::memcpy(base + shift, message.data(), message.size());
    const Result<ProfileReport> read =
        ProfileReport::read(std::span<const std::uint8_t>(base + shift, message.size()));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, four_kinds_report());
  }
}

TEST(ProfileReportFile, EveryTruncationFailsInTheMessageLayer) {
  const Bytes message = written(four_kinds_report());
  for (std::size_t length = 0; length < message.size(); ++length) {
    SCOPED_TRACE(length);
    const Result<ProfileReport> read =
        ProfileReport::read(std::span<const std::uint8_t>(message.data(), length));
    ASSERT_FALSE(read.has_value()) << *read;
    EXPECT_EQ(read.error().kind(), ErrorKind::Capnp) << read.error();
  }
}

TEST(ProfileReportFile, MalformedRecordsFailTheRead) {
  const struct {
    const char* label;
    std::function<void(Root)> change;
    ErrorKind kind;
    std::optional<std::uint16_t> raw_value;
  } cases[] = {
      {"step kind 4",
       [](Root root) { first_sample(root).getStep().setKind(static_cast<wire::StepKind>(4)); },
       ErrorKind::SchemaEnum, 4},
      {"activity kind 3",
       [](Root root) {
         first_sample(root).getStep().initExchangeActivities(1)[0].setKind(
             static_cast<wire::ExchangeActivityKind>(3));
       },
       ErrorKind::SchemaEnum, 3},
      {"operation not UTF-8",
       [](Root root) { first_sample(root).getStep().setOperation("acc\xff"); }, ErrorKind::Utf8,
       std::nullopt},
      {"tiles is a struct", [](Root root) { pointers(root)[0].initAs<wire::MetadataEntry>(); },
       ErrorKind::Capnp, std::nullopt},
      {"samples is a list of bits",
       [](Root root) { pointers(root.getTiles()[1])[0].initAs<capnp::List<bool>>(3); },
       ErrorKind::Capnp, std::nullopt},
      {"step is a list",
       [](Root root) { pointers(first_sample(root))[0].initAs<capnp::List<std::uint32_t>>(2); },
       ErrorKind::Capnp, std::nullopt},
      // Tiles are read in order, and the first failure ends the read.
      {"step kind 4 before a broken later tile",
       [](Root root) {
         first_sample(root).getStep().setKind(static_cast<wire::StepKind>(4));
         pointers(root.getTiles()[1])[0].initAs<capnp::List<bool>>(3);
       },
       ErrorKind::SchemaEnum, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Result<ProfileReport> read = ProfileReport::read(hand_built(5, c.change));
    ASSERT_FALSE(read.has_value()) << *read;
    EXPECT_EQ(read.error().kind(), c.kind) << read.error();
    EXPECT_EQ(read.error().raw_value(), c.raw_value) << read.error();
  }
}

TEST(ProfileReportFile, StreamSinksCarryTheReport) {
  const ProfileReport report = four_kinds_report();

  std::ostringstream stream("xyz", std::ios::ate);
  ASSERT_TRUE(report.write(stream).has_value());
  const std::string streamed = stream.str();
  ASSERT_EQ(streamed.substr(0, 3), "xyz");
  const Bytes from_stream(streamed.begin() + 3, streamed.end());
  const Result<ProfileReport> read_stream = ProfileReport::read(from_stream);
  ASSERT_TRUE(read_stream.has_value()) << read_stream.error();
  EXPECT_EQ(*read_stream, report);

  kj::VectorOutputStream kj_stream;
  ASSERT_TRUE(report.write(kj_stream).has_value());
  const auto kj_bytes = kj_stream.getArray();
  const Result<ProfileReport> read_kj =
      ProfileReport::read(std::span<const std::uint8_t>(kj_bytes.begin(), kj_bytes.size()));
  ASSERT_TRUE(read_kj.has_value()) << read_kj.error();
  EXPECT_EQ(*read_kj, report);
}

TEST(ProfileReportFile, FailingStreamIsAMessageLayerError) {
  const ProfileReport report = four_kinds_report();
  std::ostringstream measure;
  ASSERT_TRUE(report.write(measure).has_value());
  const std::size_t full = measure.str().size();

  for (const std::size_t room : {std::size_t{0}, std::size_t{8}, full - 1}) {
    SCOPED_TRACE(room);
    std::string buffer(room, '\0');
    std::ospanstream stream(std::span<char>(buffer.data(), buffer.size()));
    const Result<void> result = report.write(stream);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::Capnp) << result.error();
  }

  std::ostringstream failed;
  failed.setstate(std::ios::badbit);
  const Result<void> result = report.write(failed);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Capnp) << result.error();
}

}  // namespace
}  // namespace zor_package
