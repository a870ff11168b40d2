// The library under several threads at once: reading, writing, validating, rebuilding tile images
// and building, writing and reading profile reports from one package, one report and one set of
// bytes, while log subscribers are installed and swapped. Every result must equal the
// single-threaded one; the thread-sanitizer build (preset `thread`) watches every access, so that
// any state the library shared between calls would show.
#include <gtest/gtest.h>
#include <kj/io.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <latch>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <thread>
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

constexpr int kThreads = 4;
constexpr int kRounds = 50;

// What one thread shares with the others.
struct Shared {
  Application package;
  ProfileReport report;
  Bytes bytes;         // the package's file
  Bytes misaligned;    // the same after one stray byte
  Bytes report_bytes;  // the report's file
  Bytes run_output;    // the output buffer of a profiled run
};

using Outcomes = std::vector<std::pair<std::string, std::string>>;

// Every operation of the library once, on the shared values only.
Outcomes round(const Shared& shared) {
  Outcomes outcomes;
  const auto note = [&](std::string what, std::string outcome) {
    outcomes.emplace_back(std::move(what), std::move(outcome));
  };
  const Application& package = shared.package;
  note("read", render(Application::read(shared.bytes)));
  note("misaligned read", render(Application::read(std::span(shared.misaligned).subspan(1))));
  note("read of a cut file",
       render(Application::read(std::span(shared.bytes).first(shared.bytes.size() - 8))));
  note("validate", render(package.validate()));
  Bytes bytes;
  note("write", render(package.write(bytes)));
  note("written bytes", testing::PrintToString(bytes));
  std::ostringstream stream;
  note("write to a std::ostream", render(package.write(stream)));
  note("streamed bytes", testing::PrintToString(stream.str()));
  kj::VectorOutputStream kj_stream;
  note("write to a kj stream", render(package.write(kj_stream)));
  const auto kj_bytes = kj_stream.getArray();
  note("kj bytes", testing::PrintToString(Bytes(kj_bytes.begin(), kj_bytes.end())));
  for (const std::uint32_t tile : {0u, 1u, 2u}) {
    note("tile image " + std::to_string(tile), render(package.tile_image(tile)));
  }
  note("output binding", render(package.output_binding("profile.cycles")));
  note("profile report",
       render(package.profile_report(shared.run_output, tests::kProfiledClockHz)));
  Bytes report_bytes;
  note("report write", render(shared.report.write(report_bytes)));
  note("report bytes", testing::PrintToString(report_bytes));
  note("report read", render(ProfileReport::read(shared.report_bytes)));
  return outcomes;
}

// How many times each event was recorded, by its rendering.
std::map<std::string, int> count_events(std::initializer_list<const log::EventRecorder*> recorders,
                                        int times = 1) {
  std::map<std::string, int> counts;
  for (const log::EventRecorder* recorder : recorders) {
    for (const log::RecordedEvent& event : recorder->events()) {
      counts[testing::PrintToString(event)] += times;
    }
  }
  return counts;
}

TEST(Concurrency, ThreadsShareOnePackageAndItsBytes) {
  Shared shared{.package = tests::profiled_sample(),
                .report = {},
                .bytes = {},
                .misaligned = {},
                .report_bytes = {},
                .run_output = tests::profiled_run_output()};
  ASSERT_TRUE(shared.package.write(shared.bytes).has_value());
  shared.misaligned.assign(1 + shared.bytes.size(), 0xee);
  std::copy(shared.bytes.begin(), shared.bytes.end(), shared.misaligned.begin() + 1);
  const Result<ProfileReport> report =
      shared.package.profile_report(shared.run_output, tests::kProfiledClockHz);
  ASSERT_TRUE(report.has_value()) << report.error();
  shared.report = *report;
  ASSERT_TRUE(shared.report.write(shared.report_bytes).has_value());

  log::EventRecorder first;
  log::EventRecorder second;
  Outcomes expected;
  std::map<std::string, int> expected_events;
  {
    log::ScopedSubscriber installed(first);
    expected = round(shared);
    expected_events = count_events({&first}, kThreads * kRounds);
    first.clear();
  }
  ASSERT_FALSE(expected_events.empty());

  std::vector<int> mismatches(kThreads, 0);
  std::vector<Outcomes> first_mismatch(kThreads);
  {
    log::ScopedSubscriber installed(first);
    std::latch start(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        const auto slot = static_cast<std::size_t>(t);
        for (int r = 0; r < kRounds; ++r) {
          Outcomes outcomes = round(shared);
          if (outcomes != expected) {
            if (mismatches[slot]++ == 0) {
              first_mismatch[slot] = std::move(outcomes);
            }
          }
        }
      });
    }
    // Meanwhile the subscriber changes back and forth; each event reaches one of the two.
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      start.arrive_and_wait();
      while (!done.load()) {
        log::set_subscriber(&second);
        std::this_thread::yield();
        log::set_subscriber(&first);
        std::this_thread::yield();
      }
    });
    for (std::thread& thread : threads) {
      thread.join();
    }
    done.store(true);
    swapper.join();
  }

  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
  for (const Outcomes& outcomes : first_mismatch) {
    if (!outcomes.empty()) {
      EXPECT_EQ(outcomes, expected);
    }
  }
  EXPECT_EQ(count_events({&first, &second}), expected_events);
}

}  // namespace
}  // namespace zor_package
