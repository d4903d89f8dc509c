// The loadings moves: Lambda row by row, the moves of the fields against
// the loadings that leave mu as it is (each field's scale, each pair's
// shear), carried in the Gram matrices and in T until the fields are
// written, and the sign of an outcome's field part.
#include "engine.h"
#include "numeric.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mcar_engine {

// ---- rows of the loadings ---------------------------------------------------

// The log-likelihood change of outcome r when row r of the loadings is
// that of L, with the proposal's mu and g(mu) left in lp_new and m_new.
double Sampler::lambda_row_proposal(int r, const double *L, double *lp_new,
                                    double *m_new) const {
  SmallSquare change(K_);
  double *dL = change.data();
  for (int c = r; c < K_; c++)
    dL[c] = L[r + K_ * c] - s_.Lambda[r + K_ * c];
  return blocked_sum(N_, pool(), [&](int i) {
    const int at = i + N_ * r;
    double dl = 0.0;
    for (int c = r; c < K_; c++)
      dl += dL[c] * s_.phi[i + N_ * c];
    lp_new[i] = lp_[at] + dl;
    m_new[i] = g(at, r, lp_new[i]);
    return d_.Y[at] * dl - (m_new[i] - m_[at]);
  });
}

double Sampler::ratio_lambda_row(int r, const double *row) const {
  std::vector<double> L(s_.Lambda), lp(N_), m(N_);
  for (int c = r; c < K_; c++)
    L[r + K_ * c] = row[c - r];
  return lambda_row_proposal(r, L.data(), lp.data(), m.data()) +
         lambda_log_prior(L.data()) - loadings_prior_value();
}

