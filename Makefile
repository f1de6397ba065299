# Drives the CMake build. `make` builds build/vesklo, `make test` runs every
# test, `make demo` shows the tool at work without serial hardware.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
SKIPPED := $(CURDIR)/$(BUILD)/skipped

# What the whole suite needs beyond a C++ compiler: GoogleTest, the Windows
# cross-compiler and Wine, clang's libFuzzer, the packaging tools, GNU time
# for the benchmark, setpriv for the runs as an ordinary user, QEMU,
# busybox and cpio for the guests with real UARTs, the ARM cross compilers,
# QEMU's ARM machines and user-mode emulator, and the device tree tools
# for the Raspberry Pi guest.
DEPS := cmake make g++ libgtest-dev g++-mingw-w64-x86-64-posix wine wine64 clang \
	libclang-rt-dev dpkg-dev lintian man-db groff-base python3 time util-linux \
	qemu-system-x86 busybox-static cpio \
	g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-system-arm qemu-user-static \
	device-tree-compiler

.PHONY: all test demo bench bench-line windows arm64 armhf cross sanitize sanitize-build generic-build \
	install package deps clean guest-image

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Every suite; one that a missing tool rules out is skipped, and the last
# line says which and how to get them. The suites run side by side with
# the builds they need, as many at once as there are CPUs (a guest suite
# runs its kernels side by side too), the longest first, those that
# mostly wait on lines (guests, the generic build's serial tests) beside
# those that compute (the ARM emulation, Wine, the sanitizers), each with
# resources of its own (a build folder, the Wine prefix, a guest's
# sockets), and each one's output shown whole when it ends.
SUITES := suite-chip-guest suite-wine suite-native suite-arm-guests suite-acm-guest \
	suite-generic suite-16550-guest suite-usb-guest suite-armhf
ifeq ($(VESKLO_TEST_ALL),1)
SUITES += suite-sanitize
endif
.PHONY: $(SUITES) suite-sanitize install-needed test-all
test: install-needed
	@$(MAKE) --no-print-directory all
	@rm -f $(SKIPPED)
	@status=0; $(MAKE) --no-print-directory -k -j$(JOBS) --output-sync=target $(SUITES) || status=1; \
	if [ -s $(SKIPPED) ]; then \
	  echo "skipped: $$(paste -sd';' $(SKIPPED) | sed 's/;/; /g'). 'make deps' (as root) installs what they need, and a run as root runs the cases that need it."; \
	else echo "skipped: none"; fi; exit $$status

# make test stays within 5 minutes on an idle 2-CPU machine: on the
# newest kernel it runs only the guest rows whose outcome depends on the
# kernel's timing or driver, and it leaves out the rows marked full_only
# (the PL2303 and the Raspberry Pi guest) and the sanitizers' suite (`make
# sanitize`). This runs all of them, every row on every kernel; CI runs it
# too.
test-all:
	@VESKLO_TEST_ALL=1 $(MAKE) --no-print-directory test

# What each suite needs built first.
suite-chip-guest suite-acm-guest suite-usb-guest suite-16550-guest: guest-image
suite-wine: windows
suite-arm-guests: arm64 armhf
suite-armhf: armhf
suite-sanitize: sanitize-build
suite-generic: generic-build

# Two cases a CPU: most of them wait on lines and on the 2 s quiet end.
suite-native:
	@sh tests/gtest_suite.sh $(SKIPPED) "the native suite" sh -c 'cd $(BUILD) && ctest --output-on-failure -j $$(($(JOBS) * 2))'
suite-sanitize:
	@sh tests/gtest_suite.sh $(SKIPPED) "the sanitizers' suite" sh -c 'cd build-sanitize && ctest --output-on-failure -j $$(($(JOBS) * 2))'
# The generic POSIX build's cli and serial tests, each program run whole so
# that the reasons of its skipped cases can be read.
suite-generic:
	@if [ -x build-generic/tests/serial_tests ]; then status=0; \
	  sh tests/gtest_suite.sh $(SKIPPED) "the generic POSIX suite" build-generic/tests/cli_tests \
	    --gtest_filter='-*OnWindows' || status=1; \
	  sh tests/gtest_suite.sh $(SKIPPED) "the generic POSIX suite" build-generic/tests/serial_tests \
	    --gtest_filter='-WineSerial.*' || status=1; exit $$status; \
	else echo "generic POSIX suite: skipped (its tests were not built: GoogleTest missing)"; \
	  echo "the generic POSIX suite (GoogleTest missing)" >> $(SKIPPED); fi
suite-wine:
	@sh tests/wine_suite.sh $(BUILD)/tests/cli_tests $(CURDIR)/build-windows/vesklo.exe $(SKIPPED)
suite-armhf:
	@sh tests/qemu_user_suite.sh $(BUILD)/tests $(CURDIR)/build-armhf/vesklo $(SKIPPED)
guest-image:
	@sh tests/guest/run.sh $(BUILD) $(SKIPPED) image
suite-16550-guest:
	@sh tests/guest/run.sh $(BUILD) $(SKIPPED) guest_suite
