# Entry points. Each target does its own set-up on a fresh machine.
#   make test   install dependencies, build, run all tests
#   make demo   install dependencies, build, install, speak a text to out/demo.wav
#   make bench  install dependencies, build the benchmarks (Release, in build-bench), run
#               them and print the table of ratios against their same-run baselines
BUILD_DIR ?= build
JOBS ?= 2
BENCH_DIR ?= build-bench
BENCH_ARGS ?=
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench install clean format-check

all: build

deps:
	./scripts/setup-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BENCH_DIR) -j$(JOBS) --target ombrix_bench ombrix_soak
	$(BENCH_DIR)/bin/ombrix_bench $(BENCH_ARGS)

format-check:
	./scripts/check-format.sh

clean:
	rm -rf $(BUILD_DIR)
