# The two commands of the README: `make run` and `make test`. Both install what is missing first.
SHELL := /bin/bash
.DEFAULT_GOAL := run
JOBS ?= $(shell nproc)

.PHONY: run test deps build build-sanitize format clean

deps:
	@scripts/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

build-sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize -j $(JOBS)

run: build
	@build/default/selfcheck/zor-package-selfcheck

test: build build-sanitize
	@ctest --preset default -j $(JOBS)
	@ctest --preset sanitize -j $(JOBS)

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	@rm -rf build
