# Everything is built through CMake in build/; these targets are the whole
# set-up on a fresh machine.
BUILD   ?= build
PREFIX  ?= /usr/local
JOBS    ?= $(shell nproc)
CMAKE   ?= cmake

.PHONY: all build demo test bench clean

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# Runs the program on the bundled example, with the results in a scratch folder.
demo: build
	@dir=$$(mktemp -d /tmp/quorvin-demo.XXXXXX); \
	echo "Running: quorvin -o $$dir examples/mtcars/data.txt"; echo; \
	$(BUILD)/quorvin -o $$dir examples/mtcars/data.txt && echo && \
	echo "Result files in $$dir:" && ls -l $$dir

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) python-test
	$(MAKE) r-test
	$(MAKE) sanitize

# Debian packages that the tests need beyond the machine's image: the
# modules of the README's recipes (pandas, networkx, igraph, matplotlib, and
# R with igraph), and what the Python package builds and is tested with.
# Installed with apt-get when run as root; otherwise named, and the tests do
# not start, as a recipe left out would never run.
TEST_PACKAGES ?= python3-pandas python3-networkx python3-igraph python3-matplotlib \
  r-base-core r-cran-igraph r-cran-rcpp r-cran-testthat \
  python3-dev python3-numpy python3-pybind11 python3-venv python3-pytest python3-tqdm \
  openmpi-bin libopenmpi-dev
