// zorpkg trace: a cycle profile report as a trace in the Chrome trace event format, which
// Perfetto and speedscope open.
//
// Layout: one process; per tile, in tile order, a row of the tile's samples named "tile 0042"
// (zero-padded, so that name order is tile order), then the rows of its exchange activities,
// "tile 0042 exchange" (and "exchange 2", ... only where activities overlap one another), so
// that the events of every row nest. Each sample is a complete event ("ph":"X") named after its
// kernel, with its step kind as category and the operation, kernel, metadata and raw counter
// values in its arguments. An activity starts at its step's start plus its own start cycle.
//
// Time: each tile's counter values are unwrapped into 64 bits in the order they were taken; a
// tile's first value is placed within 2^31 cycles of the first tile's, so that counters that run
// together stay together when one of them has wrapped. The earliest sample starts at 0, and
// timestamps are microseconds with three decimals (whole nanoseconds, rounded down), exact and
// monotonic, so adjacent samples touch without overlapping.
//
// The document is streamed: nothing but one tile's activities is held besides the report.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// SSE2 is part of x86-64: with it the writer copies runs of characters that need no escaping 16
// bytes at a time.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "commands.hpp"
#include "cycles.hpp"
#include "file_io.hpp"
#include "loading.hpp"

namespace zorpkg {

using namespace zor_package;

namespace {

constexpr unsigned kProcess = 1;

// A text that needs no escaping, quoted at compile time, so that member names and fixed values
// are copied as they are instead of being scanned for characters to escape.
template <std::size_t N>
struct Quoted {
  consteval Quoted(const char (&text)[N]) {  // NOLINT: implicit, for template arguments
    quoted[0] = '"';
    for (std::size_t i = 0; i + 1 < N; ++i) {
      quoted[i + 1] = text[i];
    }
    quoted[N] = '"';
  }
  std::array<char, N + 1> quoted{};
};

constexpr std::array<std::string_view, 4> kQuotedStepKinds{"\"Exchange\"", "\"Compute\"",
                                                           "\"Synchronization\"", "\"Idle\""};
constexpr std::array<std::string_view, 3> kQuotedActivityKinds{"\"Send\"", "\"Receive\"",
                                                               "\"PartnerBusy\""};

struct Activity {
  std::int64_t start = 0;  // unwrapped cycles on the tile's timeline
  std::int64_t end = 0;
  const CycleSample* sample = nullptr;
  const ProfileExchangeActivity* activity = nullptr;
};

class TraceWriter {
 public:
  TraceWriter(Output& output, std::uint64_t clock_hz)
      : output_(output), json_(buffer_), clock_hz_(clock_hz) {}

  void write(const ProfileReport& report, std::string_view title) {
    std::vector<const TileProfile*> tiles;
    for (const TileProfile& tile : report.tiles) {
      tiles.push_back(&tile);
    }
    std::ranges::stable_sort(tiles, {}, &TileProfile::physical_tile);
    std::uint32_t highest = tiles.empty() ? 0 : tiles.back()->physical_tile;
    number_width_ = std::max<std::size_t>(4, std::to_string(highest).size());
    place_tiles(tiles);

    json_.StartObject();
    key<"traceEvents">();
    json_.StartArray();
    name_metadata<"process_name">(0, title);
    for (std::size_t i = 0; i < tiles.size(); ++i) {
      write_tile(*tiles[i], origins_[i]);
    }
    json_.EndArray();
    key<"otherData">();
    json_.StartObject();
    number<"clock_hz">(clock_hz_);
    text<"durations">("end_cycle - start_cycle modulo 2^32");
    json_.EndObject();
    json_.EndObject();
    flush();
  }

 private:
  // The 64-bit position of each tile's first counter value, relative to the first tile's, and
  // the earliest of them, which becomes time 0.
  void place_tiles(const std::vector<const TileProfile*>& tiles) {
    std::optional<std::uint32_t> reference;
    origins_.assign(tiles.size(), 0);
    epoch_ = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < tiles.size(); ++i) {
      if (tiles[i]->samples.empty()) {
        continue;
      }
      std::uint32_t first = tiles[i]->samples.front().start_cycle;
      if (!reference) {
        reference = first;
      }
      origins_[i] = nearest_distance(*reference, first);
      epoch_ = std::min(epoch_, origins_[i]);
    }
  }

