# Two entry points: `make demo` builds and runs the main job, `make check`
# builds and runs every test (plain, then AddressSanitizer+UBSan, then
# ThreadSanitizer). `make bench` runs the data-path benchmarks and prints
# the driver/bare ratios. Missing Debian packages are installed first.

JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDC_WERROR=ON
# Three short repetitions of each case, the summary taking their medians:
# the whole run stays within a few seconds.
BENCH_FLAGS ?= --benchmark_min_time=0.05 --benchmark_repetitions=3 --benchmark_display_aggregates_only=true

.PHONY: all deps build demo bench check check-plain check-asan check-tsan format clean

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

check: check-plain check-asan check-tsan

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

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan
