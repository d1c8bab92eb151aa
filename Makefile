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
else
RUN :=
PY := $(PYTHON)
PYD := $(PYTHON_DEBUG)
SANDBOX :=
BUILD := build/cmake-host
endif

CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDWEX_WERROR=ON \
	-DDWEX_PYTHON=$(PY) -DDWEX_PYTHON_DEBUG=$(PYD)

.PHONY: all sandbox build test bench format shell

all: build

sandbox:
	tools/sandbox

build: $(SANDBOX)
	$(RUN) cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	$(RUN) cmake --build $(BUILD)

test: build
	$(RUN) ctest --test-dir $(BUILD) --output-on-failure
	$(RUN) $(PY) -m pytest tests/python
ifneq ($(PYD),)
	$(RUN) $(PYD) -m pytest tests/python
endif

bench: build
	$(RUN) $(PY) bench/bench.py

format: $(SANDBOX)
	$(RUN) clang-format -i py/*.cpp py/*.hpp py/codec/*.cpp py/codec/*.hpp tests/cpp/*.cpp

shell: $(SANDBOX)
	$(RUN) bash
