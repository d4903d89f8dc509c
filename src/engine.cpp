// The general sampler's moves.  See engine.h for the model and the layout.
//
// Every update is a Metropolis step that draws its proposal first and a
// uniform only when the log ratio is negative (a NaN ratio rejects), except
// the shifts of the fields along the covariates against their
// coefficients, which are drawn exactly from their conditionals
// (Gaussians).  mu moves by the increment of each accepted proposal, and
// the family's cached term m = g(mu) (family.h) is computed from it; the
// shift, scale and shear moves leave both as they are.  G = Phi' C Phi and H = Phi' D Phi
// are formed once a sweep after the effects move and carried through the
// moves that transform the fields linearly.

#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace mcar_engine {

namespace {

const double HALF_PI = 1.5707963267948966;

inline bool accept(Xoshiro &rng, double lgratio) {
  if (lgratio >= 0)
    return true;
  if (!(lgratio > -INFINITY))
    return false; // -Inf and NaN
  return std::log(rng.uniform()) < lgratio;
}

// accept(rng, lg + log(ratio) / 2) for ratio > 0 (inverse: 1 / ratio), the
// logarithm taken only when the bounds 1 - 1 / ratio <= log(ratio) <=
// ratio - 1 do not decide.
inline bool newton_accept(Xoshiro &rng, double lg, double ratio, double inverse) {
  const double lower = lg + 0.5 * (1.0 - inverse);
  if (lower >= 0)
    return true;
  const double upper = lg + 0.5 * (ratio - 1.0);
  if (!(upper > -INFINITY))
    return false; // -Inf and NaN
  const double lu = std::log(rng.uniform());
  if (lu < lower)
    return true;
  if (lu >= upper)
    return false;
  return lu < lg + 0.5 * std::log(ratio);
}

// The field part of mu[i,r]: sum over c >= r of Lambda[r,c] phi[i,c].
inline double field_part(const double *Lambda, const double *phi, int n,
                         int K, int i, int r) {
  double f = 0.0;
  for (int c = r; c < K; c++)
    f += Lambda[r + K * c] * phi[i + n * c];
  return f;
}

// Lower Cholesky factor of the K x K symmetric positive definite a, in
// place (column-major, the upper part left as it is).  False when a is not
// positive definite.
bool cholesky(double *a, int K) {
  for (int j = 0; j < K; j++) {
    double s = a[j + K * j];
    for (int k = 0; k < j; k++)
      s -= a[j + K * k] * a[j + K * k];
    if (!(s > 0))
      return false;
    const double ljj = std::sqrt(s);
    a[j + K * j] = ljj;
    for (int i = j + 1; i < K; i++) {
      double t = a[i + K * j];
      for (int k = 0; k < j; k++)
        t -= a[i + K * k] * a[j + K * k];
      a[i + K * j] = t / ljj;
    }
  }
  return true;
}

// Loops over the cells of the map run on the chain's threads only past
// this many indices, in blocks of this many for the sums.
const int SUM_BLOCK = 1024;

// body(i) for i in [0, n), on up to `threads` threads past SUM_BLOCK
// indices (each i writing only its own outputs); a plain loop otherwise,
// which keeps the small maps clear of the threading library's calls.
template <class Body> void parallel_for(int n, int threads, const Body &body) {
  if (threads > 1 && n > SUM_BLOCK) {
#ifdef _OPENMP
#pragma omp parallel for num_threads(threads) schedule(static)
#endif
    for (int i = 0; i < n; i++)
      body(i);
    return;
  }
  for (int i = 0; i < n; i++)
    body(i);
}
// The M sums over i in [0, n) of the terms that term(i, t) adds into
// t[0..M-1], each as the ordered sum of its sums over blocks of SUM_BLOCK
// consecutive indices, the blocks on up to `threads` threads: the same
// values, to the bit, on any number of threads, and for n <= SUM_BLOCK the
// plain sums in index order.  term may also write per-index outputs (each
// i its own).
template <int M, class Term>
void blocked_sums(int n, int threads, double *out, const Term &term) {
  const int blocks = (n + SUM_BLOCK - 1) / SUM_BLOCK;
  std::fill(out, out + M, 0.0);
  if (blocks <= 1) {
    for (int i = 0; i < n; i++)
      term(i, out);
    return;
  }
  std::vector<double> part((size_t)blocks * M, 0.0);
  auto block = [&](int b) {
    const int end = std::min(n, (b + 1) * SUM_BLOCK);
    for (int i = b * SUM_BLOCK; i < end; i++)
      term(i, &part[(size_t)b * M]);
  };
  if (threads > 1) {
#ifdef _OPENMP
#pragma omp parallel for num_threads(threads) schedule(static)
#endif
    for (int b = 0; b < blocks; b++)
      block(b);
  } else {
    for (int b = 0; b < blocks; b++)
      block(b);
  }
  for (int b = 0; b < blocks; b++)
    for (int k = 0; k < M; k++)
      out[k] += part[(size_t)b * M + k];
}

// The same for one sum, of the values term(i) returns.
template <class Term> double blocked_sum(int n, int threads, const Term &term) {
  double total;
  blocked_sums<1>(n, threads, &total, [&](int i, double *t) { t[0] += term(i); });
  return total;
}

// log((x - lo) / (hi - x)) and its inverse, and the log Jacobian term
// log((x - lo)(hi - x)) of the random walk on that scale.
inline double logit_in(double x, double lo, double hi) {
  return std::log((x - lo) / (hi - x));
}
inline double logit_out(double l, double lo, double hi) {
  return lo + (hi - lo) / (1.0 + std::exp(-l));
}
inline double logit_jacobian(double x, double lo, double hi) {
  return std::log((x - lo) * (hi - x));
}

// Zero-filled K x K scratch: on the stack up to K = 8, else on the heap.
class SmallSquare {
public:
  explicit SmallSquare(int K) {
    if (K > 8) {
      big_.assign(K * K, 0.0);
      p_ = big_.data();
    } else {
      std::fill(buf_, buf_ + K * K, 0.0);
    }
  }
  double *data() { return p_; }

private:
  double buf_[64];
  std::vector<double> big_;
  double *p_ = buf_;
};

} // namespace

