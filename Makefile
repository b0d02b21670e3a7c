# Sonoscriptor: build, demo and tests. Everything builds into build/.
BUILD := build
ASAN_BUILD := build/sanitize
TSAN_BUILD := build/tsan
PACKAGE_BUILD := build/package
# make install PREFIX=/opt/sonoscriptor: the build is configured for that prefix (the manual page
# names its data folder), then installed there. Without it, CMake's default (/usr/local).
PREFIX ?=
prefix_flag = $(if $(PREFIX),-DCMAKE_INSTALL_PREFIX=$(PREFIX))
# The starter's tests that work on several files at once or send it signals: what
# ThreadSanitizer watches (a few minutes). Left out: the long beat-finding stop, and the
# two presses on two threads at once, whose timing ThreadSanitizer's deferred delivery
# of signals changes (it runs a handler only at the thread's next intercepted call).
TSAN_TESTS := starter\.(Scheduler|LateStops|StopSignals\.WhileTheEngine|StarterFixture\.(CtrlC|ASecondCtrlC|BatchGoesOn|SeveralInputs)|Refusals\.Termination|ServeThreads)
FUZZ_BUILD := build/fuzz
FUZZ_SEED ?= 0
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Quiet builds: no "Entering directory" lines from the makes CMake runs, and Ninja for a
# build folder configured afresh when it is installed (a folder keeps the generator it has).
MAKEFLAGS += --no-print-directory
NINJA := $(if $(shell command -v ninja 2>/dev/null),-G Ninja)
generator = $(if $(wildcard $(1)/CMakeCache.txt),,$(NINJA))

.PHONY: all deps deps-test deps-package demo test test-fast test-sanitize test-tsan fuzz fuzz-run bench install \
	package clean

all: deps
	cmake -S . -B $(BUILD) $(call generator,$(BUILD)) -DCMAKE_BUILD_TYPE=Release $(prefix_flag)
	cmake --build $(BUILD) -j $(JOBS)

# What building and the demo need (tools/deps.sh keeps the lists).
deps:
	@sh tools/deps.sh

# Those and what only the tests need.
deps-test:
	@sh tools/deps.sh test

deps-package:
	@sh tools/deps.sh package

demo: all
	@sh tools/demo.sh $(BUILD)

test: deps-test all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The quick subset for the edit-compile loop: the tests labelled fast (tests/labels.cmake).
test-fast: deps-test all
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -L fast

test-sanitize: deps-test
	cmake -S . -B $(ASAN_BUILD) $(call generator,$(ASAN_BUILD)) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# A report ends the program it came from (the test binary, or a starter it runs) with code 66:
# a failed test.
test-tsan: deps-test
	cmake -S . -B $(TSAN_BUILD) $(call generator,$(TSAN_BUILD)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target sonoscriptor-starter-tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
		ctest --output-on-failure --no-tests=error -j $(JOBS) -R '$(TSAN_TESTS)'

fuzz: deps-test
	cmake -S . -B $(FUZZ_BUILD) $(call generator,$(FUZZ_BUILD)) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DFUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-run: fuzz
	sh tools/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_SEED)

bench: all
	$(BUILD)/sonoscriptor-bench

install: all
	cmake --install $(BUILD)

# The Debian package sonoscriptor_VERSION_ARCH.deb in build/, built for /usr in its own folder
# without the tests;
# its dependencies on Debian's libraries come from dpkg-shlibdeps.
package: deps-package
	cmake -S . -B $(PACKAGE_BUILD) $(call generator,$(PACKAGE_BUILD)) -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_INSTALL_PREFIX=/usr -DSONOSCRIPTOR_TESTS=OFF
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB -B $(CURDIR)/$(BUILD)

clean:
	rm -rf $(BUILD)
