# The two commands of the README: `make run` and `make test`. Both install what is missing first.
SHELL := /bin/bash
.DEFAULT_GOAL := run
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= read_package read_report tile_images profile_report

.PHONY: run test deps build build-sanitize build-thread bench fuzz fuzz-merge format clean

deps:
	@scripts/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

build-sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize -j $(JOBS)

# Only the concurrency tests are built and run under ThreadSanitizer.
build-thread: deps
	@cmake --preset thread >/dev/null
	@cmake --build --preset thread -j $(JOBS)

# After the self-checks, `make run` shows zorpkg on the embedded sample, in build/default/demo.
DEMO := build/default/demo
DEMO_STEPS := \
  "zorpkg sample --profiled -o sample.zpkg" \
  "zorpkg info sample.zpkg" \
  "zorpkg validate sample.zpkg" \
  "zorpkg image sample.zpkg --tile 0 -o tile0.bin" \
  "zorpkg profile sample.zpkg sample.zpkg.run --clock 1500000000 -o run.zprof" \
  "zorpkg report run.zprof --top 5" \
  "zorpkg trace run.zprof -o run.trace.json"

run: build
	@build/default/selfcheck/zor-package-selfcheck
	@rm -rf $(DEMO) && mkdir -p $(DEMO)
	@cd $(DEMO) && export PATH="$(CURDIR)/build/default/tools/zorpkg:$$PATH" && \
	  for step in $(DEMO_STEPS); do echo; echo "\$$ $$step"; $$step || exit 1; done
	@echo; echo "Open $(DEMO)/run.trace.json in Perfetto or speedscope."

test: build build-sanitize build-thread
	@ctest --preset default -j $(JOBS)
	@ctest --preset sanitize -j $(JOBS)
	@ctest --preset thread

# The benchmark suite at every scale (three repetitions each, medians), one measured run of each
# operation in a fresh process at the two larger scales (time, peak memory, page faults), and the
# table of both for the full scale.
BENCH_OUT := build/default/bench
bench: build
	@$(BENCH_OUT)/zor-bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_OUT)/results.json --benchmark_out_format=json
	@$(BENCH_OUT)/zor-bench-memory 2 > $(BENCH_OUT)/memory.json
	@$(BENCH_OUT)/zor-bench-memory 1 > $(BENCH_OUT)/memory-1.json
	@scripts/bench-table $(BENCH_OUT)/results.json $(BENCH_OUT)/memory.json $(BENCH_OUT)/memory-1.json

# Coverage-guided fuzzing with ASan and UBSan: `make fuzz FUZZ_SECONDS=1800`.
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@scripts/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-merge:
	@scripts/fuzz-merge $(FUZZ_TARGETS)

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	@rm -rf build
