# Entry points: `make test` (bootstrap, build, run every test in a normal and
# an ASan+UBSan build), `make tsan`, `make lint`, `make demo`, `make demo-server`,
# `make fuzz`, `make bench`.
# `make soak [SOAK_RECOGNITIONS=N] [SOAK_CHANNELS=C] [SOAK_SEED=S]` runs the
# faulted soak in the ASan+UBSan build (leaks checked at exit); `make
# soak-tsan` the same in the TSan build.
# `make fuzz-smoke` builds the fuzz targets as `make fuzz` does and runs each
# for a few seconds (continuous integration does, so that the clang build
# cannot break unseen).
# `make lint` checks the formatting of every tracked C++ file and runs
# clang-tidy (checks in .clang-tidy) over the project's own sources; any
# finding fails it.
JOBS ?= $(shell nproc)
CMAKE ?= cmake
CTEST_ARGS ?= --output-on-failure -j $(JOBS)
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
SOAK_RECOGNITIONS ?= 3000
SOAK_CHANNELS ?= 24
SOAK_SEED ?= 20261206

.PHONY: all bootstrap build build-asan build-tsan build-fuzz test test-normal test-asan tsan lint soak soak-tsan demo demo-server fuzz fuzz-smoke \
	bench clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build build -j $(JOBS)

build-asan: bootstrap
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKORALRX_SANITIZE=address >/dev/null
	$(CMAKE) --build build-asan -j $(JOBS)

build-tsan: bootstrap
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKORALRX_SANITIZE=thread >/dev/null
	$(CMAKE) --build build-tsan -j $(JOBS)

test-normal: build
	cd build && ctest $(CTEST_ARGS)

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_ARGS)

test: test-normal test-asan

tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest $(CTEST_ARGS) -LE no-tsan

lint: bootstrap
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	scripts/lint build $(JOBS)

soak: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  KORAL_BINARY_DIR=$(CURDIR)/build-asan tests/soak/koral-soak --recognitions $(SOAK_RECOGNITIONS) \
	  --channels $(SOAK_CHANNELS) --seed $(SOAK_SEED)

soak-tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  KORAL_BINARY_DIR=$(CURDIR)/build-tsan tests/soak/koral-soak --recognitions $(SOAK_RECOGNITIONS) \
	  --channels $(SOAK_CHANNELS) --seed $(SOAK_SEED)

demo: build
	scripts/demo/run

demo-server: build
	scripts/demo/run-server

build-fuzz: bootstrap
	$(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DKORALRX_FUZZ=ON -DKORALRX_BENCH=OFF -DKORALRX_SPEECH_SERVICE=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	$(CMAKE) --build build-fuzz -j $(JOBS) --target fuzzers

fuzz: build-fuzz
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

fuzz-smoke: build-fuzz
	scripts/run-fuzzers build-fuzz $(FUZZ_SMOKE_SECONDS)

bench: build
	scripts/run-benchmarks build

clean:
	rm -rf build build-asan build-tsan build-fuzz
