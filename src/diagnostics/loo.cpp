// Leave-one-out cross-validation of a fit: the pointwise log-likelihood of
// the observed counts over the stored draws, and Pareto-smoothed importance
// sampling of each count's leave-one-out weights with its estimates.
//
// The smoothing follows loo (2.5): for each count, the largest
// importance ratios (a tail of ceiling(min(S / 5, 3 sqrt(S / r_eff)))
// draws) are replaced by the expected order statistics of a generalized
// Pareto distribution fitted by the empirical Bayes estimate of Zhang and
// Stephens (2009) with its weakly informative adjustment of k towards 0.5,
// and the weights are truncated at the largest raw ratio.  Sums and means
// accumulate in long double, as R's sum(), mean() and var() do, so that
// the results agree with loo's to rounding.
//
// The routines split the counts into chunks of consecutive counts, which
// the calling thread and threads started for the call claim in turn; each
// count's values are computed by one thread alone, so the results are the
// same on any number of threads.  The densities are R's own (nmath), which
// touch no R state for integer counts (checked before the threads start).
#include <R.h>
#include <Rinternals.h>
#include <Rmath.h>

#include "calls.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

namespace {

// R's mean() of a double vector: the long double mean and its correction
// by the mean residual.
double r_mean(const double *x, int n) {
  long double s = 0;
  for (int i = 0; i < n; i++)
    s += x[i];
  s /= n;
  if (std::isfinite((double)s)) {
    long double t = 0;
    for (int i = 0; i < n; i++)
      t += (x[i] - s);
    s += t / n;
  }
  return (double)s;
}

// R's var() of a double vector (complete values).
double r_var(const std::vector<double> &x) {
  const int n = (int)x.size();
  if (n < 2)
    return NA_REAL;
  const double m = r_mean(x.data(), n);
  long double s = 0;
  for (int i = 0; i < n; i++)
    s += (x[i] - m) * (x[i] - m);
  return (double)(s / (n - 1));
}

// log(sum(exp(x))) as matrixStats::logSumExp: the largest value plus the
// log1p of the sum of the others' exponentials relative to it.
double log_sum_exp(const double *x, int n) {
  int imax = 0;
  double xmax = x[0];
  for (int i = 1; i < n; i++) {
    if (x[i] > xmax || (ISNAN(xmax) && !ISNAN(x[i]))) {
      imax = i;
      xmax = x[i];
    }
  }
  if (n == 1 || std::isinf(xmax) || ISNAN(xmax))
    return xmax;
  long double s = 0;
  for (int i = 0; i < n; i++)
    if (i != imax)
      s += std::exp(x[i] - xmax);
  return xmax + std::log1p((double)s);
}

// The generalized Pareto fit of the exceedances x (increasing) over the
// cutoff: k adjusted towards 0.5 by a prior worth 10 observations, and
// sigma; k is Inf where the fit fails.
void gpd_fit(const std::vector<double> &x, double &k, double &sigma) {
  const int N = (int)x.size();
  const double prior = 3;
  const int M = 30 + (int)std::floor(std::sqrt((double)N));
  const double xstar = x[(size_t)std::floor(N / 4.0 + 0.5) - 1];
  std::vector<double> theta(M), l(M), y(N);
  for (int j = 0; j < M; j++) {
    theta[j] =
        1 / x[N - 1] + (1 - std::sqrt(M / (j + 1 - 0.5))) / prior / xstar;
    const double a = -theta[j];
    for (int i = 0; i < N; i++)
      y[i] = std::log1p(a * x[i]);
    const double kj = r_mean(y.data(), N);
    l[j] = N * (std::log(a / kj) - kj - 1);
  }
  const double lse = log_sum_exp(l.data(), M);
  long double th = 0;
  for (int j = 0; j < M; j++)
    th += theta[j] * std::exp(l[j] - lse);
  const double theta_hat = (double)th;
  for (int i = 0; i < N; i++)
    y[i] = std::log1p(-theta_hat * x[i]);
  k = r_mean(y.data(), N);
  sigma = -k / theta_hat;
  const double n_plus_a = N + 10.0;
  k = k * N / n_plus_a + 10 * 0.5 / n_plus_a;
  if (ISNAN(k))
    k = R_PosInf;
}

// Smoothed log weights of one count from its log ratios lr (S draws),
// unnormalized, into lw; returns the Pareto k.  `flat` is set when the
// tail's values are all equal (no fit).
double psis_column(const double *lr, int S, int tail_len, double *lw,
                   std::vector<int> &idx, std::vector<double> &ex,
                   bool &flat) {
  const double mx = *std::max_element(lr, lr + S);
  for (int s = 0; s < S; s++)
    lw[s] = lr[s] - mx;
  double khat = R_PosInf;
  flat = false;
  if (tail_len >= 5) {
    // The tail and the cutoff just below it in R's stable order (ties by
    // draw index).
    idx.resize(S);
    std::iota(idx.begin(), idx.end(), 0);
    auto less = [lw](int a, int b) {
      return lw[a] < lw[b] || (lw[a] == lw[b] && a < b);
    };
    const int first = S - tail_len; // 0-based position of the tail's start
    std::nth_element(idx.begin(), idx.begin() + (first - 1), idx.end(), less);
    std::sort(idx.begin() + first, idx.end(), less);
    const double cutoff = lw[idx[first - 1]];
    const double lo = lw[idx[first]], hi = lw[idx[S - 1]];
    if (std::fabs(hi - lo) < DBL_EPSILON / 100) {
      flat = true;
    } else {
      const double exp_cutoff = std::exp(cutoff);
      ex.resize(tail_len);
      for (int j = 0; j < tail_len; j++)
        ex[j] = std::exp(lw[idx[first + j]]) - exp_cutoff;
      double k, sigma;
      gpd_fit(ex, k, sigma);
      khat = k;
      if (std::isfinite(k)) {
        const bool bad = ISNAN(sigma) || sigma <= 0;
        for (int j = 0; j < tail_len; j++) {
          const double p = (j + 1 - 0.5) / tail_len;
          const double q =
              bad ? R_NaN : sigma * std::expm1(-k * std::log1p(-p)) / k;
          lw[idx[first + j]] = std::log(q + exp_cutoff);
        }
      }
    }
  }
  for (int s = 0; s < S; s++) {
    if (lw[s] > 0)
      lw[s] = 0;
    lw[s] += mx;
  }
  return khat;
}

// Calls body(begin, end) on chunks of consecutive columns covering [0, n),
// on `threads` threads (the caller's and threads - 1 started for the call)
// claiming chunks from a shared counter.
template <class Body> void run_chunks(int n, int threads, const Body &body) {
  const int per = 64;
  const int chunks = (n + per - 1) / per;
  std::atomic<int> next(0);
  auto work = [&] {
    for (int k; (k = next.fetch_add(1)) < chunks;)
      body(k * per, std::min(n, (k + 1) * per));
  };
  std::vector<std::thread> workers;
  for (int t = 1; t < std::min(threads, chunks); t++)
    workers.emplace_back(work);
  work();
  for (std::thread &t : workers)
    t.join();
}

} // namespace

