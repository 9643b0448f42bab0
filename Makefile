# The two commands of the README: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
GENERATOR  ?= Ninja
# Four at a time on two cores: the end-to-end runs spend their time in the
# phone's waits, not on a core (two at a time took twice as long).
CTEST_ARGS ?= --output-on-failure -j4 --timeout 300

export ASAN_OPTIONS  ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1

INSTALL_BUILD ?= build-install
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60

# Our own builds treat warnings as errors; a user's plain cmake build does not.
# Their debug information is line tables only: enough for backtraces, the
# sanitizers' reports and breakpoints by line, at three quarters of the
# compile time (DEBUG_INFO=-g for variables in gdb).
DEBUG_INFO  ?= -g1
OWN_OPTIONS ?= -DQUORVALEN_WERROR=ON
# The sanitizer build uses clang, which builds it in half the time GCC
# takes (GCC builds the normal one, so both compilers check the code).
ASAN_CXX ?= $(shell command -v clang++ 2>/dev/null || echo c++)

.PHONY: all setup build run test test-normal test-asan test-install soak bench fuzz fuzz-build fuzz-smoke clean

all: build

setup:
	@scripts/setup.sh

NORMAL_OPTIONS = -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 $(DEBUG_INFO) -DNDEBUG" $(OWN_OPTIONS)

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G $(GENERATOR) $(NORMAL_OPTIONS)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) --target quorvalen-cli
	$(BUILD)/tools/quorvalen tour

test: test-normal test-asan test-install fuzz-smoke

test-normal: setup
	cmake -S . -B $(BUILD) -G $(GENERATOR) $(NORMAL_OPTIONS)
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

# The sanitizer build runs every test but the end-to-end runs of one-off
# commands over pseudo-terminals (seconds of the phone's waits each): what
# they drive runs in-process in the cli tests there (the messages' too);
# the mount, the shell, the held connection and the phone's own roads keep
# their end-to-end runs.
ASAN_SKIP ?= ^e2e\.(CliEndToEnd\.(FileSubcommands|PhoneSubcommandsSettingsAndUsage|AnInterruptedCopyLeavesNoPartAndResumes)|PhoneEndToEnd\.TheCableRoadOverAPseudoTerminal|MessagesEndToEnd\..*)$$

ASAN_CONFIGURE = cmake -S . -B $(ASAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=$(ASAN_CXX) -DCMAKE_CXX_FLAGS_DEBUG="$(DEBUG_INFO)" \
  -DQUORVALEN_SANITIZE=ON -DQUORVALEN_BENCH=OFF -DQUORVALEN_HEADER_CHECKS=OFF $(OWN_OPTIONS)

test-asan: setup
	$(ASAN_CONFIGURE)
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
	  -DQUORVALEN_FUZZ=ON $(NORMAL_OPTIONS)

fuzz-build: setup $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) --target fuzz_targets

# Runs every fuzz target for FUZZ_SECONDS seconds (make fuzz FUZZ_SECONDS=300),
# two at a time, each on its corpus under $(FUZZ_BUILD)/corpus with the
# checked-in seeds of tests/fuzz/corpus.
fuzz: fuzz-build
	scripts/fuzz-run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The short run that make test makes when clang is there: the targets of
# the sanitizer build (built with its tests, at -O0: fewer runs in the
# time than the optimised fuzz build's, and no build of its own).
fuzz-smoke: setup
	@if command -v clang++ >/dev/null 2>&1 && $(ASAN_CXX) --version | grep -qi clang; then \
	  $(ASAN_CONFIGURE) >/dev/null && cmake --build $(ASAN_BUILD) --target fuzz_targets && \
	  scripts/fuzz-run.sh $(ASAN_BUILD) $(FUZZ_SMOKE_SECONDS); \
	else echo "fuzz-smoke: no clang++, the fuzz targets are not run"; fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(INSTALL_BUILD) $(FUZZ_BUILD)
