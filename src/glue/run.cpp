// The R side of the general sampler: one .Call routine that runs a number of
// sweeps from a given state and returns the kept draws, the final state
// (generator included) and the acceptance counts.
//
//   .Call(mcar_engine_run, data, state, scales, control)
//
// data:    list(family (0 Poisson, 1 binomial, 2 negative binomial),
//          Y, E (n x K: expected counts, or binomial trials), X (n x p),
//          row_ptr (n + 1), col (0-based),
//          w, logdet (the map's log-determinant interpolant, from
//          mcar_map_prepare), eta_lo, eta_hi, beta_prec (p x K), iw_df,
//          iw_scale (K x K), ref_lp (K: the linear predictor above which
//          a cell counts as raised), psi_scale (prior scale of 1 / sqrt(psi)),
//          rounds (of the moves given mu per sweep), newton (1: the
//          effects' Newton proposals; 0: random walks))
// state:   list(beta (p x K), phi (n x K), Lambda (K x K), eta (K),
//          theta (K (K - 1) / 2), psi (K, negative binomial; else empty),
//          lp (n x K mu carried by the chain, or
//          NULL), rng (32 raw bytes), summaries (NULL or the running
//          summaries a previous call returned))
// scales:  list(beta (K), beta_chol (p x p x K), phi (n x K),
//          lambda (K x K), eta (K), theta, scale (K), shear, psi (K or
//          empty), lambda_corr (K x K x K: per row of the loadings, the
//          Cholesky factor of its proposal's correlations))
// control: list(sweeps, thin, offset, unit_thin, accumulate, threads
//          (optional, 1 when absent)): sweep s of this call (1-based) is
//          kept when offset + s is a multiple of thin; of the kept sweeps,
//          those whose number (offset + s) / thin is a multiple of
//          unit_thin store the fields too.  With accumulate the kept sweeps
//          are added into the running summaries.  threads: for the Newton
//          sweeps of the effects and the sums over the map (the draws do
//          not depend on it).
//
// Storage is owned by C++ objects and R objects held by cpp11, so it is
// released whichever way the call ends, an interrupt included.

#include <cpp11.hpp>
#include <cpp11/declarations.hpp>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine.h"
#include "calls.h"

