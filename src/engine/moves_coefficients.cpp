// The coefficient moves: each outcome's coefficients as one Metropolis
// block, and the shift of the fields along each covariate against that
// covariate's coefficients, drawn exactly from its Gaussian conditional
// (mu does not change).
#include "engine.h"
#include "numeric.h"
#include "parallel.h"

#include <algorithm>
#include <vector>

namespace mcar_engine {

// ---- coefficient blocks -----------------------------------------------------

// The coefficient proposal of outcome r at b: its log ratio, with the
// proposal's mu and g(mu) left in lp_new and m_new (N each).
double Sampler::beta_proposal(int r, const double *b, double *lp_new,
                              double *m_new) const {
  const double *cur = s_.beta.data() + p_ * r;
  const double ll = blocked_sum(N_, pool(), [&](int i) {
    double dxb = 0.0;
    for (int j = 0; j < p_; j++)
      dxb += d_.X[i + N_ * j] * (b[j] - cur[j]);
    const int x = i + N_ * r;
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
  std::vector<double> xb(N_), m(N_);
  return beta_proposal(r, b, xb.data(), m.data());
}

// Outcome by outcome: the proposal is the current block plus beta[r] times
// the lower Cholesky factor beta_chol[r] (p x p) times p standard normals.
void Sampler::update_beta(Xoshiro &rng, Counts &counts) {
  double *lp_new = work_.data();
  double *m_new = lp_new + N_;
  double *prop = m_new + N_;
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
      std::copy(lp_new, lp_new + N_, lp_.begin() + N_ * r);
      std::copy(m_new, m_new + N_, m_.begin() + N_ * r);
      counts.beta[r]++;
    }
  }
}

// ---- shifts of the fields along the covariates ------------------------------

// Moving every field c by v delta[c], v = X[, j] the covariate j (all ones
// for the intercept), and row j of the coefficients by -Lambda delta leaves
// mu as it is.  With d = Phi' D v and e = Phi' C v, the fields' log prior
// changes by -(2 delta'(d - A e) + delta'(v'Dv I - v'Cv A) delta) / 2, and
// the coefficients' normal prior as it says.
void Sampler::shift_sums(int j, double *d, double *e) const {
  if (nt_ > 1) {
    shift_sums_periods(j, d, e);
    return;
  }
  const double *phi = s_.phi.data();
  const double *v = d_.X + (size_t)n_ * j;
  const double *cv = Cx_.data() + (size_t)n_ * j;
  for (int c = 0; c < K_; c++) {
    const double *f = phi + (size_t)n_ * c;
    double de[2];
    blocked_sums<2>(n_, pool(), de, [&](int i, double *t) {
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
  if (nt_ > 1) {
    shift_terms_periods(j, d, e, P, b);
    return;
  }
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
  shift_coefficient_prior(j, P, b);
}

// The coefficients' normal prior of row j moved by -Lambda delta, added to
// the linear term b and the precision P of a shift.
void Sampler::shift_coefficient_prior(int j, double *P, double *b) const {
  const int K = K_;
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
  std::vector<double> P(K * K), b(K), d(2 * K), e(2 * K);
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

// The shift along covariate j, drawn exactly from its Gaussian conditional.
void Sampler::shift_move(Xoshiro &rng, int j) {
  const int K = K_;
  std::vector<double> P(K * K), b(K), z(K), d(2 * K), e(2 * K);
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
  const double *v = d_.X + (size_t)N_ * j;
  if (nt_ > 1) {
    gram_valid_ = false; // made anew from the shifted fields when needed
  } else if (gram_valid_) {
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
    for (int i = 0; i < N_; i++)
      phi[i + N_ * c] += v[i] * delta[c];
  const double *L = s_.Lambda.data();
  for (int r = 0; r < K; r++) {
    double t = 0.0;
    for (int c = r; c < K; c++)
      t += L[r + K * c] * delta[c];
    s_.beta[j + p_ * r] -= t;
  }
}

void Sampler::update_shift(Xoshiro &rng, int j) { shift_move(rng, j); }

// With periods the shift moves the innovations of field c by delta_c v_c,
// v_c = x - alpha_c L x (x = X[, j], L x its lag: 0 in the first period).
// d and e get, per field b, [x'D E_b, (Lx)'D E_b] and [x'C E_b,
// (Lx)'C E_b] (2 K each: the first K then the second K).
void Sampler::shift_sums_periods(int j, double *d, double *e) const {
  const int N = N_, n = n_, K = K_;
  const double *phi = s_.phi.data();
  const double *al = s_.alpha.data();
  const double *v = d_.X + (size_t)N * j;
  const double *cv = Cx_.data() + (size_t)N * j;
  double sums[4 * MAX_K];
  blocked_sums<4 * MAX_K>(N, pool(), sums, [&](int x, double *t) {
    const bool lag = x >= n;
    const double Di = D_[x % n];
    const double dv = Di * v[x], dl = lag ? Di * v[x - n] : 0.0;
    const double cl = lag ? cv[x - n] : 0.0;
    for (int b = 0; b < K; b++) {
      const double *f = phi + (size_t)N * b;
      const double eb = lag ? f[x] - al[b] * f[x - n] : f[x];
      t[4 * b] += dv * eb;
      t[4 * b + 1] += dl * eb;
      t[4 * b + 2] += cv[x] * eb;
      t[4 * b + 3] += cl * eb;
    }
  });
  for (int b = 0; b < K; b++) {
    d[b] = sums[4 * b];
    d[K + b] = sums[4 * b + 1];
    e[b] = sums[4 * b + 2];
    e[K + b] = sums[4 * b + 3];
  }
}

// The log prior of the fields changes by b' delta - delta' P delta / 2 with
// b_a = -(v_a'D E_a - sum_c A[a,c] v_a'C E_c) and P[a,c] = [a == c]
// v_a'D v_a - A[a,c] v_a'C v_c, to which the coefficients' prior adds as
// in shift_terms.
void Sampler::shift_terms_periods(int j, const double *d, const double *e,
                                  double *P, double *b) const {
  const int K = K_;
  const double *o = shift_norms_.data() + 6 * j;
  const double *al = s_.alpha.data();
  for (int a = 0; a < K; a++) {
    double t = d[a] - al[a] * d[K + a];
    for (int c = 0; c < K; c++)
      t -= A_[a + K * c] * (e[c] - al[a] * e[K + c]);
    b[a] = -t;
  }
  for (int a = 0; a < K; a++)
    for (int c = 0; c < K; c++) {
      const double vCv = o[3] - (al[a] + al[c]) * o[4] + al[a] * al[c] * o[5];
      const double vDv = o[0] - 2.0 * al[a] * o[1] + al[a] * al[a] * o[2];
      P[a + K * c] = (a == c ? vDv : 0.0) - A_[a + K * c] * vCv;
    }
  shift_coefficient_prior(j, P, b);
}

} // namespace mcar_engine
