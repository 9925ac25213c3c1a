# Two entry points: `make demo` (Release build, converts the shipped example)
# and `make test` (Debug build with AddressSanitizer and UBSan, all tests;
# then the parallel conversion tests under ThreadSanitizer).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEBUG_DIR ?= build/debug
RELEASE_DIR ?= build/release
TSAN_DIR ?= build/tsan

.PHONY: all setup debug release test test-tsan demo bench clean

all: release

setup:
	@sh scripts/setup.sh

debug: setup
	cmake -S . -B $(DEBUG_DIR) -DCMAKE_BUILD_TYPE=Debug -DLOGRAVEN_SANITIZE=ON
	cmake --build $(DEBUG_DIR) -j $(JOBS)

release: setup
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DLOGRAVEN_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

test: debug
	cd $(DEBUG_DIR) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-tsan

# The parallel conversion tests, the decoder's tests (rows written by a
# thread of their own) and the writing thread's again under ThreadSanitizer,
# in a build of their own (only the program and those tests).
test-tsan: setup
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DLOGRAVEN_TSAN=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target lograven lograven_parallel_tests lograven_output_tests
	cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) -R '^(Parallel|RowsWritten|cRowWriterThread)'

demo: release
	sh examples/demo.sh $(RELEASE_DIR)

bench: release
	sh bench/run.sh $(RELEASE_DIR)

clean:
	rm -rf build

# libFuzzer targets (clang, ASan + UBSan) built in build/fuzz and run for
# FUZZ_SECONDS seconds each (default 180), two at a time.
.PHONY: fuzz
fuzz:
	sh scripts/fuzz.sh
