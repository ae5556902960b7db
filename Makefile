# Wraps the CMake build for people. `make test` works on a fresh Debian 12 or
# 13 machine: it installs what is missing (`make deps`) first.
BUILD       ?= build
ASAN_BUILD  ?= build-asan
FUZZ_BUILD  ?= build-fuzz
CROSS_BUILD ?= build-cross
JOBS        ?= $(shell nproc)
CMAKE_ARGS  ?= -DCMAKE_BUILD_TYPE=Release
FUZZ_SECONDS ?= 60
# Virtual environments with requirements-dev.txt from PyPI, one per
# interpreter; Debian's own holds the tools (ruff, build, auditwheel).
VENVS       ?= $(BUILD)/venvs
TOOLS       := $(VENVS)/debian/bin
PYTEST      := /usr/bin/python3 -m pytest -q -p no:cacheprovider
MAKEFLAGS   += --no-print-directory

CXX_SOURCES := $(wildcard tevora/*/*.cpp tevora/include/tevora/*.hpp tevora/include/tevora/*/*.hpp \
                 tevora/tests/*.hpp tevora-py/*/*.cpp tevora-py/*/*.hpp)
PY_SOURCES  := python tools examples
# GCC's link-time optimisation flags mean nothing to clang, which would say so.
TIDY        := clang-tidy -p $(BUILD) --quiet --extra-arg=-Wno-ignored-optimization-argument \
                 $(wildcard tevora/src/*.cpp tevora-py/src/*.cpp tevora-py/arrow/*.cpp tevora-py/files/*.cpp)

.PHONY: all deps build test test-core test-package test-wheels test-asan test-cross lint \
        tools-venv demo bench bench-cli format tidy fuzz sanitize stress clean

all: build

deps:
	@tools/deps

build:
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: deps
	@$(MAKE) lint test-core test-package test-wheels test-asan

# The core's GoogleTest suite, its fuzz corpus replayed, and the extension's
# pytest suite on Debian's python3 against the build tree.
test-core: build
	tools/check-limited-api
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error

# The package's suite against the build tree, on Debian's python3 in its
# virtual environment, in a pytest process of its own (the extension
# initialises once per process); it also installs the source tree with pip,
# plainly and editable.
test-package: build tools-venv
	$(TOOLS)/python -m pytest -q -p no:cacheprovider python/tests_package

# The sdist, the wheel built from it and repaired by auditwheel, and both
# suites against that wheel installed in every CPython 3.8 to 3.13 that pyenv
# has and in Debian's python3.
test-wheels: tools-venv
	tools/test-wheels $(BUILD)/dist $(VENVS)

# The core suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTEVORA_SANITIZE=ON \
	  -DTEVORA_BENCH=OFF -DTEVORA_COPY_TO_PACKAGE=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target tevora_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure --no-tests=error -R '^core$$'

# The core suite cross-compiled for 64-bit Arm and for IBM Z (big-endian),
# run under qemu-user.
test-cross:
	@tools/deps cross
	@for target in aarch64-linux-gnu s390x-linux-gnu; do \
	  cmake -S . -B $(CROSS_BUILD)/$$target -Wno-dev -DCMAKE_TOOLCHAIN_FILE=cmake/$$target.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DTEVORA_PYTHON=OFF -DTEVORA_BENCH=OFF \
	    -DTEVORA_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null || exit 1; \
	  cmake --build $(CROSS_BUILD)/$$target -j $(JOBS) >$(CROSS_BUILD)/$$target.log 2>&1 \
	    || { tail -n 40 $(CROSS_BUILD)/$$target.log; exit 1; }; \
	  echo "$$target:"; \
	  ctest --test-dir $(CROSS_BUILD)/$$target --output-on-failure --no-tests=error || exit 1; \
	done

# clang-format and clang-tidy (both strict), ruff's lint and format check.
lint: build tools-venv
	clang-format --dry-run -Werror $(CXX_SOURCES)
	$(TIDY)
	$(TOOLS)/ruff check --no-cache $(PY_SOURCES)
	$(TOOLS)/ruff format --no-cache --check $(PY_SOURCES)

tools-venv:
	@tools/venv /usr/bin/python3 $(VENVS)/debian

# The README's first command: the report on the sample catalogue, then its
# cleaned copy (with match keys and the reason for each refusal) in $(BUILD)/.
demo: build
	PYTHONPATH=python /usr/bin/python3 -m tevora check examples/catalogue.csv
	PYTHONPATH=python /usr/bin/python3 -m tevora clean examples/catalogue.csv \
	  -o $(BUILD)/catalogue.clean.csv --key-column gtin_key --explain

# The core's figures, its instruction count per clean cell, the column
# functions side by side with the floor and the alternatives (docs/) on
# Debian's python3 and again on the newest CPython pyenv has, then the Arrow
# functions against Arrow's and polars' own kernels (docs/arrow_benchmark.png),
# and tevora in DuckDB, Spark and Dask against a Python UDF in each.
bench: build tools-venv
	@tools/deps bench
	$(BUILD)/tevora_bench
	tools/count-instructions $(BUILD)/tevora_count
	/usr/bin/python3 python/bench/compare.py --markdown docs/benchmark.md --chart docs/benchmark.png
	@newest=$$(ls -d $(VENVS)/3.*/ 2>/dev/null | sort -V | tail -n 1); \
	  if [ -n "$$newest" ]; then $$newest/bin/python python/bench/compare.py; \
	  else echo "no pyenv CPython venv in $(VENVS): run make test first"; fi
	$(TOOLS)/python python/bench/arrow_compare.py --figures $(BUILD)/arrow_figures.json
	/usr/bin/python3 python/bench/chart.py $(BUILD)/arrow_figures.json docs/arrow_benchmark.png
	$(TOOLS)/python python/bench/engines.py

