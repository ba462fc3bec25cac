# The user's commands. CMake does the building; this file only names the builds.
BUILD_DIR ?= build/release
ASAN_DIR  ?= build/asan
JOBS      ?= $(shell nproc)

.PHONY: all test test-release test-asan clean

all:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: test-release test-asan

test-release: all
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVEL_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build
