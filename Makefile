# Front door around CMake. The two commands of the README:
#   make demo   builds the libraries and the quill tool, and runs its demo
#               (in build/, where it leaves drawing.svg and drawing.dxf)
#   make test   builds everything and runs the whole test suite
# and also:
#   make test-sanitize   the test suite under AddressSanitizer + UBSan
#   make bench           the benchmarks (Release build, standard pages)
#   make fuzz-smoke      every fuzz target briefly (part of make test)
#   make install PREFIX=/usr/local   libraries, headers, data, CMake and
#                        pkg-config files and the quill tool under PREFIX
#                        (DESTDIR is honoured for staged installs)
#   make package         Debian packages (libquill0, libquill-dev,
#                        quill-tools) in build-package/
JOBS ?= 2
CMAKE_FLAGS ?=
# Warnings are errors in every target here (and so in CI); a plain cmake
# build leaves QUILL_WERROR off.
WERROR ?= -DQUILL_WERROR=ON

.PHONY: demo test test-sanitize fuzz-smoke bench install package clean

demo:
	@sh tools/install-deps.sh demo
	cmake -S . -B build -DQUILL_TESTS=OFF $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target quill quill_demo
	cd build && tools/quill demo

test:
	@sh tools/install-deps.sh test
	cmake -S . -B build-test -DQUILL_TESTS=ON $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-test -j$(JOBS)
	cd build-test && ctest --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory fuzz-smoke

test-sanitize:
	@sh tools/install-deps.sh test
	cmake -S . -B build-asan -DQUILL_TESTS=ON -DQUILL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

# The fuzz targets need clang (libFuzzer); they run under ASan + UBSan.
fuzz-smoke:
	@sh tools/install-deps.sh test
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUILL_FUZZ=ON -DQUILL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_all
	sh tools/fuzz-smoke.sh build-fuzz

bench:
	@sh tools/install-deps.sh bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILL_BENCH=ON -DQUILL_TESTS=OFF $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-bench -j$(JOBS) --target bench_pages quill_bench quill
	build-bench/bench/quill_bench
	/usr/bin/python3 bench/centreline_quality.py build-bench/tools/quill build-bench/quality

# A Release build configured for the prefix, so that the tool's fallback data
# directory and the library directory (lib/<multiarch> under /usr) fit it.
PREFIX ?= /usr/local
install:
	@sh tools/install-deps.sh demo
	cmake -S . -B build-install -DQUILL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-install -j$(JOBS) --target quill quillvec
	cmake --install build-install

package:
	@sh tools/install-deps.sh package
	cmake -S . -B build-package -DQUILL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr $(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-package -j$(JOBS) --target quill quillvec
	cd build-package && cpack -G DEB
	@ls build-package/*.deb

clean:
	rm -rf build build-test build-asan build-fuzz build-bench build-install build-package
