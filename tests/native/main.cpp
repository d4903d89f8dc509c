// Entry point of the native test suite: one embedded R session for all
// tests, with R's console captured (see harness.h).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#define R_NO_REMAP
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Parse.h>
#include <Rembedded.h>
#define R_INTERFACE_PTRS 1
#include <Rinterface.h>

#include "harness.h"

namespace {

std::string g_out, g_err;

void capture(const char *buf, int len, int otype) {
  (otype == 0 ? g_out : g_err).append(buf, static_cast<size_t>(len));
}

// R_HOME from `R RHOME` when the environment does not set it.
void ensure_r_home() {
  const char *home = std::getenv("R_HOME");
  if (home && *home)
    return;
  FILE *p = popen("R RHOME 2>/dev/null", "r");
  if (!p)
    return;
  char buf[4096] = {0};
  if (std::fgets(buf, sizeof buf, p)) {
    size_t n = std::strlen(buf);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
      buf[--n] = '\0';
    if (n > 0)
      setenv("R_HOME", buf, 1);
  }
  pclose(p);
}

struct EvalData {
  SEXP expr;
  SEXP value;
};

} // namespace

// ---- console capture --------------------------------------------------------

void console_clear() {
  g_out.clear();
  g_err.clear();
}
std::string console_out() { return g_out; }
std::string console_err() { return g_err; }

// ---- embedded R -------------------------------------------------------------

SEXP r_eval(const char *code) {
  ParseStatus status;
  SEXP text = PROTECT(Rf_mkString(code));
  SEXP exprs = PROTECT(R_ParseVector(text, -1, &status, R_NilValue));
  if (status != PARSE_OK) {
    UNPROTECT(2);
    throw std::runtime_error(std::string("cannot parse R code: ") + code);
  }
  SEXP value = R_NilValue;
  PROTECT_INDEX ipx;
  PROTECT_WITH_INDEX(value, &ipx);
  for (R_xlen_t i = 0; i < XLENGTH(exprs); i++) {
    int failed = 0;
    SEXP v = R_tryEval(VECTOR_ELT(exprs, i), R_GlobalEnv, &failed);
    if (failed) {
      UNPROTECT(3);
      SEXP msg = R_tryEval(PROTECT(Rf_lang1(Rf_install("geterrmessage"))),
                           R_GlobalEnv, &failed);
      std::string text_msg =
          (!failed && TYPEOF(msg) == STRSXP && XLENGTH(msg) > 0)
              ? CHAR(STRING_ELT(msg, 0))
              : "unknown error";
      UNPROTECT(1);
      throw std::runtime_error(std::string("R error in `") + code +
                               "`: " + text_msg);
    }
    REPROTECT(value = v, ipx);
  }
  UNPROTECT(3);
  return value;
}

SEXP r_eval(const std::string &code) { return r_eval(code.c_str()); }

std::vector<double> r_eval_reals(const std::string &code) {
  SEXP v = PROTECT(Rf_coerceVector(r_eval(code), REALSXP));
  std::vector<double> out(REAL(v), REAL(v) + XLENGTH(v));
  UNPROTECT(1);
  return out;
}

double r_eval_real(const std::string &code) {
  std::vector<double> v = r_eval_reals(code);
  if (v.size() != 1)
    throw std::runtime_error("R code `" + code + "` did not give one number");
  return v[0];
}

void r_assign_matrix(const char *name, double **m, int rows, int cols) {
  SEXP x = PROTECT(Rf_allocMatrix(REALSXP, rows, cols));
  for (int j = 0; j < cols; j++)
    for (int i = 0; i < rows; i++)
      REAL(x)[i + static_cast<R_xlen_t>(rows) * j] = m[i][j];
  Rf_defineVar(Rf_install(name), x, R_GlobalEnv);
  UNPROTECT(1);
}

void r_assign_vector(const char *name, const double *v, int n) {
  SEXP x = PROTECT(Rf_allocVector(REALSXP, n));
  for (int i = 0; i < n; i++)
    REAL(x)[i] = v[i];
  Rf_defineVar(Rf_install(name), x, R_GlobalEnv);
  UNPROTECT(1);
}

namespace {
void toplevel_trampoline(void *data) {
  (*static_cast<const std::function<void()> *>(data))();
}
} // namespace

