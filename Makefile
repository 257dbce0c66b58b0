# The two commands for a new user: make run, make test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 300
# make install: where the tree goes (DESTDIR, if set, is put in front of it).
PREFIX ?= /usr/local
# A virtual display of its own. xvfb-run -a starts looking for a free display
# at :99, so two runs started together on one machine can take the same one;
# a random starting point keeps them apart. -noreset: by default the server
# resets whenever its last client leaves, and a test process that connects
# meanwhile is refused ("cannot open display").
XVFB = xvfb-run -a -n $$(shuf -i 100-30000 -n 1) -s "-screen 0 1280x1024x24 -nolisten tcp -noreset"

.PHONY: all deps build run test sanitizers fuzz-build fuzz clean bench install package

all: build

deps:
	@bash tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The programs, man pages, menu entry, icons and udev rule, under PREFIX.
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# The .deb, into $(BUILD): sudo apt install ./$(BUILD)/korvane_*.deb (apt brings the libraries)
package: build
	@cmake --build $(BUILD) --target package

# Opens the configurator on the built-in virtual panels. Builds the window
# program and the libraries it links, nothing else: the tests are make test's.
run:
	@bash tools/install-deps.sh run
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target korvane
	cd $(BUILD) && KORVANE_PORT=sim ./korvane

# The same tree built with AddressSanitizer + UBSan and with ThreadSanitizer,
# and the libFuzzer targets built with clang.
sanitizers: deps
	@cmake -S . -B build-asan $(CMAKE_FLAGS) -DKORVANE_SANITIZE=asan >/dev/null
	@cmake --build build-asan -j $(JOBS) --target korvane_tests korvane_gui_tests korvane_chip_tests
	@cmake -S . -B build-tsan $(CMAKE_FLAGS) -DKORVANE_SANITIZE=tsan >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target korvane_tests korvane_gui_tests

fuzz-build: deps
	@CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DKORVANE_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

# Every test, the sanitizer runs and short fuzz runs, each on a virtual display
# of its own; ctest's summary comes last.
test: sanitizers fuzz-build
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DKORVANE_ASAN_DIR=$(CURDIR)/build-asan \
	  -DKORVANE_TSAN_DIR=$(CURDIR)/build-tsan -DKORVANE_FUZZ_DIR=$(CURDIR)/build-fuzz >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && $(XVFB) \
	  ctest --output-on-failure -j $(JOBS)

# Longer fuzzing: FUZZ_SECONDS per target; new findings stay in build-fuzz/corpus.
fuzz: fuzz-build
	@for f in build-fuzz/fuzz_*; do \
	  t=$${f#build-fuzz/fuzz_}; mkdir -p build-fuzz/corpus/$$t; \
	  echo "== $$t"; $$f -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus/$$t fuzz/corpus/$$t 2>&1 | tail -n 2; \
	done

# Benchmarks in a Release build of their own, on a virtual display: one table.
# KORVANE_BENCH_SKIP_FIRMWARE=1 leaves out the 128 KiB firmware upload (about
# three minutes of real time); see docs/performance.md.
bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON >/dev/null
	@cmake --build build-bench -j $(JOBS) --target korvane_bench
	@cd build-bench && $(XVFB) ./korvane_bench

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-bench