// The pointwise log-likelihood of the observed counts over the draws.
//
//   .Call(mcar_count_log_lik, family, y, e, risk, size, threads)
//
// family: 0 Poisson (mean e risk), 1 binomial (e trials, probability
// risk), 2 negative binomial (mean e risk, size `size`); y and e: the C
// counts and exposures; risk (and size for the negative binomial): S x C
// matrices.  Returns the S x C matrix of log densities, the values of R's
// dpois(), dbinom() and dnbinom(mu =), computed on `threads` threads.
SEXP mcar_count_log_lik(SEXP family, SEXP y, SEXP e, SEXP risk, SEXP size,
                        SEXP threads) {
  const int fam = Rf_asInteger(family);
  SEXP dim = Rf_getAttrib(risk, R_DimSymbol);
  if (TYPEOF(risk) != REALSXP || Rf_length(dim) != 2)
    Rf_error("risk must be a double matrix of draws x counts");
  const int S = INTEGER(dim)[0], C = INTEGER(dim)[1];
  if (TYPEOF(y) != REALSXP || TYPEOF(e) != REALSXP || Rf_length(y) != C ||
      Rf_length(e) != C)
    Rf_error("y and e must be double vectors with one value per count");
  if (fam == 2 && (TYPEOF(size) != REALSXP || XLENGTH(size) != XLENGTH(risk)))
    Rf_error("size must be a double matrix as risk");
  const double *r = REAL(risk), *yy = REAL(y), *ee = REAL(e);
  const double *sz = fam == 2 ? REAL(size) : nullptr;
  // A count or a number of trials that is not an integer makes nmath warn
  // through R: those are left to the calling thread.
  bool integers = true;
  for (int c = 0; c < C && integers; c++) {
    integers = !(std::fabs(yy[c] - std::nearbyint(yy[c])) >
                 1e-7 * std::max(1.0, std::fabs(yy[c])));
    if (fam == 1)
      integers = integers &&
                 !(std::fabs(ee[c] - std::nearbyint(ee[c])) >
                   1e-7 * std::max(1.0, std::fabs(ee[c])));
  }
  const int nthreads = integers ? std::max(1, Rf_asInteger(threads)) : 1;
  SEXP out = PROTECT(Rf_allocMatrix(REALSXP, S, C));
  double *o = REAL(out);
  auto column = [=](int c) {
    const size_t off = (size_t)c * S;
    const double yc = yy[c], ec = ee[c];
    switch (fam) {
    case 1:
      for (int s = 0; s < S; s++)
        o[off + s] = dbinom(yc, ec, r[off + s], 1);
      break;
    case 2:
      for (int s = 0; s < S; s++)
        o[off + s] = dnbinom_mu(yc, sz[off + s], ec * r[off + s], 1);
      break;
    default:
      for (int s = 0; s < S; s++)
        o[off + s] = dpois(yc, ec * r[off + s], 1);
    }
  };
  run_chunks(C, nthreads, [&](int begin, int end) {
    for (int c = begin; c < end; c++)
      column(c);
  });
  UNPROTECT(1);
  return out;
}

