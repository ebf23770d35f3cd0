# Everyday loop: `make demo`, `make test`, `make asan`, `make bench`, `make fuzz`.
# Every target installs what it needs first (scripts/setup.sh is quick when nothing is missing).

VENV      := .venv
PY        := $(VENV)/bin/python
JOBS      ?= $(shell nproc)
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
CMAKE_FLAGS := -DPython_EXECUTABLE=$(abspath $(PY))
MAKEFLAGS   += --no-print-directory

.PHONY: setup install cpp test test-cpp test-python fuzz demo asan bench validate format clean

setup:
	@bash scripts/setup.sh

# The extension module, installed into .venv by pip (scikit-build-core); the persistent
# build directory keeps rebuilds incremental.
install: setup
	@$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/py .

# Native library, GoogleTest suite and C++ benchmark helpers.
cpp: setup
	@cmake -S . -B $(CPP_BUILD) -DTESK_BUILD_PYTHON=OFF > /dev/null
	@cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: cpp
	@ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

test-python: install
	@$(PY) -m pytest -q tests/python

test: test-cpp test-python

# A long property-based fuzz campaign over the whole module (FUZZ_EXAMPLES calls per function);
# `make test` runs the same suite with a few thousand examples in all.
FUZZ_EXAMPLES ?= 20000
fuzz: install
	@TESK_FUZZ_PROFILE=fuzz TESK_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) -m pytest -q tests/python/test_fuzz.py

demo: install
	@$(PY) examples/quickstart.py
	@$(PY) examples/energy_balance.py
	@$(PY) examples/lidar_scan.py
	@$(PY) examples/forest_noon.py

# C++ tests and pytest under AddressSanitizer + UndefinedBehaviorSanitizer. The interpreter is
# not instrumented, so the sanitizer runtime is preloaded and leak checks are off.
asan: setup
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESK_SANITIZE=ON > /dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=0 ctest --test-dir $(ASAN_BUILD) --output-on-failure
	@LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 TESK_NO_STUBS=1 \
	  PYTHONPATH=$(abspath $(ASAN_BUILD)) $(PY) -m pytest -q -p no:cacheprovider tests/python

# Homogeneous canopies rendered by the module against the independent 1D solution: a PNG per
# case, table.csv and verdicts.txt in out/validation/ (about 8 minutes on 2 cores).
validate: install
	@$(PY) -m tesk_gpu.validation out/validation

bench: install cpp
	@$(PY) bench/trace_throughput.py
	@$(PY) bench/render_backward.py
	@$(PY) bench/render_canopy.py
	@$(PY) bench/forward.py
	@$(PY) bench/energy_balance.py
	@$(PY) bench/physiology.py
	@$(PY) bench/microwave.py
	@$(PY) bench/lidar.py
	@$(PY) bench/turbid_sampling.py
	@$(PY) bench/turbid_radiation.py

format:
	@clang-format -i $$(git ls-files '*.h' '*.cpp' '*.cu')

clean:
	rm -rf build
