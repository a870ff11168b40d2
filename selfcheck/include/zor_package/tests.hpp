// The named self-checks of the package library, the sample package they share, and the runner
// of the self-check executable.
//
// A check is a function without arguments that returns normally when it passes and throws
// CheckFailure (or anything else) when it fails.
#pragma once

#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "zor_package/model.hpp"

namespace zor_package::tests {

// A fresh copy of the sample package on every call: target Zor21, one tile 0 whose one segment
// holds 01 02 03 04 at 0x4c000 with memory size 8 and flags 5. It passes validation.
[[nodiscard]] Application sample();

struct Check {
  std::string_view name;  // "tests::<check>"
  void (*run)();
};

// Every registered check, in alphabetical order of their names.
[[nodiscard]] std::span<const Check> registry();

// Thrown by a check whose comparison does not hold.
class CheckFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs the checks named in `selected` (all of them when it is empty) one after another, printing
// a line for each and a closing "N passed, M failed" line to `out`. A check that fails or throws
// does not stop the others. Returns the number of failed checks, or -1 when a selected name is
// not registered (then nothing runs).
int run_checks(std::span<const Check> checks, std::span<const std::string_view> selected,
               std::ostream& out);

void binding_extents_and_output_offsets_share_checked_file_geometry();
void rejects_ambiguous_device_configuration();
void rejects_implicit_host_batches();
void rejects_overflowing_host_ranges();
void rejects_overlapping_segments();
void round_trip_and_reconstruct();
void package_header_rejects_unknown_targets_and_mismatched_memory();
void reads_legacy_package_profile_records();
void profile_round_trip();
void randomized_profile_reports_use_adjacent_start_samples();

// The report of profile_round_trip: tile 17 with one sample of every step kind, each step with
// metadata and the exchange step with two activities, every end cycle below its start cycle as
// after a counter that wrapped, at 1.5 GHz.
[[nodiscard]] ProfileReport four_kinds_report();

// The stored package of reads_legacy_package_profile_records: 568 bytes as an earlier writer
// left them, with null pointers for everything it did not set.
[[nodiscard]] Bytes legacy_package_bytes();

}  // namespace zor_package::tests
