# Every target installs what is missing first, so a fresh Debian machine needs
# nothing but these commands (as root).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# ccache hashes absolute paths: with the project root as base directory (and
# no working-directory hash in debug-info builds) a clone in another folder
# reuses the cache of the same machine.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: all deps run test bench benchmarks sanitize tsan fuzz format format-check clean

all: test

deps:
	bash scripts/install-deps.sh

build/CMakeCache.txt: | deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

# Window tests need an X display: without one, ctest runs under a virtual
# frame buffer.
XRUN = $$(if [ -z "$$DISPLAY" ] && command -v xvfb-run >/dev/null; then echo xvfb-run -a; fi)

test: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS)
	cd build && $(XRUN) ctest --output-on-failure -j $(JOBS)

# The console program on the demo sequence (written the first time into
# build/demo): per-frame status on the terminal, the poses in
# build/demo/poses.txt beside the true ones in build/demo/truth.txt.
run: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target zevrion zevrion_write_demo
	@if [ ! -f build/demo/config.txt ]; then ./build/tests/zevrion_write_demo build/demo 200; fi
	./build/zevrion build/demo/config.txt

# Builds the benchmarks without running them (CI keeps them compiling).
benchmarks: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target benchmarks

bench: benchmarks
	@set -e; for b in $$(cat build/benchmarks.txt | tr ';' ' '); do \
	  echo "== $$b"; OPENBLAS_NUM_THREADS=1 ./build/bench/$$b; done

# The sanitizer builds use clang: it compiles them in half the time GCC
# takes, and its UBSan checks a few more things (float-to-int overflow,
# calls through a wrong function type). They build only what their ctest
# run needs, with line tables for the reports; long tests run a shorter
# input there (ZEVRION_SHORT_TESTS, see tests/CMakeLists.txt).
SAN_CMAKE = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZEVRION_BENCHMARKS=OFF
# A tree configured before with another compiler is started afresh: CMake
# would delete its cache and drop every option of the new command with it,
# leaving a build without sanitizers that passes.
SAN_FRESH = if [ -f $(1)/CMakeCache.txt ] && \
  ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=\(.*/\)\?clang++$$' $(1)/CMakeCache.txt; then \
  echo "$(1): configured with another compiler, starting afresh"; rm -rf $(1); fi

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the run. The fuzz harnesses share this build. Mesa's software
# rasteriser draws in the calling thread there (LP_NUM_THREADS=0): its
# threads come and go with every GL context, and LeakSanitizer's scan at exit
# once crashed over the thread-local storage such threads leave behind.
ASAN_CONFIGURE = $(call SAN_FRESH,build-asan); cmake -S . -B build-asan $(SAN_CMAKE) -DZEVRION_SANITIZE=ON -DZEVRION_FUZZ=ON $(CMAKE_FLAGS)
sanitize: deps
	$(ASAN_CONFIGURE)
	cmake --build build-asan -j $(JOBS) --target test_programs
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan-suppressions.txt \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ZEVRION_SHORT_TESTS=1 LP_NUM_THREADS=0 \
	  $(XRUN) ctest --output-on-failure -j $(JOBS)

# The threaded tests (CTest label "threads") under ThreadSanitizer; any report
# fails the run.
tsan: deps
	$(call SAN_FRESH,build-tsan)
	cmake -S . -B build-tsan $(SAN_CMAKE) -DZEVRION_TSAN=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target threaded_test_programs
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ZEVRION_SHORT_TESTS=1 \
	  ctest --output-on-failure -j $(JOBS) -L threads

# libFuzzer harnesses (clang, ASan, UBSan; in the sanitizer build) over the
# readers and numerical entry points, FUZZ_SECONDS each, two at a time, from
# fuzz/corpus.
FUZZ_SECONDS ?= 30
fuzz: deps
	$(ASAN_CONFIGURE)
	cmake --build build-asan -j $(JOBS) --target fuzzers
	bash fuzz/run.sh build-asan $(FUZZ_SECONDS)

format:
	git ls-files -- '*.cpp' '*.h' | xargs clang-format -i

# Fails on any difference from .clang-format.
format-check: deps
	git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-asan build-tsan build-fuzz
