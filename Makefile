# Tarnvex: the two commands are `make run` and `make test`.
#   make run        build everything, prepare the device image and start it
#   make install    the programs, resources, desktop entry, autostart entry and
#                   user unit into PREFIX (default ~/.local)
#   make test       the whole test suite (AddressSanitizer + UBSan)
#   make test-tsan  the threaded tests under ThreadSanitizer
#   make bench      the benchmarks, each beside its baseline (bench/gateway:
#                   Postfix with the milter beside Postfix without it;
#                   bench/mail_vs_postfix: the device's submission and
#                   delivery beside Postfix's; both as root)
#   make bench-build the benchmarks built, not run (CI)
#   make fuzz       the libFuzzer targets (clang)
#   make crash      the filter killed and restarted while messages are sent
#   make fuzz-check each fuzz target for FUZZ_SECONDS on its seed corpus (CI)
#   make check-layers the folders include each other only downwards, no circle
#   make thread-safety the libraries and programs under clang's lock analysis
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
BUILD := build

FUZZ_SECONDS ?= 25
PREFIX ?= $(HOME)/.local

.PHONY: all deps build install run test test-tsan bench bench-build fuzz fuzz-check crash clean \
        check-layers thread-safety

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNVEX_BUILD_TESTS=OFF

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-device

install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

$(BUILD)/asan/build.ninja:
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTARNVEX_SANITIZE=address

test: deps $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 300

$(BUILD)/tsan/build.ninja:
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTARNVEX_SANITIZE=thread

test-tsan: deps $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS)
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) --timeout 300 -L threads --no-tests=ignore

check-layers:
	scripts/check-layers

# Clang's thread-safety analysis over the libraries and programs (no tests:
# they hold no annotated locks of their own); any warning fails the build.
$(BUILD)/tsa/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/tsa $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DTARNVEX_BUILD_TESTS=OFF -DTARNVEX_BUILD_BENCH=OFF -DTARNVEX_THREAD_SAFETY=ON

thread-safety: deps $(BUILD)/tsa/build.ninja
	cmake --build $(BUILD)/tsa -j $(JOBS)

$(BUILD)/bench/build.ninja:
	cmake -S . -B $(BUILD)/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DTARNVEX_BUILD_TESTS=OFF -DTARNVEX_BUILD_BENCH=ON

bench-build: deps $(BUILD)/bench/build.ninja
	cmake --build $(BUILD)/bench -j $(JOBS)

bench: bench-build
	@scripts/install-deps --bench
	@for b in $(BUILD)/bench/bench/*_bench; do echo "== $$b"; $$b || exit 1; done
	@echo "== bench/gateway"; bench/gateway --bin $(BUILD)/bench/bin
	@echo "== bench/mail_vs_postfix"; bench/mail_vs_postfix --bin $(BUILD)/bench/bin

$(BUILD)/fuzz/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARNVEX_BUILD_TESTS=OFF -DTARNVEX_BUILD_FUZZ=ON

fuzz: deps $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzz_targets
	@echo "Fuzz targets in $(BUILD)/fuzz/fuzz/ (run them with: scripts/run-fuzz $(BUILD)/fuzz 60)"

fuzz-check: fuzz
	scripts/run-fuzz $(BUILD)/fuzz $(FUZZ_SECONDS)

# The crash test runs on the test build: 200 messages with the default send
# delay and again with none, the filter killed at random moments.
crash: deps $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS) --target tarnvex-device filter_host
	bench/crash-restarts --bin $(BUILD)/asan/bin --messages 200 --restarts 12
	bench/crash-restarts --bin $(BUILD)/asan/bin --messages 200 --restarts 12 --send-delay-ms 0

clean:
	rm -rf $(BUILD)
