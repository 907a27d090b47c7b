# Developer entry points. `make test` works on a fresh machine: it installs
# what is missing (Debian packages, a CPython 3.12 virtual environment) first.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
PYTHON312 := $(shell ls -d "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1)
VENV := .venv
VPY := $(VENV)/bin/python
DEBS := g++ cmake ninja-build libgtest-dev libbenchmark-dev
CMAKE_COMMON := -G Ninja -DONDREL_BUILD_TESTS=ON

.PHONY: all setup debs venv build test test-cpp test-asan test-py install bench clean

all: build

setup: debs venv

debs:
	@missing=""; for p in $(DEBS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: pyproject.toml
	@if [ -z "$(PYTHON312)" ]; then echo "CPython 3.12 not found under pyenv (pyenv root: $$(pyenv root 2>/dev/null))" >&2; exit 1; fi
	$(PYTHON312) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" pytest hypothesis
	touch $@

venv: $(VENV)/.ready

build: debs
	cmake -S . -B build/release $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
	cmake --build build/release -j $(JOBS)

build-asan: debs
	cmake -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DONDREL_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)

test-cpp: build
	ctest --test-dir build/release -j $(JOBS) --output-on-failure

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/asan -j $(JOBS) --output-on-failure

# Builds the extension through scikit-build-core into the virtual environment.
install: setup
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

test-py: install
	@set +e; $(VPY) -m pytest -q; rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "pytest: no Python tests collected"; rc=0; fi; exit $$rc

test: setup test-cpp test-asan test-py

bench: debs install
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_BUILD_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	@for b in build/bench/bench/*_perf; do echo "== $$b"; $$b --benchmark_min_time=0.2; done
	@echo "== bench/python_bench.py"; $(VPY) bench/python_bench.py

clean:
	rm -rf build $(VENV)
