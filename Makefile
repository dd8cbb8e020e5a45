# The two set-up commands of the README: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLMI_WERROR=ON
SANITIZERS  = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# libFuzzer targets (clang): `make fuzz` runs each for FUZZ_SECONDS, `make test` for a few seconds.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 4
FUZZERS      = migration responses emulator

.PHONY: all bootstrap build test test-asan fuzz-build fuzz fuzz-smoke demo bench format clean

all: build

bootstrap:
	@scripts/bootstrap

# Configured every time, so that a folder first configured otherwise (by `make demo` too) still
# builds with -Werror and builds everything.
build: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DTOLMI_TESTS=ON -DTOLMI_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-asan

test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DTOLMI_SANITIZE=ON -DTOLMI_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(SANITIZERS) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory fuzz-smoke

fuzz-build: bootstrap
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLMI_WERROR=ON -DTOLMI_FUZZ=ON -DTOLMI_TESTS=OFF \
	  -DTOLMI_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZERS:%=%_fuzz)

# Each target starts from its committed seeds (fuzz/corpus/NAME, only read) and keeps what it
# finds in $(FUZZ_BUILD)/corpus/NAME; a crashing input lands in $(FUZZ_BUILD)/NAME-crash-*.
FUZZ_RUN = for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f && \
	  $(FUZZ_BUILD)/$${f}_fuzz -max_total_time=$$seconds -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/$$f-crash- $$([ -f fuzz/$$f.dict ] && echo -dict=fuzz/$$f.dict) \
	    $(FUZZ_BUILD)/corpus/$$f fuzz/corpus/$$f || exit 1; \
	done

fuzz: fuzz-build
	@seconds=$(FUZZ_SECONDS); $(FUZZ_RUN)

fuzz-smoke: fuzz-build
	@seconds=$(FUZZ_SMOKE_SECONDS); $(FUZZ_RUN)

# Only what the demo runs: the library, the tool and the emulator, not the tests.
demo:
	@echo "make demo: installing what is missing, building tolmi-gcp and compute-emulator in $(BUILD) (not the tests), then running tolmi-gcp demo"
	@scripts/bootstrap --demo
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DTOLMI_TESTS=OFF -DTOLMI_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target tolmi-gcp compute-emulator
	$(BUILD)/tolmi-gcp demo

# The discovery benchmark also runs Google's Python API client, installed here and not for the tests.
bench: bootstrap
	@scripts/bootstrap python3-googleapi
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLMI_TESTS=OFF
	cmake --build build-bench --target tolmi_bench -j $(JOBS)
	build-bench/tolmi_bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-bench
