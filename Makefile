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
# Seconds per fuzz target for `make fuzz`, and for the run that `make test` includes.
FUZZ_SECONDS := 60
TEST_FUZZ_SECONDS := 20
# Fuzz targets run this many at a time (CI machines have two cores).
FUZZ_JOBS := 2

# The core and its C++ tests cross-built for other systems and run under an
# emulator: Windows (mingw-w64, Wine), aarch64 and big-endian s390x (qemu-user).
# GoogleTest is built from Debian's sources, since libgtest-dev is the host's.
CROSS_OPTIONS := -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DVELT_BUILD_MODULE=OFF \
	-DVELT_BUILD_TESTS=ON -DVELT_GTEST_SOURCE_DIR=/usr/src/googletest
WINDOWS_BUILD := build/windows
# A Wine of its own under build/, quiet, without the .NET and HTML runtimes it would offer to install.
WINE_ENVIRONMENT := WINEPREFIX=$(abspath $(WINDOWS_BUILD)/wineprefix) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

.PHONY: demo test test-stubs test-native native-tests-build test-number-text-long test-python test-sanitize test-fuzz test-windows test-cross fuzz fuzz-build bench docs system-deps clean

demo: $(VENV)/.installed
	$(PY) -m velt demo

test: test-stubs test-native test-python test-sanitize test-fuzz test-windows test-cross

# The type stubs (python/velt/_velt.pyi) against the installed native module.
test-stubs: $(VENV)/.installed
	$(PY) -m mypy.stubtest velt._velt

test-native: native-tests-build
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure -j2

native-tests-build: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELT_BUILD_MODULE=OFF -DVELT_BUILD_TESTS=ON > /dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)

# The number text of doubles against the standard library's conversions, with
# NUMBER_TEXT_CASES random cases of each kind instead of the suite's 10^5: minutes,
# so not part of `make test`. Its tests are split in two halves, run at once.
NUMBER_TEXT_CASES := 100000000
test-number-text-long: native-tests-build
	pids=""; for shard in 0 1; do \
		VELT_NUMBER_TEXT_CASES=$(NUMBER_TEXT_CASES) GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$$shard \
			$(NATIVE_BUILD)/velt_core_tests --gtest_filter='NumberText*' --gtest_brief=1 & pids="$$pids $$!"; \
	done; status=0; for pid in $$pids; do wait $$pid || status=1; done; exit $$status

test-python: $(VENV)/.installed
	$(PY) -m pytest

# cross_test(build directory, toolchain, environment of the run, options of the
# toolchain): configures, builds the core's tests and runs them under the
# toolchain's emulator.
define cross_test
	$(VENV)/bin/cmake -Wno-deprecated -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		--toolchain cmake/toolchains/$(2).cmake $(CROSS_OPTIONS) $(4) > /dev/null
	$(VENV)/bin/cmake --build $(1) --target velt_core_tests
	$(3) $(VENV)/bin/ctest --test-dir $(1) --output-on-failure
endef

test-windows: $(VENV)/.ready
	@tools/install-system-deps.sh mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 googletest
	$(call cross_test,$(WINDOWS_BUILD),mingw-w64-x86_64,$(WINE_ENVIRONMENT))

test-cross: $(VENV)/.ready
	@tools/install-system-deps.sh g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user-static googletest
	$(call cross_test,build/aarch64,linux-cross,,-DVELT_CROSS_PROCESSOR=aarch64)
	$(call cross_test,build/s390x,linux-cross,,-DVELT_CROSS_PROCESSOR=s390x)

# The native tests and the whole Python suite against a core and module built
# with ASan and UBSan by clang on libc++, the standard library macOS has (so
# that both of GCC's and LLVM's libraries are checked on every run; GoogleTest is
# built from its sources on libc++ too). The interpreter is not instrumented:
# ASan's runtime is preloaded, with libc++abi so that ASan can intercept C++
# throws. The Spark tests run only in the plain suite: the JVM they start would
# inherit the preloaded runtime.
SANITIZED_RUNTIME = $$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
test-sanitize: $(VENV)/.installed
	@tools/install-system-deps.sh clang libclang-rt-14-dev libc++-14-dev libc++abi-14-dev googletest
	CC=clang CXX=clang++ $(VENV)/bin/cmake -Wno-deprecated -S . -B $(SANITIZED_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELT_SANITIZE=ON -DVELT_BUILD_TESTS=ON \
		-DVELT_GTEST_SOURCE_DIR=/usr/src/googletest -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
		-DCMAKE_EXE_LINKER_FLAGS="-stdlib=libc++ -shared-libasan -Wl,-rpath,$$(dirname $(SANITIZED_RUNTIME))" \
		-DCMAKE_MODULE_LINKER_FLAGS="-stdlib=libc++ -shared-libasan" \
		-DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	$(VENV)/bin/cmake --build $(SANITIZED_BUILD)
	ASAN_OPTIONS=$(ASAN_OPTIONS) $(SANITIZED_BUILD)/velt_core_tests --gtest_brief=1
	rm -rf $(SANITIZED_BUILD)/package && mkdir -p $(SANITIZED_BUILD)/package
	cp -r python/velt $(SANITIZED_BUILD)/package/ && cp $(SANITIZED_BUILD)/_velt*.so $(SANITIZED_BUILD)/package/velt/
	ASAN_OPTIONS=$(ASAN_OPTIONS):detect_leaks=0 \
		LD_PRELOAD="$(SANITIZED_RUNTIME) $$(clang++ -stdlib=libc++ -print-file-name=libc++abi.so.1)" \
		PYTHONPATH=$(abspath $(SANITIZED_BUILD)/package) $(PY) -m pytest -p no:cacheprovider \
		--deselect tests/python/test_wheel.py --ignore tests/python/test_spark.py

# Every decoder, and the envelope, under libFuzzer with ASan and UBSan: one target
# each, run on a corpus of valid encodings (fuzz/make_corpus.py). A finding fails
# the run; its input is kept as $(FUZZ_BUILD)/artifacts/<target>-crash-<hash>.
fuzz: fuzz-build
	ASAN_OPTIONS=$(ASAN_OPTIONS) fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_JOBS)

test-fuzz: fuzz-build
	ASAN_OPTIONS=$(ASAN_OPTIONS) fuzz/run.sh $(FUZZ_BUILD) $(TEST_FUZZ_SECONDS) $(FUZZ_JOBS)

# Needs clang and its runtimes (installed when missing).
fuzz-build: $(VENV)/.installed
	tools/install-system-deps.sh clang libclang-rt-14-dev
	CXX=clang++ $(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELT_SANITIZE=ON -DVELT_BUILD_MODULE=OFF -DVELT_BUILD_FUZZERS=ON > /dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)
	rm -rf $(FUZZ_BUILD)/corpus
	$(PY) fuzz/make_corpus.py tests/data $(FUZZ_BUILD)/corpus

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

# The wheel to install anywhere, in dist/: the one abi3 wheel, retagged by auditwheel's
# `repair` for the oldest manylinux it satisfies, which `show` then reports. Nothing is
# grafted into it: the module needs only libstdc++, libgcc_s, libm and libc, which every
# manylinux policy provides, and inlines xxHash.
WHEEL_BUILD := build/wheel

.PHONY: wheel
wheel: dist/.built
	$(VENV)/bin/auditwheel show dist/velt-*.whl

dist/.built: $(VENV)/.ready $(SOURCES)
	rm -rf $(WHEEL_BUILD) dist/velt-*.whl
	$(VENV)/bin/pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_BUILD) .
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w dist $(WHEEL_BUILD)/velt-*.whl
	touch $@

# The plots of docs/accuracy.md, drawn into docs/images/ (matplotlib from the docs extras).
docs: $(VENV)/.installed
	$(VENV)/bin/pip install -q $$(python3 tools/extras.py docs)
	$(PY) docs/make_plots.py

# Java for the Spark tests is installed here too when missing; when it cannot be,
# the script says so and those tests are skipped.
system-deps:
	@tools/install-system-deps.sh

$(VENV)/.ready: pyproject.toml | system-deps
	test -x $(PY) || python3 -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q $$(python3 tools/extras.py build test spark)
	touch $@

$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build $(VENV)
