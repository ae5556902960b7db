# Wraps the CMake build for people. `make test` works on a fresh machine.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=Release
MAKEFLAGS  += --no-print-directory

.PHONY: all deps build test test-core test-interpreters test-package test-asan demo bench format tidy clean

all: build

deps:
	@tools/deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: test-core test-interpreters test-package test-asan

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure

# The one built module in every CPython from 3.8 to 3.13 that pyenv has, and
# its sources against 3.8's own headers.
test-interpreters: build
	tools/check-limited-api
	tools/interpreters $(BUILD)/_tevora.abi3.so

# The core suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTEVORA_SANITIZE=ON \
	  -DTEVORA_BENCH=OFF -DTEVORA_COPY_TO_PACKAGE=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target tevora_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -R '^core$$'

# The package in a pytest process of its own (python/tests imports the bare
# extension, which initialises once per process): the wheel in every CPython
# 3.8 to 3.13 that pyenv has, the command, the dataframe helpers, mypy.
test-package: build
	/usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests_package

# The README's first command: the report on the sample catalogue, then its
# cleaned copy (with match keys and the reason for each refusal) in $(BUILD)/.
demo: build
	PYTHONPATH=python /usr/bin/python3 -m tevora check examples/catalogue.csv
	PYTHONPATH=python /usr/bin/python3 -m tevora clean examples/catalogue.csv \
	  -o $(BUILD)/catalogue.clean.csv --key-column gtin_key --explain

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

# ---- Hardening: fuzzing, the sanitized extension, stress -------------------
FUZZ_BUILD     ?= build-fuzz
FUZZ_SECONDS   ?= 60
PYTEST         := /usr/bin/python3 -m pytest -q -p no:cacheprovider

.PHONY: fuzz sanitize stress clean-hardening

# libFuzzer over the core's parse, store_form and key for FUZZ_SECONDS, from
# the committed seeds in tevora/fuzz/corpus. What it learns stays in
# $(FUZZ_BUILD)/corpus; an input that breaks an invariant is saved as
# $(FUZZ_BUILD)/crash-* and the end of the log is shown.
fuzz: deps
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVORA_FUZZ=ON \
	  -DTEVORA_BENCH=OFF -DTEVORA_PYTHON=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target tevora_fuzz
	@mkdir -p $(FUZZ_BUILD)/corpus
	@echo "fuzzing the core for $(FUZZ_SECONDS) s"
	@$(FUZZ_BUILD)/tevora_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 -timeout=10 \
	  -dict=tevora/fuzz/core.dict -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 \
	  $(FUZZ_BUILD)/corpus tevora/fuzz/corpus >$(FUZZ_BUILD)/fuzz.log 2>&1 \
	  || { tail -n 60 $(FUZZ_BUILD)/fuzz.log; exit 1; }
	@grep -E '^(Done|stat::)' $(FUZZ_BUILD)/fuzz.log

# The whole pytest suite against an AddressSanitizer and UBSan build of the
# extension and the core, in Debian's interpreter with the ASan runtime
# preloaded. Python allocates every object with malloc, so that ASan guards
# our instances too and LeakSanitizer sees a lost one at exit (the
# interpreter's own memory is still reachable then, so it reports none of
# it). Output is captured at the sys level only: a sanitizer's report, written
# to the process's stderr, reaches the log.
sanitize: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTEVORA_SANITIZE=ON \
	  -DTEVORA_BENCH=OFF -DTEVORA_COPY_TO_PACKAGE=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target _tevora
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  TEVORA_EXTENSION_DIR=$(CURDIR)/$(ASAN_BUILD) $(PYTEST) --capture=sys python/tests

# The leak loops at full length, the thread test longer, and the tests too
# heavy for every run, against the normal build.
stress: build
	TEVORA_STRESS=1 $(PYTEST) python/tests/test_leaks.py python/tests/test_threads.py \
	  python/tests/test_extremes.py::test_parse_many_over_ten_million_none

clean: clean-hardening
clean-hardening:
	rm -rf $(FUZZ_BUILD)
