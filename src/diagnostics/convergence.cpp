// Rank-normalised split-chain R-hat and bulk and tail effective sample
// sizes of many variables at once (the estimates of Vehtari et al. 2021,
// as posterior::rhat, ess_bulk and ess_tail compute them), for the
// diagnostics of every cell of a large map.
//
//   .Call(mcar_convergence, draws, tails)
//
// draws: a double array S x C x V (draws x chains x variables); tails:
// whether to estimate the tail ESS (else NA, at a third of the cost).
// Returns a V x 3 matrix: rhat, ess_bulk, ess_tail; NA for a variable that
// is constant or has a non-finite draw, and for all with S < 4.
#include <R.h>
#include <Rinternals.h>
#include <Rmath.h>

#include "calls.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace {

// Split chains: the first and second halves of each chain (the middle
// draw of an odd length left out) as 2C chains of n = floor(S / 2) draws,
// column-major n x 2C.
void split(const double *x, int S, int C, std::vector<double> &out, int &n) {
  n = S / 2;
  out.resize((size_t)n * 2 * C);
  const int second = S - n; // first index of the second half
  for (int c = 0; c < C; c++)
    for (int t = 0; t < n; t++) {
      out[(size_t)c * n + t] = x[(size_t)c * S + t];
      out[(size_t)(C + c) * n + t] = x[(size_t)c * S + second + t];
    }
}

// Normal scores of the average ranks of the N values.  `scores` holds
// those of the untied ranks 1..N (score(r) below), the same for every
// variable of a call; tied ranks, rare in continuous draws, are scored
// one by one.
double score(double r, int N) {
  return qnorm((r - 0.375) / (N - 0.75 + 1.0), 0.0, 1.0, 1, 0);
}

typedef std::pair<double, int> Ranked; // a value and its position

struct ZScale {
  std::vector<double> scores;
  std::vector<Ranked> order, folded;

  // `order`: the values of v and their positions, in increasing order.
  void sort(const std::vector<double> &v) {
    const int N = (int)v.size();
    order.resize(N);
    for (int i = 0; i < N; i++)
      order[i] = {v[i], i};
    std::sort(order.begin(), order.end(),
              [](const Ranked &a, const Ranked &b) { return a.first < b.first; });
  }

  // The same for |v - centre|, from the order of v: below the centre the
  // distances fall as the values rise, above it they rise, and the two runs
  // merge into one increasing run.
  void fold(double centre) {
    const int N = (int)order.size();
    folded.resize(N);
    int up = (int)(std::lower_bound(order.begin(), order.end(), centre,
                                    [](const Ranked &a, double c) {
                                      return a.first < c;
                                    }) -
                   order.begin());
    int down = up - 1;
    for (int k = 0; k < N; k++) {
      const double a = down >= 0 ? std::fabs(order[down].first - centre)
                                 : INFINITY;
      const double b =
          up < N ? std::fabs(order[up].first - centre) : INFINITY;
      if (up >= N || (down >= 0 && a <= b)) {
        folded[k] = {a, order[down].second};
        down--;
      } else {
        folded[k] = {b, order[up].second};
        up++;
      }
    }
  }

  // The normal scores of the sorted values `by` at their positions in z.
  void assign(const std::vector<Ranked> &by, std::vector<double> &z) {
    const int N = (int)by.size();
    if ((int)scores.size() != N) {
      scores.resize(N);
      for (int i = 0; i < N; i++)
        scores[i] = score(i + 1.0, N);
    }
    z.resize(N);
    for (int i = 0; i < N;) {
      int j = i;
      while (j + 1 < N && by[j + 1].first == by[i].first)
        j++;
      const double q =
          j == i ? scores[i] : score(0.5 * (i + j) + 1.0, N); // 1-based rank
      for (int k = i; k <= j; k++)
        z[by[k].second] = q;
      i = j + 1;
    }
  }

  void operator()(std::vector<double> &v) {
    sort(v);
    assign(order, v);
  }
};

// The q-quantile (R's type 7) and the median of N sorted values.
double sorted_quantile7(const std::vector<Ranked> &v, double q) {
  const int N = (int)v.size();
  const double h = (N - 1) * q;
  const int lo = (int)std::floor(h);
  const double a = v[lo].first;
  if (lo + 1 >= N)
    return a;
  return a + (h - lo) * (v[lo + 1].first - a);
}

