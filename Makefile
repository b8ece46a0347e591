# Thin wrapper around CMake: deps, build, run, test, bench.
GEN        ?= -G Ninja
JOBS       ?= $(shell nproc)
CTEST      ?= ctest --output-on-failure --no-tests=error -j$(JOBS)
BUILD_TYPE ?= RelWithDebInfo
# The sanitizer trees build what the tests run, not the benchmarks.
ASAN = -DCMAKE_BUILD_TYPE=Debug -DTROVIK_SANITIZE=address -DTROVIK_BENCH=OFF
TSAN = -DCMAKE_BUILD_TYPE=Debug -DTROVIK_SANITIZE=thread -DTROVIK_BENCH=OFF

.PHONY: deps build run test test-normal test-asan test-tsan bench package format clean

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
	cd build-tsan && $(CTEST)

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

package: build
	cd build && cpack -G DEB

bench: build
	./build/bench/trovik-bench

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan
