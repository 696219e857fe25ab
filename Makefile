# Two entry points: `make demo` builds and runs the main job, `make check`
# builds and runs every test (plain, then AddressSanitizer+UBSan, then
# ThreadSanitizer). `make bench` runs the data-path benchmarks and prints
# the driver/bare ratios, then the bus-time figures (virtual time). `make windows` compiles the driver's sources for
# x64 Windows with the mingw-w64 cross compiler and links build-windows/cdcbus.sys.
# `make fuzz` builds the libFuzzer targets with clang and runs each for
# FUZZ_SECONDS, printing executions per second; `make fuzz-coverage` prints
# the driver coverage their corpora reach. Missing Debian packages are
# installed first.

JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDC_WERROR=ON
# Three rounds of 20,000 transfers each per case, each round running a case
# and its baseline back to back: the same work on every machine, however
# busy, and the whole run within some seconds.
BENCH_FLAGS ?= --transfers=20000 --benchmark_repetitions=3

.PHONY: all deps build demo bench sweep explore rebreak mutate check check-windows check-plain check-asan check-tsan check-fuzz windows fuzz fuzz-build fuzz-coverage format clean

all: build

deps:
	@bash tools/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	$(BUILD)/tools/cdcbus/cdcbus

bench: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target cdcbench cdcbustime
	$(BUILD)/bench/cdcbench $(BENCH_FLAGS)
	$(BUILD)/bench/cdcbustime

# Every fault point of every scenario failed in turn, one process per run.
sweep: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target cdcsweep
	$(BUILD)/tests/cdcsweep -j$(JOBS)

# Every scenario under the controlled scheduler: EXPLORE_SCHEDULES random
# schedules and half as many PCT ones each, every schedule its own process.
EXPLORE_SCHEDULES ?= 3000

explore: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target cdcexplore
	@status=0; for s in $$($(BUILD)/tests/cdcexplore --list); do \
	  $(BUILD)/tests/cdcexplore $$s --schedules $(EXPLORE_SCHEDULES) || status=1; \
	  $(BUILD)/tests/cdcexplore $$s --schedules $$(($(EXPLORE_SCHEDULES) / 2)) --strategy pct --seed 100001 || status=1; \
	done; exit $$status

# Each mutant of tests/mutants/mutants.txt applied in turn to a copy of the
# tree (build-mutate/src), the driver rebuilt there and $(BUILD)'s suite run
# against that image without the stress label: caught or survived per mutant
# with the catching tests, then the rates per file and overall. MUTATE_FLAGS
# passes ids, --file, --resume, --first ... to tools/mutate.py (--help lists
# them); docs/mutation-testing.md has the rates and the equivalent mutants.
MUTATE_FLAGS ?=

mutate: deps $(BUILD)/CMakeCache.txt
	/usr/bin/python3 tools/mutate.py -j$(JOBS) --suite $(BUILD) $(MUTATE_FLAGS)

# The driver re-broken by each patch in tests/explore/rebreak, in a scratch
# copy: the explorer must find each fault within the suite's schedules.
rebreak: deps
	JOBS=$(JOBS) tests/explore/rebreak/run.sh

check: check-windows check-plain check-asan check-tsan check-fuzz

check-plain: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

check-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCDC_SANITIZE=address -DCDC_WERROR=ON
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS)

check-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCDC_SANITIZE=thread -DCDC_WERROR=ON
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j$(JOBS)

# The driver as a Windows x64 kernel image, built with mingw-w64: the same
# sources against mingw-w64's DDK headers and our KMDF 1.9 headers (only
# those, copied apart so that the DDK's own ntddk.h, usb.h, ... are found),
# with kernel code generation (no exceptions or RTTI, no guarded statics, no
# stack probes) and STRICT, so each handle type stays distinct as on the
# platform. platform/windows adds what the WDK links in: the KMDF stub that
# binds to the framework loader, and ntstrsafe routines mingw-w64 lacks.
# The image imports from ntoskrnl.exe, HAL.dll and WDFLDR.SYS only.
WIN_CXX ?= x86_64-w64-mingw32-g++
WIN_DLLTOOL ?= x86_64-w64-mingw32-dlltool
WIN_DDK ?= /usr/x86_64-w64-mingw32/include/ddk
WIN_LIBDIR ?= /usr/x86_64-w64-mingw32/lib
WIN_BUILD ?= build-windows
WIN_KMDF_HEADERS := $(wildcard platform/include/wdf*.h)
WIN_CXXFLAGS ?= -std=c++17 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -fno-threadsafe-statics \
	-mno-stack-arg-probe -D_KERNEL_MODE -DSTRICT -I$(WIN_BUILD)/kmdf -isystem $(WIN_DDK) \
	-include platform/windows/mingw_ddk_gaps.h
