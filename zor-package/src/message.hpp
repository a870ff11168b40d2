// Moving whole messages between bytes and the message layer, for packages and profile reports.
//
// Writing builds the message in one segment that lies where its bytes end up in the caller's
// vector, so the only copy of a record's bytes is the one into the message. Reading checks the
// segment table against the input before anything is allocated, and parses 8-byte aligned input
// in place.
#pragma once

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/function.h>
#include <kj/io.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <vector>

#include "wire.hpp"
#include "zor_package/error.hpp"

namespace zor_package::message {

// A message builder whose first segment is memory given by the caller and is left alone when
// the builder goes away; further segments, if the message outgrows it, come from the heap.
class SegmentBuilder : public capnp::MessageBuilder {
 public:
  explicit SegmentBuilder(kj::ArrayPtr<capnp::word> first_segment) : first_(first_segment) {}

  kj::ArrayPtr<capnp::word> allocateSegment(unsigned minimum_size) override;

 private:
  kj::ArrayPtr<capnp::word> first_;
  bool first_taken_ = false;
  std::vector<kj::Array<capnp::word>> more_;
};

// Builds a message with `fill(builder)` and appends it, in the stream framing, to `output`.
// `words` is the size of the message as measured beforehand. Failures of the message layer are
// thrown as they come (the public entry points turn them into errors); the vector is then left
// as it was.
Result<void> write_message(std::vector<std::uint8_t>& output, std::size_t words,
                           kj::FunctionParam<void(capnp::MessageBuilder&)> fill);

// The same for a stream sink; a sink that refuses bytes throws, and may then hold the beginning
// of the message.
Result<void> write_message(kj::OutputStream& output, std::size_t words,
                           kj::FunctionParam<void(capnp::MessageBuilder&)> fill);

// A kj::OutputStream that writes to a std::ostream and reports a failed stream as an exception
// of the message layer.
class OstreamOutput : public kj::OutputStream {
 public:
  explicit OstreamOutput(std::ostream& stream) : stream_(stream) {}
  void write(const void* buffer, std::size_t size) override;

 private:
  std::ostream& stream_;
};

// One parsed message. The reader may refer into the caller's input, which must outlive it.
class Parsed {
 public:
  // Parses the first message of `input`; bytes after it are ignored. Faults of the segment table
  // are Capnp errors; the message layer may also throw. The traversal limit is the message's own
  // size, so a reader that follows each pointer once can read all of an honest message and no more
  // than that from a hostile one.
  static Result<std::unique_ptr<Parsed>> parse(std::span<const std::uint8_t> input,
                                               std::uint64_t slack_words = kSlackWords);

  // Words of traversal allowed beyond the message's own size.
  static constexpr std::uint64_t kSlackWords = 8;

  template <class Root>
  typename Root::Reader root() {
    return storage_->getRoot<Root>();
  }

  // The first byte of the parsed message: the caller's input, or its aligned copy.
  [[nodiscard]] const std::uint8_t* message_bytes() const { return message_bytes_; }

  // The traversal limit in words that the reader was given.
  [[nodiscard]] std::uint64_t traversal_limit() const { return limit_; }

 private:
  Parsed() = default;

  kj::Array<capnp::word> aligned_copy_;
  std::optional<capnp::FlatArrayMessageReader> storage_;
  std::uint64_t limit_ = 0;
  const std::uint8_t* message_bytes_ = nullptr;
};

// Reader options for a message whose segments hold `segment_words` words: nesting limit 64, and
// a traversal limit of those words plus the root pointer, which is charged twice, plus
// `slack_words`.
capnp::ReaderOptions reader_options(std::uint64_t segment_words, std::uint64_t slack_words);

}  // namespace zor_package::message
