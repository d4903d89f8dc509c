// The association moves: the eigenvalues eta_k and the angles theta of
// A = P diag(eta) P', each by a random walk on its logit scale.  They see
// the fields only through the Gram matrices.
#include "engine.h"
#include "numeric.h"

#include <algorithm>
#include <vector>

namespace mcar_engine {

double Sampler::ratio_eta(int k, double y) {
  if (!gram_valid_)
    refresh_gram();
  std::vector<double> eta(s_.eta), A(K_ * K_);
  eta[k] = y;
  association(A.data(), s_.theta.data(), eta.data(), K_);
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
    association(A, s_.theta.data(), eta, K_);
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
  association(A.data(), theta.data(), s_.eta.data(), K_);
  return 0.5 * quad_change(A.data());
}

// Each angle in turn on the logit scale of (-1, 1): only the fields'
// quadratic form changes.
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

} // namespace mcar_engine
