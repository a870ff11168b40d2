#include "zor_package/tests.hpp"

namespace zor_package::tests {
namespace {

// Kept in alphabetical order of the names.
constexpr Check kChecks[] = {
    {"tests::binding_extents_and_output_offsets_share_checked_file_geometry",
     binding_extents_and_output_offsets_share_checked_file_geometry},
    {"tests::package_header_rejects_unknown_targets_and_mismatched_memory",
     package_header_rejects_unknown_targets_and_mismatched_memory},
    {"tests::profile_round_trip", profile_round_trip},
    {"tests::randomized_profile_reports_use_adjacent_start_samples",
     randomized_profile_reports_use_adjacent_start_samples},
    {"tests::reads_legacy_package_profile_records", reads_legacy_package_profile_records},
    {"tests::rejects_ambiguous_device_configuration", rejects_ambiguous_device_configuration},
    {"tests::rejects_implicit_host_batches", rejects_implicit_host_batches},
    {"tests::rejects_overflowing_host_ranges", rejects_overflowing_host_ranges},
    {"tests::rejects_overlapping_segments", rejects_overlapping_segments},
    {"tests::round_trip_and_reconstruct", round_trip_and_reconstruct},
};

}  // namespace

std::span<const Check> registry() { return kChecks; }

}  // namespace zor_package::tests
