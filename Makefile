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

.PHONY: all deps build run install package test test-main test-tsan test-asan test-fuzz bench screenshots clean

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
# first failure, and so does every test under ThreadSanitizer.
CTEST_REPEAT ?= --repeat until-pass:3
CTEST = ctest --output-on-failure -j $(CTEST_JOBS)
RETRIES = $(CURDIR)/scripts/test_report.sh retries Testing/Temporary/LastTest.log

test-main: build
	cd $(BUILD) && { $(CTEST) -LE 'fuzz|realtime'; s1=$$?; \
		$(CTEST) $(CTEST_REPEAT) -L realtime; s2=$$?; $(RETRIES); \
		[ $$s1 -eq 0 ] && [ $$s2 -eq 0 ]; }

$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DKESTRONA_SANITIZE=thread

test-tsan: deps $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target all-tests
	cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
		$(CTEST) -L tsan

# Address- and UndefinedBehaviorSanitizer over every test, the phones and
# servers the end-to-end tests start included (they come from this build
# folder). Optimised lightly, with line tables only, to keep the build short.
# Every report goes to a file in sanitizer-reports/, so that one written by a
# child process that the test only terminates is not lost, and any report,
# from any try, fails the stage: a retry of a real-time test (slowed two to
# three times here) can save its audio measures, never hide a report. Leaks
# are checked; tests/lsan.supp names leaks of libraries that are not ours.
ASAN_FLAGS = -O1 -g1 -DNDEBUG
ASAN_REPORTS = $(CURDIR)/$(BUILD_ASAN)/sanitizer-reports
$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DKESTRONA_SANITIZE=address,undefined \
		"-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(ASAN_FLAGS)" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(ASAN_FLAGS)"

test-asan: export ASAN_OPTIONS = halt_on_error=1:detect_leaks=1:check_initialization_order=1:log_path=$(ASAN_REPORTS)/asan
test-asan: export UBSAN_OPTIONS = halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan
test-asan: export LSAN_OPTIONS = suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
test-asan: deps $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j $(JOBS) --target all-tests
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	cd $(BUILD_ASAN) && { $(CTEST) -LE 'fuzz|install|realtime'; s1=$$?; \
		$(CTEST) $(CTEST_REPEAT) -L realtime -LE install; s2=$$?; $(RETRIES); \
		$(CURDIR)/scripts/test_report.sh sanitizer-logs $(ASAN_REPORTS); s3=$$?; \
		[ $$s1 -eq 0 ] && [ $$s2 -eq 0 ] && [ $$s3 -eq 0 ]; }

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DKESTRONA_FUZZ=ON

test-fuzz: deps $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz-all
	cd $(BUILD_FUZZ) && $(CTEST) -L fuzz --no-tests=ignore

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target all-bench
	@scripts/bench.sh $(BUILD)

screenshots: deps
	@scripts/screenshots.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_TSAN) $(BUILD_ASAN) $(BUILD_FUZZ) build-logs