bool r_toplevel(const std::function<void()> &f) {
  return R_ToplevelExec(toplevel_trampoline,
                        const_cast<std::function<void()> *>(&f)) == TRUE;
}

// ---- random numbers ---------------------------------------------------------

void r_set_seed(int seed) {
  r_eval("set.seed(" + std::to_string(seed) + ")");
}

std::vector<double> r_rnorm_after_seed(int seed, int n) {
  return r_eval_reals("set.seed(" + std::to_string(seed) + "); rnorm(" +
                      std::to_string(n) + ")");
}

RngScope::RngScope() { GetRNGstate(); }
RngScope::~RngScope() { PutRNGstate(); }

// ---- matrices and vectors ---------------------------------------------------

Mat::Mat(int rows, int cols)
    : rows_(rows), cols_(cols), p_(create_matrixd(rows, cols)) {}

Mat::Mat(std::initializer_list<std::initializer_list<double>> rows)
    : rows_(static_cast<int>(rows.size())),
      cols_(rows.size() ? static_cast<int>(rows.begin()->size()) : 0),
      p_(nullptr) {
  for (const auto &r : rows)
    if (static_cast<int>(r.size()) != cols_)
      throw std::invalid_argument("Mat: ragged initializer");
  p_ = create_matrixd(rows_, cols_);
  int i = 0;
  for (const auto &r : rows) {
    int j = 0;
    for (double x : r)
      p_[i][j++] = x;
    i++;
  }
}

Mat::Mat(const Mat &other)
    : rows_(other.rows_), cols_(other.cols_),
      p_(create_matrixd(other.rows_, other.cols_)) {
  for (int i = 0; i < rows_; i++)
    for (int j = 0; j < cols_; j++)
      p_[i][j] = other.p_[i][j];
}

Mat::~Mat() { freematd(p_, rows_, cols_); }

void Mat::fill(double value) {
  for (int i = 0; i < rows_; i++)
    for (int j = 0; j < cols_; j++)
      p_[i][j] = value;
}

Vec::Vec(int n) : n_(n), p_(create_vectord(n)) {}

Vec::Vec(std::initializer_list<double> values)
    : n_(static_cast<int>(values.size())), p_(create_vectord(n_)) {
  int i = 0;
  for (double x : values)
    p_[i++] = x;
}

Vec::Vec(const Vec &other) : n_(other.n_), p_(create_vectord(other.n_)) {
  for (int i = 0; i < n_; i++)
    p_[i] = other.p_[i];
}

Vec::~Vec() { R_chk_free(p_); }

void Vec::fill(double value) {
  for (int i = 0; i < n_; i++)
    p_[i] = value;
}

double max_abs_diff(double **a, double **b, int rows, int cols) {
  double m = 0.0;
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++) {
      double d = std::fabs(a[i][j] - b[i][j]);
      if (d > m || d != d)
        m = d;
    }
  return m;
}

// ---- main -------------------------------------------------------------------

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  ensure_r_home();
  if (!std::getenv("R_HOME")) {
    std::fprintf(stderr, "native_tests: R_HOME is not set and `R RHOME` "
                         "failed\n");
    return 2;
  }

  // Crashes in the code under test should surface as plain signals, not be
  // turned into R's own abort handling.
  R_SignalHandlers = 0;
  char arg0[] = "R", arg1[] = "--vanilla", arg2[] = "--silent",
       arg3[] = "--no-echo";
  char *r_argv[] = {arg0, arg1, arg2, arg3};
  Rf_initEmbeddedR(4, r_argv);

  R_Outputfile = NULL;
  R_Consolefile = NULL;
  ptr_R_WriteConsole = NULL;
  ptr_R_WriteConsoleEx = capture;

  int rc = RUN_ALL_TESTS();

  const testing::UnitTest &u = *testing::UnitTest::GetInstance();
  int passed = u.successful_test_count();
  int failed = u.failed_test_count();
  std::printf("native: %d passed, %d failed, %d skipped\n", passed, failed,
              u.skipped_test_count());
  if (const char *path = std::getenv("MCAR_NATIVE_SUMMARY")) {
    if (FILE *f = std::fopen(path, "w")) {
      std::fprintf(f, "%d %d %d\n", passed, failed, u.skipped_test_count());
      std::fclose(f);
    }
  }
  std::fflush(stdout);

  Rf_endEmbeddedR(0);
  return rc;
}
