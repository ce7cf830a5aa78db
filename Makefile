# Every target installs what is missing first, so a fresh Debian machine needs
# nothing but these commands (as root).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# ccache hashes absolute paths: with the project root as base directory (and
# no working-directory hash in debug-info builds) a clone in another folder
# reuses the cache of the same machine.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: all deps test bench benchmarks sanitize tsan format format-check clean

all: test

deps:
	bash scripts/install-deps.sh

build/CMakeCache.txt: | deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

test: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

# Builds the benchmarks without running them (CI keeps them compiling).
benchmarks: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target benchmarks

bench: benchmarks
	@set -e; for b in $$(cat build/benchmarks.txt | tr ';' ' '); do \
	  echo "== $$b"; OPENBLAS_NUM_THREADS=1 ./build/bench/$$b; done

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the run.
sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVRION_SANITIZE=ON -DZEVRION_BENCHMARKS=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The threaded tests (CTest label "threads") under ThreadSanitizer; any report
# fails the run.
tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVRION_TSAN=ON -DZEVRION_BENCHMARKS=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L threads

format:
	git ls-files -- '*.cpp' '*.h' | xargs clang-format -i

# Fails on any difference from .clang-format.
format-check: deps
	git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-asan build-tsan
