# Every target installs what is missing first, so a fresh Debian machine needs
# nothing but these commands (as root).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps test bench sanitize clean

all: test

deps:
	bash scripts/install-deps.sh

build/CMakeCache.txt: | deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

test: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

bench: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target benchmarks
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

clean:
	rm -rf build build-asan
