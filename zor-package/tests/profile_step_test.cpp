#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "zor_package/profile.hpp"
#include "zor_package/schema/profile.capnp.h"

namespace zor_package {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the hand-made messages below are written as native 64-bit words");

// A message in the standard stream framing, one 64-bit word per element.
using Words = std::vector<std::uint64_t>;

// The wire encoding of Cap'n Proto pointers, written out by hand so that the tests below do not
// take the generated code's word for the layout.
constexpr std::uint64_t struct_pointer(std::int32_t offset, std::uint16_t data_words,
                                       std::uint16_t pointers) {
  return std::uint64_t{static_cast<std::uint32_t>(offset) << 2} |
         (std::uint64_t{data_words} << 32) | (std::uint64_t{pointers} << 48);
}

constexpr std::uint8_t kBytes = 2;            // list element size of texts
constexpr std::uint8_t kFourBytes = 4;        // list element size of UInt32 lists
constexpr std::uint8_t kInlineComposite = 7;  // list element size of struct lists

constexpr std::uint64_t list_pointer(std::int32_t offset, std::uint8_t element_size,
                                     std::uint32_t count) {
  return 1 | std::uint64_t{static_cast<std::uint32_t>(offset) << 2} |
         (std::uint64_t{element_size} << 32) | (std::uint64_t{count} << 35);
}

// Word positions within the one segment of the hand-made step message.
constexpr std::size_t kRoot = 0;
constexpr std::size_t kData = 1;         // 3 data words
constexpr std::size_t kPointers = 4;     // 4 pointers: operation, kernel, metadata, activities
constexpr std::size_t kOperation = 8;    // "accumulate" and NUL: 11 bytes in 2 words
constexpr std::size_t kKernel = 10;      // "wait" and NUL: 5 bytes in 1 word
constexpr std::size_t kMetadata = 11;    // tag word, then one entry of 2 pointers
constexpr std::size_t kName = 14;        // "reason" and NUL: 7 bytes in 1 word
constexpr std::size_t kValue = 15;       // "LayoutRearrangement" and NUL: 20 bytes in 3 words
constexpr std::size_t kActivities = 18;  // tag word, then two entries of 2 data words
constexpr std::size_t kSegmentWords = 23;

// The offset field of the pointer at word `from` that points to word `to`: it counts words from
// the word after the pointer.
constexpr std::int32_t offset(std::size_t from, std::size_t to) {
  return static_cast<std::int32_t>(to) - static_cast<std::int32_t>(from) - 1;
}

// The step that the hand-made message holds.
ProfileStep hand_step() {
  ProfileStep step;
  step.local_index = 2;
  step.phase = 5;
  step.epoch = 8;
  step.operation = "accumulate";
  step.kind = StepKind::Idle;
  step.kernel = "wait";
  step.metadata = {{.name = "reason", .value = "LayoutRearrangement"}};
  step.exchange_activities = {
      {.fanout = 3,
       .paired = true,
       .kind = ExchangeActivityKind::Send,
       .start_cycle = 10,
       .end_cycle = 16},
      {.fanout = 0xffff,
       .paired = false,
       .kind = ExchangeActivityKind::PartnerBusy,
       .start_cycle = 16,
       .end_cycle = 20},
  };
  step.exchange_event_cycles = 9;
  return step;
}

// Copies `text` into the segment from word `at` on; the words were zero, so the NUL is there.
void put_text(Words& words, std::size_t at, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    words[1 + at + i / 8] |= std::uint64_t{byte} << (8 * (i % 8));
  }
}

void set_byte(Words& words, std::size_t at, std::size_t index, std::uint8_t value) {
  std::uint64_t& word = words[1 + at + index / 8];
  const unsigned shift = static_cast<unsigned>(8 * (index % 8));
  word = (word & ~(std::uint64_t{0xff} << shift)) | (std::uint64_t{value} << shift);
}

