// Faults from below: byte sinks that refuse bytes after any number of them, and sinks and log
// subscribers that throw. Every fault comes back as an error of its kind and no exception escapes;
// the next write to a good sink gives the usual bytes. Under the sanitizer build LeakSanitizer
// checks that a failed write leaves nothing behind.
#include <gtest/gtest.h>
#include <kj/exception.h>
#include <kj/io.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <ostream>
#include <span>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "profiled_sample.hpp"
#include "result_text.hpp"
#include "zor_package/log.hpp"
#include "zor_package/model.hpp"
#include "zor_package/profile.hpp"

namespace zor_package {
namespace {

[[noreturn]] void refuse() {
  kj::throwFatalException(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                        kj::heapString("the sink is full")));
}

// A stream that keeps the first `capacity` bytes it is given and then calls `fail`, which throws.
class FailingStream : public kj::OutputStream {
 public:
  explicit FailingStream(std::size_t capacity, std::function<void()> fail = refuse)
      : capacity_(capacity), fail_(std::move(fail)) {}

  using kj::OutputStream::write;
  void write(const void* buffer, std::size_t size) override {
    const std::size_t taken = std::min(size, capacity_ - received_.size());
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    received_.insert(received_.end(), bytes, bytes + taken);
    if (taken < size) {
      fail_();
    }
  }

  [[nodiscard]] const Bytes& received() const { return received_; }

 private:
  std::size_t capacity_;
  std::function<void()> fail_;
  Bytes received_;
};

// A stream buffer that keeps the first `capacity` bytes and then refuses, or calls `fail` when
// one is given.
class FailingBuffer : public std::streambuf {
 public:
  explicit FailingBuffer(std::size_t capacity, std::function<void()> fail = {})
      : capacity_(capacity), fail_(std::move(fail)) {}

  [[nodiscard]] const Bytes& received() const { return received_; }

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override {
    const auto size = static_cast<std::size_t>(count);
    const std::size_t taken = std::min(size, capacity_ - received_.size());
    received_.insert(received_.end(), bytes, bytes + taken);
    if (taken < size && fail_) {
      fail_();
    }
    return static_cast<std::streamsize>(taken);
  }

  int_type overflow(int_type ch) override {
    const char byte = traits_type::to_char_type(ch);
    return xsputn(&byte, 1) == 1 ? traits_type::not_eof(ch) : traits_type::eof();
  }

 private:
  std::size_t capacity_;
  std::function<void()> fail_;
  Bytes received_;
};

Bytes bytes_of(kj::VectorOutputStream& stream) {
  const auto array = stream.getArray();
  return Bytes(array.begin(), array.end());
}

template <class Model>
Bytes written(const Model& model) {
  Bytes bytes;
  const Result<void> result = model.write(bytes);
  EXPECT_TRUE(result.has_value()) << result.error();
  return bytes;
}

// Writes `model` to a kj stream and to a std::ostream that fail after k bytes, for every k below
// its size: each write fails with Capnp after handing over the first k bytes, and a write to a
// good sink right after gives the usual bytes. A sink of exactly the size takes the whole message.
template <class Model>
void expect_every_sink_fault(const Model& model) {
  const Bytes usual = written(model);
  ASSERT_FALSE(usual.empty());
  for (std::size_t k = 0; k <= usual.size(); ++k) {
    SCOPED_TRACE(k);
    const Bytes prefix(usual.begin(), usual.begin() + static_cast<std::ptrdiff_t>(k));
    const bool fits = k == usual.size();

    FailingStream stream(k);
    const Result<void> to_stream = model.write(stream);
    EXPECT_EQ(to_stream.has_value(), fits);
    if (!to_stream) {
      EXPECT_EQ(to_stream.error().kind(), ErrorKind::Capnp) << to_stream.error();
    }
    EXPECT_EQ(stream.received(), prefix);

    FailingBuffer buffer(k);
    std::ostream ostream(&buffer);
    const Result<void> to_ostream = model.write(ostream);
    EXPECT_EQ(to_ostream.has_value(), fits);
    if (!to_ostream) {
      EXPECT_EQ(to_ostream.error().kind(), ErrorKind::Capnp) << to_ostream.error();
    }
    EXPECT_EQ(buffer.received(), prefix);

    kj::VectorOutputStream good;
    ASSERT_TRUE(model.write(good).has_value());
    ASSERT_EQ(bytes_of(good), usual);
  }
}

TEST(SinkFault, PackageWriteFailsAtEveryByteOfTheSink) {
  expect_every_sink_fault(tests::profiled_sample());
}

TEST(SinkFault, ReportWriteFailsAtEveryByteOfTheSink) {
  const Result<ProfileReport> report = tests::profiled_sample().profile_report(
      tests::profiled_run_output(), tests::kProfiledClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  expect_every_sink_fault(*report);
}

// What a layer below may throw, and the error it must become.
struct Thrown {
  const char* what;
  std::function<void()> raise;
  ErrorKind kind;
  std::string reason;
};

std::vector<Thrown> thrown_cases() {
  const std::string out_of_memory = std::make_error_code(std::errc::not_enough_memory).message();
  return {
      {"a message-layer exception", refuse, ErrorKind::Capnp, "the sink is full"},
      {"std::runtime_error", [] { throw std::runtime_error("pipe closed"); }, ErrorKind::Capnp,
       "pipe closed"},
      {"std::bad_alloc", [] { throw std::bad_alloc(); }, ErrorKind::Io, out_of_memory},
      {"std::length_error", [] { throw std::length_error("vector too long"); }, ErrorKind::Io,
       out_of_memory},
      {"an int", [] { throw 7; }, ErrorKind::Capnp, "unknown exception"},
  };
}

void expect_error(const Result<void>& result, const Thrown& thrown) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), thrown.kind) << result.error();
  EXPECT_EQ(result.error().reason(), thrown.reason);
}

