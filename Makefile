# Sonoscriptor: build, demo and tests. Everything builds into build/.
BUILD := build
ASAN_BUILD := build/sanitize
FUZZ_BUILD := build/fuzz
FUZZ_SEED ?= 0
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps demo test test-sanitize fuzz fuzz-run bench install clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@sh tools/deps.sh

demo: all
	@sh tools/demo.sh $(BUILD)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DFUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-run: fuzz
	sh tools/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_SEED)

bench: all
	$(BUILD)/sonoscriptor-bench

install: all
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
