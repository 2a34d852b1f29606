# Convenience front end over CMake: `make run` builds and runs the demo,
# `make test` builds everything and runs every test.
BUILD ?= build
WERROR ?= OFF
CMAKE_FLAGS ?=

FUZZ_SECONDS ?= 60
# Parallel jobs of every build and test run; the scripts that build read it too.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
export JOBS

.PHONY: all help configure build run test bench lint board boards m3 fuzz coverage check-readme trace pictures stack \
  clean need-board

all: build

help:
	@echo "make run          build the demonstration program (only it) and run it"
	@echo "make test         build everything and run every test"
	@echo "make build        (also make, make all) configure and build everything, in BUILD"
	@echo "make configure    configure BUILD only"
	@echo "make bench        time, instructions and footprint per kernel operation (Google Benchmark, valgrind)"
	@echo "make lint         clang-format check, clang-tidy, cppcheck"
	@echo "make board BOARD=name   one board's suite under QEMU: $(BOARDS)"
	@echo "make boards       every board's suite, then the board's traced run"
	@echo "make m3           the lm3s6965evb board's suite and traced run"
	@echo "make trace        the demo traced: build-trace/demo.{json,vcd,svg}, and the traced suite"
	@echo "make pictures     the trace pictures of docs/ (needs the board's toolchain and QEMU)"
	@echo "make coverage     line and branch coverage of the kernel; fails below 100% (gcovr)"
	@echo "make stack        the demo's worst-case stack bound and chain, on the host"
	@echo "make fuzz         the kernel, trace reader and stack tool fuzzers for FUZZ_SECONDS (clang)"
	@echo "make check-readme the figures of the README and docs/ against the measurements"
	@echo "make clean        remove every build folder"
	@echo "Variables: BUILD=dir (default build), WERROR=ON, CMAKE_FLAGS=..., FUZZ_SECONDS=60, JOBS=n (default: the cores)"

configure:
	cmake -S . -B $(BUILD) -DONESTACK_WERROR=$(WERROR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the demo and the kernel.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target demo
	$(abspath $(BUILD))/demo/demo

# What the boards need, named by its Debian package when it is missing.
need-board:
	@boards="$(if $(filter boards,$(MAKECMDGOALS)),$(BOARDS),$(BOARD))"; arm=; rv=; \
	for b in $$boards; do case $$b in virt-rv*) rv=1 ;; *) arm=1 ;; esac; done; \
	if [ -n "$$arm" ]; then \
	  command -v arm-none-eabi-gcc >/dev/null || { echo "make $(MAKECMDGOALS): no arm-none-eabi-gcc:" \
	    "apt-get install gcc-arm-none-eabi libnewlib-arm-none-eabi" >&2; exit 1; }; \
	  [ -f "$$(arm-none-eabi-gcc -print-file-name=librdimon.a)" ] || { echo "make $(MAKECMDGOALS): no newlib" \
	    "for arm-none-eabi: apt-get install libnewlib-arm-none-eabi" >&2; exit 1; }; \
	  command -v qemu-system-arm >/dev/null || { echo "make $(MAKECMDGOALS): no qemu-system-arm:" \
	    "apt-get install qemu-system-arm" >&2; exit 1; }; \
	fi; \
	if [ -n "$$rv" ]; then \
	  command -v riscv64-unknown-elf-gcc >/dev/null || { echo "make $(MAKECMDGOALS): no riscv64-unknown-elf-gcc:" \
	    "apt-get install gcc-riscv64-unknown-elf picolibc-riscv64-unknown-elf" >&2; exit 1; }; \
	  [ -f "$$(riscv64-unknown-elf-gcc -print-file-name=picolibc.specs)" ] || { echo "make $(MAKECMDGOALS): no" \
	    "picolibc for riscv64-unknown-elf: apt-get install picolibc-riscv64-unknown-elf" >&2; exit 1; }; \
	  command -v qemu-system-riscv32 >/dev/null || { echo "make $(MAKECMDGOALS): no qemu-system-riscv32:" \
	    "apt-get install qemu-system-misc" >&2; exit 1; }; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Time per kernel operation, instructions per operation, footprint.
bench: build
	@[ -x $(BUILD)/bench/kernel_bench ] || { echo "make bench: no $(BUILD)/bench/kernel_bench: CMake found no" \
	  "Google Benchmark (Debian: libbenchmark-dev); install it and run make bench again" >&2; exit 1; }
	@command -v valgrind >/dev/null || { echo "make bench: the instruction counts need valgrind" >&2; exit 1; }
	./$(BUILD)/bench/kernel_bench
	bench/count_instructions.sh $(BUILD)
	bench/footprint.sh

