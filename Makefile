# Front door. `make demo` runs the demonstration, `make test` runs every test.
# Both set up what they need on a fresh Debian machine: Debian packages (a
# compiler for the demo; GoogleTest, clang and chromium as well for the
# tests) and a Python virtual environment in .venv with the module installed.
# The demo's environment holds the build tools and lxml; `make test` adds the
# test tools and the other extras, and also runs the Python tests on a second
# Python version in .venv-<version>.

SHELL := /bin/bash
.DEFAULT_GOAL := test
JOBS ?= 2
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build

# The interpreter of a Python version: on PATH if it runs, else under pyenv.
python_of = $(shell for p in python$(1) $${PYENV_ROOT:-$$HOME/.pyenv}/versions/$(1)*/bin/python$(1) /usr/local/bin/python$(1) /usr/bin/python$(1); do \
  if "$$p" -c 'import sys; assert "%d.%d" % sys.version_info[:2] == "$(1)"' >/dev/null 2>&1; then command -v "$$p" || echo "$$p"; break; fi; done)
# The supported versions found here, the preferred first: .venv uses the
# first; the second run uses the oldest other one (the oldest is where a
# newer language or typing feature would break).
SUPPORTED := 3.12 3.13 3.11 3.10
FOUND := $(foreach v,$(SUPPORTED),$(if $(call python_of,$(v)),$(v)))
PYTHON_VERSION := $(firstword $(FOUND))
PYTHON := $(if $(PYTHON_VERSION),$(call python_of,$(PYTHON_VERSION)))
OTHER_VERSION ?= $(lastword $(filter-out $(PYTHON_VERSION),$(FOUND)))
OTHER_VENV := .venv-$(OTHER_VERSION)

# Building the wheel, what the demo uses at run time, and what the tests add:
# their tools (the type checkers of the stub tests among them; pyright's extra
# brings its own node, so it runs without a network) and the other extras.
BUILD_TOOLS := "pybind11>=3.0.2" "scikit-build-core>=0.10" cmake ninja
DEMO_EXTRAS := xml,code
TEST_TOOLS := "pytest>=8" "hypothesis>=6" "zss>=1.2" "apted>=1.0.3" table-recognition-metric docling-metrics-table grits-metric==0.7.0 scipy "mypy>=1.10" "pyright[nodejs]>=1.1.400"
# ViennaRNA, the reference of the RNA parity tests (wheels for 3.10 to 3.13).
TEST_TOOLS += "viennarna>=2.6"
# scikit-learn, for the clustering recipes of the README.
TEST_TOOLS += "scikit-learn>=1.5"
# The parse-tree readers' peers: nltk and conllu, and spaCy (a larger install,
# some 200 MB; its tests use a stand-in without it).
TEST_EXTRAS := xml,networkx,dask,code,nlp,spacy
# Installed without their dependencies: tsed asks for tree-sitter-language-pack,
# whose 1.x fetches its grammars from the network at first use; its tests
# (and scripts/tsed_reference.py) hand it the grammar wheels of the code extra
# instead. Every install after it passes --no-warn-conflicts, or pip reports
# the requirement it knowingly left out as an error.
TEST_NO_DEPS := "tsed==0.1.0"
QUIET_PIP := --no-warn-conflicts
# The documentation's tools (mkdocs.yml): MkDocs, its material theme and
# mkdocstrings, which reads the docstrings from src/ without importing grix.
DOCS_TOOLS := "mkdocs==1.6.1" "mkdocs-material==9.8.2" "mkdocstrings==1.0.8" "mkdocstrings-python==2.0.11"
# What pytest runs (e.g. PYTEST_ARGS=tests/python/test_grix_tree.py).
PYTEST_ARGS ?= tests/python

.PHONY: demo test test-cpp test-python test-python-other test-asan test-tsan test-python-asan fuzz bench bench-cpp bench-grix docs docs-tools deps deps-build venv install test-tools cpp-build clean

deps-build:
	@bash scripts/install_system_deps.sh build

