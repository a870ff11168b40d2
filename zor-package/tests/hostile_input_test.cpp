// Hostile inputs to the package and report readers. Each read ends in the expected error (or, where
// the input is sound, in the honest result) while the heap grows by at most 16 times the input's
// size plus 64 MiB. Global operator new and delete are replaced here by a counting allocator, so
// every allocation of the library and of the message layer below it is measured; the peak of each
// case is printed so that it can be reported.
#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iostream>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/profile.hpp"
#include "zor_package/schema/application.capnp.h"
#include "zor_package/schema/profile.capnp.h"
#include "zor_package/tests.hpp"

namespace {

// Bytes held by live allocations, and the most they reached since the last reset. Usable sizes
// are counted, which is at least what was asked for.
std::atomic<std::size_t> current_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

void* counted(void* memory) noexcept {
  if (memory == nullptr) {
    return nullptr;
  }
  const std::size_t size = malloc_usable_size(memory);
  const std::size_t now = current_bytes.fetch_add(size) + size;
  std::size_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return memory;
}

void release(void* memory) noexcept {
  if (memory != nullptr) {
    current_bytes.fetch_sub(malloc_usable_size(memory));
    std::free(memory);
  }
}

void* allocate(std::size_t size) noexcept {
  return counted(std::malloc(std::max<std::size_t>(size, 1)));
}

void* allocate(std::size_t size, std::align_val_t alignment) noexcept {
  void* memory = nullptr;
  const std::size_t align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  if (posix_memalign(&memory, align, std::max<std::size_t>(size, 1)) != 0) {
    return nullptr;
  }
  return counted(memory);
}

void* or_throw(void* memory) {
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return or_throw(allocate(size)); }
void* operator new[](std::size_t size) { return or_throw(allocate(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) {
  return or_throw(allocate(size, align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return or_throw(allocate(size, align));
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate(size, align);
}
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { release(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { release(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { release(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  release(memory);
}
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  release(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { release(memory); }

namespace zor_package {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the hand-made messages below are written as native integers");

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::uint32_t kMostElements = (std::uint32_t{1} << 29) - 1;

// The most the heap may grow by while one input of `input_bytes` bytes is read.
constexpr std::size_t bound(std::size_t input_bytes) { return 16 * input_bytes + 64 * kMiB; }

// ---- Messages assembled word by word ----

enum class ElementSize : std::uint8_t {
  Byte = 2,
  FourBytes = 4,
  InlineComposite = 7,
};

constexpr std::uint64_t offset_field(std::int64_t offset) {
  return static_cast<std::uint64_t>(offset) << 2 & 0xffffffff;
}

constexpr std::uint64_t struct_pointer(std::int64_t offset, std::uint16_t data_words,
                                       std::uint16_t pointers) {
  return offset_field(offset) | std::uint64_t{data_words} << 32 | std::uint64_t{pointers} << 48;
}

constexpr std::uint64_t list_pointer(std::int64_t offset, ElementSize size, std::uint32_t count) {
  return 1 | offset_field(offset) | std::uint64_t{static_cast<std::uint8_t>(size)} << 32 |
         std::uint64_t{count} << 35;
}

// A pointer to the landing pad at word `landing_pad` of segment `segment`.
constexpr std::uint64_t far_pointer(std::uint32_t segment, std::size_t landing_pad) {
  return 2 | std::uint64_t{landing_pad} << 3 | std::uint64_t{segment} << 32;
}

constexpr std::int64_t distance(std::size_t from, std::size_t to) {
  return static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from) - 1;
}

// A message whose words are placed one by one. Words are named by their index in their segment.
class RawMessage {
 public:
  // Appends `count` zero words to `segment` (a new one when it is the next number) and returns
  // the index of the first.
  std::size_t add(std::size_t count, std::uint32_t segment = 0) {
    if (segment == segments_.size()) {
      segments_.emplace_back();
    }
    std::vector<std::uint64_t>& words = segments_.at(segment);
    const std::size_t first = words.size();
    words.resize(first + count);
    return first;
  }

  std::uint64_t& at(std::size_t index, std::uint32_t segment = 0) {
    return segments_.at(segment).at(index);
  }

  void point_struct(std::size_t from, std::size_t to, std::uint16_t data_words,
                    std::uint16_t pointers) {
    at(from) = struct_pointer(distance(from, to), data_words, pointers);
  }

  // For an inline-composite list, `to` is its tag and `count` its words after the tag.
  void point_list(std::size_t from, std::size_t to, ElementSize size, std::uint32_t count,
                  std::uint32_t segment = 0) {
    at(from, segment) = list_pointer(distance(from, to), size, count);
  }

  // Appends `count` structs after their tag, points `from` at them and returns the index of the
  // first element.
  std::size_t add_struct_list(std::size_t from, std::uint32_t count, std::uint16_t data_words,
                              std::uint16_t pointers) {
    const std::uint32_t words = count * (std::uint32_t{data_words} + pointers);
    const std::size_t tag = add(1 + std::size_t{words});
    at(tag) = struct_pointer(count, data_words, pointers);
    point_list(from, tag, ElementSize::InlineComposite, words);
    return tag + 1;
  }

  // Makes the pointer at `from` name the same object as the pointer at `original`.
  void alias(std::size_t from, std::size_t original) {
    const std::uint64_t word = at(original);
    const auto offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(word)) >> 2;
    const std::size_t target = original + 1 + static_cast<std::size_t>(offset);
    at(from) =
        (word & ~std::uint64_t{0xffffffff}) | (word & 3) | offset_field(distance(from, target));
  }

  [[nodiscard]] Bytes bytes() const {
    std::vector<std::uint32_t> table = {static_cast<std::uint32_t>(segments_.size() - 1)};
    for (const auto& words : segments_) {
      table.push_back(static_cast<std::uint32_t>(words.size()));
    }
    table.resize((table.size() + 1) / 2 * 2);
    Bytes bytes(table.size() * 4);
    std::memcpy(bytes.data(), table.data(), bytes.size());
    for (const auto& words : segments_) {
      const auto* begin = reinterpret_cast<const std::uint8_t*>(words.data());
      bytes.insert(bytes.end(), begin, begin + words.size() * 8);
    }
    return bytes;
  }

 private:
  std::vector<std::vector<std::uint64_t>> segments_{1};
};

// Pointer numbers of the records, as the schemas lay them out.
constexpr std::size_t kTilesField = 2;
constexpr std::size_t kInputsField = 3;
constexpr std::size_t kHostExchangeField = 6;
constexpr std::size_t kConfigWritesField = 8;
constexpr std::size_t kProfileTilesField = 9;

// The root of a package with a correct header and target; returns the index of its first pointer.
std::size_t add_package_root(RawMessage& message) {
  const std::size_t root = message.add(1 + 2 + 12) + 1;
  message.point_struct(0, root, 2, 12);
  message.at(root) = 5 | std::uint64_t{0x4c000} << 32;  // schema version, tile memory base
  message.at(root + 1) = 0x9c000;                       // tile memory size
  const std::size_t target = message.add(1);
  std::memcpy(&message.at(target), "zor21", 6);
  message.point_list(root + 2 + 1, target, ElementSize::Byte, 6);
  return root + 2;
}

// One tile 0 without segments, so that validation gets past its first rule.
void add_bare_tile(RawMessage& message, std::size_t fields) {
  message.add_struct_list(fields + kTilesField, 1, 2, 1);
}

// The root of a report of schema version 5; returns the index of its pointer.
std::size_t add_report_root(RawMessage& message) {
  const std::size_t root = message.add(1 + 2 + 1) + 1;
  message.point_struct(0, root, 2, 1);
  message.at(root) = 5;
  message.at(root + 1) = 1'500'000'000;
  return root + 2;
}

// `bytes` zero bytes named by the pointer at `from` as a list of bytes.
void add_byte_list(RawMessage& message, std::size_t from, std::uint32_t bytes) {
  message.point_list(from, message.add(bytes / 8), ElementSize::Byte, bytes);
}

constexpr std::uint32_t kCopies = 4096;

// `kCopies` segments of one tile whose data pointers all reach one blob of 64 KiB through far
// pointers to one landing pad in a second segment.
Bytes segments_naming_one_blob() {
  RawMessage message;
  const std::size_t fields = add_package_root(message);
  const std::size_t tile = message.add_struct_list(fields + kTilesField, 1, 2, 1);
  const std::size_t segments = message.add_struct_list(tile + 2, kCopies, 2, 1);
  const std::size_t pad = message.add(1, 1);
  const std::size_t blob = message.add(8192, 1);
  message.point_list(pad, blob, ElementSize::Byte, 8192 * 8, 1);
  for (std::size_t i = 0; i < kCopies; ++i) {
    message.at(segments + 3 * i) = 0x4c000 | std::uint64_t{0x9c000} << 32;
    message.at(segments + 3 * i + 2) = far_pointer(1, pad);
  }
  return message.bytes();
}

// Points `from` at `kCopies` structs of `data_words` and `pointers` whose pointer `field` all name
// one object: the one that `add_shared` places for the first of them.
void add_aliasing_records(RawMessage& message, std::size_t from, std::uint16_t data_words,
                          std::uint16_t pointers, std::size_t field,
                          const std::function<void(std::size_t)>& add_shared) {
  const std::size_t first = message.add_struct_list(from, kCopies, data_words, pointers);
  const std::size_t stride = std::size_t{data_words} + pointers;
  const std::size_t shared = first + data_words + field;
  add_shared(shared);
  for (std::size_t i = 1; i < kCopies; ++i) {
    message.alias(first + i * stride + data_words + field, shared);
  }
}

// A package with a correct header whose records `add_records` places, given the index of the
// root's first pointer.
Bytes raw_package(const std::function<void(RawMessage&, std::size_t)>& add_records) {
  RawMessage message;
  const std::size_t fields = add_package_root(message);
  add_records(message, fields);
  return message.bytes();
}

// The same for a report, given the index of the root's pointer.
Bytes raw_report(const std::function<void(RawMessage&, std::size_t)>& add_records) {
  RawMessage message;
  add_records(message, add_report_root(message));
  return message.bytes();
}

// ---- Messages built with the message builder ----

Bytes serialise(capnp::MessageBuilder& message) {
  const auto words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return Bytes(bytes.begin(), bytes.end());
}

template <class Builder>
capnp::AnyPointer::Builder pointer(Builder builder, unsigned index) {
  return capnp::AnyStruct::Builder(std::move(builder)).getPointerSection()[index];
}

using PackageRoot = wire::Application::Builder;
using ReportRoot = wire::Profile::Builder;

using Fill = std::function<void(capnp::AnyPointer::Builder)>;

// Fills a pointer with a list of `count` structs without data or pointers.
Fill empty_structs(std::uint32_t count = kMostElements) {
  return [count](capnp::AnyPointer::Builder slot) { slot.initAsListOfAnyStruct(0, 0, count); };
}

Fill voids(std::uint32_t count = kMostElements) {
  return [count](capnp::AnyPointer::Builder slot) {
    slot.initAsAnyList(capnp::ElementSize::VOID, count);
  };
}

// A package with a correct header and one tile 0 holding an empty segment, in which `slot`
// names the pointer that `fill` fills.
Bytes built_package(const std::function<capnp::AnyPointer::Builder(PackageRoot)>& slot,
                    const Fill& fill) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Application>();
  root.setSchemaVersion(5);
  root.setTarget("zor21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  auto segment = root.initTiles(1)[0].initSegments(1)[0];
  segment.setAddress(0x4c000);
  segment.setMemorySize(8);
  fill(slot(root));
  return serialise(message);
}

Bytes built_report(const std::function<capnp::AnyPointer::Builder(ReportRoot)>& slot,
                   const Fill& fill) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<wire::Profile>();
  root.setSchemaVersion(5);
  fill(slot(root));
  return serialise(message);
}

// ---- Framing ----

Bytes u32s(std::initializer_list<std::uint32_t> values) {
  Bytes bytes(values.size() * 4);
  std::memcpy(bytes.data(), std::data(values), bytes.size());
  return bytes;
}

Bytes with_zeros(Bytes bytes, std::size_t count) {
  bytes.resize(bytes.size() + count);
  return bytes;
}

struct Framing {
  const char* name;
  Bytes bytes;
};

std::vector<Framing> framing_cases() {
  return {
      {"a segment of 2^32 - 1 words in a 16-byte input", u32s({0, 0xffffffff, 0, 0})},
      {"512 segments", with_zeros(u32s({511}), 4 * 512 + 4 + 64)},
      {"a segment count word of 0xffffffff", u32s({0xffffffff, 0, 0, 0})},
      {"a segment of 2 GiB that ends after 1 MiB", with_zeros(u32s({0, 1u << 28}), kMiB)},
  };
}

// ---- The table ----

struct Failure {
  ErrorKind kind;
  std::string reason = {};  // checked when not empty
};

template <class Model>
struct Case {
  std::string name;
  Bytes buffer;
  std::variant<Failure, Model> outcome;
  std::size_t offset = 0;  // where the input starts in `buffer`, to misalign it
};

constexpr const char* kOverBudget = "message holds more records than its size allows";

// The result of `read` and the most the heap grew by while it ran, in bytes.
template <class Read>
auto measured(const Read& read) {
  const std::size_t before = current_bytes.load();
  peak_bytes.store(before);
  auto result = read();
  const std::size_t peak = peak_bytes.load() - before;
  return std::pair{std::move(result), peak};
}

template <class Model>
void expect_cases(const std::vector<Case<Model>>& cases,
                  Result<Model> (*read)(std::span<const std::uint8_t>)) {
  for (const Case<Model>& c : cases) {
    SCOPED_TRACE(c.name);
    const auto input = std::span<const std::uint8_t>(c.buffer).subspan(c.offset);
    const auto [result, peak] = measured([&] { return read(input); });
    std::cout << "[ peak     ] " << std::left << std::setw(68) << c.name << std::right << " input "
              << std::setw(8) << input.size() << "  peak " << std::setw(10) << peak << "  bound "
              << bound(input.size()) << '\n';
    EXPECT_LE(peak, bound(input.size()));
    if (const auto* failure = std::get_if<Failure>(&c.outcome)) {
      if (result.has_value()) {
        ADD_FAILURE() << "read succeeded";
        continue;
      }
      EXPECT_EQ(result.error().kind(), failure->kind) << result.error();
      if (!failure->reason.empty()) {
        EXPECT_EQ(result.error().reason(), failure->reason);
      }
    } else if (result.has_value()) {
      EXPECT_EQ(*result, std::get<Model>(c.outcome));
    } else {
      ADD_FAILURE() << result.error();
    }
  }
}

// Four tiles of one 256 KiB segment each, with a host exchange and a profile plan.
Application megabyte_package() {
  Application app = tests::sample();
  app.tiles.clear();
  for (std::uint32_t tile = 0; tile < 4; ++tile) {
    Bytes data(256 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + tile);
    }
    app.tiles.push_back(TileImage{
        .physical_tile = tile,
        .entry_point = 0x4c000,
        .segments = {{.address = 0x4c000, .memory_size = 0x40000, .data = std::move(data)}}});
  }
  app.host_exchange = HostExchange{
      .pages = {{.index = 0, .size = 0x1000}},
      .attach_order = {0},
      .calls = {{.name = "run", .inputs = {{.page = 0, .size = 16}}, .input_batch_ends = {1}}},
  };
  app.profile_tiles = {{.physical_tile = 1,
                        .steps = {{.local_index = 0, .operation = "matmul"},
                                  {.local_index = 1, .kind = StepKind::Idle}}}};
  return app;
}

Bytes written(const Application& app) {
  Bytes bytes;
  EXPECT_TRUE(app.write(bytes).has_value());
  return bytes;
}

// One stray byte, then `bytes`.
Bytes misaligned(const Bytes& bytes) {
  Bytes buffer(1 + bytes.size(), 0xee);
  std::copy(bytes.begin(), bytes.end(), buffer.begin() + 1);
  return buffer;
}

Bytes with_stray_bytes(Bytes bytes) {
  bytes.insert(bytes.end(), {0xff, 0xfe, 0xfd});
  return bytes;
}

std::vector<Case<Application>> package_cases() {
  using Root = PackageRoot;
  std::vector<Case<Application>> cases;
  for (Framing& framing : framing_cases()) {
    cases.push_back({framing.name, std::move(framing.bytes), Failure{ErrorKind::Capnp}});
  }

  const struct {
    const char* records;
    std::function<capnp::AnyPointer::Builder(Root)> slot;
  } empty_struct_lists[] = {
      {"tiles", [](Root root) { return pointer(root, kTilesField); }},
      {"segments", [](Root root) { return pointer(root.getTiles()[0], 0); }},
      {"inputs", [](Root root) { return pointer(root, kInputsField); }},
      {"outputs", [](Root root) { return pointer(root, 4); }},
      {"weights", [](Root root) { return pointer(root, 5); }},
      {"region slices", [](Root root) { return pointer(root.initInputs(1)[0], 3); }},
      {"host pages", [](Root root) { return pointer(root.initHostExchange(), 0); }},
      {"host calls", [](Root root) { return pointer(root.initHostExchange(), 2); }},
      {"host call inputs",
       [](Root root) { return pointer(root.initHostExchange().initCalls(1)[0], 1); }},
      {"host call outputs",
       [](Root root) { return pointer(root.initHostExchange().initCalls(1)[0], 2); }},
      {"entry points", [](Root root) { return pointer(root, 7); }},
      {"device configuration writes", [](Root root) { return pointer(root, kConfigWritesField); }},
      {"profile plans", [](Root root) { return pointer(root, kProfileTilesField); }},
      {"profile steps", [](Root root) { return pointer(root.initProfileTiles(1)[0], 0); }},
      {"step metadata",
       [](Root root) { return pointer(root.initProfileTiles(1)[0].initSteps(1)[0], 2); }},
      {"exchange activities",
       [](Root root) { return pointer(root.initProfileTiles(1)[0].initSteps(1)[0], 3); }},
      {"debug symbols", [](Root root) { return pointer(root, 10); }},
      {"debug regions", [](Root root) { return pointer(root, 11); }},
  };
  for (const auto& list : empty_struct_lists) {
    cases.push_back({std::string("2^29 - 1 zero-sized ") + list.records,
                     built_package(list.slot, empty_structs()), Failure{ErrorKind::Capnp}});
  }
  cases.push_back({"debug symbols as 2^29 - 1 voids",
                   built_package([](Root root) { return pointer(root, 10); }, voids()),
                   Failure{ErrorKind::Capnp}});

  cases.push_back({"4096 segment data pointers naming one blob through far pointers",
                   segments_naming_one_blob(), Failure{ErrorKind::Capnp}});
  cases.push_back({"4096 tiles naming one list of 4096 segments",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     add_aliasing_records(m, fields + kTilesField, 2, 1, 0, [&](std::size_t from) {
                       m.add_struct_list(from, kCopies, 2, 1);
                     });
                   }),
                   Failure{ErrorKind::Capnp}});
  cases.push_back({"4096 bindings naming one list of 4096 region slices",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     add_aliasing_records(m, fields + kInputsField, 0, 4, 3, [&](std::size_t from) {
                       m.add_struct_list(from, kCopies, 3, 0);
                     });
                   }),
                   Failure{ErrorKind::Capnp}});
  cases.push_back({"4096 bindings naming one shape of 65536 dimensions",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     add_aliasing_records(m, fields + kInputsField, 0, 4, 2, [&](std::size_t from) {
                       m.point_list(from, m.add(32768), ElementSize::FourBytes, 65536);
                     });
                   }),
                   Failure{ErrorKind::Capnp}});
  cases.push_back({"4096 host calls naming one list of 4096 input slices",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     const std::size_t exchange = m.add(5);
                     m.point_struct(fields + kHostExchangeField, exchange, 2, 3);
                     add_aliasing_records(m, exchange + 2 + 2, 2, 5, 1, [&](std::size_t from) {
                       m.add_struct_list(from, kCopies, 4, 0);
                     });
                   }),
                   Failure{ErrorKind::Capnp}});

