# make run   — install what is missing, build, start a local directory server and the phone
# make test  — install what is missing, build, run every test (plain, ThreadSanitizer, fuzz smoke)
# make bench — build and run the benchmarks
# make screenshots — render the phone in every call state and each dialog, in Chinese and English,
#                    to build/screenshots/zh/*.png and build/screenshots/en/*.png
# make install — build, then install (PREFIX, default /usr/local; DESTDIR is honoured)
# make package — build, then the Debian packages build/kestrona*_*.deb
BUILD      ?= build
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
JOBS       ?= $(shell nproc)
CTEST_JOBS ?= 2
PREFIX     ?= /usr/local

.PHONY: all deps build run install package test test-main test-tsan test-fuzz bench screenshots clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack -G DEB

test: deps
	$(MAKE) --no-print-directory test-main test-tsan test-fuzz

# Tests never need a display; discovery runs the test programs too.
test-main test-tsan test-fuzz: export QT_QPA_PLATFORM = offscreen

# Whole calls run in real time beside real daemons; a test that lost its run to
# a machine busy with the other tests gets up to two more tries.
CTEST_REPEAT ?= --repeat until-pass:3

test-main: build
	cd $(BUILD) && ctest --output-on-failure -j $(CTEST_JOBS) $(CTEST_REPEAT) -LE fuzz

$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DKESTRONA_SANITIZE=thread

test-tsan: deps $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target all-tests
	cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
		ctest --output-on-failure -j $(CTEST_JOBS) $(CTEST_REPEAT) -L tsan

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DKESTRONA_FUZZ=ON

test-fuzz: deps $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz-all
	cd $(BUILD_FUZZ) && ctest --output-on-failure -L fuzz --no-tests=ignore

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target all-bench
	@scripts/bench.sh $(BUILD)

screenshots: deps
	@scripts/screenshots.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_TSAN) $(BUILD_FUZZ)