double sorted_median(const std::vector<Ranked> &v) {
  const int N = (int)v.size();
  const double hi = v[N / 2].first;
  if (N % 2)
    return hi;
  return 0.5 * (hi + v[N / 2 - 1].first);
}

// The mean of each of m chains of n draws (column-major n x m).
std::vector<double> chain_means(const std::vector<double> &x, int n, int m) {
  std::vector<double> mean(m);
  for (int c = 0; c < m; c++) {
    const double *p = &x[(size_t)c * n];
    double s = 0;
    for (int t = 0; t < n; t++)
      s += p[t];
    mean[c] = s / n;
  }
  return mean;
}

// The sample variance of v (divisor size - 1).
double sample_variance(const std::vector<double> &v) {
  double mm = 0;
  for (double a : v)
    mm += a;
  mm /= v.size();
  double ss = 0;
  for (double a : v)
    ss += (a - mm) * (a - mm);
  return ss / (v.size() - 1);
}

// Split R-hat of m chains of n draws (column-major n x m).
double rhat(const std::vector<double> &x, int n, int m) {
  const std::vector<double> mean = chain_means(x, n, m);
  double vw = 0;
  for (int c = 0; c < m; c++) {
    const double *p = &x[(size_t)c * n];
    double ss = 0;
    for (int t = 0; t < n; t++)
      ss += (p[t] - mean[c]) * (p[t] - mean[c]);
    vw += ss / (n - 1);
  }
  vw /= m;
  const double vb = n * sample_variance(mean);
  return std::sqrt((vb / vw + n - 1) / n);
}

// The twiddles of an FFT of length M (a power of 2): cos and sin of
// 2 pi k / M, k < M / 2.
struct Twiddles {
  std::vector<double> c, s;
  explicit Twiddles(size_t M) : c(M / 2), s(M / 2) {
    const double pi = 3.14159265358979323846;
    for (size_t k = 0; k < M / 2; k++) {
      c[k] = std::cos(2 * pi * k / M);
      s[k] = std::sin(2 * pi * k / M);
    }
  }
};

// In-place FFT of (re, im) (length M, a power of 2, with its twiddles w):
// X_k = sum_t a_t e^(-2 pi i k t / M), or with `inverse` the sum with
// e^(+...), unscaled.
void fft(double *re, double *im, size_t M, const Twiddles &w, bool inverse) {
  for (size_t i = 1, j = 0; i < M; i++) {
    size_t bit = M >> 1;
    for (; j & bit; bit >>= 1)
      j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  const double sign = inverse ? 1.0 : -1.0;
  for (size_t len = 2; len <= M; len <<= 1) {
    // A transform of length len reads every (M / len)-th twiddle.
    const size_t half = len / 2, stride = M / len;
    for (size_t i = 0; i < M; i += len)
      for (size_t k = 0; k < half; k++) {
        const double c = w.c[k * stride], d = sign * w.s[k * stride];
        const size_t p = i + k, q = p + half;
        const double vr = re[q] * c - im[q] * d, vi = re[q] * d + im[q] * c;
        re[q] = re[p] - vr;
        im[q] = im[p] - vi;
        re[p] += vr;
        im[p] += vi;
      }
  }
}

// The autocovariance sums sum_t y[t] y[t + l] of m chains of n values
// (column-major n x m), added over the chains, at every lag l < n: the
// inverse transform of the chains' power spectra, zero-padded to M >= 2 n
// so that no lag wraps around.  Two real chains share one complex
// transform X (one as the real part, one as the imaginary): the sum of
// their power spectra is (|X_k|^2 + |X_(M-k)|^2) / 2.
std::vector<double> fft_autocovariance(const std::vector<double> &y, int n, int m) {
  size_t M = 1;
  while (M < 2 * (size_t)n)
    M <<= 1;
  const Twiddles w(M);
  std::vector<double> power(M, 0.0), re(M), im(M);
  for (int c = 0; c < m; c += 2) {
    const double *p = &y[(size_t)c * n];
    const double *q = c + 1 < m ? &y[(size_t)(c + 1) * n] : nullptr;
    std::fill(re.begin(), re.end(), 0.0);
    std::fill(im.begin(), im.end(), 0.0);
    for (int t = 0; t < n; t++) {
      re[t] = p[t];
      im[t] = q ? q[t] : 0.0;
    }
    fft(re.data(), im.data(), M, w, false);
    for (size_t k = 0; k < M; k++) {
      const size_t j = (M - k) % M;
      power[k] += 0.5 * (re[k] * re[k] + im[k] * im[k] + re[j] * re[j] + im[j] * im[j]);
    }
  }
  std::fill(im.begin(), im.end(), 0.0);
  fft(power.data(), im.data(), M, w, true);
  std::vector<double> out(n);
  for (int l = 0; l < n; l++)
    out[l] = power[l] / M;
  return out;
}

// Lags whose autocovariances are summed directly; past them, where the
// chains mix slowly, all are taken at once by FFT (at about the cost of
// this many direct sums on long chains).
const int DIRECT_LAGS = 128;

// Effective sample size of m chains of n draws (Geyer's initial monotone
// sequence), the autocovariances taken as far as the sequence needs them:
// sum_t y[t] y[t + l] / n of each chain's centred draws, averaged over the
// chains, times `acov_scale` (1 but for mcar_relative_eff()); summed
// directly up to DIRECT_LAGS, beyond by FFT.
double ess(const std::vector<double> &x, int n, int m,
           double acov_scale = 1.0) {
  if (n < 3)
    return NA_REAL;
  const std::vector<double> mean = chain_means(x, n, m);
  std::vector<double> y(x.size());
  for (int c = 0; c < m; c++)
    for (int t = 0; t < n; t++)
      y[(size_t)c * n + t] = x[(size_t)c * n + t] - mean[c];
  std::vector<double> by_fft;
  auto acov = [&](int l) {
    if (l >= DIRECT_LAGS) {
      if (by_fft.empty())
        by_fft = fft_autocovariance(y, n, m);
      return acov_scale * (by_fft[l] / n) / m;
    }
    double total = 0;
    for (int c = 0; c < m; c++) {
      const double *p = &y[(size_t)c * n];
      double s = 0;
      for (int t = 0; t + l < n; t++)
        s += p[t] * p[t + l];
      total += s / n;
    }
    return acov_scale * total / m;
  };
  const double mean_var = acov(0) * n / (n - 1);
  double var_plus = mean_var * (n - 1) / n;
  if (m > 1)
    var_plus += sample_variance(mean);
  if (!(var_plus > 0))
    return NA_REAL;
  std::vector<double> rho(n, 0.0);
  double even = 1.0, odd = 1.0 - (mean_var - acov(1)) / var_plus;
  rho[0] = even;
  rho[1] = odd;
  int t = 0;
  while (t < n - 5 && !std::isnan(even + odd) && even + odd > 0) {
    t += 2;
    even = 1.0 - (mean_var - acov(t)) / var_plus;
    odd = 1.0 - (mean_var - acov(t + 1)) / var_plus;
    if (even + odd >= 0) {
      rho[t] = even;
      rho[t + 1] = odd;
    }
  }
  const int max_t = t;
  if (even > 0)
    rho[max_t] = even;
  t = 0;
  while (t <= max_t - 4) {
    t += 2;
    if (rho[t] + rho[t + 1] > rho[t - 2] + rho[t - 1]) {
      rho[t] = (rho[t - 2] + rho[t - 1]) / 2;
      rho[t + 1] = rho[t];
    }
  }
  double tau = -1.0 + rho[max_t];
  if (max_t == 0)
    tau += 2.0 * rho[0];
  for (int k = 0; k < max_t; k++)
    tau += 2.0 * rho[k];
  const double total = (double)m * n;
  tau = std::max(tau, 1.0 / std::log10(total));
  return total / tau;
}

// The q-quantile of the N values (R's type 7).
double quantile7(std::vector<double> v, double q) {
  const int N = (int)v.size();
  const double h = (N - 1) * q;
  const int lo = (int)std::floor(h);
  std::nth_element(v.begin(), v.begin() + lo, v.end());
  const double a = v[lo];
  if (lo + 1 >= N)
    return a;
  const double b = *std::min_element(v.begin() + lo + 1, v.end());
  return a + (h - lo) * (b - a);
}

double median(const std::vector<double> &v) {
  const int N = (int)v.size();
  std::vector<double> w(v);
  std::nth_element(w.begin(), w.begin() + N / 2, w.end());
  const double hi = w[N / 2];
  if (N % 2)
    return hi;
  return 0.5 * (hi + *std::max_element(w.begin(), w.begin() + N / 2));
}

} // namespace

