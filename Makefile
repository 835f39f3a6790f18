PYTHON ?= python3
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

export PYTHONPATH := $(CURDIR)/$(BUILD):$(CURDIR)/python$(if $(PYTHONPATH),:$(PYTHONPATH))

FUZZ_SECONDS ?= 30

.PHONY: all deps build demo test test-cpp test-python bench soak sanitize fuzz clean

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

# Engine tests under AddressSanitizer+UBSan and under ThreadSanitizer, each in its own tree;
# the Python suite once more against the extension built in the ASan+UBSan tree. The
# interpreter itself is not instrumented, so the ASan runtime of the compiler that built the
# extension is preloaded, together with that compiler's libstdc++ (ASan resolves its
# exception interceptor at start-up, before the extension loads the library). Leak
# detection is off because CPython leaves memory behind at exit by design; pytest captures
# at the Python level only, so a sanitizer report on the standard error stays visible.
ASAN_CXX = $$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(BUILD)-asan/CMakeCache.txt)
sanitize: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" -DPython_EXECUTABLE=$$(command -v $(PYTHON)) -DVANTORIX_EXTENSION=ON -DVANTORIX_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j $(JOBS)
	$(BUILD)-asan/vantorix_tests --gtest_brief=1
	BUILD=$(BUILD)-asan PYTHONPATH=$(CURDIR)/$(BUILD)-asan:$(CURDIR)/python \
	LD_PRELOAD="$$($(ASAN_CXX) -print-file-name=libasan.so) $$($(ASAN_CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	$(PYTHON) -m pytest -q --capture=sys -p no:cacheprovider tests/python
	cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" -DVANTORIX_EXTENSION=OFF -DVANTORIX_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 $(BUILD)-tsan/vantorix_tests --gtest_brief=1

# libFuzzer targets of fuzz/ (clang), each run for FUZZ_SECONDS; prints executions and
# findings per target and fails when any target found a crash or a broken invariant.
fuzz:
	@PYTHON=$(PYTHON) scripts/install-deps --fuzz
	cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" -DVANTORIX_EXTENSION=OFF -DVANTORIX_TESTS=OFF -DVANTORIX_FUZZ=ON -DVANTORIX_SANITIZE=fuzzer-no-link,address,undefined
	cmake --build $(BUILD)-fuzz --target fuzzers -j $(JOBS)
	fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz
