# Entry points. Everything runs inside the toolchain root made by tools/sandbox,
# unless PYTHON names an installed CPython 3.15 (with its headers) to use instead.

PYTHON ?=
PYTHON_DEBUG ?=
SECONDS ?= 60

ifeq ($(PYTHON),)
RUN := tools/run
PY := python3.15
PYD := python3.15d
SANDBOX := sandbox
BUILD := build/cmake
# tools/sandbox's virtual environment: the root's python3.15 plus the pinned
# dataframe libraries (tools/requirements-arrow.txt); the debug interpreter
# reads the same site-packages, whose wheels load in it too.
VENV := /opt/dwex-venv
TEST_PY := $(VENV)/bin/python
TEST_PYD := env PYTHONPATH=$(VENV)/lib/python3.15/site-packages $(PYD)
else
RUN :=
PY := $(PYTHON)
PYD := $(PYTHON_DEBUG)
SANDBOX :=
BUILD := build/cmake-host
TEST_PY := $(PY)
TEST_PYD := $(PYD)
endif

# The same optimisation as the wheel (scikit-build's Release: -O3), with -g
# kept so that callgrind can annotate the module's functions.
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG -g" \
	-DDWEX_WERROR=ON -DDWEX_PYTHON=$(PY) -DDWEX_PYTHON_DEBUG=$(PYD)

.PHONY: all sandbox build test bench format shell

all: build

sandbox:
	tools/sandbox

build: $(SANDBOX)
	$(RUN) cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	$(RUN) cmake --build $(BUILD)

test: build
	$(RUN) ctest --test-dir $(BUILD) --output-on-failure
	$(RUN) $(TEST_PY) -m pytest tests/python
	$(RUN) sh -c 'DWEX_LIB=$$PWD/build/lib-ft-paths PYTHONPATH=$$PWD/tests/fuzz exec $(TEST_PY) -m pytest -p dwex_lib -q tests/python'
ifneq ($(PYD),)
	$(RUN) $(TEST_PYD) -m pytest tests/python
endif

# The commit (with -dirty for local changes) goes in the report; the root has no git.
BENCH_COMMIT = DWEX_COMMIT="$$(git describe --always --dirty --abbrev=12 2>/dev/null)"

bench: build
	$(BENCH_COMMIT) $(RUN) $(PY) bench/bench.py
	$(BENCH_COMMIT) $(RUN) $(PY) bench/streaming.py
	$(BENCH_COMMIT) $(RUN) $(TEST_PY) bench/arrow.py

# The shape sweep alone (make bench runs it too).
.PHONY: bench-sweep
bench-sweep: build
	$(BENCH_COMMIT) $(RUN) $(PY) bench/sweep.py

# Linearity up to 10^7 items and instruction counts under callgrind: slow.
.PHONY: bench-deep
bench-deep: build
	$(BENCH_COMMIT) $(RUN) $(PY) bench/bench.py --deep

# What an index takes, in dist/: an sdist, and a wheel for $(PY) built from
# that sdist (which proves the sdist builds). auditwheel refuses a wheel that
# needs a newer system than $(DIST_PLAT) and tags it for the oldest system it
# fits; twine checks both for upload.
DIST_PLAT := manylinux_2_28