  void write_tile(const TileProfile& tile, std::int64_t origin) {
    std::string row = tile_row_name(tile.physical_tile);
    unsigned tid = next_tid_++;
    name_metadata<"thread_name">(tid, row);
    sort_index_metadata(tid, tid);
    if (tile.samples.empty()) {
      return;
    }
    activities_.clear();
    CounterUnwrapper counter(origin, tile.samples.front().start_cycle);
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
      const CycleSample& sample = tile.samples[i];
      std::int64_t start = i == 0 ? origin : counter.next(sample.start_cycle);
      std::int64_t end = counter.next(sample.end_cycle);
      write_sample(sample, tid, start, end);
      for (const ProfileExchangeActivity& activity : sample.step.exchange_activities) {
        std::int64_t activity_start = start + activity.start_cycle;
        activities_.push_back(
            {activity_start,
             activity_start + cycle_duration(activity.start_cycle, activity.end_cycle), &sample,
             &activity});
      }
    }
    write_activities(row);
  }

  // Places the activities on as few rows as keep each row free of overlaps: each goes on the
  // first row whose last activity has ended by its start.
  void write_activities(const std::string& tile_row) {
    std::ranges::stable_sort(activities_, {}, &Activity::start);
    lane_ends_.clear();
    lane_tids_.clear();
    for (const Activity& activity : activities_) {
      std::size_t lane = 0;
      while (lane < lane_ends_.size() && lane_ends_[lane] > activity.start) {
        ++lane;
      }
      if (lane == lane_ends_.size()) {
        unsigned tid = next_tid_++;
        lane_ends_.push_back(activity.start);
        lane_tids_.push_back(tid);
        std::string name = tile_row + " exchange";
        if (lane > 0) {
          name += " " + std::to_string(lane + 1);
        }
        name_metadata<"thread_name">(tid, name);
        sort_index_metadata(tid, tid);
      }
      lane_ends_[lane] = activity.end;
      write_activity(activity, lane_tids_[lane]);
    }
  }

  void event_head(unsigned tid, std::int64_t start, std::int64_t end) {
    json_.StartObject();
    key<"ph">();
    constant<"X">();
    number<"pid">(kProcess);
    number<"tid">(tid);
    key<"ts">();
    std::uint64_t start_ns = nanoseconds(start);
    microseconds(start_ns);
    key<"dur">();
    microseconds(nanoseconds(end) - start_ns);
  }

  void write_sample(const CycleSample& sample, unsigned tid, std::int64_t start, std::int64_t end) {
    const ProfileStep& step = sample.step;
    auto kind = static_cast<std::size_t>(step.kind);
    event_head(tid, start, end);
    key<"name">();
    if (!step.kernel.empty() || !step.operation.empty()) {
      string(!step.kernel.empty() ? step.kernel : step.operation);
    } else {
      quoted(kQuotedStepKinds.at(kind));
    }
    key<"cat">();
    quoted(kQuotedStepKinds.at(kind));
    key<"args">();
    json_.StartObject();
    text<"operation">(step.operation);
    text<"kernel">(step.kernel);
    number<"local_index">(step.local_index);
    number<"phase">(step.phase);
    number<"epoch">(step.epoch);
    number<"start_cycle">(sample.start_cycle);
    number<"end_cycle">(sample.end_cycle);
    number<"cycles">(cycle_duration(sample.start_cycle, sample.end_cycle));
    if (step.exchange_event_cycles != 0) {
      number<"exchange_event_cycles">(step.exchange_event_cycles);
    }
    if (!step.metadata.empty()) {
      key<"metadata">();
      json_.StartObject();
      for (const ProfileMetadata& entry : step.metadata) {
        json_.Key(entry.name.data(), static_cast<rapidjson::SizeType>(entry.name.size()));
        string(entry.value);
      }
      json_.EndObject();
    }
    json_.EndObject();
    json_.EndObject();
    flush();
  }

  void write_activity(const Activity& activity, unsigned tid) {
    const ProfileExchangeActivity& a = *activity.activity;
    event_head(tid, activity.start, activity.end);
    key<"name">();
    quoted(kQuotedActivityKinds.at(static_cast<std::size_t>(a.kind)));
    key<"cat">();
    constant<"exchange">();
    key<"args">();
    json_.StartObject();
    number<"fanout">(a.fanout);
    key<"paired">();
    json_.Bool(a.paired);
    number<"start_cycle">(a.start_cycle);
    number<"end_cycle">(a.end_cycle);
    number<"cycles">(cycle_duration(a.start_cycle, a.end_cycle));
    text<"operation">(activity.sample->step.operation);
    text<"kernel">(activity.sample->step.kernel);
    number<"local_index">(activity.sample->step.local_index);
    json_.EndObject();
    json_.EndObject();
    flush();
  }