.PHONY: deps
deps:
	@missing=$$(for p in $(TEST_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -ne 0 ]; then \
	    echo "make test needs these Debian packages; install them as root:" $$missing; exit 1; \
	  fi; \
	  echo "Installing" $$missing; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
	    -o DPkg::Lock::Timeout=300 --no-install-recommends $$missing; \
	fi

# Builds the Python package as a user would, into a fresh virtual
# environment that sees Debian's numpy, pandas and pybind11, and runs its
# tests against the program built in $(BUILD).
PYTHON_VENV ?= $(BUILD)/python-venv
.PHONY: python-test
python-test: build
	rm -rf $(PYTHON_VENV)
	/usr/bin/python3 -m venv --system-site-packages $(PYTHON_VENV)
	$(PYTHON_VENV)/bin/pip install -q --no-build-isolation --no-index ./python
	cd $(PYTHON_VENV) && QUORVIN_BINARY=$(abspath $(BUILD))/quorvin PYTHONDONTWRITEBYTECODE=1 \
	  bin/python -m pytest -q -p no:cacheprovider $(abspath python/tests)

# Builds the R package from the source tree into $(R_BUILD) as a tarball,
# installs it into a library of its own and runs its tests there (against
# the program and the Python package built above), runs the README's "From
# R" example, then R CMD check, which must end without an error or a
# warning.
R_BUILD ?= $(BUILD)/r-package
.PHONY: r-test
r-test: build
	test -x $(PYTHON_VENV)/bin/python || $(MAKE) python-test
	rm -rf $(R_BUILD) && mkdir -p $(R_BUILD)/library
	cd r/quorvin && ./configure
	cd $(R_BUILD) && R CMD build --no-build-vignettes $(abspath r/quorvin)
	R CMD INSTALL --library=$(R_BUILD)/library $(R_BUILD)/quorvin_*.tar.gz
	QUORVIN_BINARY=$(abspath $(BUILD))/quorvin QUORVIN_PYTHON=$(abspath $(PYTHON_VENV))/bin/python \
	  R_LIBS=$(abspath $(R_BUILD))/library Rscript -e \
	  'testthat::test_dir("r/quorvin/tests/testthat", package = "quorvin", load_package = "installed", stop_on_failure = TRUE)'
	awk '/^## From R$$/ {f = 1; next} /^## / {f = 0} f' README.md | \
	  awk '/^```r$$/ {c = 1; next} /^```$$/ {c = 0} c' > $(R_BUILD)/readme_from_r.R
	ln -sfn $(abspath examples) $(R_BUILD)/examples
	cd $(R_BUILD) && R_LIBS=$(abspath $(R_BUILD))/library Rscript readme_from_r.R
	cd $(R_BUILD) && QUORVIN_BINARY=$(abspath $(BUILD))/quorvin \
	  QUORVIN_PYTHON=$(abspath $(PYTHON_VENV))/bin/python R_LIBS=$(abspath $(R_BUILD))/library \
	  R CMD check --no-manual quorvin_*.tar.gz
	! grep -q "WARNING" $(R_BUILD)/quorvin.Rcheck/00check.log

# Times whole runs in its own optimised build, with AVX2 filters (the set
# that every machine of this kind has; BENCH_FILTERS= for the CPU's best), on
# sparse gene-module data, dense factor data and the real expression data set
# when it is there, and checks the result files against the reference build
# (up to 400 variables). One extra case by hand:
#   make bench BENCH_CASES=dense:20000x100
BENCH_BUILD ?= build-bench
BENCH_FILTERS ?= avx2
BENCH_REAL ?= ../shared/data/ALL_rank2001_5000.txt
BENCH_CASES ?= modules:400x50 modules:2000x100 modules:5000x100 \
  dense:400x50 dense:2000x100 dense:5000x100 dense:5000x1000 \
  $(addprefix file:,$(wildcard $(BENCH_REAL)))
bench:
	$(CMAKE) -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target quorvin quorvin_reference quorvin_make_data quorvin_bench
	QUORVIN_FILTERS=$(BENCH_FILTERS) $(BENCH_BUILD)/bench/quorvin_bench $(BENCH_BUILD)/quorvin \
	  $(BENCH_BUILD)/reference/quorvin_reference $(BENCH_BUILD)/bench/quorvin_make_data \
	  $(BENCH_BUILD)/runs $(BENCH_CASES)
	if $(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target quorvin-mpi 2>/dev/null; then \
	  QUORVIN_FILTERS=$(BENCH_FILTERS) python3 bench/mpi_bench.py $(BENCH_BUILD)/quorvin \
	    $(BENCH_BUILD)/mpi/quorvin-mpi $(BENCH_BUILD)/bench/quorvin_make_data $(BENCH_BUILD)/runs; \
	else echo "No MPI library: the distributed rows are left out"; fi

clean:
	rm -rf $(BUILD)

.PHONY: install package

# Installs the program and its manual page under PREFIX (default /usr/local),
# building the program alone: not the tests, the fuzz replays or the bench
# tools. --prefix makes the PREFIX given now win over the one that the build
# folder was configured with.
install: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target quorvin
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

# Builds a Debian package of the same files, left in $(BUILD).
package: build
	$(CMAKE) --build $(BUILD) --target package

.PHONY: sanitize fuzz

# The whole test suite again in two sanitizer builds, each in its own folder:
# AddressSanitizer with UndefinedBehaviorSanitizer (g++), and ThreadSanitizer
# (clang++ with LLVM's OpenMP runtime, whose Archer tool tells ThreadSanitizer
# about OpenMP's barriers: g++'s libgomp is not instrumented, and races would
# be reported where there are none). A finding ends the process that met it
# with status 86, which no test takes for the program's own.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
SANITIZER_ENV = ASAN_OPTIONS=exitcode=86:allocator_may_return_null=1 \
  UBSAN_OPTIONS=exitcode=86:halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS=exitcode=86:halt_on_error=1:allocator_may_return_null=1:ignore_noninstrumented_modules=1

$(ASAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIN_SANITIZE=address,undefined

$(TSAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUORVIN_SANITIZE=thread

sanitize: $(ASAN_BUILD)/CMakeCache.txt $(TSAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# Fuzzes the data file reader, the table reader and the count answers with libFuzzer (clang++),
# FUZZ_SECONDS each, starting from fuzz/corpus. An input that fails a check,
# crashes, trips a sanitizer or runs 10 s is left in $(FUZZ_BUILD) as crash-*
# or timeout-*; copy it to fuzz/corpus so that the tests replay it.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

$(FUZZ_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUORVIN_TESTS=OFF -DQUORVIN_FUZZ=ON -DQUORVIN_SANITIZE=fuzzer-no-link,address,undefined

fuzz: $(FUZZ_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target data_reader_fuzz table_fuzz count_fuzz
	for target in data_reader table count; do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target && \
	  $(FUZZ_BUILD)/fuzz/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/$$target fuzz/corpus/$$target || exit 1; \
	done
