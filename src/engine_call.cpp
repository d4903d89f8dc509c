// The R side of the general sampler: one .Call routine that runs a number of
// sweeps from a given state and returns the kept draws, the final state
// (generator included) and the acceptance counts.
//
//   .Call(mcar_engine_run, data, state, scales, control)
//
// data:    list(Y, E (n x K), X (n x p), row_ptr (n + 1), col (0-based),
//          w, lambda (n), eta_lo, eta_hi, beta_prec (p x K), iw_df,
//          iw_scale (K x K))
// state:   list(beta (p x K), phi (n x K), Lambda (K x K), eta (K),
//          theta (K (K - 1) / 2), lp (n x K mu carried by the chain, or
//          NULL), rng (32 raw bytes))
// scales:  list(beta (K), beta_chol (p x p x K), phi (n x K),
//          lambda (K x K), eta (K), theta, scale (K), shear)
// control: list(sweeps, thin, offset): sweep s of this call (1-based) is
//          kept when offset + s is a multiple of thin.
//
// Storage is owned by C++ objects and R objects held by cpp11, so it is
// released whichever way the call ends, an interrupt included.

#include <cpp11.hpp>
#include <cpp11/declarations.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine.h"
#include "engine_call.h"

namespace {

using mcar_engine::Data;
using mcar_engine::Xoshiro;

SEXP element(SEXP list, const char *name) {
  if (TYPEOF(list) != VECSXP)
    throw std::invalid_argument(std::string("engine input holding `") + name +
                                "` must be a list");
  SEXP names = Rf_getAttrib(list, R_NamesSymbol);
  if (TYPEOF(names) != STRSXP)
    throw std::invalid_argument("engine inputs must be named lists");
  for (R_xlen_t k = 0; k < Rf_xlength(list); k++)
    if (std::string(CHAR(STRING_ELT(names, k))) == name)
      return VECTOR_ELT(list, k);
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
  if (n < 1 || K < 1 || K > 64 || p < 1 || Rf_nrows(Xs) != n)
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
  d.lambda = reals(data_s, "lambda", n);
  d.eta_lo = real_scalar(data_s, "eta_lo");
  d.eta_hi = real_scalar(data_s, "eta_hi");
  d.beta_prec = reals(data_s, "beta_prec", (R_xlen_t)p * K);
  d.iw_df = real_scalar(data_s, "iw_df");
  d.iw_scale = reals(data_s, "iw_scale", (R_xlen_t)K * K);

  mcar_engine::State s;
  s.beta = copy(reals(state_s, "beta", (R_xlen_t)p * K), (R_xlen_t)p * K);
  s.phi = copy(reals(state_s, "phi", (R_xlen_t)n * K), (R_xlen_t)n * K);
  s.Lambda = copy(reals(state_s, "Lambda", (R_xlen_t)K * K), (R_xlen_t)K * K);
  s.eta = copy(reals(state_s, "eta", K), K);
  s.theta = copy(reals(state_s, "theta", nth), nth);
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

  const int sweeps = int_scalar(control_s, "sweeps");
  const int thin = int_scalar(control_s, "thin");
  const int offset = int_scalar(control_s, "offset");
  if (sweeps < 0 || thin < 1 || offset < 0)
    throw std::invalid_argument("engine control values out of range");
  const int kept = (offset + sweeps) / thin - offset / thin;

  const int npk = K * (K + 1) / 2;
  cpp11::sexp beta_f = new_matrix(kept, p * K), phi_f = new_matrix(kept, n * K),
              lam_f = new_matrix(kept, npk), A_f = new_matrix(kept, npk),
              eta_f = new_matrix(kept, K), theta_f = new_matrix(kept, nth),
              dev_f = new_matrix(kept, 1);

  mcar_engine::Sampler sampler(d, s, sc);
  mcar_engine::Counts counts(d);
  // Look for an interrupt about every 2e5 unit updates.
  const long long per_check = std::max(1LL, 200000LL / ((long long)n * K));
  int row = 0;
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
    put(phi_f, s.phi.data(), n * K);
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
    const double dev = sampler.deviance();
    put(dev_f, &dev, 1);
    row++;
  }

  cpp11::sexp rng_out = cpp11::safe[Rf_allocVector](RAWSXP, Xoshiro::STATE_BYTES);
  rng.save(RAW(rng_out));
  cpp11::sexp draws = named_list({{"beta", beta_f}, {"phi", phi_f},
                                  {"Lambda", lam_f}, {"A", A_f},
                                  {"eta", eta_f}, {"theta", theta_f},
                                  {"deviance", dev_f}});
  cpp11::sexp state = named_list(
      {{"beta", reals_of(s.beta, p, K)}, {"phi", reals_of(s.phi, n, K)},
       {"Lambda", reals_of(s.Lambda, K, K)}, {"eta", reals_of(s.eta, K, 1)},
       {"theta", reals_of(s.theta, nth, 1)},
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
       {"shear", ints_of(counts.shear, nth, 1)}});
  return named_list({{"draws", draws}, {"state", state}, {"accept", accept}});
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