# Static analysis of the kernel and the demo, and the formatting of all code.
LINT_SOURCES = $(filter-out kernel/trace.cpp,$(wildcard kernel/*.cpp)) kernel/port/host/*.cpp demo/*.cpp tools/trace/*.cpp \
  tools/stack/*.cpp tools/timing/*.cpp
lint: build
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h' '*.c')
	clang-tidy -p $(BUILD) --quiet $(LINT_SOURCES)
	cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
	  --std=c++17 --language=c++ -I kernel -I kernel/include --suppress=missingIncludeSystem --quiet kernel demo

# The boards: each one's folder under boards/ and CMake preset of its name.
BOARDS = lm3s6965evb mps2-an385 mps2-an386 mps2-an500 microbit mps2-an505 virt-rv32imac virt-rv32imafc
BOARD ?= lm3s6965evb

# One board's whole suite under QEMU: the demo, the C test and the examples
# with the same expected outputs as on the host, the interrupt example, the
# interrupt stress test, the stack guard, the link-time stack check; then
# the kernel's footprint and instruction counts there.
board: need-board
	cmake --preset $(BOARD) -DONESTACK_WERROR=$(WERROR)
	cmake --build --preset $(BOARD) -j $(JOBS)
	ctest --preset $(BOARD)
	boards/footprint.sh $(BOARD)

# Every board, then the board's traced run.
boards: need-board
	set -e; for b in $(BOARDS); do $(MAKE) --no-print-directory board BOARD=$$b; done
	WERROR=$(WERROR) tools/trace/board_trace.sh

# The Cortex-M3 board of the first release, and its traced run.
m3: need-board
	$(MAKE) --no-print-directory board BOARD=lm3s6965evb
	WERROR=$(WERROR) tools/trace/board_trace.sh

# The demo's worst-case stack on the host, from GCC's call graphs: its
# bound and the worst chain (the boards check theirs as they build).
stack:
	cmake -S . -B build-stack -DCMAKE_BUILD_TYPE=MinSizeRel -DONESTACK_STACK_INFO=ON -DONESTACK_WERROR=$(WERROR)
	cmake --build build-stack -j $(JOBS) --target demo >build-stack/build.log || { cat build-stack/build.log; exit 1; }
	cat build-stack/demo/demo.stack.txt

# libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, for
# FUZZ_SECONDS; the corpus in build-fuzz/corpus carries over between runs.
# Its progress goes to build-fuzz/fuzz.log; only the closing statistics are
# shown, or the log's end when it finds something.
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONESTACK_SANITIZE=ON -DONESTACK_FUZZ=ON -DONESTACK_WERROR=$(WERROR)
	cmake --build build-fuzz -j $(JOBS) --target kernel_fuzzer trace_fuzzer stack_fuzzer
	mkdir -p build-fuzz/corpus build-fuzz/trace-corpus build-fuzz/stack-corpus
	./build-fuzz/tests/kernel_fuzzer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/corpus \
	  >build-fuzz/fuzz.log 2>&1 || { tail -n 60 build-fuzz/fuzz.log; exit 1; }
	grep -E '^(Done |stat::)' build-fuzz/fuzz.log
	./build-fuzz/tests/trace_fuzzer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/trace-corpus \
	  >build-fuzz/trace-fuzz.log 2>&1 || { tail -n 60 build-fuzz/trace-fuzz.log; exit 1; }
	grep -E '^(Done |stat::)' build-fuzz/trace-fuzz.log
	./build-fuzz/tests/stack_fuzzer -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/stack-corpus \
	  tests/fuzz/stack-seeds >build-fuzz/stack-fuzz.log 2>&1 || { tail -n 60 build-fuzz/stack-fuzz.log; exit 1; }
	grep -E '^(Done |stat::)' build-fuzz/stack-fuzz.log

# Line and branch coverage of kernel/ from the whole suite; fails below 100%.
coverage:
	cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DONESTACK_COVERAGE=ON -DONESTACK_WERROR=$(WERROR)
	cmake --build build-coverage -j $(JOBS)
	find build-coverage -name '*.gcda' -delete
	cd build-coverage && ctest -j $(JOBS) --output-on-failure
	gcovr --root . --filter 'kernel/' --object-directory build-coverage \
	  --print-summary \
	  --fail-under-line 100 --fail-under-branch 100

# The demonstration's run with the kernel's recorder built in, exported to
# build-trace/demo.json (Perfetto, chrome://tracing), demo.vcd (GTKWave,
# PulseView) and demo.svg; the JSON's slices are checked against the order
# in which the demo's tasks wrote their lines.
trace:
	cmake -S . -B build-trace -DONESTACK_TRACE=ON -DONESTACK_WERROR=$(WERROR)
	cmake --build build-trace -j $(JOBS)
	./build-trace/tools/trace/record_demo build-trace/demo.trace >build-trace/demo.out
	cd build-trace && ./examples/ceiling >/dev/null # writes ceiling.trace
	./build-trace/tools/trace/onestack_trace build-trace/demo.trace --json build-trace/demo.json \
	  --vcd build-trace/demo.vcd --svg build-trace/demo.svg
	cmake -DJSON=build-trace/demo.json -DOUTPUT=build-trace/demo.out -P tools/trace/check_trace.cmake
	cd build-trace && ctest --output-on-failure -j $(JOBS) -E '^consumer_'
	tools/trace/hooks_off_check.sh

# The README's pictures, regenerated from the demo's traced run and the
# board's (which needs the arm-none-eabi toolchain and QEMU), one step per
# event, so that they are the same on every machine.
pictures: need-board trace
	tools/trace/board_trace.sh
	mkdir -p docs
	./build-trace/tools/trace/onestack_trace build-trace/demo.trace --sequence --svg docs/trace-demo.svg
	./build-trace/tools/trace/onestack_trace build-trace/ceiling.trace --sequence --svg docs/trace-ceiling.svg
	./build-trace/tools/trace/onestack_trace build-trace/interrupts.trace --sequence --svg docs/trace-interrupts.svg
	./build-trace/tools/trace/onestack_trace build-trace/periodic.trace --sequence --svg docs/trace-periodic.svg

# The README's footprint tables against what the footprint scripts measure.
check-readme:
	bench/check_readme.sh

# Every build folder that these rules and the footprint scripts create.
clean:
	rm -rf $(BUILD) build build-*
