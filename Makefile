# Entry points for people: `make test` builds both targets and runs every test;
# `make demo` runs the driver against the simulator.
SHELL := /bin/bash
CTEST_FLAGS ?= --output-on-failure -j2

.PHONY: all deps native windows windows64 check test test-loaded test-native test-windows check-sanitizers test-dist dist dist-deb13 fuzz soak soak-gateway bench demo demo-mqtt screenshots clean

all: native windows

deps:
	@scripts/install-deps

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native

windows: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows

windows64: deps
	cmake --preset windows64 >/dev/null
	cmake --build --preset windows64

test-native: native
	ctest --preset native $(CTEST_FLAGS)

# The unit layer alone (native, no broker, no browser, no Wine): for the
# edit-build-test loop. `make test` stays the whole.
check: native
	ctest --preset native -L unit $(CTEST_FLAGS)

# The whole suite with every core kept busy by stress-ng meanwhile: a test
# that passes only on an idle machine fails here.
test-loaded: deps
	@stress-ng --cpu $$(nproc) --quiet & load=$$!; trap "kill $$load" EXIT; \
	  $(MAKE) --no-print-directory test

# The Windows tests use the native mcsim and drvcfg. Where the machine cannot
# run 32-bit programs (the windows preset's configure step finds no working
# 32-bit Wine, after the packages are installed), they run in the 64-bit build
# of the same sources under 64-bit Wine.
test-windows: windows native
	ctest --preset windows $(CTEST_FLAGS)
	@if [ ! -e build/windows/wine-runs ]; then \
	  $(MAKE) --no-print-directory windows64 && ctest --preset windows64 $(CTEST_FLAGS); \
	fi

# The native suite under AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer.
check-sanitizers: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan $(CTEST_FLAGS)
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan $(CTEST_FLAGS)

# Each fuzz target for FUZZ_SECONDS (default 60).
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	scripts/fuzz

# Several channels under load from several host threads for SOAK_SECONDS
# (default 120), in the AddressSanitizer build so that a leak fails it too.
# (A 10-second soak is part of check-sanitizers.)
soak: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	python3 scripts/with-mcsim --mcsim build/asan/bin/mcsim --dir build/asan/bin/dosdevices \
	  --log-dir build/asan/logs/soak $$(scripts/com-port soak | sed 's/^/--com /') -- build/asan/bin/soak

# A day on the plant for SOAK_MINUTES (default 60): the gateway with every
# table on under all its clients and faults, checked and measured; the figures
# and their picture in build/native/soak-gateway/ (soak.json, soak.svg).
soak-gateway: native
	/usr/bin/python3 tests/gateway/soak_gateway.py build/native/bin --minutes $${SOAK_MINUTES:-60} \
	  --out build/native/soak-gateway

# The driver's cost beyond the wire (natively): micro benchmarks of its own
# work, then the end-to-end figures on pseudo-terminals with their targets,
# then the gateway's (latency to a subscriber, a burst, its idle cost).
bench: native
	build/native/bin/driver_bench
	build/native/bin/scan_bench
	build/native/bin/gateway_bench

# The release packages, from release builds (optimised, stripped, reproducible):
# build/dist/krandolix-<version>-win32.zip and, for Debian 12 and Debian 13,
# build/dist/krandolix_<version>~deb{12,13}u1_{amd64,arm64,armhf}.deb. The
# Debian 12 ones are built on this machine, the Debian 13 ones in a Debian 13
# root (scripts/debian_root.py: made once per machine, then kept) with that
# release's compilers and libraries. The ARM builds are cross-built; Debian
# 12's with their unit tests (make test-dist runs them under qemu).
RELEASE_TARGETS_WIN := Krandolix ZeravSub ZeravDbm Plovanet drvhost drvcfg drvscan
ARM_PRESETS := native-arm64-release native-armhf-release
DEB13_PRESETS := deb13-release deb13-arm64-release deb13-armhf-release
VERSION = $$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native-release/CMakeCache.txt)
EPOCH = $${SOURCE_DATE_EPOCH:-$$(git log -1 --format=%ct)}
dist: deps
	cmake --preset native-release >/dev/null
	cmake --build --preset native-release
	cmake --preset windows-release >/dev/null
	cmake --build --preset windows-release --target $(RELEASE_TARGETS_WIN)
	for p in $(ARM_PRESETS); do cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; done
	rm -f build/dist/krandolix*
	SOURCE_DATE_EPOCH=$(EPOCH) python3 scripts/make-dist --out build/dist --version $(VERSION) \
	  --windows build/windows-release --label win32 --debian deb12 --native build/native-release \
	  --native build/native-arm64-release:arm64 --native build/native-armhf-release:armhf
	root=$$(scripts/debian_root.py build deb13) && \
	  scripts/debian_root.py run "$$root" --bind "$(CURDIR):/src" --cwd /src \
	    --env SOURCE_DATE_EPOCH=$(EPOCH) -- make --no-print-directory dist-deb13 VERSION_NUMBER=$(VERSION)

# (in the Debian 13 root)
dist-deb13:
	for p in $(DEB13_PRESETS); do cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; done
	python3 scripts/make-dist --out build/dist --version $(VERSION_NUMBER) --debian deb13 \
	  --native build/deb13-release --native build/deb13-arm64-release:arm64 --native build/deb13-armhf-release:armhf

# The packages checked: their contents, the tools run from them against mcsim
# (the Windows zip's under Wine: where only 64-bit Wine runs, the same zip made
# from a 64-bit release build), lintian, and two runs giving the same bytes;
# the ARM builds' unit tests under qemu; then each Debian package installed
# with apt in a clean root of its release and architecture and run there.
test-dist: dist native
	cmake --preset windows64-release >/dev/null
	cmake --build --preset windows64-release --target $(RELEASE_TARGETS_WIN)
	/usr/bin/python3 tests/dist/test_dist.py
	for p in $(ARM_PRESETS); do ctest --preset $$p $(CTEST_FLAGS) || exit 1; done
	/usr/bin/python3 tests/dist/test_arm.py
	/usr/bin/python3 tests/dist/test_install.py

# The Debian roots the packages are built and installed in are made (once per
# machine, scripts/debian_root.py) meanwhile, in the background: mostly
# downloads and emulated package scripts, they overlap the tests' waiting;
# test-dist waits for any still being made.
test: deps
	@mkdir -p build && (scripts/debian_root.py prepare > build/roots.log 2>&1 &)
	$(MAKE) --no-print-directory test-native test-windows check-sanitizers test-dist

demo: native
	scripts/demo

# The gateway: a broker, the demo's controllers and drvgw, watched with mosquitto_sub.
demo-mqtt: native
	scripts/demo-mqtt

# The settings dialogs under Wine and Xvfb, and the gateway's web page in headless Chromium.
screenshots: native windows64
	scripts/screenshots windows64
	/usr/bin/python3 scripts/web-screenshots build/native/bin

clean:
	rm -rf build
