// The association moves: the eigenvalues eta_k and the angles theta of
// A = P diag(eta) P', each by a random walk (the eigenvalues on their logit
// scale, the angles around their circles: see turn_angle).  They see the
// fields only through the Gram matrices.  Then an angle again with the
// fields turned along (the rotation move), which changes mu.
#include "engine.h"
#include "numeric.h"
#include "parallel.h"

#include <algorithm>
#include <vector>

namespace mcar_engine {

double Sampler::ratio_eta(int k, double y) {
  if (!gram_valid_)
    refresh_gram();
  std::vector<double> eta(s_.eta), A(K_ * K_);
  eta[k] = y;
  association_at(A.data(), s_.theta.data(), eta.data());
  return 0.5 * (nt_ * (log_det_term(y) - logdet_[k])) + 0.5 * quad_change(A.data());
}

// Each eigenvalue in turn on the logit scale of (eta_lo, eta_hi): the
// log-determinant term and the fields' quadratic form change.
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
    association_at(A, s_.theta.data(), eta);
    const double ld = log_det_term(y);
    // T periods: T times the log-determinant (nt_ * x is x when T = 1).
    const double lg = 0.5 * (nt_ * (ld - logdet_[k])) + 0.5 * quad_change(A) +
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

double Sampler::ratio_theta(int j, double y) {
  if (!gram_valid_)
    refresh_gram();
  std::vector<double> theta(s_.theta), A(K_ * K_);
  theta[j] = y;
  association_at(A.data(), theta.data(), s_.eta.data());
  return 0.5 * quad_change(A.data());
}

// Each angle in turn around its circle: only the fields' quadratic form
// changes (the angles' prior is flat).
void Sampler::update_theta(Xoshiro &rng, Counts &counts) {
  if (!gram_valid_)
    refresh_gram();
  const int nth = K_ * (K_ - 1) / 2;
  SmallSquare ts(K_), As(K_);
  double *theta = ts.data(), *A = As.data();
  for (int j = 0; j < nth; j++) {
    std::copy(s_.theta.begin(), s_.theta.end(), theta);
    turn_angle(theta, j, sc_.theta[j] * rng.normal(), K_);
    association_at(A, theta, s_.eta.data());
    if (accept(rng, 0.5 * quad_change(A))) {
      std::copy(theta, theta + nth, s_.theta.begin());
      std::copy(A, A + K_ * K_, A_.begin());
      counts.theta[j]++;
    }
  }
}

// ---- an angle with the fields turned along ------------------------------------
//
// Given the fields the angles are sharply determined, so where the counts
// say little about the fields (a small map, overdispersed counts) the
// moves above follow the fields slowly.  This one holds the eigen-fields
// Z = Phi P instead: angle j goes to y, P to P', and the fields to
// Phi' = Phi R with R = P P'^T, so that Phi' P' = Z.  The fields' prior
// (sum over k of Z_k' (D - eta_k C) Z_k), the log-determinant and the
// eigenvalues stay as they are; R is orthogonal, so the map has Jacobian
// 1, and mu moves as if the loadings were Lambda R'.  The angle steps
// around its circle as in update_theta, and the log ratio is the
// likelihood's change (the angles' prior is flat).  R turns the fields by
// the step itself: P' is taken at the angle stepped without coming back in
// at the other end (cos and sin do not mind), so that the fields move
// continuously across it; there the eigen-fields of the new angles are
// Z with the signs of two columns flipped, which their prior does not see.

// The log-likelihood change with the fields turned by the angles at theta
// (K (K - 1) / 2, stepped as they are), R left in R (K x K) and each
// outcome's mu and g(mu) in lp_new and m_new (N x K).
double Sampler::rotation_proposal(const double *theta, double *R,
                                  double *lp_new, double *m_new) const {
  const int K = K_, N = N_;
  SmallSquare Ps(K), Qs(K), dMs(K);
  double *P = Ps.data(), *Q = Qs.data(), *dM = dMs.data();
  const double *Pc = rotations_.at(s_.theta.data());
  std::copy(Pc, Pc + K * K, P);
  eigenvectors(Q, theta, K);
  small_product(P, false, Q, true, R, K); // R = P Q'
  // dM = Lambda R' - Lambda: mu[, r] changes by Phi dM[r, ]'.
  small_product(s_.Lambda.data(), false, R, true, dM, K);
  for (int x = 0; x < K * K; x++)
    dM[x] -= s_.Lambda[x];
  const double *phi = s_.phi.data();
  double ll = 0.0;
  for (int r = 0; r < K; r++) {
    double *lpr = lp_new + (size_t)N * r, *mr = m_new + (size_t)N * r;
    ll += blocked_sum(N, pool(), [&](int i) {
      const int at = i + N * r;
      double dl = 0.0;
      for (int c = 0; c < K; c++)
        dl += dM[r + K * c] * phi[i + N * c];
      lpr[i] = lp_[at] + dl;
      mr[i] = g(at, r, lpr[i]);
      return d_.Y[at] * dl - (mr[i] - m_[at]);
    });
  }
  return ll;
}

double Sampler::ratio_rotation(int j, double y) const {
  std::vector<double> theta(s_.theta), R(K_ * K_), lp((size_t)N_ * K_),
      m((size_t)N_ * K_);
  theta[j] = y; // stepped from s_.theta[j], not brought back into (-1, 1]
  return rotation_proposal(theta.data(), R.data(), lp.data(), m.data());
}

void Sampler::update_rotation(Xoshiro &rng, Counts &counts) {
  const int nth = K_ * (K_ - 1) / 2;
  if (!sc_.rotation || nth == 0 || nt_ > 1)
    return;
  transform_fields(); // the fields as they are, T = I
  const int K = K_;
  const int j = nth == 1 ? 0 : std::min(nth - 1, (int)(rng.uniform() * nth));
  SmallSquare ts(K), Rs(K);
  double *theta = ts.data(), *R = Rs.data();
  const double step = sc_.rotation[j] * rng.normal();
  std::copy(s_.theta.begin(), s_.theta.end(), theta);
  theta[j] += step;
  turn_.resize(2 * (size_t)N_ * K);
  double *lp_new = turn_.data(), *m_new = lp_new + (size_t)N_ * K;
  if (!accept(rng, rotation_proposal(theta, R, lp_new, m_new)))
    return;
  turn_angle(s_.theta.data(), j, step, K);
  association_at(A_.data(), s_.theta.data(), s_.eta.data());
  std::copy(lp_new, lp_new + (size_t)N_ * K, lp_.begin());
  std::copy(m_new, m_new + (size_t)N_ * K, m_.begin());
  std::copy(R, R + K * K, T_.begin());
  transform_fields();
  gram_valid_ = false; // made anew from the turned fields when needed
  counts.rotation[j]++;
}

} // namespace mcar_engine
