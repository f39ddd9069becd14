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
	rm -rf $(BUILD) $(WIN_BUILD) build-asan build-bench build-fuzz build-lint

# clang-tidy and cppcheck over src/ and tools/ (build-lint holds the compile
# commands); fails on any finding.
.PHONY: lint deps-lint
deps-lint:
	@bash scripts/install-deps.sh --lint

lint: deps-lint
	@LINT_BUILD=build-lint JOBS=$(JOBS) bash scripts/static-analysis.sh

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

# The Windows DLL, cross-built with MinGW-w64; its tests run under Wine.
WIN_BUILD ?= build-windows
WIN_DIST = $(WIN_BUILD)/dist
LYRX_DLL = nordavex-velmora-lrc-lyrics-parse
# A Wine of its own for the tests, quiet, without Mono or Gecko prompts.
WINE_ENV = WINEPREFIX=$(abspath $(WIN_BUILD))/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

.PHONY: windows deps-windows test-windows
deps-windows:
	@bash scripts/install-deps.sh --windows

# One persistent Wine server with its services, started detached from every
# pipe: a server or service that a test program started would inherit that
# test's output and keep ctest waiting for it until the test's timeout.
define wine_server_start
	@test -d $(WIN_BUILD)/wineprefix || { mkdir -p $(WIN_BUILD) && $(WINE_ENV) wineboot -i </dev/null >/dev/null 2>&1; }
	@$(WINE_ENV) wineserver -k </dev/null >/dev/null 2>&1 || true
	@$(WINE_ENV) wineserver -p 600 </dev/null >/dev/null 2>&1
	@$(WINE_ENV) wineboot </dev/null >/dev/null 2>&1
endef

windows: deps-windows
	@cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DLYRX_BUILD_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	$(wine_server_start)
	@$(WINE_ENV) cmake --build $(WIN_BUILD) -j $(JOBS)
	@mkdir -p $(WIN_DIST)
	@cp $(WIN_BUILD)/bin/$(LYRX_DLL).dll $(WIN_BUILD)/$(LYRX_DLL).lib $(WIN_BUILD)/bin/$(LYRX_DLL).def include/lyrx.h $(WIN_DIST)/
	@x86_64-w64-mingw32-strip --strip-unneeded $(WIN_DIST)/$(LYRX_DLL).dll
	@echo "windows: $(WIN_DIST)/ holds $(LYRX_DLL).dll, its import library $(LYRX_DLL).lib, $(LYRX_DLL).def and lyrx.h"

test-windows: windows
	$(wine_server_start)
	@cd $(WIN_BUILD) && $(WINE_ENV) ctest --output-on-failure -j $(JOBS); status=$$?; \
	  $(WINE_ENV) wineserver -k </dev/null >/dev/null 2>&1; exit $$status
