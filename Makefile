# Two entry points: `make demo` builds and runs the main job, `make check`
# builds and runs every test (plain, then AddressSanitizer+UBSan, then
# ThreadSanitizer). `make bench` runs the data-path benchmarks and prints
# the driver/bare ratios. `make windows` compiles the driver's sources for
# x64 Windows (LLP64, 16-bit wchar_t) with the mingw-w64 cross compiler.
# `make fuzz` builds the libFuzzer targets with clang and runs each for
# FUZZ_SECONDS. Missing Debian packages are installed first.

JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDC_WERROR=ON
# Three short repetitions of each case, the summary taking their medians:
# the whole run stays within a few seconds.
BENCH_FLAGS ?= --benchmark_min_time=0.05 --benchmark_repetitions=3 --benchmark_display_aggregates_only=true

.PHONY: all deps build demo bench sweep explore check check-plain check-asan check-tsan check-fuzz windows fuzz fuzz-build format clean

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
	cmake --build $(BUILD) -j$(JOBS) --target cdcbench
	$(BUILD)/bench/cdcbench $(BENCH_FLAGS)

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

check: windows check-plain check-asan check-tsan check-fuzz

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

# The driver as Windows' compilers see it: the same sources against the same
# headers, with kernel code generation (no red zone, no exceptions or RTTI, no
# guarded statics). Objects and a static library; there is no WDK to link with.
WIN_CXX ?= x86_64-w64-mingw32-g++
WIN_AR ?= x86_64-w64-mingw32-ar
WIN_BUILD ?= build-windows
WIN_CXXFLAGS ?= -std=c++17 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -fno-threadsafe-statics \
	-mno-red-zone -D_KERNEL_MODE -Iplatform/include
WIN_SOURCES := $(wildcard cdc/bus/kernel/winnt/*.cpp)
WIN_OBJECTS := $(patsubst cdc/bus/kernel/winnt/%.cpp,$(WIN_BUILD)/%.o,$(WIN_SOURCES))

windows: $(WIN_BUILD)/cdcbus.a

$(WIN_BUILD)/cdcbus.a: $(WIN_OBJECTS)
	$(WIN_AR) rcs $@ $^

$(WIN_BUILD)/%.o: cdc/bus/kernel/winnt/%.cpp | deps
	@mkdir -p $(WIN_BUILD)
	$(WIN_CXX) $(WIN_CXXFLAGS) -MMD -MP -c $< -o $@

-include $(WIN_OBJECTS:.o=.d)

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

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDC_FUZZ=ON -DCDC_WERROR=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_targets

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan $(WIN_BUILD) $(FUZZ_BUILD)
