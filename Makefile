# Thin wrapper over CMake, so that the two set-up commands stay short.
# CMAKE_OPTIONS adds options to every build, e.g. -DRILL_WERROR=ON as CI does.
BUILD         ?= build
PREFIX        ?= /usr/local
CMAKE_OPTIONS ?=

# Ninja where it is installed, unless the build directory already has a generator.
generator = $$([ -f $(1)/CMakeCache.txt ] || ! command -v ninja >/dev/null || echo -G Ninja)
CONFIGURE = cmake -S . -B $(BUILD) $(call generator,$(BUILD)) -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS)

# Debian packages, each as package:file-that-shows-it-is-installed (the
# package may name its architecture, as libgtest-dev:arm64). NEEDED must be
# there; WANTED (a faster build, native loops, line editing at a terminal)
# can be done without, so a user who is not root still gets a build.
BUILD_NEEDED := cmake:/usr/bin/cmake g++:/usr/bin/g++
BUILD_WANTED := ninja-build:/usr/bin/ninja libasmjit-dev:/usr/include/asmjit/asmjit.h libedit-dev:/usr/include/histedit.h
TEST_NEEDED  := libgtest-dev:/usr/include/gtest/gtest.h groff-base:/usr/bin/groff python3:/usr/bin/python3 \
                nodejs:/usr/bin/node npm:/usr/bin/npm vim:/usr/bin/vim

# Installs, with one apt-get run, what is missing of the lists $(1) (needed)
# and $(2) (wanted). Without root, only a missing needed package fails.
install_missing = need=; want=; \
	for p in $(1); do [ -e "$${p\#\#*:}" ] || need="$$need $${p%:*}"; done; \
	for p in $(2); do [ -e "$${p\#\#*:}" ] || want="$$want $${p%:*}"; done; \
	if [ -z "$$need$$want" ]; then :; \
	elif [ "$$(id -u)" = 0 ]; then \
	  echo "installing$$need$$want"; apt-get update -qq && apt-get install -y -qq $$need $$want; \
	elif [ -n "$$need" ]; then \
	  echo "missing:$$need; run make deps as root" >&2; exit 1; \
	else echo "going on without$$want (make deps as root installs it)"; fi

.PHONY: all rill run test tables install uninstall sanitize-test clang-test cross-test deps-cross windows windows-asmjit win64-abi-test windows-test windows-zip windows-gtest deps-windows lint format-check format deps deps-build clean web deps-web web-serve web-test web-bench web-format

all: deps-build
	$(CONFIGURE)
	cmake --build $(BUILD)

# The interpreter alone: no tests, no GoogleTest.
rill: deps-build
	$(CONFIGURE)
	cmake --build $(BUILD) --target rill

# sample.txt reads a number, so this stops at its ">> " prompt.
run: rill
	./$(BUILD)/rill sample.txt

test: deps all
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j2

# Rebuilds src/parser/tables.h and tables.cpp from src/parser/grammar.txt.
tables: deps-build
	$(CONFIGURE)
	cmake --build $(BUILD) --target rill_make_tables
	./$(BUILD)/rill_make_tables src/parser/grammar.txt src/parser

install: rill
	cmake --install $(BUILD) --prefix $(PREFIX)

# Removes what make install (or cmake --install) put in place, under the
# DESTDIR it went to, as the install recorded it in $(BUILD)/install_record.txt:
# each file unless it has changed since, and the folders the install created
# if they are left empty.
uninstall:
	@cmake -DRILL_RECORD=$(BUILD)/install_record.txt -DRILL_DESTDIR="$(DESTDIR)" -P cmake/uninstall.cmake

# The tests once more, built with AddressSanitizer and UndefinedBehaviorSanitizer.
# float-cast-overflow is named because GCC leaves it out of "undefined": an
# out-of-range real converted to an integer must never happen.
sanitize-test: deps
	cmake -S . -B build-sanitize $(call generator,build-sanitize) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_OPTIONS) \
	  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer"
	cmake --build build-sanitize
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j2

# The tests once more, built with clang, so that code only GCC accepts is caught.
clang-test: deps
	@$(call install_missing,clang:/usr/bin/clang++,)
	cmake -S . -B build-clang $(call generator,build-clang) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_OPTIONS)
	cmake --build build-clang
	ctest --test-dir build-clang --output-on-failure --no-tests=error -j2

# The tests once more with native loops following Win64's calling convention
# (and the functions they call and are called through, by GCC's ms_abi):
# Windows' code generation, checked by the whole suite on Linux.
win64-abi-test: deps
	cmake -S . -B build-win64abi $(call generator,build-win64abi) -DCMAKE_BUILD_TYPE=Release \
	  -DRILL_NATIVE_WIN64_ABI=ON $(CMAKE_OPTIONS)
	cmake --build build-win64abi
	ctest --test-dir build-win64abi --output-on-failure --no-tests=error -j2

