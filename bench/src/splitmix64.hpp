// SplitMix64, the pseudo-random generator of the benchmark packages.
//
// The generator is fixed here, down to how a bounded draw is made, so that every machine and
// every standard library produce the same packages from the same seed (the standard
// distributions are free to differ between implementations).
#pragma once

#include <cstdint>

namespace zor_bench {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  // The next 64 bits of the stream (Steele, Lea and Flood's constants).
  std::uint64_t next() {
    state_ += 0x9e3779b97f4a7c15;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }

  // A number from `low` to `high`, both included, for low <= high < 2^32: the remainder of one
  // draw, whose bias (below 2^-32) does not matter for sizes and choices.
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    const std::uint64_t span = std::uint64_t{high} - low + 1;
    return static_cast<std::uint32_t>(low + next() % span);
  }

 private:
  std::uint64_t state_;
};

}  // namespace zor_bench
