// Shared helpers for the native test suite.
//
// main.cpp starts one embedded R session for the whole run (R_HOME is taken
// from `R RHOME` when unset) and routes R's console into two buffers, so a
// test can look at what the compiled code printed with Rprintf (console_out)
// and REprintf (console_err).  Clear them with console_clear() before the
// call under test.
//
// R objects: r_eval() parses and evaluates R code in the global environment
// and throws std::runtime_error carrying R's message when parsing or
// evaluation fails; the SEXP it returns is unprotected.  r_eval_reals()
// returns the result as doubles.  r_assign_matrix() binds a row-pointer
// matrix to an R variable so R can compute reference values.
//
// Random numbers: r_set_seed(s) runs set.seed(s) in R.  Native draws read and
// write .Random.seed, so bracket them with an RngScope (GetRNGstate() on
// entry, PutRNGstate() on exit).  r_rnorm_after_seed(s, n) is what R's own
// rnorm(n) gives after set.seed(s): the stream the native generators must
// reproduce.
//
// Compiled code that may raise an R error (Rf_error longjmps) must run under
// r_toplevel(), which returns false when an error was raised; the message is
// in console_err().  Destructors of C++ objects created inside the callback
// are skipped by such an error.
//
// harness.h defines R_NO_REMAP before including R's headers: use the Rf_
// names (Rf_length, Rf_error, ...), and include harness.h before any other
// R header.
//
// Matrices: Mat owns a zero-filled row-pointer matrix from create_matrixd and
// releases it with freematd; it converts to double ** so it can be handed to
// the toolkit directly.  Vec is the same for create_vectord vectors.
#ifndef MCAR_TESTS_HARNESS_H
#define MCAR_TESTS_HARNESS_H

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// Keep R's short macro names (length, error, ...) out of C++ code.
#ifndef R_NO_REMAP
#define R_NO_REMAP
#endif
#include <Rinternals.h>

#include "matrix.h"

// ---- console capture --------------------------------------------------------
void console_clear();
std::string console_out();
std::string console_err();

// ---- embedded R -------------------------------------------------------------
SEXP r_eval(const char *code);
SEXP r_eval(const std::string &code);
std::vector<double> r_eval_reals(const std::string &code);
double r_eval_real(const std::string &code);
void r_assign_matrix(const char *name, double **m, int rows, int cols);
void r_assign_vector(const char *name, const double *v, int n);
bool r_toplevel(const std::function<void()> &f);

// ---- random numbers ---------------------------------------------------------
void r_set_seed(int seed);
std::vector<double> r_rnorm_after_seed(int seed, int n);

class RngScope {
public:
  RngScope();
  ~RngScope();
  RngScope(const RngScope &) = delete;
  RngScope &operator=(const RngScope &) = delete;
};

// ---- matrices and vectors ---------------------------------------------------
class Mat {
public:
  Mat(int rows, int cols);
  Mat(std::initializer_list<std::initializer_list<double>> rows);
  ~Mat();
  Mat(const Mat &other);
  Mat &operator=(const Mat &) = delete;

  double **get() const { return p_; }
  operator double **() const { return p_; }
  double *operator[](int i) const { return p_[i]; }
  int rows() const { return rows_; }
  int cols() const { return cols_; }
  void fill(double value);

private:
  int rows_, cols_;
  double **p_;
};

class Vec {
public:
  explicit Vec(int n);
  Vec(std::initializer_list<double> values);
  ~Vec();
  Vec(const Vec &other);
  Vec &operator=(const Vec &) = delete;

  double *get() const { return p_; }
  operator double *() const { return p_; }
  int size() const { return n_; }
  void fill(double value);

private:
  int n_;
  double *p_;
};

// Largest absolute elementwise difference of two equally shaped matrices.
double max_abs_diff(double **a, double **b, int rows, int cols);

#endif
