PYTHON ?= python3
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/python$(if $(PYTHONPATH),:$(PYTHONPATH))

.PHONY: all deps build demo test test-cpp test-python bench soak sanitize clean

all: build

deps:
	@PYTHON=$(PYTHON) scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Streams the sample job to the built-in simulator with a progress bar.
demo: build
	$(PYTHON) -m vantorix_tools stream examples/sample.gcode

test-cpp: build
	$(BUILD)/vantorix_tests --gtest_brief=1

test-python: build
	$(PYTHON) -m pytest -q tests/python

test: build
	$(BUILD)/vantorix_tests --gtest_brief=1
	$(PYTHON) -m pytest -q tests/python
	$(PYTHON) -m mypy --strict --cache-dir $(BUILD)/.mypy_cache examples/host_example.py python/vantorix_tools/cli.py python/vantorix-stubs

# Streaming figures of the engine through its Python API next to the pure-Python baseline, and
# the status-parse rates, as one table with targets. Exits non-zero when the responder counted
# a receive-buffer overflow.
bench: build
	@printf '%-34s %12s  %-16s %10s %8s\n' figure value unit target ratio
	@$(BUILD)/vantorix_bench_status
	@$(PYTHON) bench/status_bench.py
	@cd bench && $(PYTHON) run_streaming.py

# Fault-injection soak (randomized jobs and faults against the simulator, about three
# minutes), then resource stability (connect cycles, short jobs, a million-line job).
SOAK_ARGS ?=
soak: build
	$(PYTHON) soak/run.py $(SOAK_ARGS)
	$(PYTHON) soak/resources.py

# Engine tests under AddressSanitizer+UBSan and under ThreadSanitizer, each in its own tree.
sanitize: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" -DVANTORIX_EXTENSION=OFF -DVANTORIX_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j $(JOBS)
	$(BUILD)-asan/vantorix_tests --gtest_brief=1
	cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" -DVANTORIX_EXTENSION=OFF -DVANTORIX_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 $(BUILD)-tsan/vantorix_tests --gtest_brief=1

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan
