# Top-level entry points. CMake + Ninja do the real work in $(BUILD).
BUILD   ?= build
PREFIX  ?= /usr
DESTDIR ?=

.PHONY: all deps build test arm-test package-test demo install bench fuzz deb clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD)

# The whole suite; the tests that start servers or share folders once more,
# two at a time, as a developer's ctest -j2 runs them; then on arm64 and
# armhf under qemu-user, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a short fuzzing pass of a fixed number of
# inputs.
test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 600
	cd $(BUILD) && ctest --output-on-failure --timeout 600 -j2 -L '^(filter|hardening|e2e|printerapp)$$'
	bash scripts/arm-test.sh
	bash scripts/sanitize.sh
	bash scripts/fuzz.sh 180 40000
	$(MAKE) --no-print-directory package-test

# make arm-test ARCH=arm64 (or armhf) runs the ARM stage for one architecture.
arm-test: deps
	bash scripts/arm-test.sh $(ARCH)

# The Debian package built as make deb does, checked by lintian, then
# unpacked and printed from through a private cupsd. make test has run the
# suite on the same sources already, so the package build skips it (nocheck).
package-test: build
	DEB_BUILD_OPTIONS=nocheck bash scripts/build-deb.sh
	E2E_PBM_PROBE=$(BUILD)/tests/e2e/pbm_probe bash tests/e2e/package_test.sh \
	    build-deb/$$(dpkg --print-architecture)/printer-driver-tavel_*_$$(dpkg --print-architecture).deb

# make demo DOC=file.pdf prints your own document through the CUPS filter
# chain; OPTIONS="NAME=VALUE ..." sets job options.
demo: build
	DOC="$(DOC)" OPTIONS="$(OPTIONS)" PPD_FILE="$(PPD_FILE)" bash scripts/demo.sh $(BUILD)

bench: deps
	bash bench/run.sh

fuzz: deps
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# make deb builds the Debian package into build-deb/ARCH/; ARCH=arm64 or
# ARCH=armhf cross-builds it.
deb: deps
	bash scripts/build-deb.sh $(ARCH)

clean:
	rm -rf $(BUILD) build-deb build-arm64 build-armhf
