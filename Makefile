PYTHON ?= python3
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/python$(if $(PYTHONPATH),:$(PYTHONPATH))

.PHONY: all deps build test test-cpp test-python clean

all: build

deps:
	@PYTHON=$(PYTHON) scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	$(BUILD)/vantorix_tests --gtest_brief=1

test-python: build
	$(PYTHON) -m pytest -q tests/python

test: build
	$(BUILD)/vantorix_tests --gtest_brief=1
	$(PYTHON) -m pytest -q tests/python

clean:
	rm -rf $(BUILD)
