# Front door for building, testing and running the demonstration.
# `make demo` and `make test` are the two commands a newcomer needs.

BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CMAKE_ARGS ?=

.PHONY: all build demo test asan tsan valgrind clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/tools/velmora-demo

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 300

# The whole suite again under AddressSanitizer + LeakSanitizer + UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DVELMORA_SANITIZE=address -DVELMORA_BENCH=OFF"

# The whole suite under ThreadSanitizer.
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DVELMORA_SANITIZE=thread -DVELMORA_BENCH=OFF"

# One end-to-end run of the library against a device under valgrind memcheck.
VALGRIND_FILTER ?= GetData.*:GetAllPackets.*:PutData.*:Exchange.OneUnexpected*:Exchange.SecondReply*
valgrind: build
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  --show-leak-kinds=definite,indirect -q \
	  $(BUILD)/tests/device_tests --gtest_filter='$(VALGRIND_FILTER)'

clean:
	rm -rf build build-*
