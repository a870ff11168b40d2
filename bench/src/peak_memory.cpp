// Measures, for every benchmarked operation at one scale, the peak resident memory that one run
// adds above its inputs, and the cost of touching fresh memory against copying into touched
// memory. Prints one JSON object for scripts/bench-table.
//
// Usage: zor-bench-memory [SCALE]   (default 2)
//
// Each operation runs in a child process of its own: the child generates the workload, keeps
// only the parts the operation reads, hands freed memory back to the system (malloc_trim), then
// resets its peak resident size to the current one (writing 5 to /proc/self/clear_refs) and
// runs the operation once. The peak memory of the run is the peak resident size (VmHWM)
// afterwards minus the resident size (VmRSS) before it. The child also counts the page faults of
// the run: each is a first touch of a fresh page.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "operations.hpp"
#include "workload.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A field of /proc/self/status in bytes, such as "VmRSS" or "VmHWM".
std::uint64_t status_bytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10) * 1024;
    }
  }
  std::fprintf(stderr, "zor-bench-memory: /proc/self/status has no %.*s\n",
               static_cast<int>(field.size()), field.data());
  std::exit(1);
}

void reset_peak() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
  clear_refs.close();
  if (!clear_refs) {
    std::fprintf(stderr, "zor-bench-memory: cannot reset the peak resident size\n");
    std::exit(1);
  }
}

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Drops the parts of the workload that the operation does not read.
void keep_only(zor_bench::Workload& workload, unsigned uses) {
  if ((uses & zor_bench::kUsesPackage) == 0) {
    workload.package = zor_package::Application::create(zor_target::Target::Zor21);
  }
  if ((uses & zor_bench::kUsesPackageBytes) == 0) {
    zor_package::Bytes().swap(workload.package_bytes);
  }
  if ((uses & zor_bench::kUsesRunOutput) == 0) {
    zor_package::Bytes().swap(workload.run_output);
  }
  if ((uses & zor_bench::kUsesReport) == 0) {
    workload.report = {};
  }
  if ((uses & zor_bench::kUsesReportBytes) == 0) {
    zor_package::Bytes().swap(workload.report_bytes);
  }
}

// The child's part: one run of `operation`, measured, printed as one JSON object.
void measure(const zor_bench::Operation& operation, int scale) {
  zor_bench::Workload workload = zor_bench::generate(scale);
  const std::size_t package_bytes = workload.package_bytes.size();
  const std::size_t processed_bytes = operation.bytes(workload);
  zor_bench::Scratch scratch;
  if (operation.prepare != nullptr) {
    operation.prepare(workload, scratch);
  }
  keep_only(workload, operation.uses);
  malloc_trim(0);

  reset_peak();
  const std::uint64_t before = status_bytes("VmRSS");
  const long faults_before = minor_faults();
  const Clock::time_point start = Clock::now();
  operation.run(workload, scratch);
  const double seconds = seconds_since(start);
  const long faults = minor_faults() - faults_before;
  const std::uint64_t peak = status_bytes("VmHWM");

  std::printf(
      "{\"name\": \"%.*s/%d\", \"package_bytes\": %zu, \"processed_bytes\": %zu, "
      "\"rss_before\": %llu, \"peak_above\": %llu, \"minor_faults\": %ld, \"seconds\": %.6f}",
      static_cast<int>(operation.name.size()), operation.name.data(), scale, package_bytes,
      processed_bytes, static_cast<unsigned long long>(before),
      static_cast<unsigned long long>(peak - before), faults, seconds);
  std::fflush(stdout);
}

// First touch against a copy into touched memory, on a buffer of `size` bytes (the package's
// size): the time and the page faults of copying into fresh memory, then of copying into the
// same memory again.
void measure_first_touch(std::size_t size) {
  const zor_bench::FreshMemory source(size);
  std::memset(source.data(), 0x5a, size);
  const zor_bench::FreshMemory target(size);

  long faults_before = minor_faults();
  Clock::time_point start = Clock::now();
  std::memcpy(target.data(), source.data(), size);
  const double fresh_seconds = seconds_since(start);
  const long fresh_faults = minor_faults() - faults_before;

  faults_before = minor_faults();
  start = Clock::now();
  std::memcpy(target.data(), source.data(), size);
  const double touched_seconds = seconds_since(start);
  const long touched_faults = minor_faults() - faults_before;

  std::printf(
      "{\"bytes\": %zu, \"fresh_copy_seconds\": %.6f, \"fresh_copy_faults\": %ld, "
      "\"touched_copy_seconds\": %.6f, \"touched_copy_faults\": %ld}",
      size, fresh_seconds, fresh_faults, touched_seconds, touched_faults);
  std::fflush(stdout);
}

// Runs `child` in a forked process and waits for it; false when it failed.
template <typename Child>
bool in_child(Child child) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("zor-bench-memory: fork");
    return false;
  }
  if (pid == 0) {
    child();
    std::_Exit(0);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) {
    std::perror("zor-bench-memory: waitpid");
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int scale = argc > 1 ? std::atoi(argv[1]) : zor_bench::kMaxScale;
  if (argc > 2 || scale < 0 || scale > zor_bench::kMaxScale) {
    std::fprintf(stderr, "usage: zor-bench-memory [SCALE]   (SCALE from 0 to %d)\n",
                 zor_bench::kMaxScale);
    return 2;
  }
  std::printf("{\"scale\": %d, \"operations\": [\n", scale);
  bool ok = true;
  bool first = true;
  for (const zor_bench::Operation& operation : zor_bench::operations()) {
    std::printf("%s", first ? "" : ",\n");
    first = false;
    if (!in_child([&] { measure(operation, scale); })) {
      std::fprintf(stderr, "zor-bench-memory: measuring %.*s failed\n",
                   static_cast<int>(operation.name.size()), operation.name.data());
      ok = false;
      std::printf("null");
    }
  }
  std::printf("],\n\"first_touch\": ");
  const bool touched = in_child([&] {
    const std::size_t package_bytes = zor_bench::generate(scale).package_bytes.size();
    malloc_trim(0);
    measure_first_touch(package_bytes);
  });
  if (!touched) {
    ok = false;
    std::printf("null");
  }
  std::printf("}\n");
  return ok ? 0 : 1;
}
