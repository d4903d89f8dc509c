# Developer targets for mcar.  Everything is installed into build/lib, never
# into the system library.
#
#   make deps         install the Debian packages we need (no-op when present)
#   make install      R CMD INSTALL into build/lib
#   make native-test  build and run the GoogleTest suite (tests/native)
#   make host-test    run tests/testthat against the package in build/lib
#   make test         all of the above, with one summary line at the end
#   make valgrind     the native suite under valgrind (leaks and memory errors)
#   make valgrind-r   sampling runs through .C, failing ones included, in R
#                     under valgrind; fails on a leak or memory error from src/
#   make demo         run inst/demo/demo.R against the installed package
#   make bench        the engine against the .C entry: time per sweep, ESS per
#                     second, scaling and memory (bench/README.md)
#   make bench-instructions  instructions per sweep, counted by callgrind
#   make bench-maps   large synthetic maps: set-up, time, memory
#   make bench-mixing minimum bulk ESS per second, bundled and synthetic maps
#   make check        R CMD build + R CMD check --no-manual
#   make clean
#
# GTEST_ARGS is passed to the native suite (e.g. GTEST_ARGS=--gtest_filter=Det*),
# VALGRIND_GTEST_ARGS to the same suite under valgrind.

SHELL := /bin/bash
.DEFAULT_GOAL := test

PKG := mcar

DEB_PACKAGES := r-base-dev r-cran-testthat r-cran-coda r-cran-future \
  r-cran-withr r-cran-posterior r-cran-matrixstats r-cran-maps \
  r-cran-roxygen2 r-cran-progressr r-cran-sf r-cran-cpp11 r-cran-spdep \
  r-cran-loo r-cran-matrix r-cran-rcppeigen r-cran-bayesplot r-cran-knitr \
  r-cran-markdown libgtest-dev \
  libbenchmark-dev valgrind g++ make

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

BUILD := build
RLIB := $(CURDIR)/$(BUILD)/lib
export R_LIBS := $(RLIB)

# R's configuration, looked up only when a recipe needs it (R may not be
# installed yet when this file is read).
R_HOME_DIR = $(shell R RHOME)
R_CPPFLAGS = $(shell R CMD config --cppflags) \
  -I$(shell Rscript -e 'cat(system.file("include", package = "cpp11"))') \
  -isystem $(shell Rscript -e 'cat(system.file("include", package = "RcppEigen"))')
R_LDLIBS = $(shell R CMD config --ldflags) $(shell R CMD config LAPACK_LIBS) \
  $(shell R CMD config BLAS_LIBS) $(shell R CMD config FLIBS)

# ---- native suite -----------------------------------------------------------
CXX ?= g++
NATIVE_CXXFLAGS := -std=c++17 -O2 -g -Wall -MMD -MP
# The package's own compiler flags from src/Makevars, so that the native
# suite exercises the same floating-point code generation as the package.
PKG_CXXFLAGS = $(shell sed -n 's/^PKG_CXXFLAGS *= *//p' src/Makevars)
# The package's sources, from the OBJECTS line of src/Makevars (continuation
# lines joined): entry/mcar.o is src/entry/mcar.cpp.
NATIVE_SRC := $(patsubst %.o,src/%.cpp,$(shell sed -e ':a' -e '/\\$$/N; s/\\\n//; ta' src/Makevars | sed -n 's/^OBJECTS *= *//p'))
SRC_INCLUDES := -Isrc/entry -Isrc/engine -Isrc/glue
NATIVE_TESTS := $(sort $(wildcard tests/native/*.cpp tests/native/*/*.cpp))
TEST_INCLUDES := -Itests/native -Itests/native/entry -Itests/native/engine
NATIVE_OBJDIR := $(BUILD)/native
NATIVE_OBJ := $(patsubst src/%.cpp,$(NATIVE_OBJDIR)/src/%.o,$(NATIVE_SRC)) \
  $(patsubst tests/native/%.cpp,$(NATIVE_OBJDIR)/tests/%.o,$(NATIVE_TESTS))
