# Entry points for people and CI. Everything builds out of tree under build/.
#   make          the launcher: build/x86/setup.exe (product), build/x64/setup.exe
#   make demo     install and remove the sample package with it under Wine
#   make test     every test: unit (native), lint, built-image checks, end to end under
#                 Wine, a minute of fuzzing, then the 32-bit product under 32-bit Wine,
#                 then the 32-bit product under Wine 10 (Debian 13's, in its own tree);
#                 each stage within a time limit, then a table of stages and times
#                 (tests/stages.py). SETUP_X86_VIA_QEMU=1: run 32-bit Linux programs
#                 through qemu for the run even where the kernel runs them itself
#   make bench    extraction speed, memory and size figures
#   make deps     the Debian packages all of this needs, and 32-bit Wine
#                 (SETUP_SKIP_X86_RUN=1: neither set up nor run the 32-bit product),
#                 and Wine 10 in /var/lib/setup-e2e/trixie (SETUP_SKIP_WINE10=1: not that)
#   make demo-deps  only what the demo needs: the 32-bit cross compiler, Wine, 32-bit Wine

PYTHON := /usr/bin/python3
JOBS   ?= $(shell nproc)
ARGS   ?= /q /l
# 1: the machine cannot run 32-bit Wine; make test then leaves out the run of
# the 32-bit product under Wine (everything else still runs).
SETUP_SKIP_X86_RUN ?=
# 1: Wine 10 cannot be set up here (not root, no unshare, no Debian archive);
# make test then leaves out the second engine's stage.
SETUP_SKIP_WINE10 ?=
# 1: make test hands 32-bit Linux programs to qemu-i386-static for the run
# (binfmt_misc, put back afterwards), as on a machine whose kernel runs none.
SETUP_X86_VIA_QEMU ?=

# What building both executables and running the demo need; then what the
# tests need besides.
DEMO_PACKAGES := cmake make g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 wine64 wixl msitools \
	python3
X64_PACKAGES := g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
TEST_PACKAGES := $(X64_PACKAGES) g++ clang clang-format clang-tidy libclang-rt-14-dev googletest libgtest-dev \
	libgmock-dev xvfb xdotool osslsigncode openssl python3-pefile debootstrap

# Installs the Debian packages of $(1) that are missing.
define install_packages
	@missing=$$(dpkg-query -W -f='$${Package} $${Status}\n' $(1) 2>/dev/null \
	    | awk '$$NF != "installed" {print $$1}'; \
	  for p in $(1); do dpkg-query -W $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: " $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

.PHONY: all x86 x64 native fuzz deps demo-deps x64-deps demo test unit-test lint e2e-test e2e-x86-test e2e-wine10-test image-test fuzz-test bench clean

# Sources under clang-format, and the logic under clang-tidy (the native build's
# compile commands; the Win32 host and entry build only with mingw).
FORMATTED := $(wildcard installer/setup/*/*.cpp installer/setup/*/*.h tests/unit/*.cpp \
	tests/unit/*.h tests/fuzz/*.cpp)
TIDIED := $(wildcard installer/setup/app/*.cpp installer/setup/cmdline/*.cpp \
	installer/setup/package/*.cpp) installer/setup/platform/dll_search.cpp \
	installer/setup/platform/file_entry.cpp \
	installer/setup/platform/framework.cpp \
	installer/setup/platform/text.cpp

all: x86 x64

x86 x64 native fuzz:
	cmake --preset $@ >/dev/null
	cmake --build build/$@ -j$(JOBS)

# One apt-get run for all packages (32-bit Wine's too) where the tests need them too.
deps: PACKAGES := $(DEMO_PACKAGES) $(TEST_PACKAGES)
demo-deps: PACKAGES := $(DEMO_PACKAGES)
deps demo-deps:
ifeq ($(SETUP_SKIP_X86_RUN),1)
	$(call install_packages,$(PACKAGES))
else
	tests/e2e/x86-wine.sh install $(PACKAGES)
endif
ifneq ($(SETUP_SKIP_WINE10),1)
	$(if $(filter deps,$@),tests/e2e/wine10.sh install)
endif

# The product itself where 32-bit Wine runs, else its x64 twin (whose cross
# compiler only then comes in).
demo: demo-deps x86
	@if [ "$(SETUP_SKIP_X86_RUN)" != 1 ] && tests/e2e/x86-wine.sh check 2>/dev/null; then \
	  $(PYTHON) tests/e2e/demo.py build/x86/setup.exe $(ARGS); \
	else \
	  echo "32-bit Wine does not run here: showing the x64 build instead"; \
	  $(MAKE) --no-print-directory x64-deps x64 && $(PYTHON) tests/e2e/demo.py build/x64/setup.exe $(ARGS); \
	fi

x64-deps:
	$(call install_packages,$(X64_PACKAGES))

unit-test: native
	cd build/native && ctest --output-on-failure -j$(JOBS)

lint: native
	clang-format --dry-run --Werror $(FORMATTED)
	clang-tidy -p build/native --quiet $(TIDIED)

image-test: all
	$(PYTHON) -m unittest discover -s tests/image -t . -v

e2e-test: x64
	$(PYTHON) -m unittest discover -s tests/e2e -t . -v

# The 32-bit product itself under 32-bit Wine (the runner is the x64 build's).
e2e-x86-test: x86 x64
ifeq ($(SETUP_SKIP_X86_RUN),1)
	@echo "e2e-x86-test: SKIPPED by SETUP_SKIP_X86_RUN=1: build/x86/setup.exe was not run"
else
	tests/e2e/x86-wine.sh check
	$(PYTHON) -m unittest -v tests.e2e.x86_product
endif

# The 32-bit product under the second engine, Wine 10 (tests/e2e/wine10.sh).
e2e-wine10-test: x86 x64
ifeq ($(SETUP_SKIP_WINE10),1)
	@echo "e2e-wine10-test: SKIPPED by SETUP_SKIP_WINE10=1: nothing was run under Wine 10"
else
	tests/e2e/wine10.sh check
	$(PYTHON) -m unittest -v tests.e2e.wine10_product
endif

fuzz-test: fuzz
	tests/fuzz/run-fuzzer.sh build/fuzz/tests/fuzz/command_line_fuzzer 60

test: deps
	$(PYTHON) -B tests/stages.py $(if $(filter 1,$(SETUP_X86_VIA_QEMU)),--via-qemu)

bench: deps all
	bench/run.sh

clean:
	rm -rf build
