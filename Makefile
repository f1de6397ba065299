# Drives the CMake build. `make` builds build/vesklo, `make test` runs every
# test, `make demo` shows the tool at work without serial hardware.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all test demo bench windows install clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: all
	sh demo/demo.sh $(BUILD)

bench: all
	python3 bench/bench.py $(BUILD)/vesklo

install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-windows build-sanitize
