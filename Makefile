# Developer entry points. `make test` works on a fresh machine: it installs
# what is missing (Debian packages, a CPython 3.12 virtual environment) first.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
PYTHON312 := $(shell ls -d "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1)
VENV := .venv
VPY := $(VENV)/bin/python
DEBS := g++ cmake ninja-build libgtest-dev libbenchmark-dev zlib1g-dev
CMAKE_COMMON := -G Ninja -DONDREL_BUILD_TESTS=ON

.PHONY: all setup debs venv build test test-cpp test-asan test-tsan test-py test-kernels lint install bench clean demo wheel fuzz fuzz-smoke fuzz-build

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
	$(VPY) -m pip install -q "scikit-build-core>=0.10" pytest hypothesis mypy ruff
	touch $@

venv: $(VENV)/.ready

# The release build also builds the benchmarks, so that they keep compiling.
build: debs
	cmake -S . -B build/release $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DONDREL_BUILD_BENCH=ON
	cmake --build build/release -j $(JOBS)

build-asan: debs
	cmake -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DONDREL_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)

test-cpp: build
	ctest --test-dir build/release -j $(JOBS) --output-on-failure

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/asan -j $(JOBS) --output-on-failure

# The worker pool's and the segment layer's tests (the code that shares data
# between threads) under ThreadSanitizer.
test-tsan: debs
	cmake -S . -B build/tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_SANITIZE_THREAD=ON
	cmake --build build/tsan -j $(JOBS) --target pool_test jam_test
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/pool_test
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/jam_test

# C++ formatting (.clang-format) and Python lint (ruff, pyproject.toml).
CLANG_FORMAT := clang-format-19
lint: venv
	@$(MAKE) --no-print-directory debs DEBS="$(CLANG_FORMAT)"
	@$(VENV)/bin/ruff --version >/dev/null 2>&1 || $(VPY) -m pip install -q ruff
	$(CLANG_FORMAT) --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')
	$(VENV)/bin/ruff check python tests bench scripts

# Builds the extension through scikit-build-core into the virtual environment.
install: setup
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

test-py: install
	@set +e; $(VPY) -m pytest -q; rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "pytest: no Python tests collected"; rc=0; fi; exit $$rc

# The coding tests again under every kernel set this machine runs, forced
# through ONDREL_EC_KERNEL (the plain run above uses the best one).
KERNEL_SETS := avx512gfni avx512gfni-zmm avx2 ssse3 scalar
KERNEL_TESTS := tests/python/test_coding.py

test-kernels: install
	@for k in $(KERNEL_SETS); do \
	  if ONDREL_EC_KERNEL=$$k $(VPY) -c 'import ondrel_ec; ondrel_ec.encode_py(b"", 1, 1)' 2>/dev/null; then \
	    echo "== $(KERNEL_TESTS) with ONDREL_EC_KERNEL=$$k"; \
	    ONDREL_EC_KERNEL=$$k $(VPY) -m pytest -q $(KERNEL_TESTS) || exit 1; \
	  else echo "== kernel set $$k: this machine cannot run it"; fi; \
	done

test: setup lint test-cpp test-asan test-tsan test-py test-kernels fuzz-smoke

