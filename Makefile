# Front door. `make` builds, `make test` runs every test; both install
# missing Debian packages first.
BUILD_DIR  ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)

.PHONY: all build deps configure test clean
.PHONY: target-configure target-build target-test repro-test abi-baseline dist

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@mkdir -p $(BUILD_DIR)
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > $(BUILD_DIR)/configure.log 2>&1 \
	    || { cat $(BUILD_DIR)/configure.log; exit 1; }

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS) -- --no-print-directory

# The suites of `make test` run in local time zones other than UTC (the
# gateway's suite, the AddressSanitizer suite and the soak in one with
# daylight saving time), so that a time taken in universal instead of local
# time fails. The zones are POSIX rules, which
# need no time-zone database: a zone name the machine does not know would
# silently fall back to UTC.
NATIVE_TEST_TZ ?= CST-8
DST_TEST_TZ    ?= CET-1CEST,M3.5.0,M10.5.0/3

test: build
	TZ='$(NATIVE_TEST_TZ)' ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)
	@$(MAKE) --no-print-directory timing-test
	@$(MAKE) --no-print-directory target-test repro-test
	@$(MAKE) --no-print-directory asan-test tsan-test fuzz-test soak-test

# The tests that wait on time or measure it (ctest label `timing`), again:
# up to TIMING_REPEAT times in a row (until one fails), then once more while
# stress-ng keeps every CPU busy. stress-ng is stopped by its process id
# however the tests end, and ends by itself after TIMING_LOAD_LIMIT seconds
# should this shell be killed outright.
TIMING_REPEAT     ?= 3
TIMING_LOAD_LIMIT ?= 600

.PHONY: timing-test
timing-test: build
	TZ='$(NATIVE_TEST_TZ)' ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS) -L timing \
	    --repeat until-fail:$(TIMING_REPEAT)
	@stress-ng --cpu 0 --timeout $(TIMING_LOAD_LIMIT) --quiet & load=$$!; \
	    trap 'kill $$load 2>/dev/null; wait $$load 2>/dev/null' EXIT; \
	    trap 'exit 130' INT TERM; \
	    echo "timing tests with every CPU kept busy by stress-ng (pid $$load)"; \
	    TZ='$(NATIVE_TEST_TZ)' ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS) -L timing

# The gateway build: 32-bit little-endian MIPS, cross-compiled into
# $(TARGET_BUILD_DIR); its tests run under qemu-mipsel.
TARGET_BUILD_DIR ?= build-mipsel

