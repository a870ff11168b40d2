// The benchmarked operations, shared by the benchmark executable and the peak memory driver so
// that both measure the same code.
//
// Every run includes releasing what the operation returned, just as the baseline copy includes
// releasing its buffer: a caller pays for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "workload.hpp"

namespace zor_bench {

// The parts of a workload an operation reads; the memory driver drops the others before it
// measures.
enum Uses : unsigned {
  kUsesPackage = 1U << 0,
  kUsesPackageBytes = 1U << 1,
  kUsesRunOutput = 1U << 2,
  kUsesReport = 1U << 3,
  kUsesReportBytes = 1U << 4,
};

// Memory that nothing has touched yet, mapped from the system and unmapped when destroyed.
// The allocator would do the same for large buffers only: below 32 MiB glibc hands back memory
// that earlier runs freed and touched, so a copy into `new` memory is fresh at one scale and
// warm at another.
class FreshMemory {
 public:
  explicit FreshMemory(std::size_t size);
  ~FreshMemory();
  FreshMemory(const FreshMemory&) = delete;
  FreshMemory& operator=(const FreshMemory&) = delete;

  [[nodiscard]] std::uint8_t* data() const { return data_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A buffer that an operation sets up before it is timed.
struct Scratch {
  zor_package::Bytes buffer;
};

struct Operation {
  std::string_view name;  // the benchmark's name, as in "BM_Read"
  unsigned uses = 0;      // a combination of Uses
  // The bytes one run processes, for the benchmark's throughput.
  std::size_t (*bytes)(const Workload& workload) = nullptr;
  // Sets up `scratch` before the first run; null when there is nothing to set up.
  void (*prepare)(const Workload& workload, Scratch& scratch) = nullptr;
  // Runs the operation once; a failing library call ends the process with a message.
  void (*run)(const Workload& workload, Scratch& scratch) = nullptr;
};

// Every operation, in the order of the results table: the two copies first.
[[nodiscard]] std::span<const Operation> operations();

}  // namespace zor_bench
