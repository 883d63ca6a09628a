# Front door: CMake + Ninja underneath. Every target installs what is missing first.
BUILD      ?= build
BUILD_SAN  ?= build-san
BUILD_FUZZ ?= build-fuzz
# Seconds each fuzz program searches: short in `make test`, long in `make fuzz`.
FUZZ_TEST_SECONDS ?= 20
FUZZ_SECONDS      ?= 600
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build test test-fast test-long test-san test-fuzz fuzz fuzz-build demo run bench clean package package-check install

all: build

deps:
	@bash scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the normal build, then the engines again under ASan+UBSan, then a short
# coverage-guided search by every fuzz program. The sanitizer pass runs on Qt's other event
# dispatcher (QT_NO_GLIB), which sleeps right after the events it has handled: a wait that
# only ends because some unrelated event wakes the loop shows there as a stall.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-san
	$(MAKE) --no-print-directory test-fuzz

# Only the normal build's tests (for quick local runs).
test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests that also have a long form (QUODRA_LONG_TESTS), in that form: 20,000 files and
# names through the FTP walk on a small stack. Run apart from the suite, without its time limit.
test-long: build
	QUODRA_LONG_TESTS=1 QUODRA_PAUSE_MS=2 $(BUILD)/bin/quodra_app_tests --gtest_filter='UnattendedFtpStack.*'

test-san: deps
	cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUODRA_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && QT_NO_GLIB=1 ctest --output-on-failure -j $(JOBS) -LE nosan

# The fuzz programs, built by clang with libFuzzer in a tree of their own.
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUODRA_FUZZ=ON $(CMAKE_ARGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target quodra_fuzz_targets

# Any finding fails the stage; its input is left in $(BUILD_FUZZ)/fuzz-findings/<name>/.
test-fuzz: fuzz-build
	cd $(BUILD_FUZZ) && QUODRA_FUZZ_SECONDS=$(FUZZ_TEST_SECONDS) ctest --output-on-failure -j $(JOBS) -L fuzz

fuzz: fuzz-build
	cd $(BUILD_FUZZ) && QUODRA_FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --output-on-failure -j $(JOBS) -L fuzz

demo: build
	@bash scripts/demo

run: build
	$(BUILD)/bin/quodra-ftp

bench: build
	@bash bench/run-all

# The Debian package build/quodra-ftp_VERSION_amd64.deb (dpkg-shlibdeps finds its dependencies).
package: build
	@bash packaging/install-tools dpkg-dev
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/quodra-ftp_*.deb

# Lints the package and its desktop entry (installs lintian and desktop-file-utils first).
package-check: package
	@bash packaging/install-tools lintian desktop-file-utils
	desktop-file-validate packaging/quodra-ftp.desktop
	lintian --no-tag-display-limit $(BUILD)/quodra-ftp_*.deb

# The same files as the package, below $(DESTDIR)$(PREFIX).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ)
