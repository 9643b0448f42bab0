# The two commands of the README: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
GENERATOR  ?= Ninja
# Four at a time on two cores: the end-to-end runs spend their time in the
# phone's waits, not on a core (the normal suite takes 49 s so, 104 s two at
# a time; the sanitizer suite 78 s).
CTEST_ARGS ?= --output-on-failure -j4 --timeout 300

export ASAN_OPTIONS  ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1

INSTALL_BUILD ?= build-install
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60

# Our own builds treat warnings as errors; a user's plain cmake build does not.
OWN_OPTIONS ?= -DQUORVALEN_WERROR=ON

.PHONY: all setup build run test test-normal test-asan test-install soak bench fuzz fuzz-build fuzz-smoke clean

all: build

setup:
	@scripts/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(OWN_OPTIONS)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) --target quorvalen-cli
	$(BUILD)/tools/quorvalen tour

test: test-normal test-asan test-install fuzz-smoke

test-normal: setup
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(OWN_OPTIONS)
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

# The sanitizer build runs every test but the end-to-end runs of one-off
# commands over pseudo-terminals (seconds of the phone's waits each): what
# they drive runs in-process in the cli tests there (the messages' too);
# the mount, the shell, the held connection and the phone's own roads keep
# their end-to-end runs.
ASAN_SKIP ?= ^e2e\.(CliEndToEnd\.(FileSubcommands|PhoneSubcommandsSettingsAndUsage|AnInterruptedCopyLeavesNoPartAndResumes|TheTourRunsEveryStep)|PhoneEndToEnd\.TheCableRoadOverAPseudoTerminal|MessagesEndToEnd\..*)$$

test-asan: setup
	cmake -S . -B $(ASAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVALEN_SANITIZE=ON -DQUORVALEN_BENCH=OFF -DQUORVALEN_HEADER_CHECKS=OFF $(OWN_OPTIONS)
	cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) $(CTEST_ARGS) -E '$(ASAN_SKIP)'

# A Release build with the other compiler, installed into a temporary prefix,
# and the example built against that install and run against the phone.
test-install: setup
	GENERATOR=$(GENERATOR) scripts/check-install.sh $(INSTALL_BUILD)

# The seeded fault soak of the session against the simulated phone; each
# seed picks its configuration. A failing seed prints how to replay it.
SEED ?= 1-200
SEEDS ?= $(SEED)
COUNT ?= 50
soak: build
	$(BUILD)/tests/soak --seeds $(SEEDS) --count $(COUNT)

bench: build
	for b in $(BUILD)/bench/*_bench; do $$b; done

FUZZ_SMOKE_SECONDS ?= 20

$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVALEN_FUZZ=ON $(OWN_OPTIONS)

fuzz-build: setup $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) --target fuzz_targets

# Runs every fuzz target for FUZZ_SECONDS seconds (make fuzz FUZZ_SECONDS=300),
# two at a time, each on its corpus under $(FUZZ_BUILD)/corpus with the
# checked-in seeds of tests/fuzz/corpus.
fuzz: fuzz-build
	scripts/fuzz-run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The short run that make test makes when clang is there.
fuzz-smoke: setup
	@if command -v clang++ >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory fuzz-build && \
	  scripts/fuzz-run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS); \
	else echo "fuzz-smoke: no clang++, the fuzz targets are not run"; fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(INSTALL_BUILD) $(FUZZ_BUILD)
