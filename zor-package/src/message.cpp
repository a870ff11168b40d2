#include "message.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "encoding.hpp"
#include "reason.hpp"

namespace zor_package::message {
namespace {

constexpr std::size_t kWordBytes = sizeof(capnp::word);
// Segments beyond the first grow by at least this many words.
constexpr std::size_t kMinimumNextSegmentWords = 8192;
constexpr std::uint64_t kMaxSegments = 511;
constexpr unsigned kNestingLimit = 64;
constexpr std::size_t kSingleSegmentTableBytes = 8;
using encoding::kMaxSegmentWords;

kj::Array<capnp::word> zeroed_words(std::size_t count) {
  auto words = kj::heapArray<capnp::word>(count);
  std::memset(words.begin(), 0, count * kWordBytes);
  return words;
}

bool word_aligned(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer) % alignof(capnp::word) == 0;
}

std::uint32_t load_u32_le(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

PackageError framing_error(std::string description) { return CapnpError{std::move(description)}; }

// Appends the message of a builder whose segments lie elsewhere.
void append_copy(std::vector<std::uint8_t>& output,
                 kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  const std::size_t old = output.size();
  const std::size_t bytes = capnp::computeSerializedSizeInWords(segments) * kWordBytes;
  output.resize(old + bytes);
  kj::ArrayOutputStream stream(kj::arrayPtr(output.data() + old, bytes));
  capnp::writeMessage(stream, segments);
}

// Builds the message in place inside `output`, which must already hold `old` bytes followed by
// the zeroed room for the table of one segment and `words` words, the segment word-aligned.
void build_in_place(std::vector<std::uint8_t>& output, std::size_t old, std::size_t words,
                    kj::FunctionParam<void(capnp::MessageBuilder&)>& fill) {
  std::uint8_t* table = output.data() + old;
  auto first =
      kj::arrayPtr(reinterpret_cast<capnp::word*>(table + kSingleSegmentTableBytes), words);
  SegmentBuilder builder(first);
  fill(builder);
  auto segments = builder.getSegmentsForOutput();
  if (segments.size() == 1 && segments[0].begin() == first.begin()) {
    // The segment is already where it belongs: the stream writes the table and then finds the
    // segment's bytes at its fill position, so nothing is copied.
    const std::size_t used = kSingleSegmentTableBytes + segments[0].size() * kWordBytes;
    kj::ArrayOutputStream stream(kj::arrayPtr(table, used));
    capnp::writeMessage(stream, segments);
    output.resize(old + used);
    return;
  }
  // The message outgrew its measured size: lay it out flat and move that into place.
  kj::Array<capnp::word> flat = capnp::messageToFlatArray(segments);
  output.resize(old);
  const auto bytes = flat.asBytes();
  output.insert(output.end(), bytes.begin(), bytes.end());
}

}  // namespace

kj::ArrayPtr<capnp::word> SegmentBuilder::allocateSegment(unsigned minimum_size) {
  if (!first_taken_) {
    first_taken_ = true;
    if (first_.size() >= minimum_size && first_.size() > 0) {
      return first_;
    }
  }
  const std::size_t size = std::max<std::size_t>(minimum_size, kMinimumNextSegmentWords);
  more_.push_back(zeroed_words(std::min<std::size_t>(size, kMaxSegmentWords)));
  return more_.back();
}

Result<void> write_message(std::vector<std::uint8_t>& output, std::size_t words,
                           kj::FunctionParam<void(capnp::MessageBuilder&)> fill) {
  const std::size_t old = output.size();
  try {
    const std::size_t in_place_bytes = kSingleSegmentTableBytes + words * kWordBytes;
    if (words <= kMaxSegmentWords) {
      output.reserve(old + in_place_bytes);
      if (word_aligned(output.data() + old + kSingleSegmentTableBytes)) {
        output.resize(old + in_place_bytes);
        build_in_place(output, old, words, fill);
        return {};
      }
    }
    auto first = zeroed_words(std::min<std::size_t>(words, kMaxSegmentWords));
    SegmentBuilder builder(first);
    fill(builder);
    append_copy(output, builder.getSegmentsForOutput());
    return {};
  } catch (...) {
    output.resize(old);
    throw;
  }
}

Result<void> write_message(kj::OutputStream& output, std::size_t words,
                           kj::FunctionParam<void(capnp::MessageBuilder&)> fill) {
  auto first = zeroed_words(std::min<std::size_t>(words, kMaxSegmentWords));
  SegmentBuilder builder(first);
  fill(builder);
  capnp::writeMessage(output, builder);
  return {};
}

void OstreamOutput::write(const void* buffer, std::size_t size) {
  stream_.write(static_cast<const char*>(buffer), static_cast<std::streamsize>(size));
  if (!stream_) {
    kj::throwFatalException(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                          kj::heapString("the output stream refused bytes")));
  }
}

capnp::ReaderOptions reader_options(std::uint64_t segment_words, std::uint64_t slack_words) {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = segment_words + 1 + slack_words;
  options.nestingLimit = kNestingLimit;
  return options;
}

Result<std::unique_ptr<Parsed>> Parsed::parse(std::span<const std::uint8_t> input,
                                              std::uint64_t slack_words) {
  if (input.size() < 4) {
    return std::unexpected(framing_error("premature end of input: no segment table"));
  }
  const std::uint64_t segment_count = std::uint64_t{load_u32_le(input.data())} + 1;
  if (segment_count > kMaxSegments) {
    return std::unexpected(
        framing_error(reason::text("message has too many segments: ", segment_count)));
  }
  const std::uint64_t table_bytes = (4 * (1 + segment_count) + 7) / 8 * 8;
  if (input.size() < table_bytes) {
    return std::unexpected(framing_error("premature end of input inside the segment table"));
  }
  std::uint64_t segment_words = 0;
  for (std::uint64_t i = 0; i < segment_count; ++i) {
    segment_words += load_u32_le(input.data() + 4 * (i + 1));
  }
  const std::uint64_t message_bytes = table_bytes + segment_words * kWordBytes;
  if (input.size() < message_bytes) {
    return std::unexpected(
        framing_error(reason::text("premature end of input: the message needs ", message_bytes,
                                   " bytes, the input holds ", input.size())));
  }

  std::unique_ptr<Parsed> parsed(new Parsed());
  const std::size_t message_words = static_cast<std::size_t>(message_bytes / kWordBytes);
  kj::ArrayPtr<const capnp::word> words;
  if (word_aligned(input.data())) {
    words = kj::arrayPtr(reinterpret_cast<const capnp::word*>(input.data()), message_words);
  } else {
    // The message layer reads words in place, so misaligned input is copied once.
    parsed->aligned_copy_ = kj::heapArray<capnp::word>(message_words);
    std::memcpy(parsed->aligned_copy_.begin(), input.data(), message_bytes);
    words = parsed->aligned_copy_;
  }
  parsed->limit_ = segment_words + 1 + slack_words;
  parsed->message_bytes_ = words.asBytes().begin();
  parsed->storage_.emplace(words, reader_options(segment_words, slack_words));
  return parsed;
}

}  // namespace zor_package::message
