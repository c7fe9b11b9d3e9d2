# make run   — install what is missing, build, start a local directory server and the phone
# make test  — install what is missing, build, run every test (plain, ThreadSanitizer,
#              AddressSanitizer + UndefinedBehaviorSanitizer, fuzz smoke), with a timed summary
# make bench — build and run the benchmarks
# make screenshots — render the phone in every call state and each dialog, in Chinese and English,
#                    to build/screenshots/zh/*.png and build/screenshots/en/*.png
# make install — build, then install (PREFIX, default /usr/local; DESTDIR is honoured)
# make package — build, then the Debian packages build/kestrona*_*.deb
BUILD      ?= build
BUILD_TSAN ?= build-tsan
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
JOBS       ?= $(shell nproc)
CTEST_JOBS ?= 2
PREFIX     ?= /usr/local

.PHONY: all deps build run install package test test-main test-tsan test-asan test-fuzz test-failover bench screenshots clean

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
	@scripts/test_all.sh $(MAKE) main tsan asan fuzz

# Tests never need a display; discovery runs the test programs too.
test-main test-tsan test-asan test-fuzz: export QT_QPA_PLATFORM = offscreen

# Tests labelled "realtime" hold whole calls against the clock beside real
# daemons (audio quality is measured on what each loudspeaker played): one that
# lost its run to a machine busy with the other tests gets up to two more tries,
# and the run names each test that needed one. Every other test fails on its
# first failure.
CTEST_REPEAT ?= --repeat until-pass:3
CTEST = ctest --output-on-failure -j $(CTEST_JOBS)
RETRIES = $(CURDIR)/scripts/test_report.sh retries Testing/Temporary/LastTest.log
REPORTS = $(CURDIR)/scripts/test_report.sh sanitizer-logs

test-main: build
	cd $(BUILD) && { $(CTEST) -LE 'fuzz|realtime'; s1=$$?; \
		$(CTEST) $(CTEST_REPEAT) -L realtime; s2=$$?; $(RETRIES); \
		[ $$s1 -eq 0 ] && [ $$s2 -eq 0 ]; }

# In the sanitizer builds every report goes to a file in the build folder's
# sanitizer-reports/ (from a test program or from a phone or server it
# started, which the test may only terminate), and any report from any try
# fails the stage: a race or a memory fault seen once is never retried away.
# A real-time test slowed there by the sanitizer may still be tried again for
# its audio measures. $(1): build folder, $(2): ctest label selection.
define sanitizer_run
	rm -rf $(1)/sanitizer-reports && mkdir -p $(1)/sanitizer-reports
	cd $(1) && { $(CTEST) $(2) -LE 'fuzz|install|realtime'; s1=$$?; \
		$(CTEST) $(CTEST_REPEAT) $(2) -L realtime -LE install; s2=$$?; $(RETRIES); \
		$(REPORTS) $(CURDIR)/$(1)/sanitizer-reports; s3=$$?; \
		[ $$s1 -eq 0 ] && [ $$s2 -eq 0 ] && [ $$s3 -eq 0 ]; }
endef

$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DKESTRONA_SANITIZE=thread

test-tsan: export TSAN_OPTIONS = halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp log_path=$(CURDIR)/$(BUILD_TSAN)/sanitizer-reports/tsan
test-tsan: deps $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target all-tests
	$(call sanitizer_run,$(BUILD_TSAN),-L tsan)

# Address- and UndefinedBehaviorSanitizer over every test, the phones and
# servers the end-to-end tests start included (they come from this build
# folder). Optimised lightly, with line tables only, to keep the build short.
# Undefined behaviour stops the program; leaks are checked, and
# tests/lsan.supp names leaks of libraries that are not ours.
ASAN_FLAGS = -O1 -g1 -DNDEBUG
$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DKESTRONA_SANITIZE=address,undefined \
		"-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(ASAN_FLAGS)" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(ASAN_FLAGS)"

test-asan: export ASAN_OPTIONS = halt_on_error=1:detect_leaks=1:check_initialization_order=1:log_path=$(CURDIR)/$(BUILD_ASAN)/sanitizer-reports/asan
test-asan: export UBSAN_OPTIONS = halt_on_error=1:print_stacktrace=1
test-asan: export LSAN_OPTIONS = suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
test-asan: deps $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j $(JOBS) --target all-tests
	$(call sanitizer_run,$(BUILD_ASAN),)

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DKESTRONA_FUZZ=ON

test-fuzz: deps $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz-all
	cd $(BUILD_FUZZ) && $(CTEST) -L fuzz --no-tests=ignore

# The database failover under Patroni on its own (about a minute; make test runs it too).
test-failover: export QT_QPA_PLATFORM = offscreen
test-failover: build
	cd $(BUILD) && $(CTEST) -L failover

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target all-bench
	@scripts/bench.sh $(BUILD)

screenshots: deps
	@scripts/screenshots.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_TSAN) $(BUILD_ASAN) $(BUILD_FUZZ) build-logs
