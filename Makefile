# Korvane: two commands for newcomers.
#   make run   installs what is missing, builds and starts the tool
#   make test  installs what is missing, builds and runs every test
#   make windows       builds korvane.exe, its installer and a zip for Windows
#   make test-windows  installs, drives and uninstalls it under Wine
# SANITIZE=1 builds and tests with AddressSanitizer and UBSan in build-asan/.

SANITIZE ?=
ifeq ($(SANITIZE),1)
BUILD ?= build-asan
CMAKE_FLAGS += -DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD ?= build
CMAKE_FLAGS += -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test windows test-windows test-windows-transports demo bench fuzz soak package package-check clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -G Ninja -DKORVANE_WERROR=ON $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# What it starts and nothing more: the suites and benchmarks are make test's.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target korvane
	@scripts/run-korvane.sh $(BUILD)/app/korvane

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole program for Windows: korvane.exe, its installer and a portable
# zip in build-windows/, built with MinGW-w64 against a Qt for Windows that
# is built once from Debian's source and cached (~/.cache/korvane).
WINDOWS_BUILD ?= build-windows
windows: deps
	@KORVANE_WINDOWS_BUILD=$(abspath $(WINDOWS_BUILD)) scripts/build-windows.sh

# Under Wine on Xvfb: the transports through a console program whose device
# the driver plays, then the whole program from its installer, driven with
# real X input against the simulator, and uninstalled. Wine and xdotool are
# installed only for this target.
test-windows: configure windows
	@KORVANE_DEPS_EXTRA="wine64 wine xdotool" scripts/install-deps.sh
	cmake --build $(BUILD) -j $(JOBS) --target korvane-winedriver korvane-sim
	$(BUILD)/tests/windows/korvane-winedriver $(WINDOWS_BUILD)/tests/windows/korvane-wintest.exe \
		"$$(ls -t $(WINDOWS_BUILD)/korvane-*-setup.exe | head -n 1)" $(BUILD)/sim/korvane-sim

# The transports alone, built for Windows without Qt: quick, nothing cached
# but libtelnet (scripts/build-libtelnet-windows.sh), once.
WINDOWS_TRANSPORTS_BUILD ?= build-windows-transports
test-windows-transports: configure
	@KORVANE_DEPS_EXTRA="g++-mingw-w64-x86-64-posix dpkg-dev wine64 wine" scripts/install-deps.sh
	cmake -S . -B $(WINDOWS_TRANSPORTS_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
		-DKORVANE_GUI=OFF -DKORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
		-DKORVANE_LIBTELNET_PREFIX="$$(scripts/build-libtelnet-windows.sh | tail -n 1)"
	cmake --build $(WINDOWS_TRANSPORTS_BUILD) -j $(JOBS)
	cmake --build $(BUILD) -j $(JOBS) --target korvane-winedriver
	$(BUILD)/tests/windows/korvane-winedriver $(WINDOWS_TRANSPORTS_BUILD)/tests/windows/korvane-wintest.exe

demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target korvane korvane-sim
	@scripts/demo.sh $(BUILD)

# Release build, benchmarks, figures to bench/results.json.
bench: deps
	@scripts/bench.sh

# libFuzzer runs of the receive path and the log reader, sharing FUZZ_SECONDS (default 300).
FUZZ_SECONDS ?= 300
fuzz: deps
	@scripts/fuzz.sh $(FUZZ_SECONDS)

# One million frames through the simulator; figures printed at the end.
soak: build
	@scripts/soak.sh $(BUILD)

# korvane_<version>_<arch>.deb from a release build in build-package/.
package: deps
	@scripts/package.sh

# The package through lintian, the desktop and AppStream validators, then
# installed, started and removed again (needs root or sudo).
package-check: package
	@scripts/package-check.sh

clean:
	rm -rf build build-asan build-release build-fuzz build-package build-windows build-windows-transports build-default