void association(double *A, const double *theta, const double *eta, int K) {
  SmallSquare P(K);
  double *Pm = P.data();
  for (int i = 0; i < K; i++)
    Pm[i + K * i] = 1.0;
  int j = 0;
  for (int a = 0; a < K; a++)
    for (int b = a + 1; b < K; b++, j++) {
      const double c = std::cos(theta[j] * HALF_PI);
      const double s = std::sin(theta[j] * HALF_PI);
      for (int i = 0; i < K; i++) {
        const double pa = Pm[i + K * a], pb = Pm[i + K * b];
        Pm[i + K * a] = pa * c - pb * s;
        Pm[i + K * b] = pa * s + pb * c;
      }
    }
  for (int a = 0; a < K; a++)
    for (int b = a; b < K; b++) {
      double s = 0.0;
      for (int k = 0; k < K; k++)
        s += Pm[a + K * k] * eta[k] * Pm[b + K * k];
      A[a + K * b] = s;
      A[b + K * a] = s;
    }
}

Sampler::Sampler(const Data &data, State &state, const Scales &scales)
    : d_(data), s_(state), sc_(scales), n_(data.n), K_(data.K), p_(data.p),
      lp_(n_ * K_), m_(n_ * K_), A_(K_ * K_),
      G_(K_ * K_), H_(K_ * K_), T_(K_ * K_, 0.0), logdet_(K_), D_(n_), work_((K_ + 4) * n_ + 4 * K_ * K_ + 4 * p_) {
  MapView mv;
  mv.n = n_;
  mv.row_ptr = d_.row_ptr;
  mv.col = d_.col;
  mv.w = d_.w;
  D_ = precision_diagonal(mv);
  // C X[, j], X[, j]' D X[, j] and X[, j]' C X[, j] for the shifts.
  Cx_.assign((size_t)n_ * p_, 0.0);
  xDx_.assign(p_, 0.0);
  xCx_.assign(p_, 0.0);
  for (int j = 0; j < p_; j++) {
    const double *v = d_.X + (size_t)n_ * j;
    double *cv = Cx_.data() + (size_t)n_ * j;
    neighbour_sums(v, cv);
    for (int i = 0; i < n_; i++) {
      xDx_[j] += D_[i] * v[i] * v[i];
      xCx_[j] += v[i] * cv[i];
    }
  }
  ll_const_.assign(n_ * K_, 0.0);
  ref_cell_.assign(n_ * K_, 0.0);
  for (int r = 0; r < K_; r++) {
    const double psi = d_.family == NEGBINOMIAL ? s_.psi[r] : 0.0;
    for (int i = 0; i < n_; i++) {
      const int x = i + n_ * r;
      ll_const_[x] = cell_c(d_.family, d_.Y[x], d_.E[x], psi);
      ref_cell_[x] = d_.ref_lp ? d_.ref_lp[r] : 0.0;
    }
  }
  if ((int)s_.lp.size() == n_ * K_)
    lp_ = s_.lp;
  else
    linear_predictor_from_state(lp_.data());
  for (int x = 0; x < n_ * K_; x++)
    m_[x] = g(x, x / n_, lp_[x]);
  association(A_.data(), s_.theta.data(), s_.eta.data(), K_);
  for (int k = 0; k < K_; k++)
    logdet_[k] = log_det_term(s_.eta[k]);
  for (int a = 0; a < K_; a++)
    T_[a + K_ * a] = 1.0;
  // Only the Newton sweeps go colour by colour (phi_sweep colours the map
  // itself when Data::newton is set after construction).
  if (d_.newton)
    colour_units();
}

// A greedy colouring of the map in unit order (each unit takes the
// smallest colour none of its earlier neighbours has), as the units listed
// colour by colour (order_) and where each colour starts (colour_ptr_).
void Sampler::colour_units() {
  std::vector<int> colour(n_, -1), used;
  int colours = 0;
  for (int i = 0; i < n_; i++) {
    used.assign(colours + 1, 0);
    for (int q = d_.row_ptr[i]; q < d_.row_ptr[i + 1]; q++)
      if (colour[d_.col[q]] >= 0)
        used[colour[d_.col[q]]] = 1;
    int c = 0;
    while (used[c])
      c++;
    colour[i] = c;
    colours = std::max(colours, c + 1);
  }
  colour_ptr_.assign(colours + 1, 0);
  for (int i = 0; i < n_; i++)
    colour_ptr_[colour[i] + 1]++;
  for (int c = 0; c < colours; c++)
    colour_ptr_[c + 1] += colour_ptr_[c];
  order_.resize(n_);
  std::vector<int> next(colour_ptr_.begin(), colour_ptr_.end() - 1);
  for (int i = 0; i < n_; i++)
    order_[next[colour[i]]++] = i;
}

std::vector<int> Sampler::colours() const {
  std::vector<int> colour(n_);
  for (int c = 0; c + 1 < (int)colour_ptr_.size(); c++)
    for (int q = colour_ptr_[c]; q < colour_ptr_[c + 1]; q++)
      colour[order_[q]] = c;
  return colour;
}

// ---- caches ----------------------------------------------------------------------

// mu = X beta + Phi Lambda', summed term by term in index order.
void Sampler::linear_predictor_from_state(double *lp) const {
  for (int r = 0; r < K_; r++) {
    const double *beta = s_.beta.data() + p_ * r;
    for (int i = 0; i < n_; i++) {
      double xb = 0.0;
      for (int j = 0; j < p_; j++)
        xb += d_.X[i + n_ * j] * beta[j];
      lp[i + n_ * r] = xb + field_part(s_.Lambda.data(), s_.phi.data(), n_, K_, i, r);
    }
  }
}