.PHONY: dist
dist: $(SANDBOX)
	rm -rf dist build/dist
	$(RUN) $(PY) -m build --no-isolation --outdir build/dist .
	$(RUN) sh -c 'auditwheel repair --plat $(DIST_PLAT)_$$(uname -m) -w dist build/dist/*.whl'
	cp build/dist/*.tar.gz dist/
	$(RUN) twine check --strict dist/*
	$(RUN) sh -c 'auditwheel show dist/*.whl'

format: $(SANDBOX)
	$(RUN) clang-format -i py/*.cpp py/*.hpp py/codec/*.cpp py/codec/*.hpp tests/cpp/*.cpp

shell: $(SANDBOX)
	$(RUN) bash

# ---------------------------------------------------------------------------
# Hardening. Each check builds into a directory of its own, so build/cmake,
# build/lib and build/lib-debug stay as `make build` left them.
#   make fuzz SECONDS=N          differential fuzzing against the reference model
#   make fuzz-native SECONDS=N   libFuzzer on the reader's loops (clang)
#   make check-asan              the test suite on an ASan+UBSan module
#   make check-valgrind          a representative part of it under memcheck
#   make check-deep              all of the above, plus the 10^7-item and 200 MB limits

FUZZ_JOBS ?= 2
FUZZ_BUILD := build/cmake-fuzz
ASAN_BUILD := build/cmake-asan
# Everything that calls the module in-process, less the timings (memcheck
# slows everything ~40 times) and three of the four round-trip properties:
# about eight minutes.
VALGRIND_TESTS := tests/python/test_parse.py tests/python/test_serialize.py \
	tests/python/test_binding.py tests/python/test_function.py \
	tests/python/test_fuzz_regressions.py tests/python/test_threads.py tests/python/test_limits.py \
	-k "not time_is_linear and not (test_round_trip and not astral)"
# Sanitizer reports end the run at once; the interpreter's own allocations
# that live until exit are not leaks of ours.
SANITIZER_ENV := PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: fuzz fuzz-native check-asan check-valgrind check-deep

fuzz: build
	$(RUN) $(PY) tests/fuzz/differential.py --seconds $(SECONDS) --jobs $(FUZZ_JOBS) --stats

# New inputs go to build/cmake-fuzz/corpus; a crashing input lands in
# tests/fuzz/corpus, which the replay under ctest then runs on every `make test`.
fuzz-native: $(SANDBOX)
	$(RUN) cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DDWEX_FUZZ=ON -DDWEX_DEVELOPER=OFF -DDWEX_WERROR=ON \
		-DDWEX_PYTHON=$(PY) -DDWEX_PYTHON_DEBUG= -DDWEX_OUTPUT_DIR=$(FUZZ_BUILD)/lib >/dev/null
	$(RUN) cmake --build $(FUZZ_BUILD) --target dwex_fuzz_parse
	mkdir -p $(FUZZ_BUILD)/corpus
	$(RUN) sh -c '$(FUZZ_BUILD)/dwex_fuzz_parse -max_total_time=$(SECONDS) -print_final_stats=1 \
		-artifact_prefix=tests/fuzz/corpus/ $(FUZZ_BUILD)/corpus tests/fuzz/corpus \
		>$(FUZZ_BUILD)/fuzz.log 2>&1; status=$$?; \
		grep -E "^(fuzz_parse|SUMMARY|==[0-9]+==ERROR)" $(FUZZ_BUILD)/fuzz.log; \
		sed -n "s/^stat::number_of_executed_units: */fuzz-native: runs /p" $(FUZZ_BUILD)/fuzz.log; \
		exit $$status'

check-asan: $(SANDBOX)
	$(RUN) cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDWEX_SANITIZE=ON \
		-DDWEX_DEVELOPER=OFF -DDWEX_PYTHON=$(PY) -DDWEX_PYTHON_DEBUG= \
		-DDWEX_OUTPUT_DIR=$(ASAN_BUILD)/lib >/dev/null
	$(RUN) cmake --build $(ASAN_BUILD)
	$(RUN) sh -c 'export LD_PRELOAD=$$(g++ -print-file-name=libasan.so) $(SANITIZER_ENV) \
		DWEX_LIB=$$PWD/$(ASAN_BUILD)/lib PYTHONPATH=$$PWD/tests/fuzz; \
		exec $(PY) -m pytest -p dwex_lib -q tests/python'

# With PYTHONMALLOC=malloc memcheck sees every allocation, and the
# interpreter needs no suppressions; the interpreter's own file is used
# wherever the root has one.
check-valgrind: build
	$(RUN) sh -c 'supp=$$(find /usr -name valgrind-python.supp 2>/dev/null | head -n 1); \
		exec env PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=1 -q \
		$${supp:+--suppressions=$$supp} \
		$(PY) -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)'

check-deep: build
	$(MAKE) test
	$(MAKE) fuzz SECONDS=$(if $(filter command line,$(origin SECONDS)),$(SECONDS),600)
	$(MAKE) fuzz-native SECONDS=$(if $(filter command line,$(origin SECONDS)),$(SECONDS),600)
	$(MAKE) check-asan
	$(MAKE) check-valgrind
	$(RUN) env DWEX_DEEP=1 $(PY) -m pytest -q tests/python/test_limits.py tests/python/test_threads.py
