# Quick start:
#   make run     build the host tree and run the demo (ARGS="..." go to the demo;
#                ARGS="--image build/win64/tarnlink64.sys" runs the shipped image)
#   make test    build the host tree and both Windows drivers, run every test
# Also: make windows (the two .sys files and the console tools' .exe files), make sanitize (tests under
# AddressSanitizer and UndefinedBehaviorSanitizer), make tsan (the real-time
# tests and the stress suite under ThreadSanitizer), make bench (loopback
# benchmark), make fuzz (the serial-port fuzzer for FUZZ_TIME seconds),
# make clean.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_TYPE ?= RelWithDebInfo
ARGS ?=

.PHONY: all host run test windows sanitize tsan bench fuzz deps-host deps-windows deps-test deps-bench deps-fuzz clean

# One target at a time, even under `make -j` (or -j in MAKEFLAGS): the
# package checks may each run apt-get, which refuses to run twice at once,
# and every build below already runs $(JOBS) compilers.
.NOTPARALLEL:

all: host

deps-host:
	@tools/ensure-packages host

deps-windows:
	@tools/ensure-packages windows

deps-test:
	@tools/ensure-packages test

deps-bench:
	@tools/ensure-packages bench

host: deps-host
	@cmake -S . -B build/host -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build build/host -j $(JOBS)

# The demo, then the port test against the Win32 library's default machine
# (COM5, a loopback plug, real time): what a user would run on a real port.
# With --image PATH in ARGS the Windows drivers are built first, and both
# the demo and the port test run the image at PATH instead of the host
# build (the port test's machine through TARNLINK_MACHINE="driver image=PATH").
run: host $(if $(findstring --image,$(ARGS)),windows)
	@./build/host/tarnlink-demo $(ARGS)
	@echo
	@set -- $(ARGS); image=; \
	    while [ $$# -gt 0 ]; do \
	        case "$$1" in --image) image=$$2; shift ;; --image=*) image=$${1#--image=} ;; esac; shift; \
	    done; \
	    if [ -n "$$image" ]; then export TARNLINK_MACHINE="driver image=$$image"; fi; \
	    ./build/host/tarnlink-porttest COM5 --min-throughput 0

# Loopback throughput, latency and driver CPU per byte at five line rates
# (README: "Reading the benchmark"). ARGS go to the benchmark program.
bench: deps-bench host
	@./build/host/tarnlink-bench $(ARGS)

# build/win32/tarnlink.sys (x86) and build/win64/tarnlink64.sys (x64), each
# with its linker map; install them with windows/tarnlink.inf. And the
# console tools (programs/) for each: build/programs-win32/*.exe and
# build/programs-win64/*.exe.
windows: deps-windows
	@cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/win32 -j $(JOBS)
	@cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/win64 -j $(JOBS)
	@cmake -S programs -B build/programs-win32 -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/toolchain-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/programs-win32 -j $(JOBS)
	@cmake -S programs -B build/programs-win64 -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/toolchain-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/programs-win64 -j $(JOBS)

test: deps-test host windows
	@cd build/host && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test32

# The host tree as a 32-bit program in build/host32, standing in for x86
# Windows: every host test and the demo (the Windows image checks run in
# `make test`). `make test` runs it too.
.PHONY: test32 deps-host32
deps-host32:
	@tools/ensure-packages host32

test32: deps-host32
	@cmake -S . -B build/host32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-host32.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build build/host32 -j $(JOBS)
	@cd build/host32 && ctest --output-on-failure -j $(JOBS) -LE windows

sanitize: deps-host
	@cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTARNLINK_SANITIZE=ON >/dev/null
	@cmake --build build/sanitize -j $(JOBS)
	@cd build/sanitize && ctest --output-on-failure -j $(JOBS) -LE windows

# The machine in real time on several host threads (dispatcher::UseRealTime)
# under ThreadSanitizer in build/tsan: the kernel's real-time tests, the
# stress suite (tests/stress), its busy phase TSAN_STRESS_MS long, and the
# Win32 library as programs use it (its tests, with several application
# threads, and the console tools, each booting and shutting down a machine;
# about a minute and a half of runs on 2 cores once built), also on the
# shipped image when `make windows` has built it (ThreadSanitizer sees the
# harness's side of those runs, not the image's own accesses).
# Any report fails the run; tests/stress/tsan.supp lists the known false
# positives, each with its reason.
TSAN_STRESS_MS ?= 4000
tsan: deps-host
	@cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTARNLINK_TSAN=ON >/dev/null
	@cmake --build build/tsan --target kernel_tests stress_tests win32_tests win32_comm_tests \
	    tarnlink-porttest tarnlink-diag comm-echo -j $(JOBS)
	@export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/stress/tsan.supp"; \
	    ./build/tsan/tests/kernel_tests --gtest_filter='RealTime*' && \
	    TARNLINK_STRESS_MS=$(TSAN_STRESS_MS) ./build/tsan/tests/stress_tests && \
	    ./build/tsan/tests/win32/win32_tests && \
	    ./build/tsan/tests/win32/win32_comm_tests && \
	    cd build/tsan && ctest --output-on-failure -R '^tools_'

# The serial-port fuzzer (tests/fuzz/serial_control_program.h), built with
# clang and libFuzzer in build/fuzz, run for FUZZ_TIME seconds from the seeds
# in tests/fuzz/corpus. What it learns stays in build/fuzz/corpus; a crashing
# input is written to build/fuzz/artifacts (copy it into tests/fuzz/corpus so
# that `make test` replays it). Not part of `make test`, which runs the same
# target body on a fixed seed instead. The RSS limit is above libFuzzer's
# 2 GB default: a queue-size request may have the pool hand out up to
# 256 MB, which AddressSanitizer keeps mapped once freed.
FUZZ_TIME ?= 60
deps-fuzz:
	@tools/ensure-packages fuzz

fuzz: deps-fuzz
	@cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNLINK_FUZZ=ON >/dev/null
	@cmake --build build/fuzz --target serial_control_fuzzer -j $(JOBS)
	@mkdir -p build/fuzz/corpus build/fuzz/artifacts
	@./build/fuzz/tests/fuzz/serial_control_fuzzer -max_total_time=$(FUZZ_TIME) -max_len=512 -rss_limit_mb=4096 -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus tests/fuzz/corpus >build/fuzz/last-run.log 2>&1; \
	    status=$$?; grep -E '^#[0-9]+ +(DONE|INITED)|^Done|^stat::number_of_executed_units|^stat::average_exec_per_sec|ERROR|SUMMARY|serial control fuzz' build/fuzz/last-run.log; \
	    echo "full output: build/fuzz/last-run.log"; exit $$status

clean:
	rm -rf build