# rill for 64-bit ARM, cross-built with Debian's toolchain and tested under
# qemu-user: CTest starts every test through the emulator, and the tests
# start rill through it.
CROSS_NEEDED := g++-aarch64-linux-gnu:/usr/bin/aarch64-linux-gnu-g++ qemu-user:/usr/bin/qemu-aarch64 \
                libasmjit-dev:arm64:/usr/lib/aarch64-linux-gnu/libasmjit.a \
                libgtest-dev:arm64:/usr/lib/aarch64-linux-gnu/libgtest.a
# Stops the clock for random programs compared under the emulator (--frozen-clock).
CROSS_WANTED := libfaketime:/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
deps-cross: deps
	@dpkg --print-foreign-architectures | grep -qx arm64 || [ "$$(id -u)" != 0 ] || dpkg --add-architecture arm64
	@$(call install_missing,$(CROSS_NEEDED),$(CROSS_WANTED))

cross-test: deps-cross
	cmake -S . -B build-aarch64 $(call generator,build-aarch64) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake $(CMAKE_OPTIONS)
	cmake --build build-aarch64
	ctest --test-dir build-aarch64 --output-on-failure --no-tests=error -j2

# rill for 64-bit Windows: one static rill.exe with native loops,
# cross-built with Debian's mingw-w64 against an asmjit built for Windows
# (windows-asmjit, below) and tested under wine.
WIN_NEEDED := g++-mingw-w64-x86-64-posix:/usr/bin/x86_64-w64-mingw32-g++-posix \
              binutils-mingw-w64-x86-64:/usr/bin/x86_64-w64-mingw32-windres \
              wine:/usr/bin/wine-stable wine64:/usr/lib/wine/wine64
WIN_GTEST  := $(CURDIR)/build-windows-gtest/prefix
WIN_CONFIGURE = cmake -S . -B build-windows $(call generator,build-windows) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake "-DCMAKE_PREFIX_PATH=$(WIN_ASMJIT);$(WIN_GTEST)" -DRILL_NATIVE=ON $(CMAKE_OPTIONS)
# The DLLs every Windows has; rill.exe must load no other.
WIN_SYSTEM_DLLS := kernel32.dll msvcrt.dll shell32.dll user32.dll advapi32.dll
# Under wine, output and status a program gives, as the harness runs it.
WIN_RUN := env WINEDEBUG=-all wine

# asmjit for the Windows build: Debian's own source of the version its
# libasmjit-dev packages, fetched with apt-get source (a deb-src entry is
# added for Debian's archive when none is there) and built static with the
# toolchain rill.exe is built with, into $(WIN_ASMJIT). A second run finds
# it built and does nothing.
WIN_ASMJIT_VERSION := 0.0~git20221210.5b5b0b3-1
WIN_ASMJIT_DIR := build-windows-asmjit
WIN_ASMJIT := $(CURDIR)/$(WIN_ASMJIT_DIR)/prefix
WIN_ASMJIT_SOURCE := $(CURDIR)/$(WIN_ASMJIT_DIR)/source-$(WIN_ASMJIT_VERSION)
WIN_ASMJIT_STAMP := $(WIN_ASMJIT)/built-$(WIN_ASMJIT_VERSION)
WIN_ASMJIT_NEEDED := dpkg-dev:/usr/bin/dpkg-source cmake:/usr/bin/cmake
# The deb-src twin of each entry for Debian's archive, where no deb-src
# entry is there yet: one-line entries of sources.list, and stanzas of the
# deb822 .sources files.
APT_DEB_SRC := /etc/apt/sources.list.d/rill-deb-src
add_deb_src = if ! grep -Eqs '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
	  /etc/apt/sources.list.d/*.sources; then \
	  [ "$$(id -u)" = 0 ] || { echo "no deb-src entry for apt-get source; run make windows-asmjit as root" >&2; exit 1; }; \
	  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | \
	    sed -n 's/^deb \(.*debian\.org\)/deb-src \1/p' > $(APT_DEB_SRC).list; \
	  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | \
	    awk 'BEGIN { RS = ""; ORS = "\n\n" } /debian\.org/ { sub(/Types: *deb\n/, "Types: deb-src\n"); print }' \
	    > $(APT_DEB_SRC).sources; \
	  apt-get update -qq; fi

windows-asmjit: $(WIN_ASMJIT_STAMP)

# Another version pinned fetches and builds afresh.
$(WIN_ASMJIT_STAMP): | deps-windows
	@$(call install_missing,$(WIN_ASMJIT_NEEDED),)
	@$(add_deb_src)
	[ -d $(WIN_ASMJIT_SOURCE) ] || { rm -rf $(WIN_ASMJIT_DIR) && mkdir -p $(WIN_ASMJIT_DIR)/fetch && \
	  cd $(WIN_ASMJIT_DIR)/fetch && apt-get source -qq asmjit=$(WIN_ASMJIT_VERSION) && mv asmjit-*/ $(WIN_ASMJIT_SOURCE); }
	cmake -S $(WIN_ASMJIT_SOURCE) -B $(WIN_ASMJIT_DIR)/build $(call generator,$(WIN_ASMJIT_DIR)/build) \
	  -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-w64-mingw32.cmake \
	  -DASMJIT_STATIC=ON -DASMJIT_NO_FOREIGN=ON -DASMJIT_TEST=OFF -DCMAKE_INSTALL_PREFIX=$(WIN_ASMJIT) >/dev/null
	cmake --build $(WIN_ASMJIT_DIR)/build -j2
	cmake --install $(WIN_ASMJIT_DIR)/build >/dev/null
	touch $@