// hand_step() as a one-segment message, assembled word by word.
Words hand_message() {
  Words words(1 + kSegmentWords, 0);
  words[0] = std::uint64_t{kSegmentWords} << 32;  // one segment of kSegmentWords words
  auto segment = [&words](std::size_t at) -> std::uint64_t& { return words[1 + at]; };

  segment(kRoot) = struct_pointer(0, 3, 4);
  segment(kData + 0) = 2 | (std::uint64_t{5} << 32);  // localIndex, phase
  segment(kData + 1) = 8 | (std::uint64_t{3} << 32);  // epoch, kind Idle in bits 96-111
  segment(kData + 2) = 9;                             // exchangeEventCycles in bits 128-159

  segment(kPointers + 0) = list_pointer(offset(kPointers + 0, kOperation), kBytes, 11);
  segment(kPointers + 1) = list_pointer(offset(kPointers + 1, kKernel), kBytes, 5);
  segment(kPointers + 2) = list_pointer(offset(kPointers + 2, kMetadata), kInlineComposite, 2);
  segment(kPointers + 3) = list_pointer(offset(kPointers + 3, kActivities), kInlineComposite, 4);

  put_text(words, kOperation, "accumulate");
  put_text(words, kKernel, "wait");

  segment(kMetadata) = struct_pointer(1, 0, 2);  // tag: one element, no data, 2 pointers
  segment(kMetadata + 1) = list_pointer(offset(kMetadata + 1, kName), kBytes, 7);
  segment(kMetadata + 2) = list_pointer(offset(kMetadata + 2, kValue), kBytes, 20);
  put_text(words, kName, "reason");
  put_text(words, kValue, "LayoutRearrangement");

  segment(kActivities) = struct_pointer(2, 2, 0);  // tag: two elements of 2 data words
  // Send, fanout 3 in bits 16-31, cycles 10 to 16, paired in bit 96.
  segment(kActivities + 1) = 0 | (std::uint64_t{3} << 16) | (std::uint64_t{10} << 32);
  segment(kActivities + 2) = 16 | (std::uint64_t{1} << 32);
  // PartnerBusy, fanout 0xffff, cycles 16 to 20, not paired.
  segment(kActivities + 3) = 2 | (std::uint64_t{0xffff} << 16) | (std::uint64_t{16} << 32);
  segment(kActivities + 4) = 20;
  return words;
}

std::uint64_t& segment_word(Words& words, std::size_t at) { return words[1 + at]; }

Result<ProfileStep> read_message(const Words& words) {
  capnp::FlatArrayMessageReader message(
      kj::arrayPtr(reinterpret_cast<const capnp::word*>(words.data()), words.size()));
  return ProfileStep::read(message.getRoot<wire::ProfileStep>());
}

Words written_message(const ProfileStep& step) {
  capnp::MallocMessageBuilder message;
  step.write(message.initRoot<wire::ProfileStep>());
  const kj::Array<capnp::word> flat = capnp::messageToFlatArray(message);
  const auto* first = reinterpret_cast<const std::uint64_t*>(flat.begin());
  return Words(first, first + flat.size());
}

std::string hex_words(const Words& words) {
  std::ostringstream out;
  out << std::hex << std::setfill('0');
  for (std::size_t i = 0; i < words.size(); ++i) {
    out << (i == 0 ? "" : " ") << std::setw(16) << words[i];
  }
  return out.str();
}

std::vector<std::uint8_t> little_endian(std::initializer_list<std::uint64_t> words) {
  std::vector<std::uint8_t> bytes;
  for (std::uint64_t word : words) {
    for (unsigned i = 0; i < 8; ++i) {
      bytes.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
    }
  }
  return bytes;
}

std::vector<std::uint8_t> data_section(capnp::AnyStruct::Reader reader) {
  const auto data = reader.getDataSection();
  return {data.begin(), data.end()};
}

TEST(ProfileStepWire, ReadsAHandAssembledMessage) {
  auto step = read_message(hand_message());
  ASSERT_TRUE(step.has_value()) << step.error();
  EXPECT_EQ(*step, hand_step());
}

TEST(ProfileStepWire, WriteProducesTheHandAssembledMessage) {
  EXPECT_EQ(hex_words(written_message(hand_step())), hex_words(hand_message()));
}

TEST(ProfileStepWire, DataSectionsLeaveUnusedBitsZero) {
  ProfileStep step;
  step.local_index = 0xffffffff;
  step.phase = 0xffffffff;
  step.epoch = 0xffffffff;
  step.kind = StepKind::Idle;
  step.exchange_event_cycles = 0xffffffff;
  step.exchange_activities = {{.fanout = 0xffff,
                               .paired = true,
                               .kind = ExchangeActivityKind::PartnerBusy,
                               .start_cycle = 0xffffffff,
                               .end_cycle = 0xffffffff}};
  const Words words = written_message(step);
  capnp::FlatArrayMessageReader message(
      kj::arrayPtr(reinterpret_cast<const capnp::word*>(words.data()), words.size()));
  const auto root = message.getRoot<wire::ProfileStep>();

  EXPECT_EQ(words[1], struct_pointer(0, 3, 4));
  EXPECT_EQ(data_section(root),
            little_endian({0xffffffffffffffff, 0x00000003ffffffff, 0x00000000ffffffff}));
  EXPECT_EQ(capnp::AnyStruct::Reader(root).getPointerSection().size(), 4u);
  ASSERT_EQ(root.getExchangeActivities().size(), 1u);
  EXPECT_EQ(data_section(root.getExchangeActivities()[0]),
            little_endian({0xffffffffffff0002, 0x00000001ffffffff}));
}

