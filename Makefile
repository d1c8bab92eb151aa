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

.PHONY: all sandbox build test bench format format-check shell

all: build

sandbox:
	tools/sandbox

build: $(SANDBOX)
	$(RUN) cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	$(RUN) cmake --build $(BUILD)

test: build format-check
	$(RUN) ctest --test-dir $(BUILD) --output-on-failure
	$(RUN) $(TEST_PY) -m pytest tests/python
	$(RUN) tools/pytest-lib build/lib-ft-paths $(TEST_PY)
ifneq ($(PYD),)
	$(RUN) $(TEST_PYD) -m pytest tests/python
endif
ifneq ($(SANDBOX),)
	$(MAKE) test-aarch64-quick
endif
	$(MAKE) test-js

# ---------------------------------------------------------------------------
# aarch64. The x86-64 root cross-compiles the same sources with Debian's
# aarch64 g++ (tools/aarch64-cross.cmake) against the arm64 root (tools/sandbox
# --arch arm64) into build/cmake-aarch64-cross, and its modules land in
# build/lib beside the x86-64 ones (their file names carry the architecture).
# They run under qemu: the C++ tests from the x86-64 root, through the
# emulator named in the toolchain file; pytest in the arm64 root, whose
# interpreter the kernel hands to qemu. Emulation runs code 10-30 times
# slower, so make test runs only the C++ tests and the codec and
# format-example tests there; make test-aarch64 runs the whole release suite.
# The debug interpreter, valgrind and the sanitizers stay on x86-64.
ARM64_RUN := DWEX_ARCH=arm64 tools/run
ARM64_BUILD := build/cmake-aarch64-cross
ARM64_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG" \
	-DCMAKE_TOOLCHAIN_FILE=tools/aarch64-cross.cmake \
	-DDWEX_WERROR=ON -DDWEX_PYTHON=/arm64/usr/bin/python3.15 -DDWEX_PYTHON_DEBUG=
# The quick run builds only the module, its leaf-counting twin
# (test_routes.py) and the C++ tests.
ARM64_QUICK_TARGETS := dwex dwex_counting dwex_codec_tests dwex_fuzz_replay dwex_fuzz_split_replay
ARM64_TARGETS := $(ARM64_QUICK_TARGETS) dwexio_native dwex_kernel_steps
ARM64_QUICK := tests/python/core/test_parse.py tests/python/core/test_serialize.py \
	tests/python/core/test_routes.py tests/python/core/test_format_guide.py

.PHONY: sandbox-arm64 build-aarch64 test-aarch64 test-aarch64-quick bench-aarch64

sandbox-arm64:
	tools/sandbox --arch arm64

build-aarch64: sandbox-arm64 $(SANDBOX)
	$(RUN) cmake -S . -B $(ARM64_BUILD) $(ARM64_FLAGS) >/dev/null
	$(RUN) cmake --build $(ARM64_BUILD) --target $(ARM64_TARGETS)

test-aarch64: build-aarch64
	$(RUN) ctest --test-dir $(ARM64_BUILD) --output-on-failure
	$(ARM64_RUN) $(VENV)/bin/python -m pytest tests/python

test-aarch64-quick:
	$(MAKE) build-aarch64 ARM64_TARGETS="$(ARM64_QUICK_TARGETS)"
	$(RUN) ctest --test-dir $(ARM64_BUILD) --output-on-failure
	$(ARM64_RUN) $(VENV)/bin/python -m pytest -q $(ARM64_QUICK)

# Instructions per call of each NEON kernel and its plain twin, counted by
# the emulator (from the x86-64 root, which holds it).
bench-aarch64: build-aarch64
	$(RUN) python3.15 bench/kernel_insns.py --binary $(ARM64_BUILD)/dwex_kernel_steps

# The commit (with -dirty for local changes) goes in the report; the root has no git.
BENCH_COMMIT = DWEX_COMMIT="$$(git describe --always --dirty --abbrev=12 2>/dev/null)"

bench: build
	$(BENCH_COMMIT) $(RUN) $(PY) bench/bench.py
	$(BENCH_COMMIT) $(RUN) $(PY) bench/streaming.py
	$(BENCH_COMMIT) $(RUN) $(TEST_PY) bench/arrow.py
	$(MAKE) bench-js

# The shape sweep alone (make bench runs it too).
.PHONY: bench-sweep
bench-sweep: build
	$(BENCH_COMMIT) $(RUN) $(PY) bench/sweep.py

# Linearity up to 10^7 items and instruction counts under callgrind, and
# Dask on a 1 GB document (built once under build/bench/dask): slow.
.PHONY: bench-deep
bench-deep: build
	$(BENCH_COMMIT) $(RUN) $(PY) bench/bench.py --deep
	$(BENCH_COMMIT) $(RUN) $(TEST_PY) bench/dask.py

# An sdist and, built from it, a wheel for $(PY) on x86-64 and (in the arm64
# root, without PYTHON) one on aarch64, in dist/; each wheel needs no newer
# system than $(DIST_PLAT).
DIST_PLAT := manylinux_2_28

.PHONY: dist
dist: $(SANDBOX)
	$(RUN) tools/dist sdist $(PY)
	$(RUN) tools/dist wheel $(PY) $(DIST_PLAT)
	$(RUN) tools/check-wheel $(PY)
