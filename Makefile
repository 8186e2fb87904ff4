# Two entry points: `make demo` runs the bundled example, `make test` runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps deps-r build demo test clean test-sanitize test-debug fuzz-build fuzz-ci fuzz r-package r-check

all: build

deps:
	bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	bash examples/run_demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite in a build with AddressSanitizer, UndefinedBehaviorSanitizer and
# the library's assertions (any report fails), and in an unoptimised debug build;
# the end-to-end cases then show that every build writes the same reports.
ASAN_BUILD ?= build-asan
DEBUG_BUILD ?= build-debug
SANITIZE = -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all
SANITIZE_FLAGS = -O1 -g -fno-omit-frame-pointer $(SANITIZE) -D_GLIBCXX_ASSERTIONS
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMORVENAK_R_TESTS=OFF \
	      -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS)

test-debug: deps
	cmake -S . -B $(DEBUG_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMORVENAK_R_TESTS=OFF -DCMAKE_CXX_FLAGS="-O0"
	cmake --build $(DEBUG_BUILD) -j $(JOBS)
	cd $(DEBUG_BUILD) && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (clang): fuzz-ci runs each for FUZZ_SECONDS on a copy of its
# seed corpus after replaying the kept crash inputs; fuzz runs them longer.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = fuzz_listio fuzz_input

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) -DMORVENAK_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug \
	      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=fuzzer-no-link $(SANITIZE)"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	$(SANITIZE_ENV) bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz: FUZZ_SECONDS = 600
fuzz: fuzz-ci

# The R package (r/): its source tarball, $(BUILD)/r/morvenak_VERSION.tar.gz,
# made from the tree with its own copy of the engine, and R CMD check of it.
# (The sanitizer and debug builds leave out the package's live test: R
# compiles the package with its own flags, the same in every build.)
deps-r:
	bash scripts/deps-r.sh

r-package: deps-r
	bash scripts/r-package.sh $(BUILD)/r

r-check: r-package
	bash scripts/r-check.sh $(BUILD)/r

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(DEBUG_BUILD) $(FUZZ_BUILD)
