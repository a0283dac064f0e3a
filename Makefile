# Front door. `make demo` runs the demonstration, `make test` runs every test.
# Both set up what they need on a fresh machine: Debian packages (GoogleTest,
# clang), a Python 3.12 virtual environment in .venv with the module installed.

SHELL := /bin/bash
.DEFAULT_GOAL := test
JOBS ?= 2
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build

# Python 3.12: on PATH if it runs, else under pyenv.
PYTHON312 := $(shell for p in python3.12 $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do \
  if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then command -v "$$p" || echo "$$p"; break; fi; done)

.PHONY: demo test test-cpp test-python test-asan test-tsan bench deps venv install cpp-build clean

deps:
	@bash scripts/install_system_deps.sh

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml
	@if [ -z "$(PYTHON312)" ]; then echo "error: Python 3.12 not found on PATH or under pyenv (~/.pyenv/versions/3.12*)." >&2; exit 1; fi
	"$(PYTHON312)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "pybind11>=3.0.2" "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6" "zss>=1.2" "apted>=1.0.3" cmake ninja
	touch $@

install: venv
	$(PY) -m pip install -q --no-build-isolation .

cpp-build: deps venv
	cmake -S . -B $(BUILD)/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DGRIX_BUILD_TESTING=ON \
	  -DGRIX_BUILD_MODULE=OFF -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	cmake --build $(BUILD)/rel -j$(JOBS)

test-cpp: cpp-build
	ctest --test-dir $(BUILD)/rel --output-on-failure -j$(JOBS)

test-python: install
	$(PY) -m pytest tests/python

test: test-cpp test-python

# Sanitizer runs of the C++ tests: ASan+UBSan over everything, TSan over the
# threaded suites.
SAN_CMAKE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGRIX_BUILD_TESTING=ON \
  -DGRIX_BUILD_MODULE=OFF -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja

test-asan: deps venv
	$(SAN_CMAKE) -B $(BUILD)/asan -DGRIX_SANITIZE=address,undefined
	cmake --build $(BUILD)/asan -j$(JOBS)
	ctest --test-dir $(BUILD)/asan --output-on-failure -j$(JOBS)

test-tsan: deps venv
	$(SAN_CMAKE) -B $(BUILD)/tsan -DGRIX_SANITIZE=thread
	cmake --build $(BUILD)/tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/tsan --output-on-failure -j$(JOBS) -R Parallel

demo: install
	$(PY) examples/demo.py

# Benchmark against zss and apted; writes bench/results/bench.md and bench.png.
bench: install
	$(PY) -m pip install -q matplotlib
	$(PY) bench/run_bench.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(VENV) *.egg-info
