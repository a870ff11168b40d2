// Cycle arithmetic on the 32-bit counters of a profiled run.
//
// The counters wrap (at 1.5 GHz about every 2.9 s). A duration is therefore the difference of two
// counter values modulo 2^32, which is right whenever the true duration is shorter than one wrap,
// and a timeline unwraps a tile's counter values into 64 bits in the order they were taken.
#pragma once

#include <cstdint>

namespace zorpkg {

__extension__ typedef unsigned __int128 Uint128;  // NOLINT: GCC's 128-bit integer

// Cycles from `start` to `end`, modulo 2^32.
[[nodiscard]] constexpr std::uint32_t cycle_duration(std::uint32_t start, std::uint32_t end) {
  return end - start;
}

// Unwraps counter values taken in order: each value lies at most 2^32 - 1 cycles after the one
// before it.
class CounterUnwrapper {
 public:
  // `origin` is the 64-bit position of the counter value `first`, the first one taken.
  constexpr CounterUnwrapper(std::int64_t origin, std::uint32_t first)
      : position_(origin), last_(first) {}

  // The 64-bit position of `value`, the next counter value in order.
  constexpr std::int64_t next(std::uint32_t value) {
    position_ += static_cast<std::int64_t>(cycle_duration(last_, value));
    last_ = value;
    return position_;
  }

 private:
  std::int64_t position_;
  std::uint32_t last_;
};

// The signed distance from counter value `from` to `to` when both were taken within 2^31 cycles
// of each other: lets tiles whose counters run together share one timeline even when one counter
// has wrapped and another not yet.
[[nodiscard]] constexpr std::int64_t nearest_distance(std::uint32_t from, std::uint32_t to) {
  return static_cast<std::int32_t>(to - from);
}

// Nanoseconds of `cycles` at `clock_hz`, rounded down; exact for every 64-bit input.
[[nodiscard]] constexpr std::uint64_t cycles_to_nanoseconds(std::uint64_t cycles,
                                                            std::uint64_t clock_hz) {
  Uint128 scaled = static_cast<Uint128>(cycles) * 1'000'000'000U;
  return static_cast<std::uint64_t>(scaled / clock_hz);
}

}  // namespace zorpkg