SEXP mcar_convergence(SEXP draws, SEXP tails) {
  const bool with_tails = Rf_asLogical(tails) == TRUE;
  SEXP dim = Rf_getAttrib(draws, R_DimSymbol);
  if (TYPEOF(draws) != REALSXP || Rf_length(dim) != 3)
    Rf_error("draws must be a double array of draws x chains x variables");
  const int S = INTEGER(dim)[0], C = INTEGER(dim)[1], V = INTEGER(dim)[2];
  SEXP out = PROTECT(Rf_allocMatrix(REALSXP, V, 3));
  double *o = REAL(out);
  std::fill(o, o + (size_t)V * 3, NA_REAL);
  const double *x = REAL(draws);
  const size_t N = (size_t)S * C;
  std::vector<double> all(N), s, z, ind;
  ZScale z_scale;
  int n = 0;
  for (int v = 0; v < V && S >= 4; v++) {
    const double *xv = x + (size_t)v * N;
    bool finite = true;
    double lo = INFINITY, hi = -INFINITY;
    for (size_t k = 0; k < N; k++) {
      if (!std::isfinite(xv[k])) {
        finite = false;
        break;
      }
      lo = std::min(lo, xv[k]);
      hi = std::max(hi, xv[k]);
    }
    if (!finite || std::fabs(hi - lo) < DBL_EPSILON)
      continue;
    double med, q05, q95;
    split(xv, S, C, s, n);
    if (S % 2 == 0) {
      // The split chains hold every draw: one sort ranks them, gives their
      // quantiles, and by a merge ranks the folded draws.
      z_scale.sort(s);
      med = sorted_median(z_scale.order);
      q05 = sorted_quantile7(z_scale.order, 0.05);
      q95 = sorted_quantile7(z_scale.order, 0.95);
      z_scale.assign(z_scale.order, z);
    } else {
      all.assign(xv, xv + N);
      med = median(all);
      q05 = quantile7(all, 0.05);
      q95 = quantile7(all, 0.95);
      z = s;
      z_scale(z);
    }
    // Bulk: ranks of the split chains.
    const double bulk = ess(z, n, 2 * C);
    double rh = rhat(z, n, 2 * C);
    // The folded draws' R-hat, for the tails' scale.
    if (S % 2 == 0) {
      z_scale.fold(med);
      z_scale.assign(z_scale.folded, z);
    } else {
      for (size_t k = 0; k < N; k++)
        all[k] = std::fabs(xv[k] - med);
      split(all.data(), S, C, z, n);
      z_scale(z);
    }
    rh = std::max(rh, rhat(z, n, 2 * C));
    // Tail: the ESS of the indicators of the 5% and 95% quantiles.
    double tail = with_tails ? INFINITY : NA_REAL;
    if (with_tails)
      for (double q : {q05, q95}) {
        ind.resize(s.size());
        bool varies = false;
        for (size_t k = 0; k < s.size(); k++) {
          ind[k] = s[k] <= q ? 1.0 : 0.0;
          varies = varies || ind[k] != ind[0];
        }
        const double e = varies ? ess(ind, n, 2 * C) : NA_REAL;
        tail = ISNAN(e) || ISNAN(tail) ? NA_REAL : std::min(tail, e);
      }
    o[v] = rh;
    o[v + V] = bulk;
    o[v + 2 * V] = tail;
  }
  UNPROTECT(1);
  return out;
}

