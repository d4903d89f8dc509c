// Reading named R lists and making R objects.  See sexp.h.
#include "sexp.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace mcar_glue {

SEXP element(SEXP list, const char *name, bool optional) {
  if (TYPEOF(list) != VECSXP)
    throw std::invalid_argument(std::string("engine input holding `") + name +
                                "` must be a list");
  SEXP names = Rf_getAttrib(list, R_NamesSymbol);
  if (TYPEOF(names) != STRSXP)
    throw std::invalid_argument("engine inputs must be named lists");
  for (R_xlen_t k = 0; k < Rf_xlength(list); k++)
    if (std::string(CHAR(STRING_ELT(names, k))) == name)
      return VECTOR_ELT(list, k);
  if (optional)
    return nullptr;
  throw std::invalid_argument(std::string("engine input lacks `") + name + "`");
}

const double *reals(SEXP list, const char *name, R_xlen_t len) {
  SEXP x = element(list, name);
  if (TYPEOF(x) != REALSXP || Rf_xlength(x) != len)
    throw std::invalid_argument(std::string("engine input `") + name +
                                "` must be a double vector of length " +
                                std::to_string((long long)len));
  return REAL(x);
}

const int *ints(SEXP list, const char *name, R_xlen_t len) {
  SEXP x = element(list, name);
  if (TYPEOF(x) != INTSXP || Rf_xlength(x) != len)
    throw std::invalid_argument(std::string("engine input `") + name +
                                "` must be an integer vector of length " +
                                std::to_string((long long)len));
  return INTEGER(x);
}

int int_scalar(SEXP list, const char *name) { return *ints(list, name, 1); }
double real_scalar(SEXP list, const char *name) {
  return *reals(list, name, 1);
}

std::vector<double> copy(const double *x, R_xlen_t len) {
  return std::vector<double>(x, x + len);
}

cpp11::sexp new_matrix(int rows, int cols) {
  return cpp11::safe[Rf_allocMatrix](REALSXP, rows, cols);
}

cpp11::sexp reals_of(const std::vector<double> &v, int rows, int cols) {
  cpp11::sexp out = new_matrix(rows, cols);
  std::copy(v.begin(), v.end(), REAL(out));
  return out;
}

cpp11::sexp ints_of(const std::vector<int> &v, int rows, int cols) {
  cpp11::sexp out = cpp11::safe[Rf_allocMatrix](INTSXP, rows, cols);
  std::copy(v.begin(), v.end(), INTEGER(out));
  return out;
}

cpp11::sexp scalar(double x) { return cpp11::safe[Rf_ScalarReal](x); }

cpp11::sexp int_scalar_of(int x) { return cpp11::safe[Rf_ScalarInteger](x); }

cpp11::sexp strings_of(const std::vector<const char *> &v) {
  cpp11::sexp out = cpp11::safe[Rf_allocVector](STRSXP, (R_xlen_t)v.size());
  for (size_t k = 0; k < v.size(); k++)
    SET_STRING_ELT(out, (R_xlen_t)k, cpp11::safe[Rf_mkCharCE](v[k], CE_UTF8));
  return out;
}

cpp11::sexp named_list(const Items &items) {
  const R_xlen_t len = (R_xlen_t)items.size();
  cpp11::sexp out = cpp11::safe[Rf_allocVector](VECSXP, len);
  cpp11::sexp names = cpp11::safe[Rf_allocVector](STRSXP, len);
  for (R_xlen_t k = 0; k < len; k++) {
    SET_VECTOR_ELT(out, k, items[k].second);
    SET_STRING_ELT(names, k, cpp11::safe[Rf_mkCharCE](items[k].first, CE_UTF8));
  }
  cpp11::safe[Rf_setAttrib](out, R_NamesSymbol, names);
  return out;
}

} // namespace mcar_glue
