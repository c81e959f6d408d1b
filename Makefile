# The two commands: `make demo` runs the example, `make test` builds and runs every test.
# Each first installs whatever Debian packages are missing.

PYTHON := /usr/bin/python3
JOBS ?= $(shell nproc)
PACKAGES := g++ cmake make pkg-config libssl-dev zlib1g-dev libargon2-dev libmsgpack-cxx-dev \
            libgtest-dev libbenchmark-dev python3-dev python3-pytest python3-mypy
# The fuzz targets need a clang whose libFuzzer runtime and standard library support suit the engine.
FUZZ_PACKAGES := clang-16 libclang-rt-16-dev llvm-16
FUZZ_SECONDS ?= 60
CMAKE_FLAGS := -DPython3_EXECUTABLE=$(PYTHON)
CONFIGURE := cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

.PHONY: all deps deps-fuzz build build-asan build-fuzz demo test test-cpp test-asan test-python \
        test-python-asan test-fuzz fuzz install-missing bench clean

all: build

deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(PACKAGES)"

deps-fuzz:
	@$(MAKE) --no-print-directory install-missing WANTED="$(FUZZ_PACKAGES)"

install-missing:
	@missing=$$(for p in $(WANTED); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	$(CONFIGURE)
	cmake --build build -j $(JOBS) -- --no-print-directory

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_PYTHON=ON -DQUARN_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS) -- --no-print-directory

# The engine with libFuzzer's coverage instrumentation, ASan and UBSan, built by clang; the
# targets and the seed generator only.
build-fuzz: deps deps-fuzz
	CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_FUZZ=ON \
	  -DQUARN_PYTHON=OFF -DQUARN_BENCH=OFF -DQUARN_CLI=OFF -DQUARN_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) -- --no-print-directory

# Only the module: the demo needs nothing else.
demo: deps
	$(CONFIGURE)
	cmake --build build --target quarn -j $(JOBS) -- --no-print-directory
	PYTHONPATH=$(CURDIR)/build/src/lib $(PYTHON) examples/agent_memory.py

test: test-cpp test-asan test-python test-python-asan test-fuzz

test-cpp: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-python: build
	@if ls tests/test_*.py >/dev/null 2>&1; then \
	  PYTHONPATH=$(CURDIR)/build/src/lib QUARN_CLI=$(CURDIR)/build/quarn $(PYTHON) -m pytest -q tests; \
	else echo "no Python tests yet"; fi

# The Python tests against the module built with ASan and UBSan: the sanitizer runtime goes first
# into Debian's interpreter, and leak detection is off for the interpreter's own allocations.
test-python-asan: build-asan
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(CURDIR)/build-asan/src/lib \
	  QUARN_CLI=$(CURDIR)/build-asan/quarn $(PYTHON) -m pytest -q -p no:cacheprovider tests

# Each fuzz target for FUZZ_SECONDS (make fuzz) or a few seconds (make test), from the seeds the
# engine makes plus the regression inputs in fuzz/regressions; the corpora grow in build-fuzz/corpus.
fuzz: build-fuzz
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

test-fuzz: build-fuzz
	fuzz/run.sh build-fuzz 5

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build build-asan build-fuzz
