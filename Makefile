# Everything runs in virtual environments of CPython 3.12 made here; nothing is installed globally.
PYTHON312 ?= $(shell command -v /root/.pyenv/versions/3.12.1/bin/python3.12 || command -v python3.12)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed

.PHONY: demo test test-python test-cpp bench test-sanitize clean dev browser mutants

$(PY):
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# Rebuilt whenever a source changes; the CMake build directory is kept, so rebuilds are incremental.
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find src jarn -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.def' -o -name '*.py' \) 2>/dev/null)
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

# The main job: profile the bundled example, store its trace, show it.
demo: $(STAMP)
	$(VENV)/bin/jarn run --threading examples/shop.py
	$(VENV)/bin/jarn show --latest

# Every test: the C++ unit tests of the pure parts, then the Python suite against the installed package.
test: test-cpp test-python

test-python: $(STAMP) browser
	$(PY) -P -m pytest

# The HTML export is checked in a headless browser. Installed from Debian's packages where it is
# missing and we may; without one, those tests skip and say why.
browser:
	@command -v chromium >/dev/null 2>&1 || [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1 || \
	  { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q --no-install-recommends chromium >/dev/null 2>&1 || \
	    { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q --no-install-recommends chromium >/dev/null 2>&1; }; } || true
	@command -v chromium >/dev/null 2>&1 || echo "chromium is not available: the browser checks of the HTML export will be skipped"

test-cpp: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	$(VENV)/bin/cmake -S . -B build/cpp-tests -G Ninja -DJARN_CPP_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/cpp-tests --target jarn_cpp_tests
	build/cpp-tests/jarn_cpp_tests

bench: $(STAMP)
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) -P bench/overhead.py
	$(PY) -P bench/instructions.py

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and the whole Python
# suite run against it. The sanitizer runtimes are preloaded because the interpreter itself is
# not instrumented; leak detection is off since the interpreter keeps memory until exit.
SAN_VENV := .venv-sanitize
test-sanitize:
	test -x $(SAN_VENV)/bin/python || $(PYTHON312) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(SAN_VENV)/bin/python -m pip install --quiet -Ccmake.define.JARN_SANITIZE=ON -Cbuild-dir=build/sanitize ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc JARN_SANITIZED=1 $(SAN_VENV)/bin/python -P -m pytest -x -q

clean:
	rm -rf build $(VENV) $(SAN_VENV)

# A quick in-tree build for working on the core: jarn/_jarn*.so next to the sources, used with
# PYTHONPATH=. (serialised with a lock, so concurrent runs do not trample the build directory).
# Each library is copied under a temporary name and renamed into place: a process that has the
# old one loaded keeps its own file instead of seeing it rewritten under it.
dev: $(PY)
	$(PY) -m pip install --quiet scikit-build-core msgpack pytest hypothesis cmake ninja
	flock /tmp/jarn-dev-build.lock sh -c '$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null && $(VENV)/bin/cmake --build build/dev && for so in build/dev/_jarn*.so build/dev/_encoder*.so; do cp "$$so" "jarn/.$${so##*/}.new" && mv -f "jarn/.$${so##*/}.new" "jarn/$${so##*/}"; done'

# How many small faults the suite catches: a fixed-seed sample of mutants of the native core and
# the host's core modules, each built and tested alone (slow; not part of CI). TESTS=REV runs the
# suite of an earlier revision against today's source, to compare two suites on the same mutants.
mutants: $(STAMP)
	$(PY) -m pip install --quiet cmake ninja
	$(PY) tools/mutants.py $(if $(TESTS),--tests $(TESTS))
