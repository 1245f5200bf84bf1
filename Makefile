# Vantrel: `make run` and `make test` set up, build and go.
BUILD := build/win
JOBS  ?= $(shell nproc)

.PHONY: all setup configure build test run bench clean

all: build

setup:
	@bash scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-toolchain.cmake \
	  -DVANTREL_BUILD_TESTS=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@bash scripts/run-tests $(BUILD)

run: build
	@bash scripts/wine-prefix start
	@bash scripts/wine-run $(BUILD)/tools/testhost.exe serve $(if $(DISPLAY),--editor)

bench: build
	@bash scripts/run-bench $(BUILD)

clean:
	rm -rf build dist