namespace {

// The size that an FFT of n values is padded to before doubling: the
// next number at least n with no prime factor above 5 (2 for n <= 2).
int fft_good_size(int n) {
  if (n <= 2)
    return 2;
  for (;; n++) {
    int m = n;
    while (m % 2 == 0)
      m /= 2;
    while (m % 3 == 0)
      m /= 3;
    while (m % 5 == 0)
      m /= 5;
    if (m <= 1)
      return n;
  }
}

} // namespace

// Relative efficiencies of the likelihoods exp(ll) of many observations,
// as the importance sampling of leave-one-out cross-validation reads them:
// the effective sample size of each column's C chains (not split) over its
// number of draws.  The autocovariances are those of an FFT of the chain
// padded to twice fft_good_size(n) and divided by 2 n^2, which is the
// direct sum over n when n is a good size and that sum times
// fft_good_size(n) / n otherwise.
//
//   .Call(mcar_relative_eff, ll, chains)
//
// ll: a double matrix (C n) x V, the chains' draws one below the other.
// Returns V relative efficiencies; NA where the likelihood is constant or
// not finite, or n < 3.
SEXP mcar_relative_eff(SEXP ll, SEXP chains) {
  SEXP dim = Rf_getAttrib(ll, R_DimSymbol);
  if (TYPEOF(ll) != REALSXP || Rf_length(dim) != 2)
    Rf_error("ll must be a double matrix of draws x observations");
  const int rows = INTEGER(dim)[0], V = INTEGER(dim)[1];
  const int C = Rf_asInteger(chains);
  if (C < 1 || rows % C != 0)
    Rf_error("the draws must split into `chains` chains of equal length");
  const int n = rows / C;
  const double scale = (double)fft_good_size(n) / n;
  SEXP out = PROTECT(Rf_allocVector(REALSXP, V));
  double *o = REAL(out);
  const double *x = REAL(ll);
  std::vector<double> lik(rows);
  for (int v = 0; v < V; v++) {
    const double *xv = x + (size_t)v * rows;
    bool ok = n >= 3, varies = false;
    for (int k = 0; k < rows && ok; k++) {
      lik[k] = std::exp(xv[k]);
      ok = std::isfinite(lik[k]);
      varies = varies || lik[k] != lik[0];
    }
    ok = ok && varies;
    const double e = ok ? ess(lik, n, C, scale) : NA_REAL;
    o[v] = ISNAN(e) ? NA_REAL : e / rows;
  }
  UNPROTECT(1);
  return out;
}

// The order statistics `pos` (1-based, increasing) of every column of the
// double matrix x (`rows` rows; an array is read as rows x the rest), the
// values sort(x[, j], partial = pos)[pos] gives: a length(pos) x columns
// matrix, by successive selections.  NULL when x holds NA or NaN, which
// the caller sorts as R does.
//
//   .Call(mcar_col_order_stats, x, rows, pos)
SEXP mcar_col_order_stats(SEXP x, SEXP rows, SEXP pos) {
  if (TYPEOF(x) != REALSXP || TYPEOF(pos) != INTSXP)
    Rf_error("x must be double and pos integer");
  const R_xlen_t len = XLENGTH(x);
  const int n = Rf_asInteger(rows);
  if (n < 1 || len % n != 0)
    Rf_error("x must have a positive number of rows");
  const R_xlen_t cols = len / n;
  const int np = Rf_length(pos);
  const int *p = INTEGER(pos);
  for (int k = 0; k < np; k++)
    if (p[k] < 1 || p[k] > n || (k && p[k] < p[k - 1]))
      Rf_error("pos must be increasing positions within the rows");
  const double *v = REAL(x);
  for (R_xlen_t i = 0; i < len; i++)
    if (ISNAN(v[i]))
      return R_NilValue;
  SEXP out = PROTECT(Rf_allocMatrix(REALSXP, np, (int)cols));
  double *o = REAL(out);
  std::vector<double> buf(n);
  for (R_xlen_t j = 0; j < cols; j++) {
    buf.assign(v + j * n, v + (j + 1) * n);
    int from = 0;
    for (int k = 0; k < np; k++) {
      const int at = p[k] - 1;
      if (at >= from) {
        std::nth_element(buf.begin() + from, buf.begin() + at, buf.end());
        from = at + 1;
      }
      o[j * np + k] = buf[at];
    }
  }
  UNPROTECT(1);
  return out;
}