ProfileStep with_kind(StepKind kind) {
  ProfileStep step;
  step.local_index = 1;
  step.operation = "operation.4";
  step.kind = kind;
  step.kernel = "multicast";
  return step;
}

TEST(ProfileStepWire, RoundTrips) {
  const struct {
    const char* label;
    ProfileStep step;
  } cases[] = {
      {"default step", ProfileStep{}},
      {"hand step", hand_step()},
      {"synchronization with one metadata entry",
       [] {
         ProfileStep step;
         step.local_index = 2;
         step.phase = 5;
         step.epoch = 8;
         step.operation = "accumulate";
         step.kind = StepKind::Synchronization;
         step.kernel = "gemm_f32_accumulate";
         step.metadata = {{.name = "innerBlock", .value = "8"}};
         step.exchange_event_cycles = 9;
         return step;
       }()},
      {"activities keep their order",
       [] {
         ProfileStep step = with_kind(StepKind::Exchange);
         step.exchange_activities = {
             {.fanout = 2,
              .paired = true,
              .kind = ExchangeActivityKind::Send,
              .start_cycle = 2,
              .end_cycle = 6},
             {.fanout = 2,
              .paired = true,
              .kind = ExchangeActivityKind::PartnerBusy,
              .start_cycle = 6,
              .end_cycle = 8},
             {.fanout = 0,
              .paired = false,
              .kind = ExchangeActivityKind::Receive,
              .start_cycle = 8,
              .end_cycle = 8},
         };
         return step;
       }()},
      {"exchange", with_kind(StepKind::Exchange)},
      {"compute", with_kind(StepKind::Compute)},
      {"synchronization", with_kind(StepKind::Synchronization)},
      {"idle", with_kind(StepKind::Idle)},
      {"largest numbers",
       [] {
         ProfileStep step = with_kind(StepKind::Idle);
         step.local_index = step.phase = step.epoch = step.exchange_event_cycles = 0xffffffff;
         step.exchange_activities = {{.fanout = 0xffff,
                                      .paired = true,
                                      .kind = ExchangeActivityKind::Receive,
                                      .start_cycle = 0xffffffff,
                                      .end_cycle = 0xffffffff}};
         return step;
       }()},
      {"metadata keeps its order and empty texts",
       [] {
         ProfileStep step = with_kind(StepKind::Compute);
         step.metadata = {{.name = "reason", .value = "LayoutRearrangement"},
                          {.name = "", .value = ""},
                          {.name = "innerBlock", .value = "8"},
                          {.name = "reason", .value = "again"}};
         return step;
       }()},
      {"texts beyond ASCII and of many words",
       [] {
         ProfileStep step = with_kind(StepKind::Compute);
         step.operation = "op\xc3\xa9ration \xe2\x82\xac \xf0\x9f\x98\x80";
         step.kernel = std::string(1000, 'k');
         step.metadata = {{.name = "\xe6\x97\xa5", .value = std::string(8, 'v')}};
         return step;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto read = read_message(written_message(c.step));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, c.step);
  }
}

TEST(ProfileStepWire, MissingPartsReadAsDefaults) {
  ProfileStep numbers_only = hand_step();
  numbers_only.operation.clear();
  numbers_only.kernel.clear();
  numbers_only.metadata.clear();
  numbers_only.exchange_activities.clear();
  ProfileStep first_word_only;
  first_word_only.local_index = 2;
  first_word_only.phase = 5;

  const struct {
    const char* label;
    std::uint64_t root;
    ProfileStep expected;
  } cases[] = {
      {"struct without pointers", struct_pointer(0, 3, 0), numbers_only},
      {"struct with one data word", struct_pointer(0, 1, 0), first_word_only},
      {"empty struct", struct_pointer(0, 0, 0), ProfileStep{}},
      {"absent step", 0, ProfileStep{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Words words = hand_message();
    segment_word(words, kRoot) = c.root;
    auto step = read_message(words);
    ASSERT_TRUE(step.has_value()) << step.error();
    EXPECT_EQ(*step, c.expected);
  }
}

constexpr Utf8Error bad_utf8(std::size_t valid_up_to, std::uint8_t len) {
  return {.valid_up_to = valid_up_to, .error_len = len};
}

TEST(ProfileStepWire, ReadFailures) {
  using Change = void (*)(Words&);
  const Change step_kind_4 = [](Words& w) { segment_word(w, kData + 1) = 8 | (4ull << 32); };
  const Change activity_kind_3 = [](Words& w) {
    segment_word(w, kActivities + 3) = (segment_word(w, kActivities + 3) & ~0xffffull) | 3;
  };
  const Change bad_operation = [](Words& w) { set_byte(w, kOperation, 3, 0xff); };
  const Change bad_kernel = [](Words& w) { set_byte(w, kKernel, 0, 0x80); };

  const struct {
    const char* label;
    std::vector<Change> changes;
    ErrorKind kind;
    std::optional<std::uint16_t> raw_value;
    std::optional<Utf8Error> utf8;
  } cases[] = {
      {"step kind 4", {step_kind_4}, ErrorKind::SchemaEnum, 4, std::nullopt},
      {"step kind 0xffff",
       {[](Words& w) { segment_word(w, kData + 1) = 8 | (0xffffull << 32); }},
       ErrorKind::SchemaEnum,
       0xffff,
       std::nullopt},
      {"activity kind 3", {activity_kind_3}, ErrorKind::SchemaEnum, 3, std::nullopt},
      {"operation not UTF-8", {bad_operation}, ErrorKind::Utf8, std::nullopt, bad_utf8(3, 1)},
      {"kernel not UTF-8", {bad_kernel}, ErrorKind::Utf8, std::nullopt, bad_utf8(0, 1)},
      {"metadata name not UTF-8",
       {[](Words& w) { set_byte(w, kName, 2, 0xc0); }},
       ErrorKind::Utf8,
       std::nullopt,
       bad_utf8(2, 1)},
      {"metadata value cut inside a sequence",
       {[](Words& w) { set_byte(w, kValue, 18, 0xe2); }},
       ErrorKind::Utf8,
       std::nullopt,
       Utf8Error{.valid_up_to = 18, .error_len = std::nullopt}},

      {"operation out of bounds",
       {[](Words& w) { segment_word(w, kPointers) = list_pointer(100, kBytes, 11); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},
      {"operation is a list of UInt32",
       {[](Words& w) { segment_word(w, kPointers) = list_pointer(3, kFourBytes, 4); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},
      {"kernel is a struct",
       {[](Words& w) { segment_word(w, kPointers + 1) = struct_pointer(4, 1, 0); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},
      {"kernel without its NUL",
       {[](Words& w) { set_byte(w, kKernel, 4, 'x'); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},
      {"metadata out of bounds",
       {[](Words& w) { segment_word(w, kPointers + 2) = list_pointer(4, kInlineComposite, 200); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},
      {"metadata elements overrun the list",
       {[](Words& w) { segment_word(w, kMetadata) = struct_pointer(3, 0, 2); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},
      {"activities are a struct",
       {[](Words& w) { segment_word(w, kPointers + 3) = struct_pointer(10, 2, 0); }},
       ErrorKind::Capnp,
       std::nullopt,
       std::nullopt},

      // Fields are read in declaration order and the first failure ends the read.
      {"operation before kind",
       {bad_operation, step_kind_4},
       ErrorKind::Utf8,
       std::nullopt,
       bad_utf8(3, 1)},
      {"kind before kernel", {step_kind_4, bad_kernel}, ErrorKind::SchemaEnum, 4, std::nullopt},
      {"kernel before activities",
       {bad_kernel, activity_kind_3},
       ErrorKind::Utf8,
       std::nullopt,
       bad_utf8(0, 1)},
      {"metadata before activities",
       {activity_kind_3, [](Words& w) { set_byte(w, kValue, 0, 0xff); }},
       ErrorKind::Utf8,
       std::nullopt,
       bad_utf8(0, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Words words = hand_message();
    for (Change change : c.changes) {
      change(words);
    }
    auto step = read_message(words);
    ASSERT_FALSE(step.has_value()) << *step;
    const PackageError& error = step.error();
    EXPECT_EQ(error.kind(), c.kind) << error;
    EXPECT_EQ(error.raw_value(), c.raw_value) << error;
    EXPECT_EQ(error.utf8(), c.utf8) << error;
    if (c.kind == ErrorKind::Capnp) {
      EXPECT_FALSE(error.reason().empty());
    }
  }
}

}  // namespace
}  // namespace zor_package
