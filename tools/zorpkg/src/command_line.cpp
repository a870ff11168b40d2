#include "command_line.hpp"

#include <CLI/CLI.hpp>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>

#include "commands.hpp"
#include "failure.hpp"

namespace zorpkg {
namespace {

constexpr const char* kDescription =
    "zorpkg: inspect, validate, dump and assemble application packages, extract tile images, and "
    "build, summarise and export cycle profiles.";

constexpr const char* kFooter = R"(
Examples:
  zorpkg sample --profiled -o sample.zpkg      # also writes the run output sample.zpkg.run
  zorpkg info sample.zpkg
  zorpkg validate sample.zpkg other.zpkg
  zorpkg dump sample.zpkg -o sample.json
  zorpkg assemble sample.json -o copy.zpkg
  zorpkg image sample.zpkg --tile 0 -o tile0.bin
  zorpkg image sample.zpkg --all -o images
  zorpkg profile sample.zpkg sample.zpkg.run --clock 1500000000 -o run.zprof
  zorpkg report run.zprof --top 5
  zorpkg trace run.zprof -o run.trace.json.gz

A FILE given as "-" is standard input or standard output.
The cycle counters of a profiled run are 32 bits wide and wrap: a duration is the difference of
two counter values modulo 2^32, so a counter that wrapped still gives the right duration.
Exit status: 0 on success, 1 when a file or the library reports an error, 2 for a usage error.)";

constexpr const char* kDurationNote =
    "\nDurations are counter differences modulo 2^32: a step during which the 32-bit counter "
    "wrapped still gets its right duration.";

// Accepts a positive whole number of hertz.
CLI::Validator positive_clock() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        return value.find_first_not_of("0123456789") != std::string::npos ||
                       value.find_first_not_of('0') == std::string::npos
                   ? "a clock rate is a positive whole number of hertz, got " + value
                   : std::string();
      },
      "HZ");
}

// Fills the lines of a help text to 100 columns; indented lines (the examples) stay as they are.
std::string wrapped(std::string_view text) {
  constexpr std::size_t kWidth = 100;
  std::string out;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (line.size() > kWidth && !line.starts_with(' ')) {
      std::size_t cut = line.rfind(' ', kWidth);
      if (cut == std::string_view::npos || cut == 0) {
        break;
      }
      out.append(line.substr(0, cut)) += '\n';
      line.remove_prefix(cut + 1);
    }
    out.append(line);
    if (end != std::string_view::npos) {
      out += '\n';
    }
  }
  return out;
}

std::string usage_line(const CLI::App* /*app*/, const CLI::Error& error) {
  return "zorpkg: error: " + std::string(error.what()) + " (see zorpkg --help)\n";
}

}  // namespace