// out = C u (n each), on the chain's threads past SUM_BLOCK units.
void Sampler::neighbour_sums(const double *u, double *out) const {
  const double *__restrict w = d_.w;
  const int *__restrict col = d_.col;
  const int *__restrict row_ptr = d_.row_ptr;
  parallel_for(n_, d_.threads, [&](int i) {
    double t = 0.0;
    for (int q = row_ptr[i]; q < row_ptr[i + 1]; q++)
      t += w[q] * u[col[q]];
    out[i] = t;
  });
}

// G = Phi' C Phi and H = Phi' D Phi.  The neighbour sums S = C Phi go to
// scratch first, so that every sum is accumulated in a register.
void Sampler::refresh_gram() {
  const int n = n_, K = K_;
  const double *__restrict phi = s_.phi.data();
  double *__restrict S = work_.data();
  const int threads = d_.threads;
  for (int b = 0; b < K; b++)
    neighbour_sums(phi + n * b, S + n * b);
  for (int a = 0; a < K; a++)
    for (int b = a; b < K; b++) {
      const double *pa = phi + n * a, *pb = phi + n * b, *sb = S + n * b;
      double gh[2];
      blocked_sums<2>(n, threads, gh, [&](int i, double *t) {
        t[0] += pa[i] * sb[i];
        t[1] += D_[i] * (pa[i] * pb[i]);
      });
      G_[a + K * b] = G_[b + K * a] = gh[0];
      H_[a + K * b] = H_[b + K * a] = gh[1];
    }
  gram_valid_ = true;
}

// G <- T' G T and H <- T' H T for T = I + t e_b e_a' (field a plus t
// times field b), or T = I + (t - 1) e_a e_a' when b == a (field a times t).
void Sampler::transform_gram(int a, int b, double t) {
  const int K = K_;
  for (std::vector<double> *M : {&G_, &H_}) {
    std::vector<double> &X = *M;
    if (a == b) {
      for (int k = 0; k < K; k++) {
        X[a + K * k] *= t;
        X[k + K * a] *= t;
      }
    } else {
      // column a += t column b, then row a += t row b
      for (int k = 0; k < K; k++)
        X[k + K * a] += t * X[k + K * b];
      for (int k = 0; k < K; k++)
        X[a + K * k] += t * X[b + K * k];
    }
  }
}

// sum_i log(1 - eta_k lambda_i) = log|D - eta_k C| - log|D|, from the map's
// interpolant (within about 1e-9 of the sparse factorisation).
double Sampler::log_det_term(double eta_k) const { return (*d_.logdet)(eta_k); }

// sum_ab A[a,b] G[a,b] - sum_ab A_[a,b] G[a,b], summed as one difference.
double Sampler::quad_change(const double *A) const {
  double s = 0.0;
  for (int x = 0; x < K_ * K_; x++)
    s += (A[x] - A_[x]) * G_[x];
  return s;
}

// The inverse-Wishart prior of Lambda Lambda' with its Jacobian.
double Sampler::lambda_log_prior(const double *L) const {
  const int K = K_;
  double logdiag = 0.0, weighted = 0.0;
  for (int r = 0; r < K; r++) {
    const double l = std::log(L[r + K * r]);
    logdiag += l;
    weighted += (r + 1) * l;
  }
  // M = L^-1 (upper triangular), column by column.
  SmallSquare Ms(K);
  double *M = Ms.data();
  for (int c = 0; c < K; c++) {
    M[c + K * c] = 1.0 / L[c + K * c];
    for (int r = c - 1; r >= 0; r--) {
      double t = 0.0;
      for (int k = r + 1; k <= c; k++)
        t += L[r + K * k] * M[k + K * c];
      M[r + K * c] = -t / L[r + K * r];
    }
  }
  // tr(S (L L')^-1) = tr(M' ... ) = sum_{a} (M S M')[a,a]
  double tr = 0.0;
  for (int a = 0; a < K; a++)
    for (int b = a; b < K; b++)
      for (int c = a; c < K; c++)
        tr += M[a + K * b] * d_.iw_scale[b + K * c] * M[a + K * c];
  return -(d_.iw_df + K + 1) * logdiag - 0.5 * tr + weighted;
}

// ---- log ratios ------------------------------------------------------------------

double Sampler::ratio_phi(int i, int c, double y) const {
  const double *phi = s_.phi.data();
  const double x = phi[i + n_ * c];
  double ll = 0.0;
  for (int r = 0; r <= c; r++) {
    const int at = i + n_ * r;
    const double lp = lp_[at] + s_.Lambda[r + K_ * c] * (y - x);
    ll += d_.Y[at] * (lp - lp_[at]) - (g(at, r, lp) - m_[at]);
  }
  double as = 0.0;
  for (int q = d_.row_ptr[i]; q < d_.row_ptr[i + 1]; q++) {
    const int j = d_.col[q];
    double t = 0.0;
    for (int b = 0; b < K_; b++)
      t += A_[c + K_ * b] * phi[j + n_ * b];
    as += d_.w[q] * t;
  }
  return ll - 0.5 * D_[i] * (y * y - x * x) + (y - x) * as;
}

// The log-likelihood change of outcome r when row r of the loadings is
// that of L, with the proposal's mu and g(mu) left in lp_new and m_new.
double Sampler::lambda_row_proposal(int r, const double *L, double *lp_new,
                                    double *m_new) const {
  SmallSquare change(K_);
  double *dL = change.data();
  for (int c = r; c < K_; c++)
    dL[c] = L[r + K_ * c] - s_.Lambda[r + K_ * c];
  return blocked_sum(n_, d_.threads, [&](int i) {
    const int at = i + n_ * r;
    double dl = 0.0;
    for (int c = r; c < K_; c++)
      dl += dL[c] * s_.phi[i + n_ * c];
    lp_new[i] = lp_[at] + dl;
    m_new[i] = g(at, r, lp_new[i]);
    return d_.Y[at] * dl - (m_new[i] - m_[at]);
  });
}

