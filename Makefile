# Two commands for a fresh clone: `make run` and `make test`; then
# `make install` (PREFIX, DESTDIR) or `make package` for a Debian package.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all build run test install package clean

all: build

# The stamp is written only once cmake has configured the folder in full, so
# a run that failed (a package missing) configures again next time.
$(BUILD)/.configured:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	touch $@

build: $(BUILD)/.configured
	cmake --build $(BUILD) -j $(JOBS)

# Only the program: it builds with nothing but the compiler and cmake.
run: $(BUILD)/.configured
	cmake --build $(BUILD) -j $(JOBS) --target korvane
	$(abspath $(BUILD))/korvane $(ARGS)

# Installs what the tests need where it can (Debian, as root or through
# sudo), then configures again asking for the tests, so a missing GoogleTest
# stops here.
test:
	packaging/build-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_REQUIRE_TESTS=ON >/dev/null
	touch $(BUILD)/.configured
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# DESTDIR, when set, is read by cmake --install from the environment.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# build/korvane_VERSION_ARCH.deb, installed under /usr.
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD)
