# The two commands for a new user: make run, make test.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build run test clean

all: build

deps:
	@bash tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Opens the configurator on the built-in virtual panels.
run: build
	cd $(BUILD) && KORVANE_PORT=sim ./korvane

# Every test runs on a virtual display of its own; ctest's summary comes last.
test: build
	@cd $(BUILD) && xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
	  ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
