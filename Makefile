# Thin wrapper for the README's two commands, and make install.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# CI sets WERROR=ON; a user's build never fails on a new compiler's warnings.
WERROR ?= OFF
PREFIX ?= /usr/local

# What each target needs on a fresh machine; tools/need.sh installs what is missing.
BUILD_PACKAGES = g++ cmake make libsodium-dev
TEST_PACKAGES = $(BUILD_PACKAGES) libgtest-dev libgmock-dev googletest libbenchmark-dev zlib1g-dev \
	minisign python3-cryptography locales

.PHONY: all demo check install clean

all:
	cmake -S . -B $(BUILD) -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Builds kelpa, makes an archive of the bundled example, lists it and runs it.
demo:
	@sh tools/need.sh $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) -DKELPA_TESTS=OFF -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kelpa
	sh examples/demo.sh $(BUILD)/kelpa

# Builds everything and runs every test. End-to-end tests mostly wait (an
# archive run pauses 2 seconds), so run many at once.
check:
	@sh tools/need.sh $(TEST_PACKAGES)
	cmake -S . -B $(BUILD) -DKELPA_TESTS=ON -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 4 ))

# kelpa in $(PREFIX)/bin and its manual page in $(PREFIX)/share/man/man1.
install:
	@sh tools/need.sh $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) -DKELPA_TESTS=OFF -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kelpa
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