# `tevora check` and `tevora clean` on a generated 2,000,000-row catalogue,
# side by side with a plain csv.reader pass, and their peak memory.
bench-cli: build
	/usr/bin/python3 python/bench/cli_compare.py
	/usr/bin/python3 python/bench/xlsx_compare.py

format: tools-venv
	clang-format -i $(CXX_SOURCES)
	$(TOOLS)/ruff format --no-cache $(PY_SOURCES)

tidy: build
	$(TIDY)

# ---- Hardening: fuzzing, the sanitized extension, stress -------------------

# libFuzzer over the core's parse, store_form and key for FUZZ_SECONDS, from
# the committed seeds in tevora/fuzz/corpus. What it learns stays in
# $(FUZZ_BUILD)/corpus; an input that breaks an invariant is saved as
# $(FUZZ_BUILD)/crash-* and the end of the log is shown.
fuzz:
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
# to the process's stderr, reaches the log. Then the Arrow and CSV tests,
# with pyarrow, polars and pandas, against a copy of the package holding the
# sanitized builds of all three modules; leak detection is off there, as
# those libraries keep memory of their own to the end.
sanitize: tools-venv
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTEVORA_SANITIZE=ON \
	  -DTEVORA_BENCH=OFF -DTEVORA_COPY_TO_PACKAGE=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target _tevora _arrow _files
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  TEVORA_EXTENSION_DIR=$(CURDIR)/$(ASAN_BUILD) $(PYTEST) --capture=sys python/tests
	@rm -rf $(ASAN_BUILD)/package && mkdir -p $(ASAN_BUILD)/package/tevora
	@cp python/tevora/*.py python/tevora/*.pyi python/tevora/py.typed $(ASAN_BUILD)/*.abi3.so \
	  $(ASAN_BUILD)/package/tevora/
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  TEVORA_PACKAGE_PARENT=$(CURDIR)/$(ASAN_BUILD)/package $(TOOLS)/python -m pytest -q \
	  -p no:cacheprovider --capture=sys python/tests_package/test_arrow.py \
	  python/tests_package/test_arrow_frames.py python/tests_package/test_arrow_threads.py \
	  python/tests_package/test_csv_table.py python/tests_package/test_csv_differential.py

# The leak loops at full length, the thread test longer, and the tests too
# heavy for every run, against the normal build.
stress: build
	TEVORA_STRESS=1 $(PYTEST) python/tests/test_leaks.py python/tests/test_threads.py \
	  python/tests/test_extremes.py::test_parse_many_over_ten_million_none

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(CROSS_BUILD) python/tevora/_*.abi3.so
