# Entry points. Each installs what is missing (Debian packages, the .venv with
# the pinned extras of pyproject.toml) and builds what it needs.
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml
NATIVE_BUILD := build/native

SANITIZED_BUILD := build/sanitized
# Sizes that cannot be allocated must raise MemoryError, as they do without ASan.
ASAN_OPTIONS := allocator_may_return_null=1

BENCH_BUILD := build/bench

FUZZ_BUILD := build/fuzz
FUZZ_SECONDS := 60

.PHONY: demo test test-stubs test-native test-python test-sanitized fuzz bench docs system-deps clean

demo: $(VENV)/.installed
	$(PY) -m velt demo

test: test-stubs test-native test-python test-sanitized

# The type stubs (python/velt/_velt.pyi) against the installed native module.
test-stubs: $(VENV)/.installed
	$(PY) -m mypy.stubtest velt._velt

test-native: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELT_BUILD_MODULE=OFF -DVELT_BUILD_TESTS=ON > /dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure -j2

test-python: $(VENV)/.installed
	$(PY) -m pytest

# The native tests and the whole Python suite against a core and module built
# with ASan and UBSan. The interpreter is not: the runtime is preloaded, with
# libstdc++ so that ASan can intercept C++ throws.
test-sanitized: $(VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(SANITIZED_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELT_SANITIZE=ON -DVELT_BUILD_TESTS=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	$(VENV)/bin/cmake --build $(SANITIZED_BUILD)
	ASAN_OPTIONS=$(ASAN_OPTIONS) $(SANITIZED_BUILD)/velt_core_tests --gtest_brief=1
	rm -rf $(SANITIZED_BUILD)/package && mkdir -p $(SANITIZED_BUILD)/package
	cp -r python/velt $(SANITIZED_BUILD)/package/ && cp $(SANITIZED_BUILD)/_velt*.so $(SANITIZED_BUILD)/package/velt/
	ASAN_OPTIONS=$(ASAN_OPTIONS):detect_leaks=0 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
		PYTHONPATH=$(abspath $(SANITIZED_BUILD)/package) $(PY) -m pytest -p no:cacheprovider \
		--deselect tests/python/test_wheel.py

# Every decoder under libFuzzer (with ASan and UBSan) for FUZZ_SECONDS, seeded
# with the golden files. Needs clang (installed when missing).
fuzz: $(VENV)/.ready
	command -v clang++ >/dev/null || tools/install-system-deps.sh clang libclang-rt-14-dev
	CXX=clang++ $(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELT_SANITIZE=ON -DVELT_BUILD_MODULE=OFF -DVELT_BUILD_FUZZERS=ON > /dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)
	$(PY) fuzz/make_corpus.py tests/data $(FUZZ_BUILD)/corpus
	ASAN_OPTIONS=$(ASAN_OPTIONS) $(FUZZ_BUILD)/fuzz_decoders -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 \
		$(FUZZ_BUILD)/corpus

# The Python suite against the peers (extras `bench`) and the core's Google Benchmark
# binary; prints the tables and the summary and writes docs/benchmarks.md.
bench: $(VENV)/.installed $(VENV)/.bench
	@tools/install-system-deps.sh libbenchmark-dev
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELT_BUILD_MODULE=OFF -DVELT_BUILD_BENCHMARKS=ON > /dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD)
	$(PY) -m bench.run --native $(BENCH_BUILD)/velt_core_benchmarks

# One requirement at a time: a peer that does not build here is left out (the suite
# notes it and skips its rows) instead of failing the whole install.
$(VENV)/.bench: $(VENV)/.ready
	for requirement in $$(python3 tools/extras.py bench); do \
		$(VENV)/bin/pip install -q "$$requirement" || echo "note: $$requirement did not install, skipped"; \
	done
	touch $@

# The plots of docs/accuracy.md, drawn into docs/images/ (matplotlib from the docs extras).
docs: $(VENV)/.installed
	$(VENV)/bin/pip install -q $$(python3 tools/extras.py docs)
	$(PY) docs/make_plots.py

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
