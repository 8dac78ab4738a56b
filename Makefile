# Front door around CMake. The two commands of the README:
#   make demo   builds the libraries and the quill tool, and runs its demo
#               (in build/, where it leaves drawing.svg and drawing.dxf)
#   make test   builds everything and runs the whole test suite
# and also:
#   make test-sanitize   the test suite under AddressSanitizer + UBSan
#   make bench           the benchmarks (Release build, standard pages)
#   make fuzz-smoke      every fuzz target briefly (part of make test)
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: demo test test-sanitize fuzz-smoke bench clean

demo:
	@sh tools/install-deps.sh demo
	cmake -S . -B build -DQUILL_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target quill quill_demo
	cd build && tools/quill demo

test:
	@sh tools/install-deps.sh test
	cmake -S . -B build-test -DQUILL_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-test -j$(JOBS)
	cd build-test && ctest --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory fuzz-smoke

test-sanitize:
	@sh tools/install-deps.sh test
	cmake -S . -B build-asan -DQUILL_TESTS=ON -DQUILL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

# The fuzz targets need clang (libFuzzer); they run under ASan + UBSan.
fuzz-smoke:
	@sh tools/install-deps.sh test
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUILL_FUZZ=ON -DQUILL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_all
	sh tools/fuzz-smoke.sh build-fuzz

bench:
	@sh tools/install-deps.sh bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILL_BENCH=ON -DQUILL_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-bench -j$(JOBS) --target bench_pages quill_bench quill
	build-bench/bench/quill_bench
	/usr/bin/python3 bench/centreline_quality.py build-bench/tools/quill build-bench/quality

clean:
	rm -rf build build-test build-asan build-fuzz build-bench
