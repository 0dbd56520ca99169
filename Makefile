# Front door. Every target first installs what is missing (scripts/install-deps).
BUILD      ?= build
ASAN_BUILD ?= build-asan
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_FLAGS = -G Ninja -DBW_WERROR=ON

.PHONY: deps configure build programs run test test-asan bench lint install release clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Only what an install holds: the programs, not the tests and benchmarks.
programs: configure
	@cmake --build $(BUILD) -j $(JOBS) --target programs

run: programs
	@scripts/run "$(BUILD)"

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DBW_SANITIZE=ON -DBW_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) --timeout 900

bench: build
	@scripts/bench "$(BUILD)"

lint: deps
	@scripts/lint "$(BUILD)"

install: build
	@cmake --install $(BUILD) --prefix "$(PREFIX)"
	@scripts/post-install "$(PREFIX)"

# The Debian package, build/binwarden2_<version>_<arch>.deb, from the same install rules.
.PHONY: package
package: build
	@cd $(BUILD) && cpack -G DEB

# The update archive and its signature, signed with the key in BW2_SIGNING_KEY(_FILE).
release: deps
	@scripts/release "$(BUILD)-release" dist

# `make run` leaves its launcher folder root-owned; only an administrator can remove that part.
clean:
	@rm -rf $(BUILD) $(ASAN_BUILD) 2>/dev/null || { \
		echo "clean: $(BUILD)/stage/libexec belongs to root (set up by make run); an administrator runs:"; \
		echo "  sudo rm -rf $$(cd $(BUILD)/stage/libexec && pwd)"; exit 1; }