NATIVE_BIN := tests/native/native_tests
NATIVE_SUMMARY := $(CURDIR)/$(NATIVE_OBJDIR)/summary.txt
NATIVE_JSON := $(CURDIR)/$(NATIVE_OBJDIR)/gtest.json
TT_SUMMARY := $(CURDIR)/$(BUILD)/testthat-summary.txt
VALGRIND_LOG := $(BUILD)/valgrind.log
# The stationary-distribution tests run hundreds of thousands of updates and
# grid points: slow under valgrind and covering no code path the other native
# tests leave out.  They run natively in `make test`.
VALGRIND_GTEST_ARGS ?= --gtest_filter=-StationaryTest.*:EngineStationary/*
VALGRIND_SUPP := tools/valgrind.supp

.PHONY: all deps install native-test host-test host-test-run test \
  test-summary valgrind valgrind-r demo bench bench-instructions bench-maps \
  bench-mixing check clean

all: test

deps:
	@missing=""; \
	command -v R >/dev/null 2>&1 || missing="R"; \
	for p in $(DEB_PACKAGES); do \
	  dpkg -s "$$p" 2>/dev/null | grep -q '^Status: install ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "deps: missing:$$missing"; \
	  $(SUDO) apt-get update && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y \
	    --no-install-recommends $(DEB_PACKAGES); \
	else \
	  echo "deps: all present"; \
	fi

install: deps
	@mkdir -p $(RLIB)
	R CMD INSTALL --no-test-load --preclean --clean --library=$(RLIB) .

$(NATIVE_OBJDIR)/src/%.o: src/%.cpp src/Makevars | deps
	@mkdir -p $(@D)
	$(CXX) $(NATIVE_CXXFLAGS) $(PKG_CXXFLAGS) $(SRC_INCLUDES) $(R_CPPFLAGS) -c $< -o $@

$(NATIVE_OBJDIR)/tests/%.o: tests/native/%.cpp | deps
	@mkdir -p $(@D)
	$(CXX) $(NATIVE_CXXFLAGS) $(SRC_INCLUDES) $(TEST_INCLUDES) $(R_CPPFLAGS) -c $< -o $@

$(NATIVE_BIN): $(NATIVE_OBJ)
	$(CXX) -o $@ $^ -pthread $(R_LDLIBS) -Wl,-rpath,$(R_HOME_DIR)/lib -lgtest -lpthread

-include $(NATIVE_OBJ:.o=.d)

native-test: $(NATIVE_BIN)
	@rm -f $(NATIVE_SUMMARY)
	R_HOME="$(R_HOME_DIR)" MCAR_NATIVE_SUMMARY=$(NATIVE_SUMMARY) \
	  ./$(NATIVE_BIN) --gtest_output=json:$(NATIVE_JSON) $(GTEST_ARGS)

# testthat against the package installed in build/lib.  The R snippet records
# "passed failed skipped" (test blocks) for the summary of `make test`.
HOST_TEST_R = options(testthat.progress.max_fails = Inf); \
  Sys.setenv(NOT_CRAN = "true"); \
  res <- testthat::test_dir("tests/testthat", package = "$(PKG)", \
    load_package = "installed", \
    reporter = testthat::ProgressReporter$$new(show_praise = FALSE), \
    stop_on_failure = FALSE); \
  df <- as.data.frame(res); \
  bad <- df$$failed > 0 | df$$error; \
  skip <- !bad & df$$skipped; \
  n <- c(sum(!bad & !skip), sum(bad), sum(skip)); \
  writeLines(paste(n, collapse = " "), "$(TT_SUMMARY)"); \
  cat(sprintf("R: %d passed, %d failed, %d skipped\n", n[1], n[2], n[3])); \
  quit(status = as.integer(n[2] > 0))

host-test: install
	@$(MAKE) --no-print-directory host-test-run

host-test-run:
	@rm -f $(TT_SUMMARY)
	@echo "Rscript: testthat::test_dir(\"tests/testthat\") against $(RLIB)"
	@Rscript -e '$(HOST_TEST_R)'

# Runs every stage even when an earlier one fails, then prints one line over
# both suites (native test cases + testthat test blocks).  The exit status
# comes from the stages themselves; a suite that did not complete counts as
# one failure in the summary.
test: deps
	@rm -f $(NATIVE_SUMMARY) $(TT_SUMMARY); rc=0; installed=1; \
	$(MAKE) --no-print-directory install || { rc=1; installed=0; }; \
	$(MAKE) --no-print-directory native-test || rc=1; \
	if [ $$installed = 1 ]; then \
	  $(MAKE) --no-print-directory host-test-run || rc=1; \
	else \
	  echo "install failed: testthat suite not run"; \
	fi; \
	$(MAKE) --no-print-directory test-summary; \
	exit $$rc

test-summary:
	@p=0; f=0; \
	for s in "native:$(NATIVE_SUMMARY)" "testthat:$(TT_SUMMARY)"; do \
	  name=$${s%%:*}; file=$${s#*:}; \
	  if [ -s "$$file" ]; then \
	    read sp sf ss < "$$file"; \
	    echo "$$name: $$sp passed, $$sf failed, $$ss skipped"; \
	    p=$$((p + sp)); f=$$((f + sf)); \
	  else \
	    echo "$$name: did not complete (counted as 1 failure)"; \
	    f=$$((f + 1)); \
	  fi; \
	done; \
	echo "$$p passed, $$f failed"

valgrind: $(NATIVE_BIN)
	@mkdir -p $(BUILD)
	@supp=""; [ -f $(VALGRIND_SUPP) ] && supp="--suppressions=$(VALGRIND_SUPP)"; \
	echo "valgrind: running the native suite (log in $(VALGRIND_LOG))"; \
	rc=0; \
	R_HOME="$(R_HOME_DIR)" valgrind --leak-check=full --error-exitcode=1 \
	  --errors-for-leak-kinds=definite,indirect $$supp \
	  --log-file=$(VALGRIND_LOG) ./$(NATIVE_BIN) $(VALGRIND_GTEST_ARGS) || rc=$$?; \
	grep -E 'definitely lost|indirectly lost|ERROR SUMMARY' $(VALGRIND_LOG) \
	  | sed 's/^==[0-9]*== */valgrind: /' | tail -n 3; \
	if [ $$rc -eq 0 ]; then \
	  echo "valgrind: PASSED (no memory errors, no definite or indirect leaks)"; \
	else \
	  echo "valgrind: FAILED (exit $$rc; see $(VALGRIND_LOG))"; \
	fi; \
	exit $$rc