// The pointwise log-likelihood of the observed counts from the draws of a
// fit, the linear predictors included, as the draws' R code computes them:
// for the count of unit i and outcome r, mu = beta[r] x_i (the products
// summed in the order of the covariates, as the reference BLAS does) plus
// Lambda[r, c] phi[c, i] for c = r..K in turn; the risk exp(mu) (the
// probability plogis(mu) for the binomial); then the family's density.
//
//   .Call(mcar_log_lik_lp, family, y, e, beta, X, Lambda, lambda_col, phi,
//         size, cells, threads)
//
// beta: S x (K p) (outcome by outcome); X: n x p; Lambda: S x m with
// lambda_col the K x K integer matrix of the (1-based) column of
// Lambda[r, c] (r <= c); phi: S x (K n); size: S x K or NULL; cells: the
// C observed cells (1-based, unit within outcome) with their counts y and
// exposures e.  Returns the S x C matrix.
SEXP mcar_log_lik_lp(SEXP family, SEXP y, SEXP e, SEXP beta, SEXP X,
                     SEXP Lambda, SEXP lambda_col, SEXP phi, SEXP size,
                     SEXP cells, SEXP threads) {
  const int fam = Rf_asInteger(family);
  auto dims = [](SEXP m, const char *what) {
    SEXP d = Rf_getAttrib(m, R_DimSymbol);
    if (TYPEOF(m) != REALSXP || Rf_length(d) != 2)
      Rf_error("%s must be a double matrix", what);
    return std::make_pair(INTEGER(d)[0], INTEGER(d)[1]);
  };
  const auto db = dims(beta, "beta"), dx = dims(X, "X"),
             dl = dims(Lambda, "Lambda"), dp = dims(phi, "phi");
  const int S = dp.first, n = dx.first, p = dx.second;
  const int K = Rf_length(lambda_col) > 0
                    ? (int)std::lround(std::sqrt((double)Rf_length(lambda_col)))
                    : 0;
  const int C = Rf_length(cells);
  if (db.first != S || dl.first != S || db.second != K * p ||
      dp.second != K * n || TYPEOF(lambda_col) != INTSXP ||
      Rf_length(lambda_col) != K * K || TYPEOF(cells) != INTSXP ||
      TYPEOF(y) != REALSXP || TYPEOF(e) != REALSXP || Rf_length(y) != C ||
      Rf_length(e) != C)
    Rf_error("the draws, the design and the cells do not match");
  if (fam == 2) {
    const auto ds = dims(size, "size");
    if (ds.first != S || ds.second != K)
      Rf_error("size must be a draws x outcomes matrix");
  }
  const int *cell = INTEGER(cells), *lc = INTEGER(lambda_col);
  for (int j = 0; j < C; j++)
    if (cell[j] < 1 || cell[j] > K * n)
      Rf_error("cells must lie within the units and outcomes");
  for (int r = 0; r < K; r++)
    for (int c = r; c < K; c++)
      if (lc[r + c * K] < 1 || lc[r + c * K] > dl.second)
        Rf_error("lambda_col must give a column of Lambda for r <= c");
  const double *yy = REAL(y), *ee = REAL(e), *b = REAL(beta), *x = REAL(X),
               *L = REAL(Lambda), *ph = REAL(phi);
  const double *sz = fam == 2 ? REAL(size) : nullptr;
  bool integers = true;
  for (int j = 0; j < C && integers; j++) {
    integers = !(std::fabs(yy[j] - std::nearbyint(yy[j])) >
                 1e-7 * std::max(1.0, std::fabs(yy[j])));
    if (fam == 1)
      integers = integers &&
                 !(std::fabs(ee[j] - std::nearbyint(ee[j])) >
                   1e-7 * std::max(1.0, std::fabs(ee[j])));
  }
  const int nthreads = integers ? std::max(1, Rf_asInteger(threads)) : 1;
  SEXP out = PROTECT(Rf_allocMatrix(REALSXP, S, C));
  double *o = REAL(out);
  run_chunks(C, nthreads, [&](int begin, int end) {
    std::vector<double> mu(S);
    for (int j = begin; j < end; j++) {
      const int r = (cell[j] - 1) / n, i = (cell[j] - 1) % n;
      for (int s = 0; s < S; s++)
        mu[s] = 0;
      for (int l = 0; l < p; l++) {
        const double xl = x[i + (size_t)l * n];
        const double *bl = b + (size_t)(r * p + l) * S;
        for (int s = 0; s < S; s++)
          mu[s] = mu[s] + xl * bl[s];
      }
      for (int c = r; c < K; c++) {
        const double *lam = L + (size_t)(lc[r + c * K] - 1) * S;
        const double *pc = ph + (size_t)(c * n + i) * S;
        for (int s = 0; s < S; s++)
          mu[s] = mu[s] + lam[s] * pc[s];
      }
      double *oj = o + (size_t)j * S;
      const double yj = yy[j], ej = ee[j];
      switch (fam) {
      case 1:
        for (int s = 0; s < S; s++)
          oj[s] = dbinom(yj, ej, plogis(mu[s], 0., 1., 1, 0), 1);
        break;
      case 2: {
        const double *sr = sz + (size_t)r * S;
        for (int s = 0; s < S; s++)
          oj[s] = dnbinom_mu(yj, sr[s], ej * std::exp(mu[s]), 1);
        break;
      }
      default:
        for (int s = 0; s < S; s++)
          oj[s] = dpois(yj, ej * std::exp(mu[s]), 1);
      }
    }
  });
  UNPROTECT(1);
  return out;
}