  // Up to eight records a word: charged to the record budget before any room is reserved.
  constexpr std::uint32_t kByteListBytes = 4 * kMiB;
  cases.push_back({"tiles read from a list of 4 MiB of bytes",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     add_byte_list(m, fields + kTilesField, kByteListBytes);
                   }),
                   Failure{ErrorKind::Capnp, kOverBudget}});
  cases.push_back({"bindings read from a list of 4 MiB of bytes",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     add_byte_list(m, fields + kInputsField, kByteListBytes);
                   }),
                   Failure{ErrorKind::Capnp, kOverBudget}});
  cases.push_back({"profile steps read from a list of 4 MiB of bytes",
                   raw_package([](RawMessage& m, std::size_t fields) {
                     const std::size_t plan =
                         m.add_struct_list(fields + kProfileTilesField, 1, 1, 1);
                     add_byte_list(m, plan + 1, kByteListBytes);
                   }),
                   Failure{ErrorKind::Capnp, kOverBudget}});
  // Records no larger than the bytes' budget are read by the ordinary rules.
  cases.push_back(
      {"configuration writes read from a list of 4 MiB of bytes",
       raw_package([](RawMessage& m, std::size_t fields) {
         add_bare_tile(m, fields);
         add_byte_list(m, fields + kConfigWritesField, kByteListBytes);
       }),
       Failure{ErrorKind::Invalid, "unaligned or duplicate device configuration write"}});

  cases.push_back(
      {"three zero-sized tiles",
       built_package([](Root root) { return pointer(root, kTilesField); }, empty_structs(3)),
       Failure{ErrorKind::Invalid, "duplicate physical tile 0"}});
  Application bare = Application::create(zor_target::Target::Zor21);
  bare.compiler_version.clear();
  bare.tiles = {TileImage{}};
  cases.push_back(
      {"one zero-sized tile",
       built_package([](Root root) { return pointer(root, kTilesField); }, empty_structs(1)),
       bare});

  const Application honest = megabyte_package();
  const Bytes bytes = written(honest);
  cases.push_back({"an honest package misaligned by one byte", misaligned(bytes), honest, 1});
  cases.push_back(
      {"an honest package followed by three stray bytes", with_stray_bytes(bytes), honest});
  return cases;
}

