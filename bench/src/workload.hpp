// The packages the benchmarks run on: generated deterministically at three scales, with the run
// output of a profiled run and the profile report built from it.
//
// Scale 0 is the sample package with the smallest profiling setup: a "profile.cycles" output
// with one 8-byte slice on tile 0 and a plan of one step for it.
// Scale 2 is a full processor:
//   - 1,472 tiles numbered 0 upwards, each with 3 to 8 segments that together fill 60 to 95
//     percent of tile memory (0x4c000..0xe8000) in ascending address order with gaps between
//     them; each segment carries data over 40 to 100 percent of its memory size and a
//     zero-filled tail after it;
//   - 200 bindings (24 inputs, 16 outputs, 160 weights), each with one slice on every tile, all
//     slices of a binding of one size; the last output is "profile.cycles", with a slice of
//     (64 + 1) * 4 bytes on every tile;
//   - a host exchange of 64 pages and 256 calls, each call with 1 to 4 input and 1 to 4 output
//     slices in batches;
//   - a profiling plan of 64 steps on every tile;
//   - 4 entry points, 32 device configuration writes, 64 debug symbols and a debug region on
//     every tile.
// Scale 1 is a sixteenth of that: 92 tiles, the same 200 bindings over them, and a host
// exchange of 4 pages and 16 calls; everything else per tile as at scale 2.
//
// Sizes and contents come from one SplitMix64 stream per scale (seed kSeed + scale), so the
// packages are identical on every machine. Every generated package passes validation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zor_package/model.hpp"
#include "zor_package/profile.hpp"

namespace zor_bench {

inline constexpr int kMaxScale = 2;
inline constexpr std::uint64_t kSeed = 0x7a6f722d62656e63;  // "zor-benc"
inline constexpr std::uint64_t kClockHz = 1'500'000'000;

struct Workload {
  int scale = 0;
  zor_package::Application package = zor_package::Application::create(zor_target::Target::Zor21);
  zor_package::Bytes package_bytes;   // the package as Application::write encodes it
  zor_package::Bytes run_output;      // output buffer of a profiled run of the package
  zor_package::ProfileReport report;  // built from run_output at kClockHz
  zor_package::Bytes report_bytes;    // the report as ProfileReport::write encodes it
  std::size_t image_bytes = 0;        // sum of the lengths of every tile's image
};

// Generates the workload of `scale` (0 to kMaxScale). A package that fails validation, or any
// failing library call on the way, ends the process with a message: the benchmarks would
// otherwise measure error paths.
[[nodiscard]] Workload generate(int scale);

// The workload of `scale`, generated on the first call and kept for the life of the process.
[[nodiscard]] const Workload& cached_workload(int scale);

// The package alone, without encoding it: what generate() starts from.
[[nodiscard]] zor_package::Application generate_package(int scale);

// The output buffer of a profiled run of `package`: every output occupying its extent, in
// order, zero except for the cycle counters of every planned tile in "profile.cycles", which
// start anywhere below 2^31 and rise by 1 to 10,000 per step.
[[nodiscard]] zor_package::Bytes generate_run_output(const zor_package::Application& package,
                                                     std::uint64_t seed);

}  // namespace zor_bench
