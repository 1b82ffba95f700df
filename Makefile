# Wraps CMake + Ninja. `make` builds, `make run` builds and starts quelmar on the default
# port with this checkout as the project root (or ROOT=DIR, PORT=N), `make test` builds and
# runs every test (plain, plain again on the portable descriptor calls of macOS, the macOS
# cross-build, then under ASan+UBSan, then under TSan, then a short run of every fuzz target);
# `make fuzz` runs the fuzz targets for FUZZ_SECONDS each; `make macos` cross-builds quelmar
# and dravik for macOS on arm64.
BUILD   := build
JOBS    ?= $(shell nproc 2>/dev/null || sysctl -n hw.ncpu)
CMAKE   := cmake -G Ninja -Wno-dev

.PHONY: all deps build run test test-plain test-portable test-asan test-tsan test-fuzz fuzz fuzz-build \
	js-deps web macos bench clean

all: build

deps:
	@scripts/deps.sh

build: deps
	@$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@ninja -C $(BUILD) -j $(JOBS)

# `make run ROOT=DIR PORT=N`: another project directory, another port (0: any free one).
run: build web
	./$(BUILD)/quelmar $(if $(ROOT),--root "$(ROOT)") $(if $(PORT),--port $(PORT))

# The web client: npm packages from the committed lock (again only when it changed), then
# an esbuild bundle into web/dist.
web: web/node_modules/.package-lock.json
	@cd web && npm run --silent build

web/node_modules/.package-lock.json: web/package-lock.json
	@scripts/deps.sh web
	@cd web && npm ci --no-audit --no-fund --silent

js-deps:
	@cd tests/js && npm ci --no-audit --no-fund --silent
	@cd tests/web && npm ci --no-audit --no-fund --silent

test: test-plain test-portable macos test-asan test-tsan test-fuzz

# $(call suite,DIR,CMAKE OPTIONS,ENVIRONMENT): configures and builds the tests in DIR, then
# runs them all with the environment given.
define suite
@scripts/deps.sh test
@$(MAKE) --no-print-directory js-deps web
@$(CMAKE) -S . -B $(1) $(2) >/dev/null
@ninja -C $(1) -j $(JOBS)
cd $(1) && $(3) ctest --output-on-failure -j $(JOBS)
endef

test-plain:
	$(call suite,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)

# The plain suite on the plain POSIX descriptor calls that macOS uses (no accept4, pipe2,
# SOCK_CLOEXEC, MSG_NOSIGNAL, sendfile or /proc listing), so those paths run too. Unoptimised
# and without the benchmarks, as the sanitizer builds, to keep `make test` short.
test-portable:
	$(call suite,$(BUILD)/portable,-DCMAKE_BUILD_TYPE=Debug -DQUELMAR_PORTABLE=ON -DQUELMAR_BENCH=OFF)

test-asan:
	$(call suite,$(BUILD)/asan,-DCMAKE_BUILD_TYPE=Debug -DQUELMAR_SANITIZE=address -DQUELMAR_BENCH=OFF,\
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

test-tsan:
	$(call suite,$(BUILD)/tsan,-DCMAKE_BUILD_TYPE=Debug -DQUELMAR_SANITIZE=thread -DQUELMAR_BENCH=OFF,\
		TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1)

# libFuzzer targets, built with clang under ASan+UBSan in their own build directory.
FUZZ_SECONDS       ?= 300
FUZZ_SMOKE_SECONDS ?= 4

fuzz-build:
	@scripts/deps.sh test
	@$(CMAKE) -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DQUELMAR_FUZZ=ON >/dev/null
	@ninja -C $(BUILD)/fuzz -j $(JOBS)

test-fuzz: fuzz-build
	scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_SMOKE_SECONDS)

fuzz: fuzz-build
	scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

# The macOS cross-build: quelmar and dravik for aarch64-macos, compiled by the C++ compiler of
# the Zig toolchain (an npm package, from toolchain/zig's lock) against the macOS headers it
# ships, and checked to be Mach-O arm64 executables. A check of compiling and linking, so
# unoptimised: quicker in `make test`. Zig's cache (its libc++ for the target among it) stays
# in the build directory.
ZIG_ENV := ZIG_GLOBAL_CACHE_DIR=$(CURDIR)/$(BUILD)/zig-cache ZIG_LOCAL_CACHE_DIR=$(CURDIR)/$(BUILD)/zig-cache

macos: deps toolchain/zig/node_modules/.package-lock.json
	@$(ZIG_ENV) $(CMAKE) -S . -B $(BUILD)/macos -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/toolchain/zig/macos.cmake >/dev/null
	@$(ZIG_ENV) ninja -C $(BUILD)/macos -j $(JOBS)
	@scripts/check_macho.sh $(BUILD)/macos/quelmar $(BUILD)/macos/dravik

toolchain/zig/node_modules/.package-lock.json: toolchain/zig/package-lock.json
	@scripts/deps.sh web
	@cd toolchain/zig && npm ci --no-audit --no-fund --silent

bench: build
	@scripts/deps.sh bench
	@echo "benchmarks: see bench/README.md"

clean:
	rm -rf $(BUILD)