ifneq ($(SANDBOX),)
	$(MAKE) sandbox-arm64
	$(ARM64_RUN) tools/dist wheel $(PY) $(DIST_PLAT)
	$(ARM64_RUN) tools/check-wheel $(PY)
endif
	$(RUN) tools/dist check
	$(MAKE) dist-js

# ---------------------------------------------------------------------------
# JavaScript. The package in js/ has no dependencies; it is tested with the
# root's node, TypeScript and Chromium: the shared vectors (tests/vectors) in
# Python, Node and a page served to headless Chromium, the stream reader's and
# the writer's own tests, the declarations under tsc --strict, and a round
# trip with dwexio on the bench tables. Its bench times it against JSON on
# the same tables; its tarball goes to dist/js, apart from the Python files.
.PHONY: test-js bench-js dist-js

test-js: build
	$(RUN) $(TEST_PY) -m pytest -q tests/python/core/test_vectors.py tests/python/core/test_javascript.py
	$(RUN) node --test js/test/*.test.js
	$(RUN) tsc -p js/test/types/tsconfig.json
	$(RUN) $(PY) js/test/browser.py

bench-js: build
	$(RUN) $(PY) bench/js/tables.py build/bench/js
	$(BENCH_COMMIT) $(RUN) node --expose-gc bench/js/bench.mjs build/bench/js

dist-js: $(SANDBOX)
	rm -rf dist/js
	mkdir -p dist/js
	$(RUN) npm pack --silent ./js --pack-destination dist/js
	$(RUN) js/test/check-pack.sh dist/js/dwex-*.tgz

# Every native file of the project, as .clang-format lays it out; make test
# fails on a file that is not.
NATIVE_FILES = $(shell find src tests/cpp tests/fuzz bench -name '*.cpp' -o -name '*.hpp' | sort)

format: $(SANDBOX)
	$(RUN) clang-format -i $(NATIVE_FILES)

format-check: $(SANDBOX)
	$(RUN) clang-format --dry-run --Werror $(NATIVE_FILES)

shell: $(SANDBOX)
	$(RUN) bash

# ---------------------------------------------------------------------------
# Hardening. Each check builds into a directory of its own, so build/cmake,
# build/lib and build/lib-debug stay as `make build` left them.
#   make fuzz SECONDS=N          differential fuzzing against the reference model and of
#                                read_arrow's threads against one thread
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
VALGRIND_TESTS := tests/python/core/test_parse.py tests/python/core/test_serialize.py \
	tests/python/core/test_binding.py tests/python/core/test_function.py \
	tests/python/core/test_fuzz_regressions.py tests/python/core/test_threads.py tests/python/core/test_limits.py \
	-k "not time_is_linear and not (test_round_trip and not astral)"
# The fuzzer is built with clang and without the unit tests; the sanitizer
# build without them too. Both leave their modules in their own directory.
FUZZ_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DDWEX_FUZZ=ON \
	-DDWEX_DEVELOPER=OFF -DDWEX_WERROR=ON -DDWEX_PYTHON=$(PY) -DDWEX_PYTHON_DEBUG= \
	-DDWEX_OUTPUT_DIR=$(FUZZ_BUILD)/lib
ASAN_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDWEX_SANITIZE=ON -DDWEX_DEVELOPER=OFF \
	-DDWEX_PYTHON=$(PY) -DDWEX_PYTHON_DEBUG= -DDWEX_OUTPUT_DIR=$(ASAN_BUILD)/lib
# check-deep's fuzzers run ten minutes each unless SECONDS is given on the
# command line.
DEEP_SECONDS = $(if $(filter command line,$(origin SECONDS)),$(SECONDS),600)

.PHONY: fuzz fuzz-native check-asan check-valgrind check-deep

# Half the seconds each: parse and stringify against the model, and read_arrow
# on threads against read_arrow on one (with pyarrow, hence the venv's python).
fuzz: build
	$(RUN) $(TEST_PY) tests/fuzz/differential.py --target all --seconds $(SECONDS) --jobs $(FUZZ_JOBS) --stats

# New inputs go to build/cmake-fuzz/corpus; a crashing input lands in
# tests/fuzz/corpus, which the replay under ctest then runs on every `make test`.
fuzz-native: $(SANDBOX)
	$(RUN) cmake -S . -B $(FUZZ_BUILD) $(FUZZ_FLAGS) >/dev/null
	$(RUN) cmake --build $(FUZZ_BUILD) --target dwex_fuzz_parse dwex_fuzz_split
	$(RUN) tools/fuzz-native $(FUZZ_BUILD) $(SECONDS)

check-asan: $(SANDBOX)
	$(RUN) cmake -S . -B $(ASAN_BUILD) $(ASAN_FLAGS) >/dev/null
	$(RUN) cmake --build $(ASAN_BUILD)
	$(RUN) tools/pytest-asan $(ASAN_BUILD)/lib $(PY)

check-valgrind: build
	$(RUN) tools/pytest-valgrind $(PY) $(VALGRIND_TESTS)

check-deep: build
	$(MAKE) test
	$(MAKE) fuzz SECONDS=$(DEEP_SECONDS)
	$(MAKE) fuzz-native SECONDS=$(DEEP_SECONDS)
	$(MAKE) check-asan
	$(MAKE) check-valgrind
	$(RUN) env DWEX_DEEP=1 $(PY) -m pytest -q tests/python/core/test_limits.py tests/python/core/test_threads.py