target-configure: deps
	@scripts/mipsel-sysroot.sh $(abspath $(TARGET_BUILD_DIR))/sysroot
	@cmake -S . -B $(TARGET_BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mipsel.cmake \
	    > $(TARGET_BUILD_DIR)/configure.log 2>&1 \
	    || { cat $(TARGET_BUILD_DIR)/configure.log; exit 1; }

target-build: target-configure
	@cmake --build $(TARGET_BUILD_DIR) -j$(JOBS)

target-test: target-build
	TZ='$(DST_TEST_TZ)' ctest --test-dir $(TARGET_BUILD_DIR) --output-on-failure -j$(JOBS)

# Reproducibility: builds the gateway module again from a copy of the tree in
# $(REPRO_BUILD_DIR) and compares it byte for byte with $(TARGET_BUILD_DIR)'s.
REPRO_BUILD_DIR ?= build-repro

repro-test: target-build
	@tests/target/check_reproducible.sh $(TARGET_BUILD_DIR) $(REPRO_BUILD_DIR) $(JOBS)

# The release: the gateway module built in release form (-O2, NDEBUG, debug
# information for the separate debug file) and its self-test kpm-check in
# $(DIST_BUILD_DIR), packed into $(DIST_DIR)/kalvorpowermeter-<version>-mipsel.tar.gz
# and checked (kpm-check and lib/ need no symbol version above the module's
# floor); kpm-check from the archive must pass on the archive's module under
# qemu-mipsel with Debian's runtime, and name the sysroot's jsoncpp.
DIST_BUILD_DIR ?= build-dist
DIST_DIR       ?= dist

dist: deps
	@scripts/mipsel-sysroot.sh $(abspath $(TARGET_BUILD_DIR))/sysroot
	@$(call kpm_configure,$(DIST_BUILD_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mipsel.cmake \
	    -DKPM_SYSROOT=$(abspath $(TARGET_BUILD_DIR))/sysroot)
	@cmake --build $(DIST_BUILD_DIR) -j$(JOBS) --target kalvorpowermeter kpm-check -- --no-print-directory
	@scripts/package-release.sh $(DIST_BUILD_DIR) $(DIST_DIR)
	@tests/target/check_release.sh $(DIST_DIR)/kalvorpowermeter-$$(cat VERSION)-mipsel.tar.gz $$(cat VERSION) \
	    "$$(sed -n 's/^CMAKE_ADDR2LINE:[A-Z]*=//p' $(DIST_BUILD_DIR)/CMakeCache.txt)"
	@KPM_RUN="qemu-mipsel -cpu 24Kf -L $(abspath $(TARGET_BUILD_DIR))/sysroot" \
	    tests/target/check_kpm_check.sh $(DIST_DIR)/kalvorpowermeter-$$(cat VERSION)-mipsel.tar.gz release \
	    > $(DIST_BUILD_DIR)/kpm-check.log 2>&1 || { cat $(DIST_BUILD_DIR)/kpm-check.log; exit 1; }
	@tail -n 1 $(DIST_BUILD_DIR)/kpm-check.log

# Rewrites abi/kalvorpowermeter.abi from the gateway build: only for a
# deliberate change of what a host built against the module relies on.
abi-baseline: target-build
	@tests/target/check_abi.sh update $(TARGET_BUILD_DIR)/kpm_abi_probe.so abi/kalvorpowermeter.abi

clean:
	rm -rf build build-* dist

# Benchmarks, instruction counts, the line's limit and the footprint, built
# with optimisation in build-bench/; writes and prints bench/REPORT.md.
# Not part of `make test`.
.PHONY: bench
bench: deps
	@JOBS=$(JOBS) TARGET_BUILD_DIR=$(TARGET_BUILD_DIR) bench/run_bench.sh

# The main job as a user runs it: meterhost loads the module and polls a
# simulated line of three meters on a pseudo-terminal, 10 rounds at one-second
# intervals. Builds only those two and what they link (the simulated line's
# meters among it), not the tests: `make` and `make test` build everything.
.PHONY: demo
demo: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS) --target kalvorpowermeter meterhost -- --no-print-directory
	@$(BUILD_DIR)/meterhost --slave 1,2,3 --rounds 10 --interval 1

# Sanitizer builds, run by `make test`: every test of the build built with
# AddressSanitizer and UndefinedBehaviorSanitizer in $(ASAN_BUILD_DIR), and
# the threaded tests (ctest label `threads`) built with ThreadSanitizer in
# $(TSAN_BUILD_DIR), which builds only what those tests need. The module is
# built with the same sanitizer as the tests that load it; any report fails.
.PHONY: asan-test tsan-test fuzz-build fuzz fuzz-test
ASAN_BUILD_DIR  ?= build-asan
TSAN_BUILD_DIR  ?= build-tsan
ASAN_SANITIZERS ?= address,undefined,alignment
# The checks of the module's needed libraries, host symbols and runtime floor
# describe the plain build; a sanitized module also needs the sanitizer's
# runtime, and its instrumented code calls more of the C++ runtime.
ASAN_CTEST_EXCLUDE ?= ^module_(needed|host_symbols|runtime_floor|checks_reject_needed_jsoncpp)$$
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# $(call kpm_configure,DIR,CMAKE ARGUMENTS)
kpm_configure = mkdir -p $(1) && cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(2) \
    > $(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }

asan-test: deps
	@$(call kpm_configure,$(ASAN_BUILD_DIR),-DKPM_SANITIZE=$(ASAN_SANITIZERS))
	@cmake --build $(ASAN_BUILD_DIR) -j$(JOBS) -- --no-print-directory
	TZ='$(DST_TEST_TZ)' $(ASAN_ENV) ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j$(JOBS) \
	    -E '$(ASAN_CTEST_EXCLUDE)'

tsan-test: deps
	@$(call kpm_configure,$(TSAN_BUILD_DIR),-DKPM_SANITIZE=thread)
	@targets="$$(ctest --test-dir $(TSAN_BUILD_DIR) -N -L threads | sed -n 's/^ *Test *#[0-9]*: //p')"; \
	    [ -n "$$targets" ] || { echo "tsan-test: no test carries the ctest label 'threads'"; exit 1; }; \
	    cmake --build $(TSAN_BUILD_DIR) -j$(JOBS) --target $$targets -- --no-print-directory
	TZ='$(NATIVE_TEST_TZ)' $(TSAN_ENV) ctest --test-dir $(TSAN_BUILD_DIR) --output-on-failure -L threads

# libFuzzer targets (fuzz/), built with clang in $(FUZZ_BUILD_DIR) together
# with a module carrying the same sanitizers and the fuzzer's coverage hooks.
# `make fuzz` runs each target FUZZ_SECONDS; `make test` runs each for
# FUZZ_TEST_RUNS executions from the committed seeds.
FUZZ_BUILD_DIR  ?= build-fuzz
FUZZ_CXX        ?= clang++-14
FUZZ_SECONDS    ?= 60
FUZZ_TEST_RUNS  ?= 50000

fuzz-build: deps
	@$(call kpm_configure,$(FUZZ_BUILD_DIR),-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DBUILD_TESTING=OFF \
	    -DKPM_BUILD_DEVHOST_TOOLS=OFF -DKPM_BUILD_FUZZERS=ON \
	    -DKPM_SANITIZE=fuzzer-no-link,$(ASAN_SANITIZERS))
	@cmake --build $(FUZZ_BUILD_DIR) -j$(JOBS) --target fuzzers -- --no-print-directory

fuzz: fuzz-build
	@fuzz/run-fuzzers.sh $(FUZZ_BUILD_DIR) --seconds $(FUZZ_SECONDS)

fuzz-test: fuzz-build
	@fuzz/run-fuzzers.sh $(FUZZ_BUILD_DIR) --runs $(FUZZ_TEST_RUNS)

# The fault soak (soak/): the bench host's session and line code and the real
# module against two simulated lines of meters (one dead), each line on its
# own thread, with random faults, the terminals closed and reopened, writes,
# and snapshot and value requests from other threads; built in $(BUILD_DIR).
# `make soak` runs SOAK_SECONDS, `make test` SOAK_TEST_SECONDS.
.PHONY: soak soak-test
SOAK_SECONDS      ?= 600
SOAK_TEST_SECONDS ?= 15

soak: build
	@soak/run-soak.sh $(BUILD_DIR)/soak/kpm_soak $(SOAK_SECONDS)

soak-test: build
	@TZ='$(DST_TEST_TZ)' soak/run-soak.sh $(BUILD_DIR)/soak/kpm_soak $(SOAK_TEST_SECONDS)
