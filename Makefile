# Set-up and everyday commands. Each target installs the Debian packages it
# needs (only the missing ones), configures and builds before it acts.

BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
WINDOWS_BUILD_DIR ?= build-windows
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run demo test test-asan bench fuzz windows windows-test clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

# Starts the program. Without a display it runs under Xvfb, so the log of
# the volume scan still shows.
run: build
	@tools/run-program.sh $(BUILD_DIR)/app/zuv-update-manager

demo: build
	@JOBS=$(JOBS) tools/demo.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) --timeout 900

# Every test, and every program the tests start, under AddressSanitizer
# (leaks included) and UndefinedBehaviorSanitizer; any finding fails the
# test. What Qt and D-Bus keep to the end of a process is listed in
# tests/sanitize/lsan.supp. Qt Quick draws with its software renderer here:
# Mesa's GL driver is unloaded before the leak check and leaves allocations
# that no report can name any more.
SANITIZER_ENV = \
	QT_QUICK_BACKEND=software \
	ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD_DIR) -DZUV_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD_DIR) -j$(JOBS)
	@cd $(ASAN_BUILD_DIR) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS) --timeout 900

# The Windows program, cross-compiled with MinGW-w64 against the Qt for
# MinGW (tools/windows/mingw-qt.sh finds or makes it), signed, and packed
# as $(WINDOWS_BUILD_DIR)/ZUV-Update-Manager-<version>-win64.zip and .msi.
windows:
	@tools/install-deps.sh windows
	@JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" tools/windows/build.sh $(WINDOWS_BUILD_DIR)

# The portable suites, the window and an update end to end, under Wine and
# Xvfb (tools/windows/test.sh). The Linux build provides zuv-publish.
# The program under test carries a release key of the test's own (kept in
# WINDOWS_BUILD_DIR), so that a signed update and a forged one can be tried;
# `make windows` builds it again with ZUV_RELEASE_KEYS.
WINDOWS_TEST_KEY = $(abspath $(WINDOWS_BUILD_DIR))/test-release.key
windows-test: windows configure
	@cmake --build $(BUILD_DIR) --target zuv-publish -j$(JOBS) >/dev/null
	@test -s $(WINDOWS_TEST_KEY) || $(BUILD_DIR)/tools/zuv-publish keygen $(WINDOWS_TEST_KEY) >$(WINDOWS_TEST_KEY).pub
	@ZUV_RELEASE_KEYS="$$(cat $(WINDOWS_TEST_KEY).pub)" JOBS=$(JOBS) tools/windows/build.sh $(WINDOWS_BUILD_DIR) all
	@ZUV_TEST_RELEASE_KEY=$(WINDOWS_TEST_KEY) JOBS=$(JOBS) tools/windows/test.sh $(WINDOWS_BUILD_DIR) $(BUILD_DIR)

# The benchmark builds only the programs it runs (bench/run.sh).
bench: configure
	@if [ -x bench/run.sh ]; then bench/run.sh $(BUILD_DIR); else echo "No benchmarks yet."; fi

fuzz: deps
	@if [ -x tests/fuzz/run.sh ]; then tests/fuzz/run.sh; else echo "No fuzz targets yet."; fi

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(WINDOWS_BUILD_DIR)