int run_command_line(int argc, char** argv) {
  CLI::App app(kDescription, "zorpkg");
  app.set_version_flag("--version", "zorpkg 0.1.0");
  app.require_subcommand(1);
  app.failure_message(usage_line);
  std::function<Outcome<void>()> command;
  int validate_status = kExitOk;

  InfoOptions info;
  CLI::App* info_app = app.add_subcommand("info", "Summarise a package");
  info_app->add_option("PKG", info.package, "package file")->required();
  info_app->add_flag("--json", info.json, "the same figures as JSON");
  info_app->add_option("-o,--output", info.output, "where to write (default: standard output)");
  info_app->footer(wrapped(
      "\nShows the target, compiler version, tiles and their memory use (smallest, median and "
      "largest tile), segments, bindings with their extents, host exchange, entry points, "
      "configuration writes, profiling plan, debug symbols and regions.\n\n"
      "Example:\n  zorpkg info sample.zpkg --json"));
  info_app->callback([&] { command = [&] { return run_info(info); }; });

  ValidateOptions validate;
  CLI::App* validate_app = app.add_subcommand("validate", "Read and validate packages");
  validate_app->add_option("PKG", validate.packages, "package files")->required();
  validate_app->footer(wrapped(
      "\nReads each package, which checks and validates it, and prints one line a file: "
      "\"FILE: ok\" or \"FILE: error: \" followed by the error. Exit status 0 when every file is "
      "valid, 1 when any is not, 2 when a file cannot be opened.\n\n"
      "Example:\n  zorpkg validate a.zpkg b.zpkg"));
  validate_app->callback([&] {
    command = [&]() -> Outcome<void> {
      validate_status = run_validate(validate);
      return {};
    };
  });

  DumpOptions dump;
  CLI::App* dump_app = app.add_subcommand("dump", "Write a whole package as JSON");
  dump_app->add_option("PKG", dump.package, "package file")->required();
  dump_app->add_flag("--no-data", dump.no_data,
                     "leave out segment data (each segment then shows its data_size)");
  dump_app->add_option("-o,--output", dump.output, "where to write (default: standard output)");
  dump_app->footer(wrapped(
      "\nEvery field under its model name, numbers as exact integers, segment data as base64; "
      "\"zorpkg assemble\" turns it back into the same file.\n\n"
      "Example:\n  zorpkg dump sample.zpkg -o sample.json"));
  dump_app->callback([&] { command = [&] { return run_dump(dump); }; });

  AssembleOptions assemble;
  CLI::App* assemble_app =
      app.add_subcommand("assemble", "Build a package from the JSON of \"zorpkg dump\"");
  assemble_app->add_option("JSON", assemble.json, "dump JSON file")->required();
  assemble_app->add_option("-o,--output", assemble.output, "package file to write")->required();
  assemble_app->footer(wrapped(
      "\nWrites the package with the library's writer, which validates it. An error names its "
      "place in the JSON, for example tiles[3].segments[0].address, and nothing is written.\n\n"
      "Example:\n  zorpkg assemble sample.json -o sample.zpkg"));
  assemble_app->callback([&] { command = [&] { return run_assemble(assemble); }; });

  ImageOptions image;
  CLI::App* image_app =
      app.add_subcommand("image", "Write the memory image of a tile, or of every tile");
  image_app->add_option("PKG", image.package, "package file")->required();
  CLI::Option* tile_option = image_app->add_option("--tile", image.tile, "the tile to write");
  CLI::Option* all_option =
      image_app->add_flag("--all", image.all, "write every tile's image into the directory -o");
  tile_option->excludes(all_option);
  image_app
      ->add_option("-o,--output", image.output,
                   "image file, or with --all a directory of tile-NNNN.bin files")
      ->required();
  image_app->footer(wrapped(
      "\nAn image runs from the tile's lowest segment address to its highest segment end, zero "
      "where no segment data lies; its load base and length are printed.\n\n"
      "Examples:\n  zorpkg image sample.zpkg --tile 0 -o tile0.bin\n"
      "  zorpkg image sample.zpkg --all -o images"));
  image_app->callback([&] {
    if (tile_option->count() == 0 && !image.all) {
      throw CLI::RequiredError("--tile or --all");
    }
    command = [&] { return run_image(image); };
  });

  SampleOptions sample;
  CLI::App* sample_app = app.add_subcommand("sample", "Write the embedded sample package");
  sample_app->add_option("-o,--output", sample.output, "package file to write")->required();
  CLI::Option* profiled_flag =
      sample_app->add_flag("--profiled", sample.profiled, "the profiled sample and its run output");
  sample_app
      ->add_option("--run-output", sample.run_output,
                   "where --profiled writes the run output (default: PKG.run)")
      ->needs(profiled_flag);
  sample_app->footer(
      wrapped("\nWith --profiled: a package of four tiles with a profiling plan, and beside it the "
              "output buffer of a profiled run of it, whose counters wrap, for trying the profile "
              "commands.\n\n"
              "Example:\n  zorpkg sample --profiled -o sample.zpkg"));
  sample_app->callback([&] { command = [&] { return run_sample(sample); }; });

  ProfileOptions profile;
  CLI::App* profile_app =
      app.add_subcommand("profile", "Build the cycle profile report of a profiled run");
  profile_app->add_option("PKG", profile.package, "package file")->required();
  profile_app->add_option("RUN_OUTPUT", profile.run_output, "output buffer of the run")->required();
  profile_app->add_option("--clock", profile.clock_hz, "clock rate in hertz")
      ->required()
      ->check(positive_clock());
  profile_app->add_option("-o,--output", profile.output, "report file to write")->required();
  profile_app->footer(wrapped(
      "\nPairs each step of the package's profiling plan with its counter values in the run's "
      "output buffer, and writes the report file.\n\n"
      "Example:\n  zorpkg profile sample.zpkg sample.zpkg.run --clock 1500000000 -o run.zprof"));
  profile_app->callback([&] { command = [&] { return run_profile(profile); }; });

  ReportOptions report;
  bool report_json = false;
  bool report_csv = false;
  CLI::App* report_app = app.add_subcommand("report", "Summarise a cycle profile report");
  report_app->add_option("REPORT", report.report, "report file")->required();
  report_app->add_option("--top", report.top, "how many kernels and operations (0: all)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  CLI::Option* json_flag = report_app->add_flag("--json", report_json, "JSON for scripts");
  CLI::Option* csv_flag = report_app->add_flag(
      "--csv", report_csv, "one CSV table: group,tile,name,count,total_cycles,... per row");
  json_flag->excludes(csv_flag);
  report_app->add_option("-o,--output", report.output, "where to write (default: standard output)");
  report_app->footer(wrapped(
      "\nPer tile, cycles by step kind and their shares; the top kernels and operations by "
      "total cycles with count, total, mean, median, smallest and largest duration, and share "
      "of all cycles." +
      std::string(kDurationNote) + "\n\nExample:\n  zorpkg report run.zprof --top 5"));
  report_app->callback([&] {
    report.format = report_json  ? ReportFormat::Json
                    : report_csv ? ReportFormat::Csv
                                 : ReportFormat::Text;
    command = [&] { return run_report(report); };
  });

  TraceOptions trace;
  CLI::App* trace_app =
      app.add_subcommand("trace", "Export a cycle profile report as a Chrome trace event file");
  trace_app->add_option("REPORT", trace.report, "report file")->required();
  trace_app->add_option("-o,--output", trace.output, "trace file to write")->required();
  trace_app->add_option("--clock", trace.clock_hz, "clock rate in hertz, instead of the report's")
      ->check(positive_clock());
  trace_app->footer(wrapped(
      "\nFor Perfetto or speedscope: a row per tile (\"tile 0042\", in tile order) with a "
      "complete event per sample (the step kind as category; operation, kernel, metadata and "
      "raw counter values as arguments), and the tile's exchange activities on rows of their "
      "own, each placed at its step's start plus its own start cycle. Times are microseconds "
      "from the clock rate, starting at 0; each tile's counter values are unwrapped into 64 bits "
      "in order. A name ending in .gz is compressed." +
      std::string(kDurationNote) +
      "\n\nExamples:\n  zorpkg trace run.zprof -o run.trace.json\n"
      "  zorpkg trace run.zprof -o run.trace.json.gz"));
  trace_app->callback([&] { command = [&] { return run_trace(trace); }; });

  app.footer(wrapped(kFooter));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int status = app.exit(error);
    return status == 0 ? kExitOk : kExitUsage;
  }
  auto outcome = command();
  std::cout.flush();
  if (!outcome) {
    std::cerr << outcome.error().line() << '\n';
    return outcome.error().exit_status;
  }
  return validate_status;
}

}  // namespace zorpkg
