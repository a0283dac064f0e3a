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

.PHONY: demo test test-cpp test-python test-asan test-tsan test-python-asan fuzz bench bench-cpp bench-grix deps venv install cpp-build clean

deps:
	@bash scripts/install_system_deps.sh

# The test tools include the type checkers of the stub tests; pyright's extra
# brings its own node, so it runs without a network.
venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml Makefile
	@if [ -z "$(PYTHON312)" ]; then echo "error: Python 3.12 not found on PATH or under pyenv (~/.pyenv/versions/3.12*)." >&2; exit 1; fi
	"$(PYTHON312)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "pybind11>=3.0.2" "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6" "zss>=1.2" "apted>=1.0.3" table-recognition-metric cmake ninja \
	  scipy
	$(PY) -m pip install -q "mypy>=1.10" "pyright[nodejs]>=1.1.400"
	touch $@

# The wheel with every optional extra, so that the tests cover them all. The
# build folder is kept between runs here only; a plain `pip install .` builds
# in a temporary folder and writes nothing into the source tree.
install: venv
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} ".[xml,networkx,dask]"

cpp-build: deps venv
	cmake -S . -B $(BUILD)/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DGRIX_BUILD_TESTING=ON \
	  -DGRIX_BUILD_MODULE=OFF -DGRIX_BUILD_BENCHMARKS=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
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
	$(PY) examples/teds_tables.py

# The Python tests against both modules built with ASan+UBSan (the installed
# wheel brings the dependencies; the sanitized builds come first on the path).
# The interpreter is not instrumented, so the runtime is preloaded (with
# libstdc++, whose exception functions the runtime must find at start) and its
# leaks ignored.
test-python-asan: deps install
	cmake -S . -B $(BUILD)/asan-py -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRIX_SANITIZE=address,undefined \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	cmake --build $(BUILD)/asan-py -j$(JOBS) --target GRIX_CPU grix_core
	rm -rf $(BUILD)/asan-py/package && mkdir -p $(BUILD)/asan-py/package
	cp -r src/grix $(BUILD)/asan-py/package/ && cp $(BUILD)/asan-py/_core*.so $(BUILD)/asan-py/package/grix/
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
	  PYTHONPATH=$(abspath $(BUILD)/asan-py):$(abspath $(BUILD)/asan-py/package) $(PY) -m pytest --capture=sys -p no:cacheprovider tests/python

# libFuzzer (clang, ASan+UBSan) over both entry functions, as two targets:
# fuzz_ted_small on trees of up to 30 nodes (thousands of executions a second)
# for FUZZ_SMALL_RUNS executions or FUZZ_SMALL_SECONDS, whichever ends first,
# then fuzz_ted_threads on trees around the worker-thread threshold for
# FUZZ_SECONDS. New inputs go to build/fuzz/corpus-*; the seeds in fuzz/corpus
# are only read.
FUZZ_SECONDS ?= 60
FUZZ_SMALL_SECONDS ?= $(FUZZ_SECONDS)
FUZZ_SMALL_RUNS ?= -1
FUZZ_FLAGS = -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
fuzz: deps venv
	cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRIX_BUILD_MODULE=OFF \
	  -DGRIX_SANITIZE=address,undefined -DGRIX_BUILD_FUZZERS=ON
	cmake --build $(BUILD)/fuzz -j$(JOBS) --target fuzz_ted_small fuzz_ted_threads
	mkdir -p $(BUILD)/fuzz/corpus-small $(BUILD)/fuzz/corpus-threads $(BUILD)/fuzz/artifacts
	$(BUILD)/fuzz/fuzz/fuzz_ted_small -runs=$(FUZZ_SMALL_RUNS) -max_total_time=$(FUZZ_SMALL_SECONDS) $(FUZZ_FLAGS) \
	  -artifact_prefix=$(BUILD)/fuzz/artifacts/small- $(BUILD)/fuzz/corpus-small fuzz/corpus
	$(BUILD)/fuzz/fuzz/fuzz_ted_threads -max_total_time=$(FUZZ_SECONDS) $(FUZZ_FLAGS) \
	  -artifact_prefix=$(BUILD)/fuzz/artifacts/threads- $(BUILD)/fuzz/corpus-threads fuzz/corpus

# The C++ benchmark alone (seeded trees of five shapes, 1 and 2 workers).
bench-cpp: cpp-build
	$(BUILD)/rel/bench/ted_bench $(BENCH_ARGS)

# Benchmark against zss and apted; writes bench/results/bench.md and bench.png.
bench: install
	$(PY) -m pip install -q matplotlib
	$(PY) bench/run_bench.py $(BENCH_ARGS)

# The grix package: distance, mapping and batches; writes bench/results/grix-*.md.
bench-grix: install
	$(PY) bench/bench_grix.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(VENV) *.egg-info
