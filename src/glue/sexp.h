// Reading named R lists into C++ and making R objects of the results, for
// the .Call routines.  Every reader throws std::invalid_argument with a
// message that names the element; the routines turn it into an R error.
#ifndef MCAR_SEXP_H
#define MCAR_SEXP_H

#include <cpp11.hpp>

#include <utility>
#include <vector>

namespace mcar_glue {

// The element `name` of a named list; null when absent and `optional`.
SEXP element(SEXP list, const char *name, bool optional = false);

// The element `name` as len doubles, or len integers.
const double *reals(SEXP list, const char *name, R_xlen_t len);
const int *ints(SEXP list, const char *name, R_xlen_t len);
int int_scalar(SEXP list, const char *name);
double real_scalar(SEXP list, const char *name);

std::vector<double> copy(const double *x, R_xlen_t len);

// Every R object made here is held by a cpp11::sexp (protected) until the
// list that returns it holds it.
cpp11::sexp new_matrix(int rows, int cols); // doubles
cpp11::sexp reals_of(const std::vector<double> &v, int rows, int cols);
cpp11::sexp ints_of(const std::vector<int> &v, int rows, int cols);
cpp11::sexp scalar(double x);
cpp11::sexp int_scalar_of(int x);
// A character vector of the strings.
cpp11::sexp strings_of(const std::vector<const char *> &v);

typedef std::vector<std::pair<const char *, cpp11::sexp>> Items;

// The list of the items' objects, named by their names.
cpp11::sexp named_list(const Items &items);

} // namespace mcar_glue

#endif