ProfileReport megabyte_report() {
  ProfileReport report{.clock_hz = 1'500'000'000, .tiles = {}};
  for (std::uint32_t tile = 0; tile < 16; ++tile) {
    TileProfile& profile = report.tiles.emplace_back();
    profile.physical_tile = tile;
    for (std::uint32_t i = 0; i < 1024; ++i) {
      profile.samples.push_back(CycleSample{
          .step = {.local_index = i, .operation = "accumulate", .kind = StepKind::Compute},
          .start_cycle = i * 100,
          .end_cycle = i * 100 + 99});
    }
  }
  return report;
}

std::vector<Case<ProfileReport>> report_cases() {
  using Root = ReportRoot;
  std::vector<Case<ProfileReport>> cases;
  for (Framing& framing : framing_cases()) {
    cases.push_back({framing.name, std::move(framing.bytes), Failure{ErrorKind::Capnp}});
  }

  const struct {
    const char* records;
    std::function<capnp::AnyPointer::Builder(Root)> slot;
  } empty_struct_lists[] = {
      {"tiles", [](Root root) { return pointer(root, 0); }},
      {"samples", [](Root root) { return pointer(root.initTiles(1)[0], 0); }},
      {"step metadata",
       [](Root root) { return pointer(root.initTiles(1)[0].initSamples(1)[0].initStep(), 2); }},
      {"exchange activities",
       [](Root root) { return pointer(root.initTiles(1)[0].initSamples(1)[0].initStep(), 3); }},
  };
  for (const auto& list : empty_struct_lists) {
    cases.push_back({std::string("2^29 - 1 zero-sized ") + list.records,
                     built_report(list.slot, empty_structs()), Failure{ErrorKind::Capnp}});
  }
  cases.push_back(
      {"samples as 2^29 - 1 voids",
       built_report([](Root root) { return pointer(root.initTiles(1)[0], 0); }, voids()),
       Failure{ErrorKind::Capnp}});

  cases.push_back({"4096 tiles naming one list of 4096 samples",
                   raw_report([](RawMessage& m, std::size_t tiles) {
                     add_aliasing_records(m, tiles, 1, 1, 0, [&](std::size_t from) {
                       m.add_struct_list(from, kCopies, 1, 1);
                     });
                   }),
                   Failure{ErrorKind::Capnp}});
  cases.push_back({"4096 samples naming one step with 4096 metadata entries",
                   raw_report([](RawMessage& m, std::size_t tiles) {
                     const std::size_t tile = m.add_struct_list(tiles, 1, 1, 1);
                     add_aliasing_records(m, tile + 1, 1, 1, 0, [&](std::size_t from) {
                       const std::size_t step = m.add(7);
                       m.point_struct(from, step, 3, 4);
                       m.add_struct_list(step + 3 + 2, kCopies, 0, 2);
                     });
                   }),
                   Failure{ErrorKind::Capnp}});

  constexpr std::uint32_t kByteListBytes = 4 * kMiB;
  cases.push_back({"tiles read from a list of 4 MiB of bytes",
                   raw_report([](RawMessage& m, std::size_t tiles) {
                     add_byte_list(m, tiles, kByteListBytes);
                   }),
                   Failure{ErrorKind::Capnp, kOverBudget}});
  cases.push_back({"samples read from a list of 4 MiB of bytes",
                   raw_report([](RawMessage& m, std::size_t tiles) {
                     const std::size_t tile = m.add_struct_list(tiles, 1, 1, 1);
                     add_byte_list(m, tile + 1, kByteListBytes);
                   }),
                   Failure{ErrorKind::Capnp, kOverBudget}});

  cases.push_back(
      {"three zero-sized samples",
       built_report([](Root root) { return pointer(root.initTiles(1)[0], 0); }, empty_structs(3)),
       ProfileReport{.clock_hz = 0, .tiles = {{.physical_tile = 0, .samples = {{}, {}, {}}}}}});

  const ProfileReport honest = megabyte_report();
  Bytes bytes;
  EXPECT_TRUE(honest.write(bytes).has_value());
  cases.push_back({"an honest report misaligned by one byte", misaligned(bytes), honest, 1});
  cases.push_back(
      {"an honest report followed by three stray bytes", with_stray_bytes(bytes), honest});
  return cases;
}

TEST(HostileInput, PackageReaderStaysWithinItsBounds) {
  expect_cases(package_cases(), &Application::read);
}

TEST(HostileInput, ReportReaderStaysWithinItsBounds) {
  expect_cases(report_cases(), &ProfileReport::read);
}

}  // namespace
}  // namespace zor_package