bench: debs bench-peers install
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DONDREL_BUILD_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	@mkdir -p build/bench/results
	@for b in build/bench/bench/*_perf; do echo "== $$b"; \
	  $$b --benchmark_min_time=0.2 --benchmark_out=build/bench/results/$$(basename $$b).json --benchmark_out_format=json; done
	@echo "== bench/ratios.py"; $(VPY) bench/ratios.py build/bench/results/*.json
	@echo "== bench/python_bench.py"; $(VPY) bench/python_bench.py
	@echo "== bench/peers_bench.py"; $(BENCH_VPY) bench/peers_bench.py

# Peers for `make bench` only, never dependencies of the package: Debian's
# par2, ISA-L (for bench/isal_perf) and liberasurecode, and zfec and pyeclib in
# their own virtual environment, next to ondrel_ec built from this tree.
BENCH_DEBS := par2 libisal-dev liberasurecode-dev pkg-config
BENCH_VENV := .venv-bench
BENCH_VPY := $(BENCH_VENV)/bin/python

.PHONY: bench-peers
bench-peers:
	@$(MAKE) --no-print-directory debs DEBS="$(BENCH_DEBS)"
	@if [ ! -x $(BENCH_VPY) ]; then \
	  if [ -z "$(PYTHON312)" ]; then echo "CPython 3.12 not found under pyenv" >&2; exit 1; fi; \
	  $(PYTHON312) -m venv $(BENCH_VENV) && $(BENCH_VPY) -m pip install -q --upgrade pip; fi
	$(BENCH_VPY) -m pip install -q "scikit-build-core>=0.10" zfec pyeclib
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(BENCH_VPY) -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir=build/bench-venv .

# Fuzz targets (tests/fuzz): libFuzzer with Debian's clang 19 under ASan and
# UBSan for the segment layer and the Python boundary, atheris for the shard
# file reader. `make fuzz` runs each for FUZZ_TIME seconds and keeps what it
# finds under build/fuzz/work and build/fuzz/artifacts; `make fuzz-smoke`
# (part of `make test`) runs each briefly from the committed seed corpus.
FUZZ_DEBS := clang-19 libclang-rt-19-dev
FUZZ_TIME ?= 600
FUZZ_SMOKE_TIME ?= 10
FUZZ_TARGETS := jam boundary reader
fuzz_command = $(if $(filter reader,$(1)),$(VPY) tests/fuzz/reader_fuzz.py,\
  $(if $(filter boundary,$(1)),ASAN_OPTIONS=detect_leaks=0 ,)build/fuzz/tests/fuzz/$(1)_fuzz)

fuzz-build: install
	@$(MAKE) --no-print-directory debs DEBS="$(FUZZ_DEBS)"
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
	  -DONDREL_BUILD_FUZZ=ON -DPython_EXECUTABLE=$(PYTHON312) "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined"
	cmake --build build/fuzz -j $(JOBS)
	$(VPY) -m pip install -q atheris

fuzz: fuzz-build
	@set -e; mkdir -p build/fuzz/artifacts; $(foreach t,$(FUZZ_TARGETS),echo "== $(t)"; mkdir -p build/fuzz/work/$(t); \
	  $(call fuzz_command,$(t)) -max_total_time=$(FUZZ_TIME) -timeout=60 -print_final_stats=1 \
	  -artifact_prefix=build/fuzz/artifacts/ build/fuzz/work/$(t) tests/fuzz/corpus/$(t);)

fuzz-smoke: fuzz-build
	@set -eo pipefail; work=$$(mktemp -d); trap 'rm -rf "$$work"' EXIT; $(foreach t,$(FUZZ_TARGETS),echo "== $(t) (smoke)"; \
	  mkdir -p $$work/$(t); $(call fuzz_command,$(t)) -max_total_time=$(FUZZ_SMOKE_TIME) -timeout=60 \
	  -artifact_prefix=$$work/ $$work/$(t) tests/fuzz/corpus/$(t) 2>&1 | tail -n 2;)

# Encodes a generated sample file, loses and damages shards, rebuilds and
# compares. DEMO_ARGS passes options on, e.g. DEMO_ARGS="--size 1024 -k 342 -m 681".
demo: install
	$(VPY) scripts/demo.py $(DEMO_ARGS)

# Builds the wheel into dist/ and smoke-tests it in a fresh virtual environment.
wheel: setup
	rm -rf dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w dist .
	@tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; set -e; \
	$(PYTHON312) -m venv "$$tmp/venv"; \
	"$$tmp/venv/bin/python" -m pip install -q dist/ondrel_ec-*.whl; \
	cd "$$tmp" && "$$tmp/venv/bin/python" "$(CURDIR)/scripts/wheel_smoke.py"

clean:
	rm -rf build dist $(VENV)
