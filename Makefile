# The two commands a newcomer needs:
#   make demo   install what is missing, build, run the demo
#   make test   install what is missing, build three times (plain, with
#               AddressSanitizer + UndefinedBehaviorSanitizer, and with
#               ThreadSanitizer), run every test and the stress program's short
#               form in each, then the stress program under injected faults,
#               then the ARM builds (64- and 32-bit) with their tests under
#               qemu-user, then the Windows build with its tests under wine,
#               then run every fuzz harness for FUZZ_SECONDS,
#               then build, install and use the Debian packages and the
#               Windows zip
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-san
CTEST = ctest --output-on-failure -j$(JOBS)

.PHONY: setup setup-arm demo test test-plain test-sanitized test-tsan test-fault test-arm windows test-windows fuzz bench clean

setup:
	bash scripts/setup.sh

setup-arm:
	bash scripts/setup_arm.sh

demo: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	$(BUILD)/examples/keel_demo
	bash examples/gateway_demo.sh $(BUILD)
	bash examples/tls_demo.sh $(BUILD)
	bash examples/cpp/echo_demo.sh $(BUILD)
	bash examples/cpp/modbus_demo.sh $(BUILD)

test: setup test-plain test-sanitized test-tsan test-fault test-arm test-windows fuzz test-package

test-plain:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && $(CTEST)

test-sanitized:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKEEL_SANITIZE=ON -DKEEL_WERROR=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

# The whole suite under ThreadSanitizer; tests/tsan.supp says why each
# suppression is there.
TSAN_BUILD ?= build-tsan
test-tsan: setup
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_TSAN=ON -DKEEL_WERROR=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" $(CTEST)

# The stress program's TCP, UDP, serial and log forms under libfiu's POSIX
# preload, which fails some of the library's system calls and allocations
# (scripts/fault_inject.sh says what must hold). FAULT_SEEDS and FAULT_KINDS
# narrow it: make test-fault FAULT_KINDS=io FAULT_SEEDS=3.
test-fault: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target keel_stress
	bash scripts/fault_inject.sh $(BUILD)

# Windows x86-64: a cross build with mingw-w64 into build-windows (keel.dll,
# the test programs and the examples in build-windows/bin), and its tests under wine in a
# prefix made for the run in a temporary folder.
WIN_BUILD ?= build-windows
windows: setup
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_WERROR=ON
	cmake --build $(WIN_BUILD) -j$(JOBS)

test-windows: windows
	prefix=$$(mktemp -d) && trap 'WINEPREFIX=$$prefix /usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$$prefix"' EXIT && \
	  cd $(WIN_BUILD) && KEEL_WINEPREFIX=$$prefix $(CTEST)

# ARM: 64-bit (aarch64) and 32-bit (armhf) cross builds with Debian's cross
# compilers and the multiarch libraries (make setup-arm), their tests run by
# ctest under qemu-user; the 32-bit build also with AddressSanitizer +
# UndefinedBehaviorSanitizer. The leak checker cannot run under qemu, so it is
# off there, also while the builds ask each test program for its cases. A few
# cases meet known limits of qemu and skip there, saying which.
ARM_TARGETS = aarch64-linux-gnu arm-linux-gnueabihf
ARM_ASAN = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
test-arm: setup setup-arm
	for t in $(ARM_TARGETS); do \
	  cmake -S . -B build-$$t -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$$t.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_WERROR=ON && \
	  cmake --build build-$$t -j$(JOBS) && \
	  (cd build-$$t && $(CTEST)) || exit 1; \
	done
	cmake -S . -B build-arm-linux-gnueabihf-san -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DKEEL_SANITIZE=ON -DKEEL_WERROR=ON
	$(ARM_ASAN) cmake --build build-arm-linux-gnueabihf-san -j$(JOBS)
	cd build-arm-linux-gnueabihf-san && $(ARM_ASAN) $(CTEST)