WIN_LDFLAGS ?= -nostdlib -Wl,--subsystem,native -Wl,--entry,FxDriverEntry -Wl,--image-base,0x140000000 \
	-Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--file-alignment,0x200 \
	-Wl,--section-alignment,0x1000 -Wl,--no-insert-timestamp -s
WIN_SOURCES := $(wildcard cdc/bus/kernel/winnt/*.cpp)
WIN_OBJECTS := $(patsubst cdc/bus/kernel/winnt/%.cpp,$(WIN_BUILD)/%.o,$(WIN_SOURCES)) \
	$(WIN_BUILD)/kmdf_stub.o $(WIN_BUILD)/mingw_ddk_gaps.o $(WIN_BUILD)/wdf_record_sizes.o

windows: $(WIN_BUILD)/cdcbus.sys

$(WIN_BUILD)/cdcbus.sys: $(WIN_OBJECTS) $(WIN_BUILD)/libwdfldr.a tools/pe_checksum.py
	$(WIN_CXX) $(WIN_LDFLAGS) -o $@ $(WIN_OBJECTS) -L$(WIN_BUILD) -lwdfldr -L$(WIN_LIBDIR) -lntoskrnl -lhal
	python3 tools/pe_checksum.py $@

$(WIN_BUILD)/libwdfldr.a: platform/windows/wdfldr.def | $(WIN_BUILD)/kmdf
	$(WIN_DLLTOOL) -d $< -l $@

$(WIN_BUILD)/kmdf: $(WIN_KMDF_HEADERS) Makefile | deps
	@mkdir -p $@
	cp $(WIN_KMDF_HEADERS) $@/
	@touch $@

$(WIN_BUILD)/%.o: cdc/bus/kernel/winnt/%.cpp $(WIN_BUILD)/kmdf
	$(WIN_CXX) $(WIN_CXXFLAGS) -MMD -MP -c $< -o $@

$(WIN_BUILD)/%.o: platform/windows/%.cpp $(WIN_BUILD)/kmdf
	$(WIN_CXX) $(WIN_CXXFLAGS) -MMD -MP -c $< -o $@

$(WIN_BUILD)/wdf_record_sizes.o: platform/wdf/wdf_record_sizes.cpp $(WIN_BUILD)/kmdf
	$(WIN_CXX) $(WIN_CXXFLAGS) -MMD -MP -c $< -o $@

-include $(WIN_OBJECTS:.o=.d)

# What Windows demands of the image, checked with pefile: PE32+ for AMD64,
# native subsystem, entry, checksum, relocations, no writable code, and
# imports only from the kernel, the HAL and the framework loader, each a name
# the module exports (mingw-w64's import libraries list the exports).
# Debian's interpreter, which has python3-pefile.
PEFILE_PYTHON ?= /usr/bin/python3

WIN_CHECK_ARGS := --exports ntoskrnl.exe=$(WIN_BUILD)/ntoskrnl.exports --exports hal.dll=$(WIN_BUILD)/hal.exports \
	--exports wdfldr.sys=platform/windows/wdfldr.def

check-windows: windows
	x86_64-w64-mingw32-nm --defined-only $(WIN_LIBDIR)/libntoskrnl.a 2>/dev/null | \
		awk '$$2 == "T" { print $$3 }' | sort -u > $(WIN_BUILD)/ntoskrnl.exports
	x86_64-w64-mingw32-nm --defined-only $(WIN_LIBDIR)/libhal.a 2>/dev/null | \
		awk '$$2 == "T" { print $$3 }' | sort -u > $(WIN_BUILD)/hal.exports
	$(PEFILE_PYTHON) tools/check_sys.py $(WIN_BUILD)/cdcbus.sys $(WIN_CHECK_ARGS)
	$(PEFILE_PYTHON) tools/check_sys_test.py $(WIN_BUILD)/cdcbus.sys $(WIN_CHECK_ARGS)

# libFuzzer targets (tests/fuzz) in their own build: every library and the
# driver built with clang and ASan+UBSan, each target run for FUZZ_SECONDS on
# a corpus seeded from the project's descriptors and test inputs.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz

# What `make check` runs: every target briefly, so a target that no longer
# builds or crashes on its seeds fails the check.
CHECK_FUZZ_SECONDS ?= 10

fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

check-fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ_BUILD) $(CHECK_FUZZ_SECONDS)

# The driver's lines and branches the fuzz corpora reach, and the error paths
# they miss.
fuzz-coverage: fuzz-build
	bash tests/fuzz/coverage.sh $(FUZZ_BUILD)

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDC_FUZZ=ON -DCDC_WERROR=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_targets

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan $(WIN_BUILD) $(FUZZ_BUILD)