demo: deps install
	Rscript inst/demo/demo.R

valgrind-r: install
	bash tests/valgrind/check-leaks.sh $(BUILD)/valgrind

bench: deps install
	$(MAKE) -C bench run

bench-instructions: deps
	$(MAKE) -C bench instructions

bench-maps: deps install
	$(MAKE) -C bench maps

bench-mixing: deps install
	$(MAKE) -C bench mixing

# R CMD build works on a staged copy without the developer-only files, so the
# tarball never picks up build/, the native suite or object files.
CHECK_DIR := $(BUILD)/check
check: deps
	rm -rf $(CHECK_DIR)
	mkdir -p $(CHECK_DIR)/$(PKG)
	tar -c --exclude=./.git --exclude=./build --exclude=./.ci \
	  --exclude=./Makefile --exclude=./bench --exclude=./data-raw \
	  --exclude=./tests/native --exclude=./tests/valgrind --exclude=./tools/valgrind.supp \
	  --exclude='./*.Rcheck' --exclude='./$(PKG)_*.tar.gz' \
	  --exclude='./src/*.o' --exclude='./src/*/*.o' --exclude='./src/*.so' . \
	  | tar -x -C $(CHECK_DIR)/$(PKG)
	cd $(CHECK_DIR) && unset R_LIBS && R CMD build $(PKG)
	cd $(CHECK_DIR) && unset R_LIBS && _R_CHECK_FORCE_SUGGESTS_=false \
	  R CMD check --no-manual $(PKG)_*.tar.gz
	@if grep -E '^Status:.*(ERROR|WARNING)' $(CHECK_DIR)/$(PKG).Rcheck/00check.log; then \
	  echo "check: FAILED"; exit 1; \
	else \
	  echo "check: passed"; \
	fi

clean:
	rm -rf $(BUILD) $(NATIVE_BIN) tests/native/*.o src/*.o src/*/*.o src/*.so \
	  $(PKG).Rcheck $(PKG)_*.tar.gz
	-@if [ -f bench/Makefile ]; then $(MAKE) -C bench clean; fi
