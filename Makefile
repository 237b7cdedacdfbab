# Two commands for a fresh clone: `make run` and `make test`; then
# `make install` (PREFIX, DESTDIR) or `make package` for a Debian package.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all build run test install package clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only the program: it builds without GoogleTest.
run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target korvane
	./$(BUILD)/korvane $(ARGS)

# Configures again asking for the tests, so a missing GoogleTest stops here.
test: $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) -DKORVANE_REQUIRE_TESTS=ON >/dev/null
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