double Sampler::ratio_lambda_row(int r, const double *row) const {
  std::vector<double> L(s_.Lambda), lp(n_), m(n_);
  for (int c = r; c < K_; c++)
    L[r + K_ * c] = row[c - r];
  return lambda_row_proposal(r, L.data(), lp.data(), m.data()) +
         lambda_log_prior(L.data()) - lambda_log_prior(s_.Lambda.data());
}

double Sampler::ratio_eta(int k, double y) {
  if (!gram_valid_)
    refresh_gram();
  std::vector<double> eta(s_.eta), A(K_ * K_);
  eta[k] = y;
  association(A.data(), s_.theta.data(), eta.data(), K_);
  return 0.5 * (log_det_term(y) - logdet_[k]) + 0.5 * quad_change(A.data());
}

double Sampler::ratio_theta(int j, double y) {
  if (!gram_valid_)
    refresh_gram();
  std::vector<double> theta(s_.theta), A(K_ * K_);
  theta[j] = y;
  association(A.data(), theta.data(), s_.eta.data(), K_);
  return 0.5 * quad_change(A.data());
}

// Moving every field c by v delta[c], v = X[, j] the covariate j (all ones
// for the intercept), and row j of the coefficients by -Lambda delta leaves
// mu as it is.  With d = Phi' D v and e = Phi' C v, the fields' log prior
// changes by -(2 delta'(d - A e) + delta'(v'Dv I - v'Cv A) delta) / 2, and
// the coefficients' normal prior as it says.
void Sampler::shift_sums(int j, double *d, double *e) const {
  const double *phi = s_.phi.data();
  const double *v = d_.X + (size_t)n_ * j;
  const double *cv = Cx_.data() + (size_t)n_ * j;
  for (int c = 0; c < K_; c++) {
    const double *f = phi + (size_t)n_ * c;
    double de[2];
    blocked_sums<2>(n_, d_.threads, de, [&](int i, double *t) {
      t[0] += D_[i] * v[i] * f[i];
      t[1] += cv[i] * f[i];
    });
    d[c] = de[0];
    e[c] = de[1];
  }
}

// d and e are shift_sums(j): the shift needs them again for the grams.
void Sampler::shift_terms(int j, const double *d, const double *e, double *P,
                          double *b) const {
  const int K = K_;
  // b <- -(d - A e), P <- v'Dv I - v'Cv A + Lambda' T_j Lambda
  for (int a = 0; a < K; a++) {
    double t = d[a];
    for (int c = 0; c < K; c++)
      t -= A_[a + K * c] * e[c];
    b[a] = -t;
  }
  for (int a = 0; a < K; a++)
    for (int c = 0; c < K; c++)
      P[a + K * c] = (a == c ? xDx_[j] : 0.0) - xCx_[j] * A_[a + K * c];
  const double *L = s_.Lambda.data();
  for (int r = 0; r < K; r++) {
    const double tau = d_.beta_prec[j + p_ * r];
    if (!(tau > 0))
      continue;
    const double b0 = s_.beta[j + p_ * r];
    for (int a = r; a < K; a++) {
      b[a] += L[r + K * a] * tau * b0;
      for (int c = r; c < K; c++)
        P[a + K * c] += L[r + K * a] * tau * L[r + K * c];
    }
  }
}

double Sampler::ratio_shift(const double *delta, int j) const {
  const int K = K_;
  std::vector<double> P(K * K), b(K), d(K), e(K);
  shift_sums(j, d.data(), e.data());
  shift_terms(j, d.data(), e.data(), P.data(), b.data());
  double lin = 0.0, q = 0.0;
  for (int a = 0; a < K; a++) {
    lin += delta[a] * b[a];
    for (int c = 0; c < K; c++)
      q += delta[a] * P[a + K * c] * delta[c];
  }
  return lin - 0.5 * q;
}

// ---- updates ---------------------------------------------------------------------

// The coefficient proposal of outcome r at b: its log ratio, with the
// proposal's mu and g(mu) left in lp_new and m_new (n each).
double Sampler::beta_proposal(int r, const double *b, double *lp_new,
                              double *m_new) const {
  const double *cur = s_.beta.data() + p_ * r;
  const double ll = blocked_sum(n_, d_.threads, [&](int i) {
    double dxb = 0.0;
    for (int j = 0; j < p_; j++)
      dxb += d_.X[i + n_ * j] * (b[j] - cur[j]);
    const int x = i + n_ * r;
    const double lp = lp_[x] + dxb;
    lp_new[i] = lp;
    m_new[i] = g(x, r, lp);
    return d_.Y[x] * dxb - (m_new[i] - m_[x]);
  });
  double pr = 0.0;
  for (int j = 0; j < p_; j++) {
    const double tau = d_.beta_prec[j + p_ * r];
    if (tau > 0)
      pr -= 0.5 * tau * (b[j] * b[j] - cur[j] * cur[j]);
  }
  return ll + pr;
}

double Sampler::ratio_beta(int r, const double *b) const {
  std::vector<double> xb(n_), m(n_);
  return beta_proposal(r, b, xb.data(), m.data());
}

void Sampler::update_beta(Xoshiro &rng, Counts &counts) {
  double *lp_new = work_.data();
  double *m_new = lp_new + n_;
  double *prop = m_new + n_;
  double *z = prop + p_;
  for (int r = 0; r < K_; r++) {
    const double *Lc = sc_.beta_chol + p_ * p_ * r;
    const double *cur = s_.beta.data() + p_ * r;
    for (int j = 0; j < p_; j++)
      z[j] = rng.normal();
    for (int j = 0; j < p_; j++) {
      double t = 0.0;
      for (int k = 0; k <= j; k++)
        t += Lc[j + p_ * k] * z[k];
      prop[j] = cur[j] + sc_.beta[r] * t;
    }
    if (accept(rng, beta_proposal(r, prop, lp_new, m_new))) {
      std::copy(prop, prop + p_, s_.beta.begin() + p_ * r);
      std::copy(lp_new, lp_new + n_, lp_.begin() + n_ * r);
      std::copy(m_new, m_new + n_, m_.begin() + n_ * r);
      counts.beta[r]++;
    }
  }
}

