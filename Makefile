# The two commands a newcomer needs:
#   make demo   install what is missing, build, run the demo
#   make test   install what is missing, build twice (plain, and with
#               AddressSanitizer + UndefinedBehaviorSanitizer), run every test
JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-san
CTEST = ctest --output-on-failure -j$(JOBS)

.PHONY: setup demo test test-plain test-sanitized bench clean

setup:
	bash scripts/setup.sh

demo: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	$(BUILD)/examples/keel_demo

test: setup test-plain test-sanitized

test-plain:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEEL_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && $(CTEST)

test-sanitized:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKEEL_SANITIZE=ON -DKEEL_WERROR=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) build-bench

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
