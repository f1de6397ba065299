# Drives the CMake build. `make` builds build/vesklo, `make test` runs every
# test, `make demo` shows the tool at work without serial hardware.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all test demo bench bench-line windows sanitize install clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: all windows sanitize
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	sh tests/wine_suite.sh $(BUILD)/tests/cli_tests $(CURDIR)/build-windows/vesklo.exe

# The native suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the test that caused it.
sanitize:
	cmake -S . -B build-sanitize -DVESKLO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ctest --output-on-failure -j $(JOBS)

# The Windows build, cross-compiled with mingw-w64; skipped with a note
# where the cross-compiler is missing.
windows:
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then \
	  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release && cmake --build build-windows -j $(JOBS); \
	else echo "windows build: skipped (x86_64-w64-mingw32-g++-posix missing)"; fi

demo: all
	sh demo/demo.sh $(BUILD)

bench: all
	python3 bench/bench.py $(BUILD)/vesklo

# 64 KiB through the paced null modem at 115200 baud, 7 data bits.
bench-line: all
	python3 bench/line.py $(BUILD)/vesklo

install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-windows build-sanitize