// The effects unit by unit, each from a random walk (scale: its sd) or,
// with Data::newton, from a Newton proposal: with the slope s
// and curvature P of its log full conditional at the current value x, the
// proposal is N(x + s / P, h^2 / P), h the cell's scale (1: the Gaussian
// that matches the conditional at x, which it equals where the
// conditional is Gaussian).  The reverse proposal is formed from the slope
// and curvature at the proposed value, whose g(mu) the likelihood needs
// anyway; for the Poisson g' = g'' = g, so it costs no further exp.  The
// random walks go through the units in index order, the Newton proposals
// colour by colour (see phi_sweep).
void Sampler::update_phi(Xoshiro &rng, Counts &counts) {
  const bool nt = d_.newton;
  switch (d_.family) {
  case BINOMIAL:
    nt ? phi_sweep<BINOMIAL, true>(rng, counts) : phi_sweep<BINOMIAL, false>(rng, counts);
    break;
  case NEGBINOMIAL:
    nt ? phi_sweep<NEGBINOMIAL, true>(rng, counts)
       : phi_sweep<NEGBINOMIAL, false>(rng, counts);
    break;
  default:
    nt ? phi_sweep<POISSON, true>(rng, counts) : phi_sweep<POISSON, false>(rng, counts);
  }
  gram_valid_ = false;
}

template <int FAMILY, bool NEWTON>
void Sampler::phi_sweep(Xoshiro &rng, Counts &counts) {
  int *acc = counts.phi.data();
  if (!NEWTON) {
    // Unit by unit in index order, on the chain's own stream.
    for (int i = 0; i < n_; i++)
      effects_of_unit<FAMILY, NEWTON>(i, rng, work_.data(), acc);
    return;
  }
  // Colour by colour: the units of one colour share no neighbour, so their
  // conditionals do not involve each other and they are updated together,
  // on up to Data::threads threads.  Unit i draws from a stream of its own,
  // seeded from one word of the chain's stream and i, so every draw is the
  // same whatever the number of threads.
  if (colour_ptr_.empty())
    colour_units();
  const uint64_t key = rng.next();
  const int colours = (int)colour_ptr_.size() - 1;
  const int *order = order_.data();
  const int *cp = colour_ptr_.data();
#ifdef _OPENMP
#pragma omp parallel num_threads(d_.threads) if (d_.threads > 1)
#endif
  {
    double scratch[3 * MAX_K]; // 3 K values
    for (int c = 0; c < colours; c++) {
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
      for (int q = cp[c]; q < cp[c + 1]; q++) {
        const int i = order[q];
        Xoshiro own;
        own.seed(key + (uint64_t)i * (4 * 0x9e3779b97f4a7c15ULL));
        effects_of_unit<FAMILY, NEWTON>(i, own, scratch, acc);
      }
    }
  }
}

// The K effects of unit i, one after the other (see update_phi); scratch
// holds 3 K values, acc the acceptance counts per cell.
template <int FAMILY, bool NEWTON>
inline void Sampler::effects_of_unit(int i, Xoshiro &rng, double *scratch, int *acc) {
  const int n = n_, K = K_;
  double *__restrict phi = s_.phi.data();
  const double *__restrict L = s_.Lambda.data();
  const double *__restrict A = A_.data();
  const double *__restrict Y = d_.Y;
  const double *__restrict E = d_.E;
  const double *__restrict w = d_.w;
  const int *__restrict col = d_.col;
  const double *__restrict scale = sc_.phi;
  const double *__restrict psi = FAMILY == NEGBINOMIAL ? s_.psi.data() : nullptr;
  double *__restrict lp = lp_.data();
  double *__restrict m = m_.data();
  double *s = scratch;        // K neighbour sums
  double *lp_new = s + K;     // K
  double *m_new = lp_new + K; // K
  const int q0 = d_.row_ptr[i], q1 = d_.row_ptr[i + 1];
  for (int b = 0; b < K; b++) {
    const double *pb = phi + n * b;
    double t = 0.0;
    for (int q = q0; q < q1; q++)
      t += w[q] * pb[col[q]];
    s[b] = t;
  }
  const double d = D_[i];
  for (int c = 0; c < K; c++) {
    const int ic = i + n * c;
    const double x = phi[ic];
    double as = 0.0;
    for (int b = 0; b < K; b++)
      as += A[c + K * b] * s[b];
    // The proposal: a random walk, or the Newton step from the slope sx
    // and curvature px at x.
    double sx = 0.0, px = 0.0, ipx = 0.0, z = 0.0, y;
    const double h = scale[ic];
    if (NEWTON) {
      sx = as - d * x;
      px = d;
      for (int r = 0; r <= c; r++) {
        const int at = i + n * r;
        const double l = L[r + K * c];
        double g1, g2;
        cell_slope(FAMILY, Y[at], E[at], psi ? psi[r] : 0.0, lp[at], m[at], &g1, &g2);
        sx += l * (Y[at] - g1);
        px += l * l * g2;
      }
      ipx = 1.0 / px;
      z = rng.normal();
      y = x + sx * ipx + h * std::sqrt(ipx) * z;
    } else {
      y = x + h * rng.normal();
    }
    const double dy = y - x;
    double lg = -0.5 * d * (y * y - x * x) + dy * as;
    double sy = as - d * y, py = d; // the same at y (Newton only)
    for (int r = 0; r <= c; r++) {
      const int at = i + n * r;
      const double l = L[r + K * c];
      const double dl = l * dy;
      lp_new[r] = lp[at] + dl;
      m_new[r] = cell_g(FAMILY, Y[at], E[at], psi ? psi[r] : 0.0, lp_new[r]);
      lg += Y[at] * dl - (m_new[r] - m[at]);
      if (NEWTON) {
        double g1, g2;
        cell_slope(FAMILY, Y[at], E[at], psi ? psi[r] : 0.0, lp_new[r], m_new[r], &g1,
                   &g2);
        sy += l * (Y[at] - g1);
        py += l * l * g2;
      }
    }
    bool ok;
    if (NEWTON) {
      // + log q(x | y) - log q(y | x) = (z^2 - back^2) / 2 + log(py / px) / 2
      const double ipy = 1.0 / py;
      const double bx = x - y - sy * ipy;
      const double back2 = bx * bx * py / (h * h);
      lg += 0.5 * (z * z - back2);
      ok = newton_accept(rng, lg, py * ipx, px * ipy);
    } else {
      ok = accept(rng, lg);
    }
    if (ok) {
      phi[ic] = y;
      for (int r = 0; r <= c; r++) {
        const int at = i + n * r;
        lp[at] = lp_new[r];
        m[at] = m_new[r];
      }
      acc[ic]++;
    }
  }
}

