# Front door: CMake + Ninja underneath. Every target installs what is missing first.
BUILD      ?= build
BUILD_SAN  ?= build-san
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build test test-fast test-san demo run bench clean package package-check install

all: build

deps:
	@bash scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the normal build, then the engines again under ASan+UBSan.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-san

# Only the normal build's tests (for quick local runs).
test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: deps
	cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUODRA_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ctest --output-on-failure -j $(JOBS) -LE nosan

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
	rm -rf $(BUILD) $(BUILD_SAN)
