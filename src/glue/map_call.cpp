// The .Call routines of the map: what the sampler needs of a map once
// (mcar_map_prepare), and the smallest eigenvalue and log-determinants
// computed directly, which the tests compare the interpolant with.  The map
// comes as compressed rows: row_ptr (n + 1), col (0-based), w.

#include <cpp11.hpp>
#include <cpp11/declarations.hpp>

#include <stdexcept>
#include <vector>

#include "calls.h"
#include "contract.h"
#include "map.h"
#include "sexp.h"

using namespace mcar_glue;

namespace {

// The map in compressed rows, checked: row_ptr (n + 1), col (0-based), w.
mcar_engine::MapView map_view(SEXP row_ptr_s, SEXP col_s, SEXP w_s) {
  if (TYPEOF(row_ptr_s) != INTSXP || Rf_xlength(row_ptr_s) < 2 ||
      TYPEOF(col_s) != INTSXP || TYPEOF(w_s) != REALSXP)
    throw std::invalid_argument("the map must be integer row_ptr and col and "
                                "double weights");
  mcar_engine::MapView m;
  m.n = (int)Rf_xlength(row_ptr_s) - 1;
  m.row_ptr = INTEGER(row_ptr_s);
  m.col = INTEGER(col_s);
  m.w = REAL(w_s);
  if (m.row_ptr[0] != 0 || m.row_ptr[m.n] != Rf_xlength(col_s) ||
      Rf_xlength(w_s) != Rf_xlength(col_s))
    throw std::invalid_argument("the map's compressed rows are malformed");
  for (int i = 0; i < m.n; i++)
    if (m.row_ptr[i + 1] < m.row_ptr[i])
      throw std::invalid_argument("the map's compressed rows are malformed");
  for (R_xlen_t q = 0; q < Rf_xlength(col_s); q++)
    if (m.col[q] < 0 || m.col[q] >= m.n || !(m.w[q] >= 0))
      throw std::invalid_argument("the map's columns or weights are out of range");
  return m;
}

} // namespace

// What the sampler needs of a map once: its components, the support
// (eta_lo, eta_hi) of the association eigenvalues with eta_lo =
// max(bounds[1], bounds[2] / lambda_min) (lambda_min the smallest eigenvalue
// of D^-1/2 C D^-1/2, NA when it does not set eta_lo), and the
// log-determinant interpolant on it.  bounds = c(floor, ratio, eta_hi).
extern "C" SEXP mcar_map_prepare(SEXP row_ptr_s, SEXP col_s, SEXP w_s,
                                 SEXP bounds_s) {
  BEGIN_CPP11
  const mcar_engine::MapView m = map_view(row_ptr_s, col_s, w_s);
  if (TYPEOF(bounds_s) != REALSXP || Rf_xlength(bounds_s) != 3)
    throw std::invalid_argument("bounds must be three doubles");
  const double floor = REAL(bounds_s)[0], ratio = REAL(bounds_s)[1],
               hi = REAL(bounds_s)[2];
  std::vector<int> comp = mcar_engine::components(m);
  for (int &c : comp)
    c++;
  mcar_engine::MapFactor f(m);
  const mcar_engine::Support sup = mcar_engine::eta_support(f, floor, ratio, hi);
  mcar_engine::LogDet ld;
  ld.build(f, sup.eta_lo, hi, sup.z_lo);
  const std::vector<double> flat = ld.flat();
  namespace map = contract::map;
  return named_list(
      {{map::components, ints_of(comp, m.n, 1)},
       {map::lambda_min, scalar(sup.lambda_min)},
       {map::eta_lo, scalar(sup.eta_lo)},
       {map::eta_hi, scalar(hi)},
       {map::logdet, reals_of(flat, mcar_engine::LogDet::ROWS, ld.pieces())},
       {map::factorisations, scalar(f.factorisations())}});
  END_CPP11
}

// The smallest eigenvalue of D^-1/2 C D^-1/2, by bisection to 1e-14.
extern "C" SEXP mcar_map_lambda_min(SEXP row_ptr_s, SEXP col_s, SEXP w_s) {
  BEGIN_CPP11
  const mcar_engine::MapView m = map_view(row_ptr_s, col_s, w_s);
  mcar_engine::MapFactor f(m);
  return scalar(mcar_engine::smallest_eigenvalue(f));
  END_CPP11
}

// log|I - eta S| by a sparse factorisation at each eta (NA where I - eta S
// is not positive definite).
extern "C" SEXP mcar_map_logdet(SEXP row_ptr_s, SEXP col_s, SEXP w_s,
                                SEXP eta_s) {
  BEGIN_CPP11
  const mcar_engine::MapView m = map_view(row_ptr_s, col_s, w_s);
  if (TYPEOF(eta_s) != REALSXP)
    throw std::invalid_argument("eta must be doubles");
  mcar_engine::MapFactor f(m);
  std::vector<double> out(Rf_xlength(eta_s));
  for (size_t k = 0; k < out.size(); k++)
    if (!f.log_det(REAL(eta_s)[k], &out[k]))
      out[k] = NA_REAL;
  return reals_of(out, (int)out.size(), 1);
  END_CPP11
}

// The interpolant made by mcar_map_prepare at each eta.
extern "C" SEXP mcar_logdet_eval(SEXP logdet_s, SEXP eta_s) {
  BEGIN_CPP11
  mcar_engine::LogDet ld;
  if (TYPEOF(logdet_s) != REALSXP || !Rf_isMatrix(logdet_s) ||
      Rf_nrows(logdet_s) != mcar_engine::LogDet::ROWS ||
      !ld.load(REAL(logdet_s), Rf_ncols(logdet_s)))
    throw std::invalid_argument("not an interpolant made by mcar_map_prepare");
  if (TYPEOF(eta_s) != REALSXP)
    throw std::invalid_argument("eta must be doubles");
  std::vector<double> out(Rf_xlength(eta_s));
  for (size_t k = 0; k < out.size(); k++)
    out[k] = ld(REAL(eta_s)[k]);
  return reals_of(out, (int)out.size(), 1);
  END_CPP11
}
