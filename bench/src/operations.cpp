#include "operations.hpp"

#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zor_bench {
namespace {

using zor_package::Application;
using zor_package::Bytes;
using zor_package::ProfileReport;
using zor_package::Result;

template <typename T>
void check(std::string_view operation, const Result<T>& result) {
  if (!result) {
    std::fprintf(stderr, "%.*s failed: %s\n", static_cast<int>(operation.size()), operation.data(),
                 result.error().message().c_str());
    std::abort();
  }
}

std::size_t package_bytes(const Workload& workload) { return workload.package_bytes.size(); }
std::size_t image_bytes(const Workload& workload) { return workload.image_bytes; }
std::size_t run_output_bytes(const Workload& workload) { return workload.run_output.size(); }
std::size_t report_bytes(const Workload& workload) { return workload.report_bytes.size(); }

// The baseline: the package's bytes copied into memory that nothing has touched yet.
void copy_to_fresh_memory(const Workload& workload, Scratch&) {
  const std::size_t size = workload.package_bytes.size();
  const FreshMemory copy(size);
  std::memcpy(copy.data(), workload.package_bytes.data(), size);
  benchmark::DoNotOptimize(copy.data());
  benchmark::ClobberMemory();
}

void touch_buffer(const Workload& workload, Scratch& scratch) {
  scratch.buffer.assign(workload.package_bytes.size(), 0);
}

void copy_to_touched_memory(const Workload& workload, Scratch& scratch) {
  std::memcpy(scratch.buffer.data(), workload.package_bytes.data(), workload.package_bytes.size());
  benchmark::DoNotOptimize(scratch.buffer.data());
  benchmark::ClobberMemory();
}

void write_package(const Workload& workload, Scratch&) {
  Bytes output;
  check("BM_Write", workload.package.write(output));
  benchmark::DoNotOptimize(output.data());
}

void read_package(const Workload& workload, Scratch&) {
  const Result<Application> package = Application::read(workload.package_bytes);
  check("BM_Read", package);
  benchmark::DoNotOptimize(&*package);
}

// The package's bytes one byte past a 16-byte boundary.
void misalign_package(const Workload& workload, Scratch& scratch) {
  scratch.buffer.assign(workload.package_bytes.size() + 1, 0);
  std::memcpy(scratch.buffer.data() + 1, workload.package_bytes.data(),
              workload.package_bytes.size());
}

void read_unaligned_package(const Workload&, Scratch& scratch) {
  const std::span<const std::uint8_t> input(scratch.buffer.data() + 1, scratch.buffer.size() - 1);
  const Result<Application> package = Application::read(input);
  check("BM_ReadUnaligned", package);
  benchmark::DoNotOptimize(&*package);
}

void validate_package(const Workload& workload, Scratch&) {
  check("BM_Validate", workload.package.validate());
}

// Every tile's image in tile order, each released before the next, as a loader would.
void build_tile_images(const Workload& workload, Scratch&) {
  for (const zor_package::TileImage& tile : workload.package.tiles) {
    const Result<Bytes> image = workload.package.tile_image(tile.physical_tile);
    check("BM_TileImages", image);
    benchmark::DoNotOptimize(image->data());
  }
}

void build_profile_report(const Workload& workload, Scratch&) {
  const Result<ProfileReport> report =
      workload.package.profile_report(workload.run_output, kClockHz);
  check("BM_ProfileReport", report);
  benchmark::DoNotOptimize(&*report);
}

void write_report(const Workload& workload, Scratch&) {
  Bytes output;
  check("BM_ReportWrite", workload.report.write(output));
  benchmark::DoNotOptimize(output.data());
}

void read_report(const Workload& workload, Scratch&) {
  const Result<ProfileReport> report = ProfileReport::read(workload.report_bytes);
  check("BM_ReportRead", report);
  benchmark::DoNotOptimize(&*report);
}

constexpr std::array<Operation, 10> kOperations = {{
    {"BM_Memcpy", kUsesPackageBytes, package_bytes, nullptr, copy_to_fresh_memory},
    {"BM_MemcpyWarm", kUsesPackageBytes, package_bytes, touch_buffer, copy_to_touched_memory},
    {"BM_Write", kUsesPackage, package_bytes, nullptr, write_package},
    {"BM_Read", kUsesPackageBytes, package_bytes, nullptr, read_package},
    {"BM_ReadUnaligned", 0, package_bytes, misalign_package, read_unaligned_package},
    {"BM_Validate", kUsesPackage, package_bytes, nullptr, validate_package},
    {"BM_TileImages", kUsesPackage, image_bytes, nullptr, build_tile_images},
    {"BM_ProfileReport", kUsesPackage | kUsesRunOutput, run_output_bytes, nullptr,
     build_profile_report},
    {"BM_ReportWrite", kUsesReport, report_bytes, nullptr, write_report},
    {"BM_ReportRead", kUsesReportBytes, report_bytes, nullptr, read_report},
}};

}  // namespace

FreshMemory::FreshMemory(std::size_t size) : size_(size) {
  if (size == 0) {
    return;
  }
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    std::perror("mapping fresh memory");
    std::abort();
  }
  data_ = static_cast<std::uint8_t*>(mapped);
}

FreshMemory::~FreshMemory() {
  if (data_ != nullptr) {
    munmap(data_, size_);
  }
}

std::span<const Operation> operations() { return kOperations; }

}  // namespace zor_bench
