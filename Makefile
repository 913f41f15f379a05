# Entry points. Each target does its own set-up on a fresh machine.
#   make test   install dependencies, build, run all tests
#   make demo   install dependencies, build, install, speak a text to out/demo.wav
BUILD_DIR ?= build
JOBS ?= 2
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

format-check:
	./scripts/check-format.sh

clean:
	rm -rf $(BUILD_DIR)
