# Entry points: `make demo`, `make test`, `make bench`. Each installs what is missing first.
PYTHON     := /usr/bin/python3
BUILD      := build
ASAN_BUILD := build-asan
TSAN_BUILD := build-tsan
WIN_BUILD  := build-win
JOBS       ?= $(shell nproc)
CMAKE_ARGS := -G Ninja -DTESSARYN_PYTHON=$(PYTHON)

.PHONY: all deps build build-asan test test-release test-asan test-tsan test-windows demo bench install clean

all: build

deps:
	@bash tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DTESSARYN_SANITIZE=ON

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The reading modules under ThreadSanitizer, with the tests that read from several threads at once.
# Not part of `make test`: the instrumented interpreter-facing build and its run take long here.
$(TSAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARYN_TSAN=ON \
	  -DTESSARYN_MODULES_ONLY=ON

test-tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target panelsight_py segmark_py calibrate_py tessaryn_numeric_probe
	LD_PRELOAD=$$($(CXX) -print-file-name=libtsan.so) \
	  TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0 suppressions=$(CURDIR)/tests/tsan.supp" \
	  PYTHONPATH=$(TSAN_BUILD)/python PYTHONDONTWRITEBYTECODE=1 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python -k "thread"

# The Windows programs cross-built with mingw-w64 and run under wine; skipped, saying why, when
# either is missing or wine cannot start.
test-windows: deps
	JOBS=2 bash tests/windows/run.sh $(WIN_BUILD)

# Both runs: the optimised build, then the same tests under AddressSanitizer and UBSan; then the
# Windows programs under wine.
test: test-release test-asan test-windows

# First every reader on rendered boards, then the whole pipeline: video over SRT into wancapture,
# read by the stand-in agent under the launcher.
demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) tools/demo.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) tools/demo_pipeline.py --build $(BUILD)
	@echo
	@echo "Set up a board yourself: run 'make console'. It starts the launcher, the agent and the demo"
	@echo "stream and prints the console's address (http://127.0.0.1:PORT, or localhost:PORT). Open it,"
	@echo "drag a rectangle over a field of the board, pick its role, press 'auto' and watch the reading;"
	@echo "Ctrl+C stops everything. Zones are kept in $(BUILD)/console-data between runs."

# The console on the demo stream, to try by hand: launcher, agent and a looping SRT stream of the
# demo board, until Ctrl+C.
.PHONY: console
console: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) tools/console_demo.py --build $(BUILD)

# The pipeline: a rendered scoreboard video over SRT into wancapture, read by the stand-in agent
# under the launcher; ends by itself in well under a minute.
.PHONY: demo-pipeline
demo-pipeline: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) tools/demo_pipeline.py --build $(BUILD)

bench: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/run.py --build $(BUILD)
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/robust_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/gil_bench.py
	$(PYTHON) bench/receivers_bench.py --build $(BUILD)
	$(PYTHON) bench/lancapture_bench.py --build $(BUILD)
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/live_bench.py

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD)
