# Front door for building, testing and running the demonstration.
# `make demo` and `make test` are the two commands a newcomer needs.

BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 60
DEMO_ARGS  ?=
FUZZ_TARGETS ?= diff reply recording

.PHONY: all build demo test bench bench-smoke asan tsan thread-safety valgrind fuzz fuzz-replay clean deps

all: build

# The Debian packages the build and the native tests need
# (scripts/deps/build-packages.txt). Every goal that builds checks for them
# first; as root it installs what is missing, as another user it stops
# before building and names the command that installs them.
ENSURE_PACKAGES := sh scripts/deps/ensure-packages.sh
BUILDING_GOALS  := all build demo test bench bench-smoke valgrind fuzz-replay
ifneq ($(filter $(BUILDING_GOALS),$(or $(MAKECMDGOALS),all)),)
  ifneq ($(shell id -u),0)
    MISSING_PACKAGES := $(shell $(ENSURE_PACKAGES) --missing)
    ifneq ($(MISSING_PACKAGES),)
      $(error velmora needs Debian packages that are not installed: $(MISSING_PACKAGES); install them with: sudo make deps)
    endif
  endif
endif

deps:
	@$(ENSURE_PACKAGES) --install

# The build folder counts as configured once the generator's own file is
# there, not the cache: a configure that failed or was interrupted leaves a
# cache without it, and the next goal must configure again.
CONFIGURED := $(BUILD)/$(if $(GENERATOR),build.ninja,Makefile)

$(CONFIGURED): | deps
	cmake -S . -B $(BUILD) $(GENERATOR) $(CMAKE_ARGS)

build: deps $(CONFIGURED)
	cmake --build $(BUILD) -j $(JOBS)

# The demonstration against a simulated device inside the tool's own process;
# its files (raw, CSV, SVG, data blocks) go to $(BUILD)/demo. It builds only
# what it runs and what the README's quick starts start (the library, the
# tool, the simulated device as a program of its own), so a fresh clone gets
# there without compiling the test suite first. DEMO_ARGS passes
# options on (`make demo DEMO_ARGS="-a 127.0.0.9 -t 2"`).
demo: deps $(CONFIGURED)
	cmake --build $(BUILD) -j $(JOBS) --target velmora-cli velmora-sim
	$(BUILD)/tools/velmora demo -o $(BUILD)/demo $(DEMO_ARGS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 300

# The benchmark against a raw socket client on 127.<VELMORA_TEST_NET>.0.200:
# `bench` is the full run (about half a minute) whose table goes into the README,
# `bench-smoke` a run of a few seconds that CI uses to keep it building and
# working.
bench: build
	$(BUILD)/bench/velmora-bench

bench-smoke: build
	$(BUILD)/bench/velmora-bench --smoke

# The whole suite again under AddressSanitizer + LeakSanitizer + UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DVELMORA_SANITIZE=address -DVELMORA_BENCH=OFF"

# The whole suite under ThreadSanitizer.
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DVELMORA_SANITIZE=thread -DVELMORA_BENCH=OFF"

# The library compiled by clang with its lock annotations checked
# (-Wthread-safety): a guarded field touched without its lock, or a lock
# taken and not given back, fails the build. Only src/; nothing is run.
thread-safety:
	cmake -S . -B build-thread-safety $(GENERATOR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" \
	  -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF -DVELMORA_TOOLS=OFF -DVELMORA_INSTALL=OFF
	cmake --build build-thread-safety -j $(JOBS) --target velmora

# One end-to-end run of the library against a device under valgrind memcheck.
VALGRIND_FILTER ?= GetData.*:GetAllPackets.*:PutData.*:Exchange.OneUnexpected*:Exchange.SecondReply*
valgrind: build
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  --show-leak-kinds=definite,indirect -q \
	  $(BUILD)/tests/device_tests --gtest_filter='$(VALGRIND_FILTER)'

# Each libFuzzer target for FUZZ_SECONDS, built with clang into build-fuzz. New
# inputs go to build-fuzz/corpus/<target>; the committed starting corpus in
# fuzz/corpus/<target> are read but not written. Crash inputs land in
# fuzz/artifacts/<target>/ (not committed: add them to the corpus once fixed).
fuzz:
	cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF -DVELMORA_TOOLS=OFF
	cmake --build build-fuzz -j $(JOBS)
	set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t fuzz/artifacts/$$t; \
	  build-fuzz/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=fuzz/artifacts/$$t/ build-fuzz/corpus/$$t fuzz/corpus/$$t; \
	done

# Only the replay of the committed corpus (also part of `make test`).
fuzz-replay: build
	ctest --test-dir $(BUILD) -R FuzzCorpusReplay --output-on-failure

clean:
	rm -rf build build-*
