# Wraps the CMake build for people. `make test` works on a fresh machine.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=Release
MAKEFLAGS  += --no-print-directory

.PHONY: all deps build test test-core test-interpreters test-asan bench format tidy clean

all: build

deps:
	@tools/deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: test-core test-interpreters test-asan

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure

# The one built module in every CPython from 3.8 to 3.13 that pyenv has, and
# its sources against 3.8's own headers.
test-interpreters: build
	tools/check-limited-api
	tools/interpreters $(BUILD)/_tevora.abi3.so

# The core suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTEVORA_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target tevora_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -R '^core$$'

# The core's figures, its instruction count per clean cell, then the column
# functions side by side with the floor and the alternatives (docs/).
bench: build
	@tools/deps bench
	$(BUILD)/tevora_bench
	tools/count-instructions $(BUILD)/tevora_count
	/usr/bin/python3 python/bench/compare.py --markdown docs/benchmark.md --chart docs/benchmark.png

format:
	clang-format -i $(wildcard tevora/*/*.cpp tevora/include/tevora/*.hpp tevora/tests/*.hpp tevora-py/src/*.cpp tevora-py/src/*.hpp)

tidy: build
	clang-tidy -p $(BUILD) --quiet $(wildcard tevora/src/*.cpp tevora-py/src/*.cpp)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