deps:
	@bash scripts/install_system_deps.sh test

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml Makefile
	@if [ -z "$(PYTHON)" ]; then echo "error: no Python $(SUPPORTED) found on PATH or under pyenv (~/.pyenv/versions)." >&2; exit 1; fi
	"$(PYTHON)" -m venv $(VENV)
	$(PY) -m pip install -q $(QUIET_PIP) --upgrade pip
	$(PY) -m pip install -q $(QUIET_PIP) $(BUILD_TOOLS)
	touch $@

# The wheel with the extras the demo uses. The build folder is kept between
# runs here only; a plain `pip install .` builds in a temporary folder and
# writes nothing into the source tree.
install: venv
	$(PY) -m pip install -q $(QUIET_PIP) --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} ".[$(DEMO_EXTRAS)]"

# The test tools and every optional extra, so that the tests cover them all.
test-tools: $(VENV)/.test-ready
$(VENV)/.test-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(QUIET_PIP) $(TEST_TOOLS)
	$(PY) -m pip install -q --no-deps $(TEST_NO_DEPS)
	$(PY) -m pip install -q $(QUIET_PIP) --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} ".[$(TEST_EXTRAS)]"
	touch $@

# The documentation into build/site (mkdocs.yml names it), warnings as
# errors: a broken link between pages or a docstring it cannot read stops the
# build. tests/python/test_docs.py runs the pages' examples.
docs-tools: $(VENV)/.docs-ready
$(VENV)/.docs-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(QUIET_PIP) $(DOCS_TOOLS)
	touch $@

docs: docs-tools
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict

cpp-build: deps venv
	cmake -S . -B $(BUILD)/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DGRIX_BUILD_TESTING=ON \
	  -DGRIX_BUILD_MODULE=OFF -DGRIX_BUILD_BENCHMARKS=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	cmake --build $(BUILD)/rel -j$(JOBS)

test-cpp: cpp-build
	ctest --test-dir $(BUILD)/rel --output-on-failure -j$(JOBS)

test-python: install test-tools
	$(PY) -m pytest $(PYTEST_ARGS)

# The Python tests again on a second supported version, in a venv of its own
# (OTHER_VERSION=3.13 picks one).
test-python-other: deps
	@if [ -z "$(OTHER_VERSION)" ]; then echo "error: no second Python of $(SUPPORTED) found on PATH or under pyenv." >&2; exit 1; fi
	@if [ ! -x $(OTHER_VENV)/bin/python ]; then "$(call python_of,$(OTHER_VERSION))" -m venv $(OTHER_VENV); fi
	$(OTHER_VENV)/bin/python -m pip install -q $(QUIET_PIP) --upgrade pip
	$(OTHER_VENV)/bin/python -m pip install -q $(QUIET_PIP) $(BUILD_TOOLS) $(TEST_TOOLS)
	$(OTHER_VENV)/bin/python -m pip install -q --no-deps $(TEST_NO_DEPS)
	$(OTHER_VENV)/bin/python -m pip install -q $(QUIET_PIP) --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} ".[$(TEST_EXTRAS)]"
	$(OTHER_VENV)/bin/python -m pytest $(PYTEST_ARGS)

test: test-cpp test-python test-python-other

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

demo: deps-build install
	$(PY) examples/demo.py
	$(PY) examples/teds_tables.py

# The Python tests against both modules built with ASan+UBSan (the installed
# wheel brings the dependencies; the sanitized builds come first on the path).
# The interpreter is not instrumented, so the runtime is preloaded (with
# libstdc++, whose exception functions the runtime must find at start) and its
# leaks ignored.
test-python-asan: deps install test-tools
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
bench: install test-tools
	$(PY) -m pip install -q $(QUIET_PIP) matplotlib
	$(PY) bench/run_bench.py $(BENCH_ARGS)

# The grix package: distance, mapping and batches; writes bench/results/grix-*.md.
bench-grix: install test-tools
	$(PY) bench/bench_grix.py $(BENCH_ARGS)
	$(PY) bench/bench_costs.py

clean:
	rm -rf $(BUILD) $(VENV) .venv-3.* *.egg-info
