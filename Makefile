# Convenience front end over CMake: `make run` builds and runs the demo,
# `make test` builds everything and runs every test.
BUILD ?= build
WERROR ?= OFF
CMAKE_FLAGS ?=

.PHONY: all build run test clean

all: build

build:
	cmake -S . -B $(BUILD) -DONESTACK_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j

run: build
	./$(BUILD)/demo/demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

clean:
	rm -rf $(BUILD)
