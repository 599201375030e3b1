# The two commands of the README, and the developer shortcuts around them.
PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: deps configure build test bench clean

deps:
	scripts/install-deps

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

clean:
	rm -rf build
