# Thin wrapper over CMake: the README's two commands and a few helpers.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS += --no-print-directory

.PHONY: all deps build demo test clean
all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/lyrx examples/sample.lrc

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

.PHONY: bench fuzz
bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLYRX_BUILD_BENCH=ON -DLYRX_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) --target lyrx_bench
	build-bench/bench/lyrx_bench

fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLYRX_FUZZ=ON -DLYRX_BUILD_TESTS=OFF -DLYRX_BUILD_TOOLS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target lyrx_fuzz
	mkdir -p build-fuzz/corpus && cp tests/cases/*.lrc build-fuzz/corpus/ 2>/dev/null || true
	build-fuzz/lyrx_fuzz -max_total_time=$${FUZZ_SECONDS:-60} build-fuzz/corpus