void Sampler::update_shift(Xoshiro &rng, int j) { shift_move(rng, j); }
void Sampler::update_scale(Xoshiro &rng, Counts &counts) {
  scale_moves(rng, counts);
  transform_fields();
}

// The shift along covariate j, drawn exactly from its Gaussian conditional.
void Sampler::shift_move(Xoshiro &rng, int j) {
  const int K = K_;
  std::vector<double> P(K * K), b(K), z(K), d(K), e(K);
  shift_sums(j, d.data(), e.data());
  shift_terms(j, d.data(), e.data(), P.data(), b.data());
  if (!cholesky(P.data(), K))
    return;
  // mean P^-1 b: solve L u = b, L' mu = u; noise L'^-1 z.
  for (int a = 0; a < K; a++)
    z[a] = rng.normal();
  for (int a = 0; a < K; a++) {
    double t = b[a];
    for (int c = 0; c < a; c++)
      t -= P[a + K * c] * b[c];
    b[a] = t / P[a + K * a];
  }
  std::vector<double> delta(K);
  for (int a = K - 1; a >= 0; a--) {
    double t = b[a] + z[a];
    for (int c = a + 1; c < K; c++)
      t -= P[c + K * a] * delta[c];
    delta[a] = t / P[a + K * a];
  }
  double *phi = s_.phi.data();
  const double *v = d_.X + (size_t)n_ * j;
  if (gram_valid_) {
    // (Phi + v delta')' M (Phi + v delta') = X + u delta' + delta u' +
    // v'Mv delta delta' with u = Phi' M v (d and e), for M = C and M = D.
    for (int a = 0; a < K; a++)
      for (int c = 0; c < K; c++) {
        G_[a + K * c] += e[a] * delta[c] + delta[a] * e[c] +
                         xCx_[j] * delta[a] * delta[c];
        H_[a + K * c] += d[a] * delta[c] + delta[a] * d[c] +
                         xDx_[j] * delta[a] * delta[c];
      }
  }
  for (int c = 0; c < K; c++)
    for (int i = 0; i < n_; i++)
      phi[i + n_ * c] += v[i] * delta[c];
  const double *L = s_.Lambda.data();
  for (int r = 0; r < K; r++) {
    double t = 0.0;
    for (int c = r; c < K; c++)
      t += L[r + K * c] * delta[c];
    s_.beta[j + p_ * r] -= t;
  }
}

// Field c times s and column c of Lambda divided by s leave mu as it is.
// The fields' log prior changes by -(s^2 - 1) Dsq_c / 2 + (s^2 - 1) A_cc
// G_cc / 2 + (s - 1) sum_{b != c} A_cb G_cb, the loadings' prior as it
// says, and the map has Jacobian s^(n - c - 1) (c from 0).
double Sampler::ratio_scale(int c, double s) {
  if (!gram_valid_)
    refresh_gram();
  const int K = K_;
  double t = 0.5 * (s * s - 1.0) * (A_[c + K * c] * G_[c + K * c] - H_[c + K * c]);
  for (int b = 0; b < K; b++)
    if (b != c)
      t += (s - 1.0) * A_[c + K * b] * G_[c + K * b];
  SmallSquare Ls(K);
  double *L = Ls.data();
  std::copy(s_.Lambda.begin(), s_.Lambda.end(), L);
  for (int r = 0; r <= c; r++)
    L[r + K * c] /= s;
  return t + lambda_log_prior(L) - lambda_log_prior(s_.Lambda.data());
}

// True when a field moved.
bool Sampler::scale_moves(Xoshiro &rng, Counts &counts) {
  bool moved = false;
  for (int c = 0; c < K_; c++) {
    const double logs = sc_.scale[c] * rng.normal();
    const double s = std::exp(logs);
    const double lg = ratio_scale(c, s) + (n_ - c - 1) * logs;
    if (accept(rng, lg)) {
      // field c times s: column c of T times s
      for (int a = 0; a < K_; a++)
        T_[a + K_ * c] *= s;
      for (int r = 0; r <= c; r++)
        s_.Lambda[r + K_ * c] /= s;
      transform_gram(c, c, s);
      moved = true;
      counts.scale[c]++;
    }
  }
  return moved;
}