# Each fuzz harness for FUZZ_SECONDS from its seeds (tests/fuzz/corpus/<name>,
# and tests/fuzz/corpus/regressions: inputs that failed once while the
# harnesses were written, kept for every harness),
# built with clang and the address and undefined-behaviour checkers. What a
# run finds is kept in build-fuzz/corpus; a crash stops with the input saved.
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES = address charset hex hash ringbuf tcp_read tls_server
fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_FUZZ=ON -DKEEL_TESTS=OFF
	cmake --build build-fuzz -j$(JOBS)
	for h in $(FUZZ_HARNESSES); do \
	  mkdir -p build-fuzz/corpus/$$h build-fuzz/crashes && \
	  build-fuzz/tests/fuzz/$${h}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/crashes/$$h- build-fuzz/corpus/$$h tests/fuzz/corpus/$$h tests/fuzz/corpus/regressions \
	    >build-fuzz/$$h.log 2>&1; \
	  status=$$?; grep -E '^(stat::number_of_executed_units|==[0-9]+==|SUMMARY|harness:)' build-fuzz/$$h.log | sed "s/^/$$h: /"; \
	  [ $$status -eq 0 ] || { tail -n 60 build-fuzz/$$h.log; \
	    echo "$$h failed:"; grep -E '^(harness:|==[0-9]+==ERROR|SUMMARY|Base64)' build-fuzz/$$h.log; exit 1; }; \
	done

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) build-bench build-fuzz build-*-linux-gnu* 

# Micro-benchmarks in an optimised build of their own; figures in bench/README.md.
bench: setup
	bash bench/setup.sh
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKEEL_BENCH=ON -DKEEL_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	for b in build-bench/bench/*_bench build-bench/bench/*_throughput; do $$b || exit 1; done

# Network benchmarks: one load generator against echo servers on raw epoll,
# libuv, libevent and Keel; writes bench/net/report.md and its plots.
.PHONY: bench-net
bench-net: setup
	bash bench/net/run.sh

# TLS benchmarks: the TLS load generator against TLS echo servers on raw epoll
# with OpenSSL, libevent's OpenSSL bufferevents and Keel; writes
# bench/net/tls_report.md.
.PHONY: bench-tls
bench-tls: setup
	bash bench/net/tls_run.sh

# Serial benchmarks: Keel's serial client next to libserialport on
# pseudo-terminal pairs; writes bench/serial/report.md and its plot.
.PHONY: bench-serial
bench-serial: setup
	bash bench/serial/run.sh

# The Debian packages libkeel0 and libkeel-dev, built in PKG_BUILD for /usr,
# for the build machine's architecture and, in PKG_BUILD-<target>, for arm64
# and armhf; and the zip for Windows x86-64, keel-<version>-windows-x86_64.zip,
# made in the Windows build, WIN_BUILD. test-package installs the build machine's (or, where that is not safe, a staging install),
# builds a C and a C++ consumer against the install alone, runs both, and
# removes the packages again; then it builds them with mingw-w64 against the
# unpacked zip alone and runs them under wine: tests/consumer/run.sh.
PKG_BUILD ?= build-pkg
.PHONY: package test-package docs clean-extra
package: setup setup-arm windows
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKEEL_TESTS=OFF
	cmake --build $(PKG_BUILD) -j$(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB
	for t in $(ARM_TARGETS); do \
	  cmake -S . -B $(PKG_BUILD)-$$t -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$$t.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKEEL_TESTS=OFF && \
	  cmake --build $(PKG_BUILD)-$$t -j$(JOBS) && \
	  (cd $(PKG_BUILD)-$$t && cpack -G DEB) || exit 1; \
	done
	cd $(WIN_BUILD) && cpack -G ZIP
test-package: package
	bash tests/consumer/run.sh $(PKG_BUILD) $(WIN_BUILD)

# The API reference from the public headers: $(DOCS_BUILD)/docs/html/index.html.
DOCS_BUILD ?= build-docs
docs:
	bash scripts/setup_docs.sh
	cmake -S . -B $(DOCS_BUILD) -DKEEL_TESTS=OFF
	cmake --build $(DOCS_BUILD) --target docs

clean: clean-extra
clean-extra:
	rm -rf $(PKG_BUILD) $(PKG_BUILD)-* $(DOCS_BUILD)