deps-windows:
	@$(call install_missing,$(WIN_NEEDED),)

windows: deps-windows deps-build windows-asmjit
	$(WIN_CONFIGURE) -DRILL_TESTS=OFF
	@grep -q '^RILL_NATIVE:BOOL=ON' build-windows/CMakeCache.txt || { echo "native loops are off in build-windows" >&2; exit 1; }
	cmake --build build-windows --target rill
	@x86_64-w64-mingw32-objdump -p build-windows/rill.exe | sed -n 's/^[[:space:]]*DLL Name: //p' | tr A-Z a-z | \
	  while read -r dll; do case " $(WIN_SYSTEM_DLLS) " in *" $$dll "*) ;; \
	  *) echo "rill.exe loads $$dll, which is not a system DLL" >&2; exit 1;; esac; done
	@echo "build-windows/rill.exe: loads only system DLLs"

# GoogleTest for Windows, built from Debian's source of it with the same toolchain.
windows-gtest: deps-windows
	@$(call install_missing,googletest:/usr/src/googletest/CMakeLists.txt,)
	@[ -f $(WIN_GTEST)/include/gtest/gtest.h ] || { \
	  cmake -S /usr/src/googletest -B build-windows-gtest $(call generator,build-windows-gtest) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-w64-mingw32.cmake -DCMAKE_INSTALL_PREFIX=$(WIN_GTEST) \
	    -DBUILD_GMOCK=OFF >/dev/null && \
	  cmake --build build-windows-gtest && cmake --install build-windows-gtest >/dev/null; }

# The unit tests built for Windows under wine; then the end-to-end programs
# (on every way of running a loop), the examples and the fuzzing finds, from
# a Linux build of the harness, and the interrupts, against rill.exe under wine. A wine server kept running makes
# each run take a tenth of a second rather than seconds. A server left from an earlier run is ended first, and
# one run of rill.exe waits for wine's own services to be up, so that no timed step pays for their start.
windows-test: windows windows-gtest deps
	@wineserver -k 2>/dev/null; wineserver -p 2>/dev/null || true
	@$(WIN_RUN) build-windows/rill.exe --version >/dev/null
	$(WIN_CONFIGURE) -DRILL_TESTS=ON
	cmake --build build-windows
	ctest --test-dir build-windows --output-on-failure --no-tests=error -j2
	cmake -S . -B build-windows-host $(call generator,build-windows-host) -DCMAKE_BUILD_TYPE=Release -DRILL_NATIVE=OFF \
	  -DRILL_TEST_TARGET=$(CURDIR)/build-windows/rill.exe "-DRILL_TEST_EMULATOR=$(WIN_RUN)" $(CMAKE_OPTIONS)
	cmake --build build-windows-host --target rill_program_tests
	ctest --test-dir build-windows-host --output-on-failure --no-tests=error -j2 \
	  -R '^(All/(Program|LoopWalk|FuzzRegression)|Example|StatementLimit)[.]'
	python3 tests/windows/interrupt_test.py build-windows/rill.exe $(WIN_RUN)

