# The user's commands. CMake does the building; this file only names the builds.
BUILD_DIR ?= build/release
ASAN_DIR  ?= build/asan
CLANG_DIR ?= build/clang
JOBS      ?= $(shell nproc)

.PHONY: all test test-release test-asan test-clang clean demo install uninstall package dist fuzz \
  fuzz-smoke fuzz-build arm64 test-arm64 arm64-tools

# The program and its manual page alone, which need no test framework. ORVEL_TESTS is left as
# the build's cache has it, so that after `make test` this reuses that build and rebuilds nothing.
all:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target orvel orvel_docs

test: test-release test-asan test-clang test-arm64 fuzz-smoke

# ctest with every failure's output, then the reason of each skipped test, which ctest keeps in
# its log only: a test that cannot run here (no root, no loop device, under qemu) says why.
CTEST = ctest --output-on-failure -j $(JOBS) && \
  awk '/^\[ RUN +\]/ { name = $$NF } /: Skipped$$/ { getline why; print "skipped " name ": " why }' \
  Testing/Temporary/LastTest.log

# The release build with its tests, in the same directory as `make all`.
test-release:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVEL_TESTS=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && $(CTEST)

test-asan:
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVEL_SANITIZE=address,undefined \
	  -DORVEL_TESTS=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && $(CTEST)

