# Thin wrapper around CMake: deps, build, run, test, bench.
GEN    ?= -G Ninja
CTEST  ?= ctest --output-on-failure --no-tests=error
BUILD_TYPE ?= RelWithDebInfo

.PHONY: deps build run test test-normal test-asan test-tsan bench package format clean

deps:
	./scripts/install-deps

build: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build

run: build
	./build/trovik-helper

test: deps test-normal test-asan test-tsan

test-normal:
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build
	cd build && $(CTEST)

test-asan:
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTROVIK_SANITIZE=address
	cmake --build build-asan
	cd build-asan && $(CTEST)

test-tsan:
	cmake -S . -B build-tsan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTROVIK_SANITIZE=thread
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