// Row r of the loadings, Lambda[r, r..K-1], as one block: its diagonal on
// the log scale (whose Jacobian enters the ratio), the prior at the current
// loadings carried from row to row.
void Sampler::update_lambda(Xoshiro &rng, Counts &counts) {
  const int K = K_;
  double *lp_new = work_.data(); // N: proposed mu of the row's outcome
  double *m_new = lp_new + N_;  // N
  std::vector<double> Lnew(s_.Lambda);
  const double prior_cur = loadings_prior_value();
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
      for (int i = 0; i < N_; i++) {
        const int at = i + N_ * r;
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

// ---- scale and shear of the fields ------------------------------------------

// Field c times s and column c of Lambda divided by s leave mu as it is.
// The fields' log prior changes by -(s^2 - 1) Dsq_c / 2 + (s^2 - 1) A_cc
// G_cc / 2 + (s - 1) sum_{b != c} A_cb G_cb, the loadings' prior as it
// says, and the map has Jacobian s^(N - c - 1) (c from 0).  With periods
// the innovations of field c scale with it, and the same holds of their
// grams.
double Sampler::ratio_scale(int c, double s) {
  if (!gram_valid_)
    refresh_gram();
  const int K = K_, M = gs_;
  double t = 0.5 * (s * s - 1.0) * (A_[c + K * c] * G_[c + M * c] - H_[c + M * c]);
  for (int b = 0; b < K; b++)
    if (b != c)
      t += (s - 1.0) * A_[c + K * b] * G_[c + M * b];
  // The loadings' prior: Lambda[c,c] / s, and row c of M = Lambda^-1
  // times s (Q[c,c] times s^2).
  const double logs = std::log(s);
  return t + (d_.iw_df + K - c) * logs -
         0.5 * (s * s - 1.0) * loadings_Q()[c + K * c];
}

// True when a field moved.
bool Sampler::scale_moves(Xoshiro &rng, Counts &counts) {
  bool moved = false;
  for (int c = 0; c < K_; c++) {
    const double logs = sc_.scale[c] * rng.normal();
    const double s = std::exp(logs);
    const double lg = ratio_scale(c, s) + (N_ - c - 1) * logs;
    if (accept(rng, lg)) {
      // field c times s: column c of T times s
      for (int a = 0; a < K_; a++)
        T_[a + K_ * c] *= s;
      for (int r = 0; r <= c; r++)
        s_.Lambda[r + K_ * c] /= s;
      transform_gram(c, c, s);
      loadings_Q_transform(c, c, s);
      moved = true;
      counts.scale[c]++;
    }
  }
  return moved;
}

void Sampler::update_scale(Xoshiro &rng, Counts &counts) {
  scale_moves(rng, counts);
  transform_fields();
}

// Field a plus t times field b (a < b), with Lambda[r,b] -= t Lambda[r,a]
// for the outcomes r <= a that load on field a: mu does not change, the map
// has Jacobian 1, and the fields' log prior changes by
// -(2 t H_ab + t^2 H_bb) / 2 + (2 t (A G)_ab + t^2 A_aa G_bb) / 2.  With
// periods the innovations of field a move by t u, u = E_b + kappa L Phi_b,
// kappa = alpha_b - alpha_a, and the same holds with the grams of u (from
// those of F = [E, L Phi]) in place of those of field b.
double Sampler::ratio_shear(int a, int b, double t) {
  if (!gram_valid_)
    refresh_gram();
  const int K = K_, M = gs_;
  double dq;
  if (nt_ == 1) {
    double AG = 0.0;
    for (int k = 0; k < K; k++)
      AG += A_[a + K * k] * G_[k + K * b];
    dq = -0.5 * (2.0 * t * H_[a + K * b] + t * t * H_[b + K * b]) +
         0.5 * (2.0 * t * AG + t * t * A_[a + K * a] * G_[b + K * b]);
  } else {
    const double kap = s_.alpha[b] - s_.alpha[a];
    const int lb = K + b;
    // u'X E_k and u'X u for X = C (G) and D (H)
    auto cross = [&](const std::vector<double> &X, int k) {
      return X[k + M * b] + kap * X[k + M * lb];
    };
    auto self = [&](const std::vector<double> &X) {
      return X[b + M * b] + 2.0 * kap * X[b + M * lb] + kap * kap * X[lb + M * lb];
    };
    double AG = 0.0;
    for (int k = 0; k < K; k++)
      AG += A_[a + K * k] * cross(G_, k);
    dq = -0.5 * (2.0 * t * cross(H_, a) + t * t * self(H_)) +
         0.5 * (2.0 * t * AG + t * t * A_[a + K * a] * self(G_));
  }
  // The loadings' prior: the diagonal stays, and Lambda (I - t e_a e_b')
  // has inverse (I + t e_a e_b') M, row a of M plus t row b.
  const std::vector<double> &Q = loadings_Q();
  return dq - 0.5 * (2.0 * t * Q[a + K * b] + t * t * Q[b + K * b]);
}

// Each pair a < b in the order of the angles; true when a field moved.
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
        loadings_Q_transform(a, b, t);
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

// G <- T' G T and H <- T' H T for T = I + t e_b e_a' (field a plus t
// times field b), or T = I + (t - 1) e_a e_a' when b == a (field a times t).
void Sampler::transform_gram(int a, int b, double t) {
  if (nt_ > 1) {
    transform_gram_periods(a, b, t);
    return;
  }
  congruence_step(G_.data(), K_, a, b, t);
  congruence_step(H_.data(), K_, a, b, t);
}

// The same for the grams of F = [E, L Phi]: field a plus t field b moves
// E_a by t (E_b + (alpha_b - alpha_a) L Phi_b) and L Phi_a by t L Phi_b;
// field a times t moves E_a and L Phi_a by the factor t.
void Sampler::transform_gram_periods(int a, int b, double t) {
  const int K = K_, M = gs_;
  const int la = K + a, lb = K + b;
  const double kt = t * (s_.alpha[b] - s_.alpha[a]);
  for (std::vector<double> *X : {&G_, &H_}) {
    std::vector<double> &Y = *X;
    if (a == b) {
      for (int k = 0; k < M; k++) {
        Y[a + M * k] *= t;
        Y[k + M * a] *= t;
        Y[la + M * k] *= t;
        Y[k + M * la] *= t;
      }
    } else {
      for (int k = 0; k < M; k++) {
        Y[k + M * a] += t * Y[k + M * b] + kt * Y[k + M * lb];
        Y[k + M * la] += t * Y[k + M * lb];
      }
      for (int k = 0; k < M; k++) {
        Y[a + M * k] += t * Y[b + M * k] + kt * Y[lb + M * k];
        Y[la + M * k] += t * Y[lb + M * k];
      }
    }
  }
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
  const int n = N_;
  parallel_for(n, pool(), [&](int i) {
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

// ---- the sign of an outcome's field part ------------------------------------
//
// With S the identity but for -1 at c, the map Phi -> Phi S, Lambda ->
// S Lambda S, A -> S A S negates outcome c's field part of mu (the sum over
// c' >= c of Lambda[c,c'] phi[, c']) and leaves the other outcomes' as they
// are.  The fields' prior does not see it (G and H become S G S and S H S,
// and tr(A G) and the log-determinant stay), nor do the sizes and the
// autoregressive coefficients.  Where outcome c's counts say little the
// posterior is nearly symmetric under it: the signs of the loadings
// Lambda[r,c] (r < c) and of A[c,c'] are then barely decided, and the
// other moves take them from one side to the other only by small steps
// through 0 (a common outcome beside a rare one: the rare outcome's field
// loads on the common one with either sign).
// A = P diag(eta) P' and S P S is the product of the same plane rotations
// with the angles of the planes that hold c negated, so S A S is the
// association matrix at those angles.  The map is its own inverse and keeps
// volumes: the log ratio is outcome c's likelihood change and the loadings'
// prior's (which sees the sign when its scale couples c with another
// outcome).  One outcome a sweep, drawn at random.

// Lambda -> S Lambda S (K x K upper triangular, in place).
static void flip_loadings(double *L, int c, int K) {
  for (int k = 0; k < c; k++)
    L[k + K * c] = -L[k + K * c];
  for (int k = c + 1; k < K; k++)
    L[c + K * k] = -L[c + K * k];
}

// The log posterior change of outcome c's field part negated, with its mu
// and g(mu) left in lp_new and m_new (N values each).
double Sampler::flip_proposal(int c, double *lp_new, double *m_new) const {
  const double *phi = s_.phi.data(), *L = s_.Lambda.data();
  const double ll = blocked_sum(N_, pool(), [&](int i) {
    const int at = i + N_ * c;
    const double dl = -2.0 * field_part(L, phi, N_, K_, i, c);
    lp_new[i] = lp_[at] + dl;
    m_new[i] = g(at, c, lp_new[i]);
    return d_.Y[at] * dl - (m_new[i] - m_[at]);
  });
  SmallSquare Ls(K_);
  double *Lf = Ls.data();
  std::copy(L, L + K_ * K_, Lf);
  flip_loadings(Lf, c, K_);
  return ll + lambda_log_prior(Lf) - loadings_prior_value();
}

double Sampler::ratio_flip(int c) {
  transform_fields();
  std::vector<double> lp(N_), m(N_);
  return flip_proposal(c, lp.data(), m.data());
}

void Sampler::update_flip(Xoshiro &rng) {
  const int K = K_;
  if (K < 2)
    return;
  transform_fields();
  const int c = std::min(K - 1, (int)(rng.uniform() * K));
  turn_.resize(2 * (size_t)N_ * K);
  double *lp_new = turn_.data(), *m_new = lp_new + N_;
  if (!accept(rng, flip_proposal(c, lp_new, m_new)))
    return;
  double *phi = s_.phi.data() + (size_t)N_ * c;
  for (int i = 0; i < N_; i++)
    phi[i] = -phi[i];
  flip_loadings(s_.Lambda.data(), c, K);
  // The angles of the planes (a, b) that hold c, negated around their
  // circles (an angle at 1 comes back in at 1, see turn_angle).
  for (int a = 0, j = 0; a < K; a++)
    for (int b = a + 1; b < K; b++, j++)
      if (a == c || b == c)
        turn_angle(s_.theta.data(), j, -2.0 * s_.theta[j], K);
  association_at(A_.data(), s_.theta.data(), s_.eta.data());
  std::copy(lp_new, lp_new + N_, lp_.begin() + (size_t)N_ * c);
  std::copy(m_new, m_new + N_, m_.begin() + (size_t)N_ * c);
  gram_valid_ = false;
}

} // namespace mcar_engine
