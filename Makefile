# The two set-up commands of the README: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLMI_WERROR=ON
SANITIZERS  = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all bootstrap build test test-asan demo bench format clean

all: build

bootstrap:
	@scripts/bootstrap

# Configured every time, so that a folder first configured otherwise still builds with -Werror.
build: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-asan

test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DTOLMI_SANITIZE=ON -DTOLMI_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(SANITIZERS) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

demo: build
	$(BUILD)/tolmi-gcp demo

bench: bootstrap
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLMI_TESTS=OFF
	cmake --build build-bench --target tolmi_bench tolmi_discovery_bench -j $(JOBS)
	build-bench/tolmi_bench
	build-bench/tolmi_discovery_bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench
