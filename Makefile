# Two entry points: `make demo` (the main job) and `make test` (everything).
# Both install what is missing first (see scripts/setup.sh).
VENV_PY := .venv/bin/python
BUILD := build
FUZZ_SECONDS ?= 30
# The version that scripts/setup.sh installs, so every machine formats alike.
CLANG_FORMAT ?= clang-format-16
CXX_SOURCES = $(wildcard codec/include/vamra/*.hpp codec/src/*.[ch]pp codec/tests/*.[ch]pp \
  src/*.[ch]pp src/tests/*.cpp native/*.[ch]pp fuzz/*.cpp examples/cpp/*.cpp)
PY_SOURCES := python tests bench examples fuzz docs demo.py
PY_FUZZ_SECONDS ?= 20

.PHONY: demo test setup lint codec-tests sanitize-tests fuzz pytest bench format clean wheel dist-tests \
  golden docs

demo:
	scripts/setup.sh sparse
	$(VENV_PY) demo.py

# Every build the test command makes treats warnings as errors.
setup:
	VAMRA_WERROR=ON scripts/setup.sh test bench lint docs all

test: setup lint codec-tests sanitize-tests fuzz pytest docs dist-tests
# setup has installed the docs extra already; docs need not install it again.
test: DOCS_SETUP := true

lint:
	$(VENV_PY) -m ruff check $(PY_SOURCES)
	$(VENV_PY) -m ruff format --check $(PY_SOURCES)
	$(CLANG_FORMAT) --dry-run -Werror $(CXX_SOURCES)
	$(VENV_PY) -m mypy --strict python/vamra

codec-tests:
	cmake -S . -B $(BUILD)/codec -G Ninja -DVAMRA_BUILD_TESTS=ON -DVAMRA_BUILD_MODULE=OFF \
	  -DVAMRA_WERROR=ON >/dev/null
	cmake --build $(BUILD)/codec
	ctest --test-dir $(BUILD)/codec --output-on-failure --no-tests=error -j2

sanitize-tests:
	cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVAMRA_BUILD_TESTS=ON \
	  -DVAMRA_BUILD_MODULE=OFF -DVAMRA_SANITIZE=ON -DVAMRA_WERROR=ON >/dev/null
	cmake --build $(BUILD)/asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD)/asan --output-on-failure --no-tests=error -j2

fuzz:
	$(MAKE) -C fuzz run SECONDS=$(FUZZ_SECONDS) PY_SECONDS=$(PY_FUZZ_SECONDS)

# Two workers (pytest-xdist), one per core of the machines the tests run on.
pytest:
	$(VENV_PY) -m pytest -q -p no:cacheprovider -n 2

# The user guide and API reference in build/docs/html, read afresh each time (-E):
# warnings are errors and every cross-reference must resolve (-n), and all of
# them are reported before it fails (--keep-going). The API pages document the
# installed package, with every extra, so that each module can be imported.
DOCS_SETUP ?= scripts/setup.sh docs all
docs:
	$(DOCS_SETUP)
	$(VENV_PY) -m sphinx -b html -E -W --keep-going -n -q docs $(BUILD)/docs/html

# Rewrites the golden corpus (tests/golden/README.md): a deliberate step, taken
# when the bytes this release writes change on purpose. Tests only read it.
golden:
	scripts/setup.sh test
	$(VENV_PY) tests/golden/make_golden.py

# The release files in dist/: the sdist and the portable manylinux wheel.
wheel:
	scripts/wheel.sh

# The wheel and the sdist installed into fresh environments and smoke-tested,
# and the codec installed as a C++ package with examples/cpp built against it.
dist-tests: wheel
	$(VENV_PY) tests/dist/check.py --no-build

bench:
	scripts/setup.sh bench
	$(VENV_PY) bench/run.py
	$(VENV_PY) bench/files.py
	$(VENV_PY) bench/torch_bench.py
	$(VENV_PY) bench/remote.py
	$(VENV_PY) bench/scale.py
	$(VENV_PY) bench/jax_bench.py
	$(VENV_PY) bench/checkpoint.py --quick

format:
	$(CLANG_FORMAT) -i $(CXX_SOURCES)
	$(VENV_PY) -m ruff format $(PY_SOURCES)

clean:
	rm -rf $(BUILD) .venv dist