# The optimised build and every test once more under clang, whose warnings differ from g++'s.
test-clang:
	cmake -S . -B $(CLANG_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
	  -DORVEL_TESTS=ON
	cmake --build $(CLANG_DIR) -j $(JOBS)
	cd $(CLANG_DIR) && $(CTEST)

# The same program for 64-bit Arm Linux, cross-built with Debian's cross compiler, and the same
# tests run under qemu-user (release mode only: the sanitizers do not run under qemu-user).
# The tools are installed with apt-get when missing and we are root.
ARM64_DIR ?= build/aarch64
ARM64_CMAKE = cmake -S . -B $(ARM64_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake

arm64-tools:
	packaging/ensure_packages.sh aarch64-linux-gnu-g++=g++-aarch64-linux-gnu \
	  qemu-aarch64-static=qemu-user-static

arm64: arm64-tools
	$(ARM64_CMAKE)
	cmake --build $(ARM64_DIR) -j $(JOBS) --target orvel orvel_docs

test-arm64: arm64-tools
	packaging/ensure_packages.sh /usr/src/googletest/CMakeLists.txt=googletest
	$(ARM64_CMAKE) -DORVEL_TESTS=ON
	cmake --build $(ARM64_DIR) -j $(JOBS)
	cd $(ARM64_DIR) && $(CTEST)

clean:
	rm -rf build

# See it work: the examples are copied to a scratch directory and fixed there, so the
# repository's own files are never touched. orvel exits 1 because of broken.json; the demo
# shows that status instead of failing on it.
PREFIX ?= /usr/local
ORVEL  = $(CURDIR)/$(BUILD_DIR)/orvel

demo: all
	@scratch=$$(mktemp -d) && trap 'rm -rf "$$scratch"' EXIT && \
	cp -R examples/. "$$scratch" && cd "$$scratch" && \
	echo "--- config.json before ---" && cat config.json && \
	echo "--- $(ORVEL) . ---" && \
	{ "$(ORVEL)" . && status=0 || status=$$?; } && \
	echo "--- exit status $$status ---" && \
	echo "--- config.json after ---" && cat config.json

# The stripped program and its manual page; `make uninstall` removes exactly the files that the
# last `make install` from this build listed in its manifest, and no directory.
install: all
	cmake --install $(BUILD_DIR) --prefix $(PREFIX) --strip

uninstall:
	@test -f $(BUILD_DIR)/install_manifest.txt || \
	  { echo "uninstall: $(BUILD_DIR)/install_manifest.txt is missing: nothing was installed"; exit 1; }
	xargs -d '\n' rm -fv -- < $(BUILD_DIR)/install_manifest.txt
	rm -f $(BUILD_DIR)/install_manifest.txt

# The amd64 .deb in $(BUILD_DIR), checked with lintian when it is installed.
package: all
	packaging/deb/build.sh $(BUILD_DIR) amd64 $(BUILD_DIR)
	@if command -v lintian >/dev/null; then lintian --info $(BUILD_DIR)/orvel_*_amd64.deb; \
	 else echo "lintian is not installed; the package was not checked"; fi

# The release, in $(DIST_DIR): for x86-64 and arm64 Linux, an archive and a .deb each, and
# SHA256SUMS for the four. packaging/release_check.sh proves it.
DIST_DIR ?= build/dist

dist: all arm64
	packaging/dist.sh $(DIST_DIR) x86_64=$(BUILD_DIR) aarch64=$(ARM64_DIR)

# Fuzzing with libFuzzer under clang, in its own build. FUZZ_SECONDS is the total budget of
# `make fuzz`, split between the targets (fuzz_document half, the others a quarter each; see
# fuzz/run_fuzz.sh); `make fuzz-smoke` spends FUZZ_SMOKE_SECONDS in all. Both fail when a target
# crashes and leave the input in $(FUZZ_DIR)/crashes/<target>/.
FUZZ_DIR           ?= build/fuzz
FUZZ_SECONDS       ?= 300
FUZZ_SMOKE_SECONDS ?= 30
FUZZ_TARGETS       = fuzz_document fuzz_natural fuzz_paths

fuzz-build:
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DORVEL_LIBFUZZER=ON \
	  -DORVEL_SANITIZE=fuzzer-no-link,address,undefined
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: fuzz-build
	fuzz/run_fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run_fuzz.sh $(FUZZ_DIR) $(FUZZ_SMOKE_SECONDS)

# Measure it: orvel against the I/O floor, the yyjson peer (when ../shared/peers is there), a
# RapidJSON peer, jq and Python's json.tool, on the data sets in bench/data and generated ones.
# The table is printed and written to bench/RESULTS.md, with a chart of it in bench/results.svg.
# Nothing is installed: a missing peer is left out, with what to install.
.PHONY: bench
bench: all
	BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) python3 bench/run.py

# Registry packages, made from the release archives in DIST_DIR so that each carries the very
# binary released: `make npm` packs the launcher package orvel and @orvel/linux-{x64,arm64} into
# NPM_DIR; `make wheels` writes one wheel per architecture into WHEEL_DIR. The check-* targets
# prove them with npm and pip themselves, offline (see the first comment of each check.sh).
NPM_DIR   ?= build/npm
WHEEL_DIR ?= build/wheels

.PHONY: npm wheels check-npm check-wheels
npm: dist
	packaging/npm/build.sh $(DIST_DIR) $(NPM_DIR)

wheels: dist
	python3 packaging/pypi/build_wheels.py $(DIST_DIR) $(WHEEL_DIR)

check-npm: npm
	bash packaging/npm/check.sh $(DIST_DIR) $(NPM_DIR)

check-wheels: wheels
	bash packaging/pypi/check.sh $(DIST_DIR) $(WHEEL_DIR)

# Wiring orvel into other tools. `make generated` rewrites the parts of the hooks, action.yml and
# README.md made from packaging/excludes.txt and the version (CI checks they agree: make
# check-wiring). `make pre-commit-mirror` adds this version's commit and tag to the pre-commit
# mirror in $(MIRROR_DIR) (a clone of the mirror, or a new repository). `make action-checksums`
# records the SHA-256 of this version's archives in packaging/action/checksums.txt, for a release.
MIRROR_DIR ?= build/pre-commit-mirror
.PHONY: generated check-wiring pre-commit-mirror action-checksums
generated:
	packaging/generated.sh write

check-wiring:
	packaging/generated.sh check

pre-commit-mirror:
	packaging/pre-commit-mirror/make-mirror.sh $(MIRROR_DIR)

action-checksums: dist
	packaging/action/checksums.sh $(DIST_DIR)
