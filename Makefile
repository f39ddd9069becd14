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

# Installs the build into a staging prefix and uses it as a new user would:
# find_package(lyrx), pkg-config, the installed tool, pip install into a venv.
.PHONY: check-install
check-install: build
	@BUILD=$(BUILD) bash scripts/check-install.sh

clean:
	rm -rf $(BUILD) $(WIN_BUILD) build-asan python/build python/lyrx.egg-info build-bench $(FUZZ_BUILD) build-lint

# clang-tidy and cppcheck over src/ and tools/ (build-lint holds the compile
# commands); fails on any finding.
.PHONY: lint deps-lint
deps-lint:
	@bash scripts/install-deps.sh --lint

lint: deps-lint
	@LINT_BUILD=build-lint JOBS=$(JOBS) bash scripts/static-analysis.sh

# Benchmarks, Release build: throughput beside memchr, then peak memory.
# Google Benchmark flags go in BENCH_ARGS, e.g. BENCH_ARGS=--benchmark_filter=typical.
# bench-ci builds them and runs a seconds-long smoke of one workload.
.PHONY: bench bench-build bench-ci deps-fuzz fuzz-build fuzz fuzz-ci deps-valgrind valgrind
BENCH_BUILD = build-bench
BENCH_ARGS ?=
bench-build: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DLYRX_BUILD_BENCH=ON -DLYRX_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target lyrx_bench lyrx_bench_memory lyrx_workloads

bench: bench-build
	$(BENCH_BUILD)/bench/lyrx_bench $(BENCH_ARGS)
	$(BENCH_BUILD)/bench/lyrx_bench_memory

bench-ci: bench-build
	$(BENCH_BUILD)/bench/lyrx_bench --benchmark_filter='/(typical_lf|corpus)$$' --benchmark_min_time=0.01

# lyrx against FFmpeg's LRC demuxer and three JavaScript LRC parsers, on the
# benchmark suite's workloads (or bench/peers/gen_inputs.py's) and a few corpus
# files; writes bench/peers/results.md and docs/peers.svg. Not run in CI.
PEERS_BUILD = build-bench/peers
PEERS_CFLAGS = -O2 -std=c11 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Wpedantic -Werror
AV_PKGS = libavformat libavcodec libavutil
# Debian's python3, which has python3-matplotlib, whatever python3 is first on the PATH.
PEERS_PYTHON ?= /usr/bin/python3

.PHONY: peers deps-peers
deps-peers:
	@bash scripts/install-deps.sh --peers

peers: deps deps-peers
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLYRX_BUILD_BENCH=ON -DLYRX_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) --target lyrx
	@if cmake --build build-bench --target help | grep lyrx_workloads >/dev/null; then \
	  cmake --build build-bench -j $(JOBS) --target lyrx_workloads; fi
	@mkdir -p $(PEERS_BUILD)
	@cc $(PEERS_CFLAGS) -Iinclude bench/peers/lyrx_driver.c -o $(PEERS_BUILD)/lyrx_driver \
	  -Lbuild-bench -l:lib$(LYRX_DLL).so -Wl,-rpath,$(abspath build-bench)
	@cc $(PEERS_CFLAGS) $$(pkg-config --cflags $(AV_PKGS)) bench/peers/ffmpeg_driver.c \
	  -o $(PEERS_BUILD)/ffmpeg_driver $$(pkg-config --libs $(AV_PKGS))
	$(PEERS_PYTHON) bench/peers/run.py

# libFuzzer targets (clang, ASan + UBSan): lyrx_fuzz reaches every entry point
# (the first byte picks it), lyrx_fuzz_utf16 compares UTF-8 text with its
# UTF-16 files. The corpus folder is the checked-in seeds; new inputs go to
# build-fuzz/work, crashes to build-fuzz/artifacts.
FUZZ_BUILD = build-fuzz
FUZZ_TARGETS = lyrx_fuzz lyrx_fuzz_utf16
FUZZ_SEEDS = fuzz/corpus tests/cases
FUZZ_OPTS = -dict=fuzz/lrc.dict -timeout=10 -print_final_stats=1
FUZZ_CI_SECONDS ?= 30

deps-fuzz:
	@bash scripts/install-deps.sh --fuzz

fuzz-build: deps-fuzz
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLYRX_FUZZ=ON -DLYRX_BUILD_TESTS=OFF -DLYRX_BUILD_TOOLS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/work/lyrx_fuzz $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/lyrx_fuzz $(FUZZ_OPTS) -artifact_prefix=$(FUZZ_BUILD)/artifacts/lyrx_fuzz- \
	  -max_total_time=$${FUZZ_SECONDS:-60} $(FUZZ_BUILD)/work/lyrx_fuzz $(FUZZ_SEEDS)

# CI: replay the seeds through both targets, then fuzz each from fresh for
# FUZZ_CI_SECONDS. Any crash, sanitizer report or broken invariant fails; the
# run's log is kept beside the artifacts and its tail shown.
fuzz-ci: fuzz-build
	@rm -rf $(FUZZ_BUILD)/work $(FUZZ_BUILD)/artifacts && mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  log=$(FUZZ_BUILD)/artifacts/$$t-replay.log; \
	  $(FUZZ_BUILD)/$$t fuzz/corpus/* tests/cases/*.lrc >$$log 2>&1 \
	    || { tail -n 40 $$log; echo "fuzz-ci: $$t failed on the seeds (log: $$log)"; exit 1; }; \
	  echo "fuzz-ci: $$t replayed $$(ls fuzz/corpus/* tests/cases/*.lrc | wc -l) seeds"; \
	done
	@for t in $(FUZZ_TARGETS); do \
	  log=$(FUZZ_BUILD)/artifacts/$$t.log; mkdir -p $(FUZZ_BUILD)/work/$$t; \
	  $(FUZZ_BUILD)/$$t $(FUZZ_OPTS) -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- \
	    -max_total_time=$(FUZZ_CI_SECONDS) $(FUZZ_BUILD)/work/$$t $(FUZZ_SEEDS) >$$log 2>&1 \
	    || { tail -n 40 $$log; echo "fuzz-ci: $$t failed (log and input in $(FUZZ_BUILD)/artifacts)"; exit 1; }; \
	  echo "fuzz-ci: $$t $$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' $$log), $$(grep -o 'cov: [0-9]*' $$log | tail -n 1) edges, corpus $$(ls $(FUZZ_BUILD)/work/$$t | wc -l) inputs"; \
	done

# The gcc replay builds against the shared library under valgrind: the golden
# cases, the fuzz corpus and, when it is beside this checkout, the third-party
# corpus.
REAL_CORPUS = ../shared/corpus/real
VALGRIND = valgrind -q --error-exitcode=1 --leak-check=full

deps-valgrind:
	@bash scripts/install-deps.sh --valgrind

valgrind: build deps-valgrind
	@inputs="$$(ls tests/cases/*.lrc fuzz/corpus/*)"; \
	if ls $(REAL_CORPUS)/*.lrc >/dev/null 2>&1; then inputs="$$inputs $$(ls $(REAL_CORPUS)/*.lrc)"; \
	else echo "valgrind: $(REAL_CORPUS) not found, third-party corpus skipped"; fi; \
	for t in fuzz_lyrx_replay fuzz_utf16_replay; do \
	  echo "valgrind: $$t on $$(echo $$inputs | wc -w) inputs"; \
	  $(VALGRIND) $(BUILD)/tests/$$t $$inputs || exit 1; \
	done

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
