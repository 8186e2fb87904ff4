# Two entry points: `make demo` runs the bundled example, `make test` runs every test.
# `make demo-classic` runs the same example through the classic dialogue; `make figures`
# draws the guide's figures into docs/figures.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps-r build demo demo-classic figures test install clean format-check test-sanitize test-debug test-literal test-mpi fuzz-build fuzz-ci fuzz python-package python-ci r-package r-check

# Extra compiler flags for every build, e.g. WERROR=-Werror (CI).
WERROR ?=
CONFIGURE_FLAGS = -DCMAKE_CXX_FLAGS_INIT="$(WERROR)"

all: build

# The program and its tools, configured and built (the demo needs nothing more).
build:
	bash scripts/deps.sh build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(CONFIGURE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Installs morvenak, morvenak-prepare, morvenak-plot and the docs under PREFIX, and
# the library: PREFIX/include/morvenak/, PREFIX/lib/libmorvenak.a, its CMake package
# (find_package(morvenak): morvenak::morvenak) and pkg-config file (morvenak.pc).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The house layout (.clang-format, tools/.clang-format) on every C++ file of
# src/ and tools/: CI fails on the first file that clang-format 14 would change.
format-check:
	bash scripts/deps.sh format
	find src tools \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z | xargs -0 clang-format-14 --dry-run --Werror

# morvenak run and morvenak plot on the bundled dune tables: the summary, the results
# table and the figures' names.
demo: build
	bash examples/run_example.sh $(BUILD)

# The same example as the classic program takes it: the input files prepared from the
# tables, the dialogue answered from examples/dune_nested/answers.txt, the report.
demo-classic: build
	bash examples/run_demo.sh $(BUILD)

# docs/figures, PNG: the bundled dune tables, and vegan's mite and pyrifos written by R
# when R has vegan (see examples/make_figures.sh).
figures: build
	bash examples/make_figures.sh $(BUILD) docs/figures

test:
	bash scripts/deps.sh build test python
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON $(CONFIGURE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite in a build with AddressSanitizer, UndefinedBehaviorSanitizer and
# the library's assertions (any report fails), and in an unoptimised debug build;
# the end-to-end cases then show that every build writes the same reports.
ASAN_BUILD ?= build-asan
DEBUG_BUILD ?= build-debug
SANITIZE = -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all
# GCC's maybe-uninitialized analysis misfires on the library's own code
# (std::function inside std::regex) once the sanitizers instrument it.
SANITIZE_FLAGS = -O1 -g -fno-omit-frame-pointer $(SANITIZE) -D_GLIBCXX_ASSERTIONS -Wno-maybe-uninitialized
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-sanitize:
	bash scripts/deps.sh build test python
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMORVENAK_R_TESTS=OFF \
	      -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS) $(WERROR)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS) -LE python

test-debug:
	bash scripts/deps.sh build test python
	cmake -S . -B $(DEBUG_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMORVENAK_R_TESTS=OFF -DCMAKE_CXX_FLAGS="-O0 $(WERROR)"
	cmake --build $(DEBUG_BUILD) -j $(JOBS)
	cd $(DEBUG_BUILD) && ctest --output-on-failure -j $(JOBS) -LE python

# The build whose permuted statistics come from the literal products alone:
# its end-to-end cases, and the mixed designs' stored table, must be byte for byte the same.
LITERAL_BUILD ?= build-literal
test-literal:
	bash scripts/deps.sh build test python
	cmake -S . -B $(LITERAL_BUILD) -DCMAKE_BUILD_TYPE=Release -DMORVENAK_LITERAL_PERMUTATIONS=ON $(CONFIGURE_FLAGS)
	cmake --build $(LITERAL_BUILD) -j $(JOBS) --target morvenak
	python3 tests/e2e/run_cases.py --cmd $(LITERAL_BUILD)/morvenak tests/cases
	python3 tests/e2e/run_mixed.py --morvenak $(LITERAL_BUILD)/morvenak

# The MPI build of the run command (Open MPI), kept out of the sanitizer builds: the
# same designs as one process and as three processes of mpirun, and with 1 and 2
# threads, must write the same files (timings and counts of threads and processes
# masked).
MPI_BUILD ?= build-mpi
MPIRUN ?= mpirun --oversubscribe --allow-run-as-root -np 3
test-mpi:
	bash scripts/deps.sh build test mpi
	cmake -S . -B $(MPI_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DMORVENAK_MPI=ON $(CONFIGURE_FLAGS)
	cmake --build $(MPI_BUILD) -j $(JOBS) --target morvenak
	python3 tests/e2e/processes_test.py --morvenak $(MPI_BUILD)/morvenak --mpirun "$(MPIRUN)"

# The Python package (python/): a wheel built by Debian's Python and pip from
# the engine sources, into $(BUILD)/python/; and its tests in a virtual
# environment of $(BUILD), after installing the Debian packages they need.
PYTHON = /usr/bin/python3
python-package:
	bash scripts/deps.sh python
	mkdir -p $(BUILD)/python
	$(PYTHON) -m pip wheel --no-build-isolation --no-deps --no-index --wheel-dir $(BUILD)/python ./python

python-ci:
	bash scripts/python-ci.sh $(BUILD)

# libFuzzer targets (clang): fuzz-ci runs each for FUZZ_SECONDS on a copy of its
# seed corpus after replaying the kept crash inputs; fuzz runs them longer.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = fuzz_listio fuzz_input fuzz_plot fuzz_tables

fuzz-build:
	bash scripts/deps.sh build fuzz
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
	rm -rf $(BUILD) $(ASAN_BUILD) $(DEBUG_BUILD) $(LITERAL_BUILD) $(FUZZ_BUILD) python/build python/morvenak.egg-info