  // A row or process name.
  template <Quoted Kind>
  void name_metadata(unsigned tid, std::string_view value) {
    metadata_head<Kind>(tid);
    text<"name">(value);
    json_.EndObject();
    json_.EndObject();
    flush();
  }

  void sort_index_metadata(unsigned tid, unsigned index) {
    metadata_head<"thread_sort_index">(tid);
    number<"sort_index">(index);
    json_.EndObject();
    json_.EndObject();
    flush();
  }

  template <Quoted Kind>
  void metadata_head(unsigned tid) {
    json_.StartObject();
    key<"name">();
    constant<Kind>();
    key<"ph">();
    constant<"M">();
    number<"pid">(kProcess);
    number<"tid">(tid);
    key<"args">();
    json_.StartObject();
  }

  template <Quoted Name>
  void key() {
    json_.RawValue(Name.quoted.data(), Name.quoted.size(), rapidjson::kStringType);
  }

  template <Quoted Value>
  void constant() {
    json_.RawValue(Value.quoted.data(), Value.quoted.size(), rapidjson::kStringType);
  }

  void quoted(std::string_view value) {
    json_.RawValue(value.data(), value.size(), rapidjson::kStringType);
  }

  void string(std::string_view value) {
    json_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  }

  template <Quoted Name>
  void text(std::string_view value) {
    key<Name>();
    string(value);
  }

  template <Quoted Name>
  void number(std::uint64_t value) {
    key<Name>();
    json_.Uint64(value);
  }

  [[nodiscard]] std::uint64_t nanoseconds(std::int64_t position) const {
    return cycles_to_nanoseconds(static_cast<std::uint64_t>(position - epoch_), clock_hz_);
  }

  // Whole nanoseconds as microseconds with three decimals, or none when they are 0.
  void microseconds(std::uint64_t nanoseconds) {
    std::array<char, 32> buffer{};
    char* end = buffer.data() + buffer.size();
    char* begin = end;
    std::uint64_t fraction = nanoseconds % 1000;
    std::uint64_t whole = nanoseconds / 1000;
    if (fraction != 0) {
      for (int digit = 0; digit < 3; ++digit) {
        *--begin = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
      }
      *--begin = '.';
    }
    do {
      *--begin = static_cast<char>('0' + whole % 10);
      whole /= 10;
    } while (whole != 0);
    json_.RawValue(begin, static_cast<std::size_t>(end - begin), rapidjson::kNumberType);
  }

  std::string tile_row_name(std::uint32_t physical_tile) const {
    std::string digits = std::to_string(physical_tile);
    if (digits.size() < number_width_) {
      digits.insert(0, number_width_ - digits.size(), '0');
    }
    return "tile " + digits;
  }

  // Moves what the writer has put in the buffer to the output; called after each event, so that
  // the buffer stays small however large the document.
  void flush() {
    output_.write(buffer_.GetString(), buffer_.GetSize());
    buffer_.Clear();
  }

  Output& output_;
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> json_;
  std::uint64_t clock_hz_;
  std::size_t number_width_ = 4;
  std::vector<std::int64_t> origins_;
  std::int64_t epoch_ = 0;
  unsigned next_tid_ = 1;
  std::vector<Activity> activities_;
  std::vector<std::int64_t> lane_ends_;
  std::vector<unsigned> lane_tids_;
};

}  // namespace

Outcome<void> run_trace(const TraceOptions& options) {
  auto report = load_report(options.report);
  if (!report) {
    return std::unexpected(report.error());
  }
  std::uint64_t clock_hz = options.clock_hz != 0 ? options.clock_hz : report->clock_hz;
  if (clock_hz == 0) {
    return fail(options.report, "the report has no clock rate (0 Hz); give one with --clock HZ");
  }
  auto output = Output::open(options.output, compression_for(options.output));
  if (!output) {
    return std::unexpected(output.error());
  }
  TraceWriter writer(*output, clock_hz);
  writer.write(*report, "cycle profile " + options.report);
  return output->commit();
}

}  // namespace zorpkg
