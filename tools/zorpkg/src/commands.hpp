// The subcommands of zorpkg: their options as the command line fills them, and the functions
// that carry them out. Each function reports success or the failure that ended it; validate
// returns its exit status, since its verdict is per file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "failure.hpp"

namespace zorpkg {

struct InfoOptions {
  std::string package;
  bool json = false;
  std::string output = "-";
};

struct ValidateOptions {
  std::vector<std::string> packages;
};

struct DumpOptions {
  std::string package;
  bool no_data = false;
  std::string output = "-";
};

struct AssembleOptions {
  std::string json;
  std::string output;
};

struct ImageOptions {
  std::string package;
  std::uint32_t tile = 0;  // the tile whose image goes into the file `output`
  bool all = false;        // instead, every tile's image into the directory `output`
  std::string output;
};

struct SampleOptions {
  std::string output;
  bool profiled = false;
  std::string run_output;  // where --profiled puts the run output; empty: OUTPUT.run
};

struct ProfileOptions {
  std::string package;
  std::string run_output;
  std::uint64_t clock_hz = 0;
  std::string output;
};

enum class ReportFormat : std::uint8_t { Text, Json, Csv };

struct ReportOptions {
  std::string report;
  std::size_t top = 10;
  ReportFormat format = ReportFormat::Text;
  std::string output = "-";
};

struct TraceOptions {
  std::string report;
  std::string output;
  std::uint64_t clock_hz = 0;  // when not 0, replaces the report's clock rate
};

[[nodiscard]] Outcome<void> run_info(const InfoOptions& options);
[[nodiscard]] int run_validate(const ValidateOptions& options);
[[nodiscard]] Outcome<void> run_dump(const DumpOptions& options);
[[nodiscard]] Outcome<void> run_assemble(const AssembleOptions& options);
[[nodiscard]] Outcome<void> run_image(const ImageOptions& options);
[[nodiscard]] Outcome<void> run_sample(const SampleOptions& options);
[[nodiscard]] Outcome<void> run_profile(const ProfileOptions& options);
[[nodiscard]] Outcome<void> run_report(const ReportOptions& options);
[[nodiscard]] Outcome<void> run_trace(const TraceOptions& options);

}  // namespace zorpkg
