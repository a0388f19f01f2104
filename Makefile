# Thin front over CMake. `make demo` runs the example program, `make test` builds and runs every
# test; both configure and install what is missing first.
MAKEFLAGS += --no-print-directory
BUILD ?= build
BUILD_ASAN ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo test try test-sanitize memcheck fuzz format format-check clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: configure
	@cmake --build $(BUILD) --target qor_demo -j $(JOBS)
	@$(BUILD)/examples/qor_demo

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Runs CMD unchanged with its malloc, free and new/delete served by the library.
try: configure
	@cmake --build $(BUILD) --target QORSysMalloc -j $(JOBS) >/dev/null
	@LD_PRELOAD=$(abspath $(BUILD))/QORSysAllocator/libQORSysMalloc.so $(CMD)

test-sanitize: deps
	@cmake -S . -B $(BUILD_ASAN) -DQOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@QOR_FUZZ_INPUTS=$${QOR_FUZZ_INPUTS:-400} ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

memcheck: build
	@tools/ci-valgrind.sh $(BUILD)

fuzz: deps
	@tools/ci-fuzz.sh build-fuzz

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	@rm -rf $(BUILD) $(BUILD_ASAN)