// Field a plus t times field b (a < b), with Lambda[r,b] -= t Lambda[r,a]
// for the outcomes r <= a that load on field a: mu does not change, the map
// has Jacobian 1, and the fields' log prior changes by
// -(2 t H_ab + t^2 H_bb) / 2 + (2 t (A G)_ab + t^2 A_aa G_bb) / 2.
double Sampler::ratio_shear(int a, int b, double t) {
  if (!gram_valid_)
    refresh_gram();
  const int K = K_;
  double AG = 0.0;
  for (int k = 0; k < K; k++)
    AG += A_[a + K * k] * G_[k + K * b];
  const double dq = -0.5 * (2.0 * t * H_[a + K * b] + t * t * H_[b + K * b]) +
                    0.5 * (2.0 * t * AG + t * t * A_[a + K * a] * G_[b + K * b]);
  SmallSquare Ls(K);
  double *L = Ls.data();
  std::copy(s_.Lambda.begin(), s_.Lambda.end(), L);
  for (int r = 0; r <= a; r++)
    L[r + K * b] -= t * L[r + K * a];
  return dq + lambda_log_prior(L) - lambda_log_prior(s_.Lambda.data());
}

bool Sampler::shear_moves(Xoshiro &rng, Counts &counts) {
  bool moved = false;
  int j = 0;
  for (int a = 0; a < K_; a++)
    for (int b = a + 1; b < K_; b++, j++) {
      const double t = sc_.shear[j] * rng.normal();
      if (accept(rng, ratio_shear(a, b, t))) {
        // field a plus t field b: column a of T plus t column b
        for (int k = 0; k < K_; k++)
          T_[k + K_ * a] += t * T_[k + K_ * b];
        for (int r = 0; r <= a; r++)
          s_.Lambda[r + K_ * b] -= t * s_.Lambda[r + K_ * a];
        transform_gram(a, b, t);
        moved = true;
        counts.shear[j]++;
      }
    }
  return moved;
}

void Sampler::update_shear(Xoshiro &rng, Counts &counts) {
  shear_moves(rng, counts);
  transform_fields();
}

// Phi <- Phi T, T <- I, when T is not the identity.  Column c of the new
// fields is sum_a Phi[, a] T[a, c], summed in the order of a.
void Sampler::transform_fields() {
  const int K = K_;
  bool identity = true;
  for (int a = 0; a < K; a++)
    for (int c = 0; c < K; c++)
      if (T_[a + K * c] != (a == c ? 1.0 : 0.0))
        identity = false;
  if (identity)
    return;
  double *phi = s_.phi.data();
  const double *T = T_.data();
  const int n = n_;
  parallel_for(n, d_.threads, [&](int i) {
    double row[MAX_K];
    for (int a = 0; a < K; a++)
      row[a] = phi[i + n * a];
    for (int c = 0; c < K; c++) {
      double t = 0.0;
      for (int a = 0; a < K; a++)
        t += row[a] * T[a + K * c];
      phi[i + n * c] = t;
    }
  });
  std::fill(T_.begin(), T_.end(), 0.0);
  for (int a = 0; a < K; a++)
    T_[a + K * a] = 1.0;
}

// Given mu: rounds of the scale and shear moves, the eigenvalues and the
// angles.  None of them changes mu, and all of them read the fields only
// through the grams G and H, so the rounds cost O(K^3) each and the fields
// are transformed once at the end.
void Sampler::update_given_mu(Xoshiro &rng, Counts &counts, int rounds) {
  for (int k = 0; k < rounds; k++) {
    scale_moves(rng, counts);
    shear_moves(rng, counts);
    update_eta(rng, counts);
    update_theta(rng, counts);
  }
  transform_fields();
}

void Sampler::update_lambda(Xoshiro &rng, Counts &counts) {
  const int K = K_;
  double *lp_new = work_.data(); // n: proposed mu of the row's outcome
  double *m_new = lp_new + n_;  // n
  std::vector<double> Lnew(s_.Lambda);
  const double prior_cur = lambda_log_prior(s_.Lambda.data());
  double prior_at = prior_cur;
  for (int r = 0; r < K; r++) {
    const int diag = r + K * r;
    // The row's increments: per-entry sds times a correlation factor R_r
    // (lower triangular, identity when none is given) times normals, the
    // diagonal on the log scale.
    const int m = K - r;
    double z[MAX_K], v[MAX_K];
    for (int j = 0; j < m; j++)
      z[j] = rng.normal();
    const double *R = sc_.lambda_corr ? sc_.lambda_corr + (size_t)K * K * r : nullptr;
    for (int j = 0; j < m; j++) {
      double t = z[j];
      if (R) {
        t = 0.0;
        for (int l = 0; l <= j; l++)
          t += R[j + K * l] * z[l];
      }
      v[j] = sc_.lambda[r + K * (r + j)] * t;
    }
    const double logd = std::log(s_.Lambda[diag]);
    const double logd_new = logd + v[0];
    Lnew[diag] = std::exp(logd_new);
    for (int c = r + 1; c < K; c++)
      Lnew[r + K * c] = s_.Lambda[r + K * c] + v[c - r];
    const double ll = lambda_row_proposal(r, Lnew.data(), lp_new, m_new);
    const double prior_new = lambda_log_prior(Lnew.data());
    const double lg = ll + prior_new - prior_at + (logd_new - logd);
    if (accept(rng, lg)) {
      for (int c = r; c < K; c++)
        s_.Lambda[r + K * c] = Lnew[r + K * c];
      for (int i = 0; i < n_; i++) {
        const int at = i + n_ * r;
        lp_[at] = lp_new[i];
        m_[at] = m_new[i];
      }
      prior_at = prior_new;
      counts.lambda[r]++;
    } else {
      for (int c = r; c < K; c++)
        Lnew[r + K * c] = s_.Lambda[r + K * c];
    }
  }
}

void Sampler::update_eta(Xoshiro &rng, Counts &counts) {
  if (!gram_valid_)
    refresh_gram();
  const double lo = d_.eta_lo, hi = d_.eta_hi;
  // Scratch on the stack: these moves run in every round of every sweep.
  SmallSquare es(K_), As(K_);
  double *eta = es.data(), *A = As.data();
  std::copy(s_.eta.begin(), s_.eta.end(), eta);
  for (int k = 0; k < K_; k++) {
    const double x = s_.eta[k];
    const double y = logit_out(logit_in(x, lo, hi) + sc_.eta[k] * rng.normal(), lo, hi);
    eta[k] = y;
    association(A, s_.theta.data(), eta, K_);
    const double ld = log_det_term(y);
    const double lg = 0.5 * (ld - logdet_[k]) + 0.5 * quad_change(A) +
                      logit_jacobian(y, lo, hi) - logit_jacobian(x, lo, hi);
    if (accept(rng, lg)) {
      s_.eta[k] = y;
      logdet_[k] = ld;
      std::copy(A, A + K_ * K_, A_.begin());
      counts.eta[k]++;
    } else {
      eta[k] = x;
    }
  }
}

