# The two commands: `make demo` runs the example, `make test` builds and runs every test.
# Each first installs whatever Debian packages are missing.

PYTHON := /usr/bin/python3
JOBS ?= $(shell nproc)
PACKAGES := g++ cmake make pkg-config libssl-dev zlib1g-dev libargon2-dev libmsgpack-cxx-dev \
            libgtest-dev libbenchmark-dev python3-dev python3-pytest python3-mypy
CMAKE_FLAGS := -DPython3_EXECUTABLE=$(PYTHON)
CONFIGURE := cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

.PHONY: all deps build build-asan demo test test-cpp test-asan test-python bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	$(CONFIGURE)
	cmake --build build -j $(JOBS) -- --no-print-directory

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_PYTHON=OFF -DQUARN_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS) -- --no-print-directory

# Only the module: the demo needs nothing else.
demo: deps
	$(CONFIGURE)
	cmake --build build --target quarn -j $(JOBS) -- --no-print-directory
	PYTHONPATH=$(CURDIR)/build/src/lib $(PYTHON) examples/agent_memory.py

test: test-cpp test-asan test-python

test-cpp: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-python: build
	@if ls tests/test_*.py >/dev/null 2>&1; then \
	  PYTHONPATH=$(CURDIR)/build/src/lib QUARN_CLI=$(CURDIR)/build/quarn $(PYTHON) -m pytest -q tests; \
	else echo "no Python tests yet"; fi

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build build-asan
