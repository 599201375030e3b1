# The two commands of the README, and the developer shortcuts around them.
PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: deps configure build test package bench run clean

deps:
	scripts/install-deps

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

# The Debian packages of the program, the tunnel service and their library,
# in $(BUILD_DIR)/packages/.
package: build
	cpack --config $(BUILD_DIR)/CPackConfig.cmake -B $(BUILD_DIR)/packages

# The program against the demo service: its own build (the library points at
# the demo service), then the demo and tunnel services and the program.
run: deps
	cmake --preset demo
	cmake --build --preset demo
	scripts/run-demo build/demo

bench: build
	@for b in $$(find $(BUILD_DIR)/bench -maxdepth 1 -name "bench_*" -type f -executable | sort); do echo "== $$b"; $$b --benchmark_min_time=0.3; done
	@echo "== halvoran's first frame against a bare Qt Quick window"
	@xvfb-run -a -s "-screen 0 1280x1024x24" bench/window-figures.sh $(BUILD_DIR)
	@echo "== halvoran's tray item at login, the tray host starting 5 s late"
	@bench/tray-at-login.sh $(BUILD_DIR)
	@echo "== halvoran's idle wake-ups (the demo build, build/demo)"
	@if [ -x build/demo/app/halvoran ]; then bench/idle-wakeups.sh build/demo; else echo "not built: cmake --preset demo && cmake --build --preset demo"; fi
	@echo "== halvoran-tunneld (stand-in provider)"
	@tests/service/with-buses.sh bench/tunneld-figures.py $(BUILD_DIR)/service/tunneld/halvoran-tunneld tests/service/stand-in-provider.py

clean:
	rm -rf build
