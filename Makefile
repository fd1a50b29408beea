# Thin wrapper for the README's two commands.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# CI sets WERROR=ON; a user's build never fails on a new compiler's warnings.
WERROR ?= OFF

.PHONY: all demo check clean

all:
	cmake -S . -B $(BUILD) -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Builds kelpa, makes an archive of the bundled example, lists it and runs it.
demo:
	@sh tools/need.sh libsodium-dev
	cmake -S . -B $(BUILD) -DKELPA_TESTS=OFF -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kelpa
	sh examples/demo.sh $(BUILD)/kelpa

# Builds everything and runs every test. End-to-end tests mostly wait (an
# archive run pauses 2 seconds), so run many at once.
check:
	@sh tools/need.sh libsodium-dev minisign python3-cryptography
	cmake -S . -B $(BUILD) -DKELPA_TESTS=ON -DKELPA_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 4 ))

clean:
	rm -rf $(BUILD)
