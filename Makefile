# Thin wrapper around CMake: deps, build, run, test, bench.
GEN        ?= -G Ninja
JOBS       ?= $(shell nproc)
CTEST      ?= ctest --output-on-failure --no-tests=error -j$(JOBS)
BUILD_TYPE ?= RelWithDebInfo
# The sanitizer trees build what the tests run, not the benchmarks.
ASAN = -DCMAKE_BUILD_TYPE=Debug -DTROVIK_SANITIZE=address -DTROVIK_BENCH=OFF
TSAN = -DCMAKE_BUILD_TYPE=Debug -DTROVIK_SANITIZE=thread -DTROVIK_BENCH=OFF
# The fuzz tree: clang's libFuzzer under ASan and UBSan, one target per kind of outside input.
# What the runs add to the corpus stays in the tree; the seeds and regressions are in fuzz/.
FUZZ         = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTROVIK_FUZZ=ON
FUZZ_TARGETS = datagram files dbus
FUZZ_SECONDS ?= 60
# A small quarantine keeps freed memory warm: the targets allocate much per input.
FUZZ_ENV     = ASAN_OPTIONS=quarantine_size_mb=16:malloc_context_size=8

.PHONY: deps build run test test-normal test-asan test-tsan fuzz bench package format clean

deps:
	./scripts/install-deps

build: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build

run: build
	./build/trovik-helper

# Each tree's tests run while the next tree builds, at the lowest priority: the tests spend
# much of their time waiting on timers and other processes, and keep the CPU when they need it.
test: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) && cmake --build build
	cmake -S . -B build-asan $(GEN) $(ASAN) && cmake -S . -B build-tsan $(GEN) $(TSAN)
	(cd build && $(CTEST)) & nice -n 19 cmake --build build-asan; built=$$?; wait $$! && [ $$built -eq 0 ]
	(cd build-asan && $(CTEST)) & nice -n 19 cmake --build build-tsan; built=$$?; wait $$! && [ $$built -eq 0 ]
	$(call fuzz_configure)
	(cd build-tsan && $(CTEST)) & { [ ! -f build-fuzz/CMakeCache.txt ] || nice -n 19 cmake --build build-fuzz; }; built=$$?; wait $$! && [ $$built -eq 0 ]
	$(call fuzz_run,20)

test-normal:
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build
	cd build && $(CTEST)

test-asan:
	cmake -S . -B build-asan $(GEN) $(ASAN)
	cmake --build build-asan
	cd build-asan && $(CTEST)

test-tsan:
	cmake -S . -B build-tsan $(GEN) $(TSAN)
	cmake --build build-tsan
	cd build-tsan && $(CTEST)

fuzz: deps
	$(call fuzz_configure)
	$(call fuzz_run,$(FUZZ_SECONDS))

# Configures the fuzz tree where clang has libFuzzer. Without, the fuzzing is skipped, but on
# CI, where that is a failure.
define fuzz_configure
	@if printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
	    | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then \
	  CC=clang CXX=clang++ cmake -S . -B build-fuzz $(GEN) $(FUZZ); \
	else \
	  echo "fuzz: clang with libFuzzer is missing (make deps installs it)" >&2; \
	  rm -f build-fuzz/CMakeCache.txt; [ "$$CI" != true ]; \
	fi
endef

# Builds the configured fuzz tree and runs each target for $(1) seconds.
define fuzz_run
	@[ -f build-fuzz/CMakeCache.txt ] || exit 0; set -ex; \
	nice -n 19 cmake --build build-fuzz; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  $(FUZZ_ENV) nice -n 19 build-fuzz/fuzz/fuzz_$$t -max_total_time=$(1) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/$$t- build-fuzz/corpus/$$t fuzz/corpus/$$t; \
	done
endef

package: build
	cd build && cpack -G DEB

bench: build
	./build/bench/trovik-bench

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
