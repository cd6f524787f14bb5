# Entry points. Each installs what is missing (Debian packages, the .venv with
# the pinned extras of pyproject.toml) and builds what it needs.
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml
NATIVE_BUILD := build/native

.PHONY: demo test test-native test-python bench system-deps clean

demo: $(VENV)/.installed
	$(PY) -m velt demo

test: test-native test-python

test-native: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELT_BUILD_MODULE=OFF -DVELT_BUILD_TESTS=ON > /dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure -j2

test-python: $(VENV)/.installed
	$(PY) -m pytest

bench: $(VENV)/.installed
	$(PY) bench/bench_bloom.py

system-deps:
	@tools/install-system-deps.sh

$(VENV)/.ready: pyproject.toml | system-deps
	test -x $(PY) || python3 -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q $$(python3 tools/extras.py build test)
	touch $@

$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build $(VENV)