namespace {

using mcar_engine::Data;
using mcar_engine::Xoshiro;

// The element `name` of a named list; null when absent and `optional`.
SEXP element(SEXP list, const char *name, bool optional = false) {
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

// Every R object made here is held by a cpp11::sexp (protected) until the
// list that returns it holds it.
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

typedef std::vector<std::pair<const char *, cpp11::sexp>> Items;

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

} // namespace

extern "C" SEXP mcar_engine_run(SEXP data_s, SEXP state_s, SEXP scales_s,
                                SEXP control_s) {
  BEGIN_CPP11
  Data d;
  SEXP Ys = element(data_s, "Y");
  SEXP Xs = element(data_s, "X");
  if (!Rf_isMatrix(Ys) || !Rf_isMatrix(Xs))
    throw std::invalid_argument("engine input `Y` and `X` must be matrices");
  d.n = Rf_nrows(Ys);
  d.K = Rf_ncols(Ys);
  d.p = Rf_ncols(Xs);
  const int n = d.n, K = d.K, p = d.p, nth = K * (K - 1) / 2;
  if (n < 1 || K < 1 || K > mcar_engine::MAX_K || p < 1 || Rf_nrows(Xs) != n)
    throw std::invalid_argument("engine input sizes do not agree");
  d.Y = reals(data_s, "Y", (R_xlen_t)n * K);
  d.E = reals(data_s, "E", (R_xlen_t)n * K);
  d.X = reals(data_s, "X", (R_xlen_t)n * p);
  d.row_ptr = ints(data_s, "row_ptr", n + 1);
  const int nnz = d.row_ptr[n];
  if (d.row_ptr[0] != 0 || nnz < 0)
    throw std::invalid_argument("engine input `row_ptr` is malformed");
  for (int i = 0; i < n; i++)
    if (d.row_ptr[i + 1] < d.row_ptr[i])
      throw std::invalid_argument("engine input `row_ptr` is malformed");
  d.col = ints(data_s, "col", nnz);
  for (int q = 0; q < nnz; q++)
    if (d.col[q] < 0 || d.col[q] >= n)
      throw std::invalid_argument("engine input `col` is out of range");
  d.w = reals(data_s, "w", nnz);
  mcar_engine::LogDet logdet;
  {
    SEXP ld = element(data_s, "logdet");
    if (TYPEOF(ld) != REALSXP || !Rf_isMatrix(ld) ||
        Rf_nrows(ld) != mcar_engine::LogDet::ROWS ||
        !logdet.load(REAL(ld), Rf_ncols(ld)))
      throw std::invalid_argument("engine input `logdet` is not an interpolant "
                                  "made by mcar_map_prepare");
  }
  d.logdet = &logdet;
  d.eta_lo = real_scalar(data_s, "eta_lo");
  d.eta_hi = real_scalar(data_s, "eta_hi");
  d.beta_prec = reals(data_s, "beta_prec", (R_xlen_t)p * K);
  d.iw_df = real_scalar(data_s, "iw_df");
  d.iw_scale = reals(data_s, "iw_scale", (R_xlen_t)K * K);
  d.family = int_scalar(data_s, "family");
  if (d.family < 0 || d.family > 2)
    throw std::invalid_argument("engine input `family` must be 0, 1 or 2");
  d.ref_lp = reals(data_s, "ref_lp", K);
  d.psi_scale = real_scalar(data_s, "psi_scale");
  if (!(d.psi_scale > 0))
    throw std::invalid_argument("engine input `psi_scale` must be positive");
  d.rounds = int_scalar(data_s, "rounds");
  if (d.rounds < 1)
    throw std::invalid_argument("engine input `rounds` must be at least 1");
  d.newton = int_scalar(data_s, "newton") != 0;
  const int npsi = d.family == mcar_engine::NEGBINOMIAL ? K : 0;

  mcar_engine::State s;
  s.beta = copy(reals(state_s, "beta", (R_xlen_t)p * K), (R_xlen_t)p * K);
  s.phi = copy(reals(state_s, "phi", (R_xlen_t)n * K), (R_xlen_t)n * K);
  s.Lambda = copy(reals(state_s, "Lambda", (R_xlen_t)K * K), (R_xlen_t)K * K);
  s.eta = copy(reals(state_s, "eta", K), K);
  s.theta = copy(reals(state_s, "theta", nth), nth);
  s.psi = copy(reals(state_s, "psi", npsi), npsi);
  for (double v : s.psi)
    if (!(v > 0) || !std::isfinite(v))
      throw std::invalid_argument("engine input `psi` must be positive and finite");
  {
    SEXP lp_s = element(state_s, "lp");
    if (TYPEOF(lp_s) == REALSXP && Rf_xlength(lp_s) == (R_xlen_t)n * K)
      s.lp = copy(REAL(lp_s), (R_xlen_t)n * K);
    else if (lp_s != R_NilValue && Rf_xlength(lp_s) != 0)
      throw std::invalid_argument("engine input `lp` must be NULL or n x K doubles");
  }
  SEXP rng_s = element(state_s, "rng");
  if (TYPEOF(rng_s) != RAWSXP || Rf_xlength(rng_s) != Xoshiro::STATE_BYTES)
    throw std::invalid_argument("engine input `rng` must be 32 raw bytes");
  Xoshiro rng;
  rng.load(RAW(rng_s));
  if (!rng.valid())
    throw std::invalid_argument("engine input `rng` is the all-zero state");

  mcar_engine::Scales sc;
  sc.beta = reals(scales_s, "beta", K);
  sc.beta_chol = reals(scales_s, "beta_chol", (R_xlen_t)p * p * K);
  sc.phi = reals(scales_s, "phi", (R_xlen_t)n * K);
  sc.lambda = reals(scales_s, "lambda", (R_xlen_t)K * K);
  sc.eta = reals(scales_s, "eta", K);
  sc.theta = reals(scales_s, "theta", nth);
  sc.scale = reals(scales_s, "scale", K);
  sc.shear = reals(scales_s, "shear", nth);
  sc.psi = reals(scales_s, "psi", npsi);
  sc.lambda_corr = reals(scales_s, "lambda_corr", (R_xlen_t)K * K * K);

  const int sweeps = int_scalar(control_s, "sweeps");
  const int thin = int_scalar(control_s, "thin");
  const int offset = int_scalar(control_s, "offset");
  const int unit_thin = int_scalar(control_s, "unit_thin");
  const int accumulate = *LOGICAL(element(control_s, "accumulate"));
  if (element(control_s, "threads", true) != nullptr)
    d.threads = int_scalar(control_s, "threads");
  if (d.threads < 1)
    throw std::invalid_argument("engine control `threads` must be at least 1");
  if (sweeps < 0 || thin < 1 || offset < 0 || unit_thin < 1 ||
      (long long)thin * unit_thin > 2147483647LL)
    throw std::invalid_argument("engine control values out of range");
  const int kept = (offset + sweeps) / thin - offset / thin;
  const int every = thin * unit_thin;
  const int kept_units = (offset + sweeps) / every - offset / every;

  const int cells = n * K;
  mcar_engine::Summaries sm(cells);
  if (accumulate) {
    SEXP prev = element(state_s, "summaries");
    if (prev != R_NilValue) {
      sm.draws = real_scalar(prev, "draws");
      const std::pair<const char *, std::vector<double> *> parts[] = {
          {"rr_mean", &sm.rr_mean}, {"rr_m2", &sm.rr_m2},
          {"rr_gt1", &sm.rr_gt1},   {"ll_mean", &sm.ll_mean},
          {"ll_m2", &sm.ll_m2},     {"ll_max", &sm.ll_max},
          {"ll_sum", &sm.ll_sum}};
      for (const auto &part : parts)
        *part.second = copy(reals(prev, part.first, cells), cells);
    }
  }

  const int npk = K * (K + 1) / 2;
  cpp11::sexp beta_f = new_matrix(kept, p * K),
              phi_f = new_matrix(kept_units, n * K),
              lam_f = new_matrix(kept, npk), A_f = new_matrix(kept, npk),
              eta_f = new_matrix(kept, K), theta_f = new_matrix(kept, nth),
              psi_f = new_matrix(kept, npsi),
              dev_f = new_matrix(kept, 1);

  mcar_engine::Sampler sampler(d, s, sc);
  mcar_engine::Counts counts(d);
  // Look for an interrupt about every 2e5 unit updates.
  const long long per_check = std::max(1LL, 200000LL / ((long long)n * K));
  int row = 0, unit_row = 0;
  for (int sweep = 1; sweep <= sweeps; sweep++) {
    if (sweep % per_check == 0)
      cpp11::check_user_interrupt();
    sampler.sweep(rng, counts);
    if ((offset + sweep) % thin != 0)
      continue;
    auto put = [&](SEXP m, const double *v, int len) {
      double *out = REAL(m);
      for (int k = 0; k < len; k++)
        out[row + (R_xlen_t)kept * k] = v[k];
    };
    put(beta_f, s.beta.data(), p * K);
    if (((offset + sweep) / thin) % unit_thin == 0) {
      double *out = REAL(phi_f);
      for (int k = 0; k < cells; k++)
        out[unit_row + (R_xlen_t)kept_units * k] = s.phi[k];
      unit_row++;
    }
    // The summaries' pass gives the deviance on its way.
    const double dev = accumulate ? -2.0 * sampler.accumulate(sm) : sampler.deviance();
    double packed_L[64 * 65 / 2], packed_A[64 * 65 / 2];
    const double *A = sampler.association_matrix();
    for (int a = 0; a < K; a++)
      for (int b = a; b < K; b++) {
        const int at = mcar_engine::packed_index(a, b, K);
        packed_L[at] = s.Lambda[a + K * b];
        packed_A[at] = A[a + K * b];
      }
    put(lam_f, packed_L, npk);
    put(A_f, packed_A, npk);
    put(eta_f, s.eta.data(), K);
    put(theta_f, s.theta.data(), nth);
    put(psi_f, s.psi.data(), npsi);
    put(dev_f, &dev, 1);
    row++;
  }

  cpp11::sexp rng_out = cpp11::safe[Rf_allocVector](RAWSXP, Xoshiro::STATE_BYTES);
  rng.save(RAW(rng_out));
  cpp11::sexp draws = named_list({{"beta", beta_f}, {"phi", phi_f},
                                  {"Lambda", lam_f}, {"A", A_f},
                                  {"eta", eta_f}, {"theta", theta_f},
                                  {"psi", psi_f}, {"deviance", dev_f}});
  cpp11::sexp state = named_list(
      {{"beta", reals_of(s.beta, p, K)}, {"phi", reals_of(s.phi, n, K)},
       {"Lambda", reals_of(s.Lambda, K, K)}, {"eta", reals_of(s.eta, K, 1)},
       {"theta", reals_of(s.theta, nth, 1)},
       {"psi", reals_of(s.psi, npsi, 1)},
       {"lp", reals_of(std::vector<double>(sampler.linear_predictor(),
                                           sampler.linear_predictor() + n * K),
                       n, K)},
       {"rng", rng_out}});
  cpp11::sexp accept = named_list(
      {{"beta", ints_of(counts.beta, K, 1)}, {"phi", ints_of(counts.phi, n, K)},
       {"lambda", ints_of(counts.lambda, K, 1)},
       {"eta", ints_of(counts.eta, K, 1)},
       {"theta", ints_of(counts.theta, nth, 1)},
       {"scale", ints_of(counts.scale, K, 1)},
       {"shear", ints_of(counts.shear, nth, 1)},
       {"psi", ints_of(counts.psi, npsi, 1)}});
  cpp11::sexp summaries = R_NilValue;
  if (accumulate)
    summaries = named_list(
        {{"draws", scalar(sm.draws)},
         {"rr_mean", reals_of(sm.rr_mean, n, K)},
         {"rr_m2", reals_of(sm.rr_m2, n, K)},
         {"rr_gt1", reals_of(sm.rr_gt1, n, K)},
         {"ll_mean", reals_of(sm.ll_mean, n, K)},
         {"ll_m2", reals_of(sm.ll_m2, n, K)},
         {"ll_max", reals_of(sm.ll_max, n, K)},
         {"ll_sum", reals_of(sm.ll_sum, n, K)}});
  return named_list({{"draws", draws}, {"state", state}, {"accept", accept},
                     {"summaries", summaries}});
  END_CPP11
}

// A generator state from a seed (splitmix64 of it): 32 raw bytes.
extern "C" SEXP mcar_engine_seed(SEXP seed_s) {
  BEGIN_CPP11
  if (TYPEOF(seed_s) != REALSXP || Rf_xlength(seed_s) != 2)
    throw std::invalid_argument("seed must be two doubles in [0, 2^32)");
  const double hi = REAL(seed_s)[0], lo = REAL(seed_s)[1];
  if (!(hi >= 0 && hi < 4294967296.0 && lo >= 0 && lo < 4294967296.0))
    throw std::invalid_argument("seed must be two doubles in [0, 2^32)");
  Xoshiro rng;
  rng.seed(((uint64_t)hi << 32) | (uint64_t)lo);
  cpp11::sexp out = cpp11::safe[Rf_allocVector](RAWSXP, Xoshiro::STATE_BYTES);
  rng.save(RAW(out));
  return out;
  END_CPP11
}

// ---- the map -----------------------------------------------------------------

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
  return named_list(
      {{"components", ints_of(comp, m.n, 1)},
       {"lambda_min", scalar(sup.lambda_min)},
       {"eta_lo", scalar(sup.eta_lo)},
       {"eta_hi", scalar(hi)},
       {"logdet", reals_of(flat, mcar_engine::LogDet::ROWS, ld.pieces())},
       {"factorisations", scalar(f.factorisations())}});
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
