# Two entry points: `make demo` (the main job) and `make test` (everything).
# Both install what is missing first (see scripts/setup.sh).
VENV_PY := .venv/bin/python
BUILD := build
FUZZ_SECONDS ?= 30
PY_FUZZ_SECONDS ?= 20

.PHONY: demo test setup codec-tests sanitize-tests fuzz pytest bench format lint clean

demo:
	scripts/setup.sh sparse
	$(VENV_PY) demo.py

setup:
	scripts/setup.sh test bench

test: setup codec-tests sanitize-tests fuzz pytest

codec-tests:
	cmake -S . -B $(BUILD)/codec -G Ninja -DVAMRA_BUILD_TESTS=ON -DVAMRA_BUILD_MODULE=OFF >/dev/null
	cmake --build $(BUILD)/codec
	ctest --test-dir $(BUILD)/codec --output-on-failure --no-tests=error -j2

sanitize-tests:
	cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVAMRA_BUILD_TESTS=ON \
	  -DVAMRA_BUILD_MODULE=OFF -DVAMRA_SANITIZE=ON >/dev/null
	cmake --build $(BUILD)/asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD)/asan --output-on-failure --no-tests=error -j2

fuzz:
	$(MAKE) -C fuzz run SECONDS=$(FUZZ_SECONDS) PY_SECONDS=$(PY_FUZZ_SECONDS)

pytest:
	$(VENV_PY) -m pytest -q -p no:cacheprovider

bench:
	scripts/setup.sh bench
	$(VENV_PY) bench/run.py

format:
	clang-format -i codec/include/vamra/*.hpp codec/src/*.cpp codec/tests/*.cpp src/*.cpp src/*.hpp native/*.cpp native/*.hpp fuzz/*.cpp
	ruff format python tests bench examples demo.py

lint:
	ruff check python tests bench examples demo.py

clean:
	rm -rf $(BUILD) .venv
