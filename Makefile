# The two commands of the README: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
GENERATOR  ?= Ninja
CTEST_ARGS ?= --output-on-failure -j2 --timeout 300

export ASAN_OPTIONS  ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1

INSTALL_BUILD ?= build-install
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60

# Our own builds treat warnings as errors; a user's plain cmake build does not.
OWN_OPTIONS ?= -DQUORVALEN_WERROR=ON

.PHONY: all setup build run test test-normal test-asan test-install bench fuzz clean

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

test: test-normal test-asan test-install

test-normal: setup
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(OWN_OPTIONS)
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

test-asan: setup
	cmake -S . -B $(ASAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVALEN_SANITIZE=ON -DQUORVALEN_BENCH=OFF $(OWN_OPTIONS)
	cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) $(CTEST_ARGS)

# A Release build with the other compiler, installed into a temporary prefix,
# and the example built against that install and run against the phone.
test-install: setup
	GENERATOR=$(GENERATOR) scripts/check-install.sh $(INSTALL_BUILD)

bench: build
	for b in $(BUILD)/bench/*_bench; do $$b; done

# Runs every fuzz target for FUZZ_SECONDS seconds (make fuzz FUZZ_SECONDS=300),
# keeping each one's corpus under $(FUZZ_BUILD)/corpus.
fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVALEN_FUZZ=ON $(OWN_OPTIONS)
	cmake --build $(FUZZ_BUILD) --target fuzz_targets
	@for target in $(FUZZ_BUILD)/tests/fuzz/fuzz_*; do \
	  name=$$(basename $$target); mkdir -p $(FUZZ_BUILD)/corpus/$$name; \
	  seeds=tests/fuzz/corpus/$$name; [ -d $$seeds ] || seeds=; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  $$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(FUZZ_BUILD)/corpus/$$name $$seeds || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(INSTALL_BUILD) $(FUZZ_BUILD)