void Sampler::update_theta(Xoshiro &rng, Counts &counts) {
  if (!gram_valid_)
    refresh_gram();
  const int nth = K_ * (K_ - 1) / 2;
  SmallSquare ts(K_), As(K_);
  double *theta = ts.data(), *A = As.data();
  std::copy(s_.theta.begin(), s_.theta.end(), theta);
  for (int j = 0; j < nth; j++) {
    const double x = s_.theta[j];
    const double y = logit_out(logit_in(x, -1.0, 1.0) + sc_.theta[j] * rng.normal(), -1.0, 1.0);
    theta[j] = y;
    association(A, theta, s_.eta.data(), K_);
    const double lg = 0.5 * quad_change(A) +
                      logit_jacobian(y, -1.0, 1.0) - logit_jacobian(x, -1.0, 1.0);
    if (accept(rng, lg)) {
      s_.theta[j] = y;
      std::copy(A, A + K_ * K_, A_.begin());
      counts.theta[j]++;
    } else {
      theta[j] = x;
    }
  }
}

void Sampler::sweep(Xoshiro &rng, Counts &counts) {
  update_beta(rng, counts);
  update_phi(rng, counts);
  refresh_gram();
  for (int j = 0; j < p_; j++)
    shift_move(rng, j);
  scale_moves(rng, counts);
  shear_moves(rng, counts);
  transform_fields();
  update_lambda(rng, counts);
  update_eta(rng, counts);
  update_theta(rng, counts);
  if (d_.rounds > 1)
    update_given_mu(rng, counts, d_.rounds - 1);
  update_psi(rng, counts);
}

double Sampler::accumulate(Summaries &sm) const {
  sm.draws += 1.0;
  const double inv = 1.0 / sm.draws;
  const double *__restrict lp = lp_.data();
  const double *__restrict m = m_.data();
  const double *__restrict E = d_.E;
  const double *__restrict Y = d_.Y;
  const double *__restrict llc = ll_const_.data();
  const int fam = d_.family;
  const double *__restrict ref = ref_cell_.data();
  return blocked_sum(n_ * K_, d_.threads, [&](int x) {
    // For the Poisson the cached E exp(mu) spares an exp.
    const double rr = fam == POISSON && E[x] > 0 ? m[x] / E[x] : cell_risk(fam, lp[x]);
    const double dr = rr - sm.rr_mean[x];
    sm.rr_mean[x] += dr * inv;
    sm.rr_m2[x] += dr * (rr - sm.rr_mean[x]);
    if (lp[x] > ref[x])
      sm.rr_gt1[x] += 1.0;
    // A missing count enters with E = 0 and Y = 0: its term is 0.
    const double ll = E[x] > 0 ? Y[x] * lp[x] - m[x] + llc[x] : 0.0;
    const double dl = ll - sm.ll_mean[x];
    sm.ll_mean[x] += dl * inv;
    sm.ll_m2[x] += dl * (ll - sm.ll_mean[x]);
    if (ll > sm.ll_max[x]) {
      sm.ll_sum[x] = sm.ll_sum[x] * std::exp(sm.ll_max[x] - ll) + 1.0;
      sm.ll_max[x] = ll;
    } else {
      sm.ll_sum[x] += std::exp(ll - sm.ll_max[x]);
    }
    return E[x] > 0 ? ll : 0.0;
  });
}

double Sampler::deviance() const {
  double s = 0.0;
  for (int x = 0; x < n_ * K_; x++)
    if (d_.E[x] > 0)
      s += d_.Y[x] * lp_[x] - m_[x] + ll_const_[x];
  return -2.0 * s;
}

// ---- the negative binomial sizes -------------------------------------------------

// The log-likelihood and log-prior change of outcome r's size at v, with
// the cells' g and c at v left in m_new and c_new (n each).
double Sampler::psi_proposal(int r, double v, double *m_new, double *c_new) const {
  double ll = 0.0;
  for (int i = 0; i < n_; i++) {
    const int x = i + n_ * r;
    m_new[i] = cell_g(NEGBINOMIAL, d_.Y[x], d_.E[x], v, lp_[x]);
    c_new[i] = cell_c(NEGBINOMIAL, d_.Y[x], d_.E[x], v);
    ll += (c_new[i] - ll_const_[x]) - (m_new[i] - m_[x]);
  }
  return ll + psi_log_prior(v, d_.psi_scale) - psi_log_prior(s_.psi[r], d_.psi_scale);
}

double Sampler::ratio_psi(int r, double v) const {
  std::vector<double> m(n_), c(n_);
  return psi_proposal(r, v, m.data(), c.data());
}

void Sampler::update_psi(Xoshiro &rng, Counts &counts) {
  if (d_.family != NEGBINOMIAL)
    return;
  double *m_new = work_.data();
  double *c_new = m_new + n_;
  for (int r = 0; r < K_; r++) {
    const double step = sc_.psi[r] * rng.normal();
    const double v = s_.psi[r] * std::exp(step);
    // The random walk on log psi has Jacobian v / psi.
    if (accept(rng, psi_proposal(r, v, m_new, c_new) + step)) {
      s_.psi[r] = v;
      std::copy(m_new, m_new + n_, m_.begin() + n_ * r);
      std::copy(c_new, c_new + n_, ll_const_.begin() + n_ * r);
      counts.psi[r]++;
    }
  }
}

} // namespace mcar_engine
