# Thin wrapper over CMake, so that the two set-up commands stay short.
# Uses Ninja where it is installed.
BUILD     ?= build
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)

.PHONY: all run test sanitize-test lint deps clean

all:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)

run: all
	./$(BUILD)/rill sample.txt

test: deps all
	ctest --test-dir $(BUILD) --output-on-failure -j2

# The tests once more, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-test: deps
	cmake -S . -B build-sanitize $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
	cmake --build build-sanitize
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-sanitize --output-on-failure -j2

# Static analysis of src/ with the checks in .clang-tidy.
lint:
	@command -v clang-tidy >/dev/null || { apt-get update -qq && apt-get install -y -qq clang-tidy; }
	cmake -S . -B build-lint $(GENERATOR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DRILL_TESTS=OFF >/dev/null
	clang-tidy -p build-lint --quiet src/*/*.cpp 2>/dev/null

# The compiler, CMake and GoogleTest, from Debian's archive when missing.
deps:
	@if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || \
	    ! [ -f /usr/include/gtest/gtest.h ]; then \
	  apt-get update -qq && apt-get install -y -qq cmake g++ ninja-build libgtest-dev; \
	fi

clean:
	rm -rf $(BUILD) build-sanitize build-lint