# rill.exe, the README and the examples in one zip, with its SHA-256 sum.
WIN_ZIP := rill-$(shell grep -m1 -o 'project.rill VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)-windows-x86_64.zip
windows-zip: windows
	@$(call install_missing,zip:/usr/bin/zip,)
	rm -rf build-windows/zip build-windows/$(WIN_ZIP) && mkdir -p build-windows/zip/rill
	cp build-windows/rill.exe README.md build-windows/zip/rill/
	cp -r examples build-windows/zip/rill/
	cd build-windows/zip && zip -qrX ../$(WIN_ZIP) rill
	cd build-windows && sha256sum $(WIN_ZIP) > $(WIN_ZIP).sha256 && cat $(WIN_ZIP).sha256

# Static analysis of src/ with the checks in .clang-tidy: every source this
# build compiles (the Windows layer is checked by its compiler under -Werror).
lint:
	@command -v clang-tidy >/dev/null || { apt-get update -qq && apt-get install -y -qq clang-tidy; }
	cmake -S . -B build-lint $(call generator,build-lint) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DRILL_TESTS=OFF >/dev/null
	clang-tidy -p build-lint --quiet $$(ls src/*/*.cpp | grep -v '^src/platform/windows[.]cpp$$') 2>/dev/null

# Every C++ file; the few hand-aligned tables sit between "// clang-format off"
# and "// clang-format on".
FORMATTED = $$(git ls-files '*.cpp' '*.h')

# Fails, showing where, when a source file is not laid out as .clang-format says.
format-check:
	@$(call install_missing,clang-format:/usr/bin/clang-format,)
	clang-format --dry-run --Werror $(FORMATTED)

# Lays the files format-check checks out as .clang-format says.
format:
	clang-format -i $(FORMATTED)

# What the build and the tests need, from Debian's archive when missing (as root).
deps-build:
	@$(call install_missing,$(BUILD_NEEDED),$(BUILD_WANTED))

# The editors' grammar test runner comes from the npm registry.
deps:
	@$(call install_missing,$(BUILD_NEEDED) $(TEST_NEEDED),$(BUILD_WANTED))
	@[ -x editors/vscode/node_modules/.bin/vscode-tmgrammar-test ] || \
	  (cd editors/vscode && npm install --no-package-lock --no-audit --no-fund --loglevel=error)

# The playground: the interpreter alone (no tests, no native code) built to
# WebAssembly, and the static site around it in build-web/site/. emcc runs
# its JavaScript tools under node, which looks for them in Debian's modules.
WEB_NODE := NODE_PATH=/usr/share/nodejs:/usr/lib/nodejs node --no-experimental-fetch
# Debian's Python: selenium is one of its packages, not the first python3 on the PATH.
WEB_PYTHON := /usr/bin/python3

web: deps-web
	NODE_PATH=/usr/share/nodejs:/usr/lib/nodejs emcmake cmake -S . -B build-web $(call generator,build-web) \
	  -DCMAKE_BUILD_TYPE=Release -DRILL_TESTS=OFF -DRILL_NATIVE=OFF >/dev/null
	NODE_PATH=/usr/share/nodejs:/usr/lib/nodejs cmake --build build-web --target rill -j2
	$(WEB_NODE) web/make_site.js build-web

# emscripten, and for make web-test a headless browser, its driver and
# selenium (emscripten brings node and the JavaScript modules its tools use).
# Then, from the npm registry at the versions web/package-lock.json pins, the
# editor, its bundler, the accessibility check and the formatter.
WEB_NEEDED := emscripten:/usr/bin/emcc cmake:/usr/bin/cmake chromium:/usr/bin/chromium \
  chromium-driver:/usr/bin/chromedriver python3-selenium:/usr/lib/python3/dist-packages/selenium \
  nodejs:/usr/bin/node npm:/usr/bin/npm
deps-web:
	@$(call install_missing,$(WEB_NEEDED),$(BUILD_WANTED))
	@[ web/node_modules/.package-lock.json -nt web/package-lock.json ] || \
	  (cd web && npm ci --no-audit --no-fund --loglevel=error)

# The site on localhost, with the two headers that let console input wait
# for the user (PORT=0 picks a free port).
PORT ?= 8000
web-serve: web
	$(WEB_PYTHON) web/serve.py build-web/site $(PORT)

# Every end-to-end program through the browser build under node, then the
# page itself in headless Chromium, compared with the native build.
web-test: deps web
	$(WEB_NODE) tests/web/programs_test.js build-web/site tests/programs
	$(MAKE) rill
	cmake --build $(BUILD) --target rill_scan
	node tests/web/language_test.mjs $(BUILD)/tests/rill_scan examples/*.rill sample.txt tests/web/language_cases.rill tests/web/language_header.rill
	$(PRETTIER) --check $(WEB_JS)
	$(WEB_PYTHON) tests/web/browser_test.py build-web $(BUILD)/rill

# The playground's JavaScript, laid out as web/.prettierrc.json says.
PRETTIER := web/node_modules/.bin/prettier --config web/.prettierrc.json
WEB_JS := web/*.js web/editor/*.mjs tests/web/*.js tests/web/*.mjs
web-format: deps-web
	$(PRETTIER) --write $(WEB_JS)

# The loop benchmarks in the page against the native build's threaded replay.
web-bench: web
	$(MAKE) rill
	$(WEB_PYTHON) tests/web/loops_bench.py build-web $(BUILD)/rill

clean:
	rm -rf $(BUILD) build-sanitize build-lint build-web build-threaded build-clang build-aarch64 build-windows build-windows-host build-windows-gtest build-win64abi $(WIN_ASMJIT_DIR)