suite-usb-guest:
	@sh tests/guest/run.sh $(BUILD) $(SKIPPED) usb_suite
suite-acm-guest:
	@sh tests/guest/run.sh $(BUILD) $(SKIPPED) acm_suite
suite-chip-guest:
	@sh tests/guest/run.sh $(BUILD) $(SKIPPED) chip_suite
suite-arm-guests:
	@sh tests/guest/run_arm.sh $(BUILD) $(CURDIR)/build-arm64/vesklo $(CURDIR)/build-armhf/vesklo $(SKIPPED)

# The native suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the test that caused it.
sanitize: sanitize-build
	cd build-sanitize && ctest --output-on-failure -j $(JOBS)
sanitize-build:
	cmake -S . -B build-sanitize -DVESKLO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-sanitize -j $(JOBS)

# The path that a BSD or macOS build takes, POSIX calls alone in place of
# Linux's own queries (VESKLO_GENERIC_POSIX), built on Linux; it still runs
# on Linux's terminals.
# Only what its suite runs, unoptimised: the path is there to be compiled
# and exercised, not timed.
generic-build:
	cmake -S . -B build-generic -DVESKLO_GENERIC_POSIX=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-generic -j $(JOBS) --target vesklo cli_tests serial_tests line_standin

# The Windows build, cross-compiled with mingw-w64; skipped with a note
# where the cross-compiler is missing.
windows:
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then \
	  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release && cmake --build build-windows -j $(JOBS); \
	else echo "windows build: skipped (x86_64-w64-mingw32-g++-posix missing)"; \
	  mkdir -p $(BUILD); echo "the Windows build (mingw-w64 missing)" >> $(SKIPPED); fi

# The ARM builds for Linux (the Raspberry Pi), cross-compiled:
# build-arm64/vesklo and build-armhf/vesklo; each skipped with a note where
# its cross compiler is missing.
arm64:
	@$(MAKE) --no-print-directory cross ARCH=arm64 TRIPLET=aarch64-linux-gnu
armhf:
	@$(MAKE) --no-print-directory cross ARCH=armhf TRIPLET=arm-linux-gnueabihf
cross:
	@if command -v $(TRIPLET)-g++ >/dev/null 2>&1; then \
	  cmake -S . -B build-$(ARCH) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux.cmake -DVESKLO_TRIPLET=$(TRIPLET) \
	    -DCMAKE_BUILD_TYPE=Release -DVESKLO_TESTS=OFF && cmake --build build-$(ARCH) -j $(JOBS); \
	else echo "$(ARCH) build: skipped ($(TRIPLET)-g++ missing)"; \
	  mkdir -p $(BUILD); echo "the $(ARCH) build ($(TRIPLET)-g++ missing)" >> $(SKIPPED); fi

demo: all
	sh demo/demo.sh $(BUILD)

bench: all windows
	python3 bench/bench.py $(BUILD)/vesklo build-windows/vesklo.exe

# 64 KiB through the paced null modem at 115200 baud, 7 data bits.
bench-line: all
	python3 bench/line.py $(BUILD)/vesklo

install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# build/vesklo_VERSION_amd64.deb, build-windows/vesklo-VERSION-win64.zip,
# build-arm64/vesklo_VERSION_arm64.deb and build-armhf/vesklo_VERSION_armhf.deb
# where those builds can be made.
package: all windows arm64 armhf
	cd $(BUILD) && cpack
	@for b in build-windows build-arm64 build-armhf; do \
	  if [ -f $$b/CPackConfig.cmake ]; then (cd $$b && cpack) || exit 1; fi; done

# Run as root where apt-get is, `make test` first installs what the
# suites need and is missing, saying so in one line (the log of the install
# is kept in $(BUILD)/deps.log); VESKLO_NO_INSTALL=1 turns that off. Run
# by another user it installs nothing: the closing line names what was
# skipped and the command that brings it.
install-needed:
	@if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 && [ "$${VESKLO_NO_INSTALL:-}" != 1 ]; then \
	  missing=; for p in $(DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	  dpkg --print-foreign-architectures | grep -qx arm64 || missing="$$missing (the arm64 package lists)"; \
	  if [ -n "$$missing" ]; then \
	    echo "make test: installing what the suites need:$$missing"; mkdir -p $(BUILD); \
	    $(MAKE) --no-print-directory deps > $(BUILD)/deps.log 2>&1 || \
	      { tail -20 $(BUILD)/deps.log; echo "make test: the install failed (log: $(BUILD)/deps.log)"; exit 1; }; \
	  fi; \
	fi

# Everything the whole suite needs, from Debian's packages (as root). The
# ARM guest's kernel and busybox are arm64 packages: the architecture is
# added so that apt-get can download them (nothing of it is installed).
# apt waits for a lock that another apt holds rather than failing on it.
deps:
	dpkg --add-architecture arm64
	apt-get -o DPkg::Lock::Timeout=600 update
	DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y $(DEPS)

clean:
	rm -rf $(BUILD) build-windows build-arm64 build-armhf build-sanitize build-generic build-fuzz