// Sinks that throw at the first byte and in the middle of the message.
template <class Model>
void expect_thrown_errors(const Model& model, const Thrown& thrown) {
  const Bytes usual = written(model);
  for (const std::size_t capacity : {std::size_t{0}, usual.size() / 2}) {
    SCOPED_TRACE(capacity);
    FailingStream stream(capacity, thrown.raise);
    expect_error(model.write(stream), thrown);

    // A std::ostream passes the exception on only when asked to; otherwise it fails the stream.
    FailingBuffer rethrown_buffer(capacity, thrown.raise);
    std::ostream rethrowing(&rethrown_buffer);
    rethrowing.exceptions(std::ios::badbit);
    expect_error(model.write(rethrowing), thrown);
    FailingBuffer failed_buffer(capacity, thrown.raise);
    std::ostream failing(&failed_buffer);
    const Result<void> refused = model.write(failing);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), ErrorKind::Capnp) << refused.error();
  }
  EXPECT_EQ(written(model), usual);
}

TEST(SinkFault, ExceptionsFromTheSinkBecomeErrors) {
  const Application package = tests::profiled_sample();
  const Result<ProfileReport> report =
      package.profile_report(tests::profiled_run_output(), tests::kProfiledClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  for (const Thrown& thrown : thrown_cases()) {
    SCOPED_TRACE(thrown.what);
    expect_thrown_errors(package, thrown);
    expect_thrown_errors(*report, thrown);
  }
}

class ThrowingSubscriber : public log::Subscriber {
 public:
  explicit ThrowingSubscriber(std::function<void()> raise) : raise_(std::move(raise)) {}
  void on_event(const log::Event&) override {
    ++calls_;
    raise_();
  }

  [[nodiscard]] int calls() const { return calls_; }

 private:
  std::function<void()> raise_;
  int calls_ = 0;
};

using Outcomes = std::vector<std::pair<std::string, std::string>>;

// What every operation that emits log events gives on the package, and on inputs that fail.
Outcomes outcomes_of(const Application& package) {
  Outcomes outcomes;
  const auto note = [&](std::string what, std::string outcome) {
    outcomes.emplace_back(std::move(what), std::move(outcome));
  };
  Bytes bytes;
  note("write to a vector", render(package.write(bytes)));
  note("bytes", testing::PrintToString(bytes));
  std::ostringstream stream;
  note("write to a std::ostream", render(package.write(stream)));
  note("streamed bytes", testing::PrintToString(stream.str()));
  kj::VectorOutputStream kj_stream;
  note("write to a kj stream", render(package.write(kj_stream)));
  note("kj bytes", testing::PrintToString(bytes_of(kj_stream)));
  FailingStream refusing(10);
  note("write to a refusing sink", render(package.write(refusing)));
  Bytes untouched;
  note("write of an invalid package",
       render(Application::create(zor_target::Target::Zor21).write(untouched)));
  note("read", render(Application::read(bytes)));
  note("read of a cut message",
       render(Application::read(std::span(bytes).first(bytes.size() / 2))));
  note("validate", render(package.validate()));
  note("tile image", render(package.tile_image(1)));
  note("image of a missing tile", render(package.tile_image(5)));
  const Result<ProfileReport> report =
      package.profile_report(tests::profiled_run_output(), tests::kProfiledClockHz);
  note("profile report", render(report));
  Bytes report_bytes;
  if (report) {
    note("report write", render(report->write(report_bytes)));
  }
  note("report read", render(ProfileReport::read(report_bytes)));
  return outcomes;
}

TEST(SinkFault, ThrowingLogSubscriberChangesNoResult) {
  const Application package = tests::profiled_sample();
  const Outcomes quiet = outcomes_of(package);
  for (const Thrown& thrown : thrown_cases()) {
    SCOPED_TRACE(thrown.what);
    ThrowingSubscriber subscriber(thrown.raise);
    log::ScopedSubscriber installed(subscriber);
    Outcomes noisy;
    EXPECT_NO_THROW(noisy = outcomes_of(package));
    EXPECT_EQ(noisy, quiet);
    EXPECT_GT(subscriber.calls(), 0);
  }
}

}  // namespace
}  // namespace zor_package
