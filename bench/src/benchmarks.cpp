// The benchmark suite: every operation at every scale, each reporting the bytes it processes.
// Each scale's workload is generated once per process, on the first benchmark that needs it.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>

#include "operations.hpp"
#include "workload.hpp"

namespace {

void run(benchmark::State& state, const zor_bench::Operation& operation) {
  const zor_bench::Workload& workload =
      zor_bench::cached_workload(static_cast<int>(state.range(0)));
  zor_bench::Scratch scratch;
  if (operation.prepare != nullptr) {
    operation.prepare(workload, scratch);
  }
  for (auto _ : state) {
    operation.run(workload, scratch);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(operation.bytes(workload)));
}

}  // namespace

int main(int argc, char** argv) {
  // glibc raises its mmap threshold as large blocks are freed, up to 32 MiB: from the second
  // iteration on, the 32 MiB buffers of scale 1 would come back warm from the heap while the
  // 500 MiB buffers of scale 2 are always mapped fresh. A fixed threshold treats both scales
  // alike, so that time can be compared across them.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  for (const zor_bench::Operation& operation : zor_bench::operations()) {
    benchmark::RegisterBenchmark(std::string(operation.name).c_str(), run, operation)
        ->DenseRange(0, zor_bench::kMaxScale)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