// PSIS-LOO of every count.
//
//   .Call(mcar_psis_loo, ll, r_eff, tail_len, zn, threads)
//
// ll: the S x N matrix of pointwise log-likelihoods; r_eff and
// tail_len: the N relative efficiencies and tail lengths; zn: the normal
// quantiles of the Monte Carlo error of elpd_loo.  Returns a list:
// pointwise (N x 5: elpd_loo, mcse_elpd_loo, p_loo, looic,
// influence_pareto_k), n_eff (the PSIS effective sample sizes) and flat
// (the counts, 1-based, whose tail was constant and left unsmoothed);
// NULL when ll holds a value that is not finite.  Computed on `threads`
// threads.
SEXP mcar_psis_loo(SEXP ll, SEXP r_eff, SEXP tail_len, SEXP zn,
                   SEXP threads) {
  SEXP dim = Rf_getAttrib(ll, R_DimSymbol);
  if (TYPEOF(ll) != REALSXP || Rf_length(dim) != 2)
    Rf_error("ll must be a double matrix of draws x counts");
  const int S = INTEGER(dim)[0], N = INTEGER(dim)[1];
  if (TYPEOF(r_eff) != REALSXP || Rf_length(r_eff) != N ||
      TYPEOF(tail_len) != INTSXP || Rf_length(tail_len) != N ||
      TYPEOF(zn) != REALSXP)
    Rf_error("r_eff, tail_len and zn do not match ll");
  const double *x = REAL(ll), *re = REAL(r_eff), *z = REAL(zn);
  const int *tl = INTEGER(tail_len);
  const int nz = Rf_length(zn);
  for (size_t k = 0, len = (size_t)S * N; k < len; k++)
    if (!std::isfinite(x[k]))
      return R_NilValue;
  SEXP pw = PROTECT(Rf_allocMatrix(REALSXP, N, 5));
  SEXP neff = PROTECT(Rf_allocVector(REALSXP, N));
  double *p = REAL(pw), *ne = REAL(neff);
  std::vector<char> is_flat(N, 0);
  const double log_S = std::log((double)S);
  // Scratch space of a chunk of counts (a chunk runs on one thread).
  struct Scratch {
    std::vector<int> idx;
    std::vector<double> lr, lw, w, tmp, ex, logz;
  };
  auto count = [&](int i, Scratch &b) {
    b.lr.resize(S), b.lw.resize(S), b.w.resize(S), b.tmp.resize(S);
    const double *l = x + (size_t)i * S;
    for (int s = 0; s < S; s++)
      b.lr[s] = -l[s];
    bool flat_i;
    const double k =
        psis_column(b.lr.data(), S, tl[i], b.lw.data(), b.idx, b.ex, flat_i);
    is_flat[i] = flat_i;
    // Normalized log weights and the effective sample size.
    double *lw = b.lw.data(), *w = b.w.data();
    const double nc = log_sum_exp(lw, S);
    long double ss = 0;
    for (int s = 0; s < S; s++) {
      lw[s] -= nc;
      w[s] = std::exp(lw[s]);
      ss += w[s] * w[s];
    }
    ne[i] = 1 / (double)ss * re[i];
    for (int s = 0; s < S; s++)
      b.tmp[s] = l[s] + lw[s];
    const double elpd = log_sum_exp(b.tmp.data(), S);
    const double lpd = log_sum_exp(l, S) - log_S;
    // Monte Carlo error of elpd_loo: the variance of the log of normal
    // quantiles around the expected density.
    const double E = std::exp(elpd);
    long double v = 0;
    for (int s = 0; s < S; s++) {
      const double d = std::exp(l[s]) - E;
      v += (w[s] * w[s]) * (d * d);
    }
    const double sd = std::sqrt((double)v);
    b.logz.clear();
    for (int j = 0; j < nz; j++) {
      const double zz = E + sd * z[j];
      if (zz > 0)
        b.logz.push_back(std::log(zz));
    }
    p[i] = elpd;
    p[i + N] = std::sqrt(r_var(b.logz) / re[i]);
    p[i + 2 * (size_t)N] = lpd - elpd;
    p[i + 3 * (size_t)N] = -2 * elpd;
    p[i + 4 * (size_t)N] = k;
  };
  run_chunks(N, std::max(1, Rf_asInteger(threads)), [&](int begin, int end) {
    Scratch b;
    for (int i = begin; i < end; i++)
      count(i, b);
  });
  std::vector<int> flat;
  for (int i = 0; i < N; i++)
    if (is_flat[i])
      flat.push_back(i + 1);
  SEXP fl = PROTECT(Rf_allocVector(INTSXP, flat.size()));
  std::copy(flat.begin(), flat.end(), INTEGER(fl));
  SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
  SET_VECTOR_ELT(out, 0, pw);
  SET_VECTOR_ELT(out, 1, neff);
  SET_VECTOR_ELT(out, 2, fl);
  SEXP nm = PROTECT(Rf_allocVector(STRSXP, 3));
  SET_STRING_ELT(nm, 0, Rf_mkChar("pointwise"));
  SET_STRING_ELT(nm, 1, Rf_mkChar("n_eff"));
  SET_STRING_ELT(nm, 2, Rf_mkChar("flat"));
  Rf_setAttrib(out, R_NamesSymbol, nm);
  UNPROTECT(5);
  return out;
}
