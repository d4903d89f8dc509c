// The association moves: the eigenvalues eta_k and the angles theta of
// A = P diag(eta) P', each by a random walk on its logit scale, and with
// periods the autoregressive coefficients.  They see the fields only
// through the Gram matrices.
#include "engine.h"
#include "numeric.h"

#include <algorithm>
#include <cmath>
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

// ---- autoregressive coefficients -------------------------------------------

// The log prior of the fields as a function of alpha_c' = alpha_c - delta:
// the innovations of field c move by delta L Phi_c, so with the grams of
// F = [E, L Phi] it is -prec delta^2 / 2 + lin delta up to a constant, with
// prec = H[l,l] - A_cc G[l,l] and lin = sum_k A_ck G[l,k] - H[c,l], l the
// column of L Phi_c.
namespace {
struct AlphaConditional {
  double prec, lin;
};
} // namespace

static AlphaConditional alpha_conditional(const std::vector<double> &G,
                                          const std::vector<double> &H,
                                          const std::vector<double> &A, int K,
                                          int c) {
  const int M = 2 * K, l = K + c;
  double lin = -H[c + M * l];
  for (int k = 0; k < K; k++)
    lin += A[c + K * k] * G[l + M * k];
  return {H[l + M * l] - A[c + K * c] * G[l + M * l], lin};
}

double Sampler::ratio_alpha(int c, double y) {
  if (!gram_valid_)
    refresh_gram();
  if (!(y > -1.0 && y < 1.0))
    return -INFINITY;
  const AlphaConditional q = alpha_conditional(G_, H_, A_, K_, c);
  const double delta = s_.alpha[c] - y;
  return -0.5 * q.prec * delta * delta + q.lin * delta;
}

// Each coefficient in turn, given the fields: its conditional is the
// Gaussian of alpha_conditional restricted to (-1, 1).  The proposal is
// that Gaussian unrestricted, an independence proposal whose ratio to the
// conditional is constant inside (-1, 1), so it is accepted exactly when
// it falls inside.  The fields stay; their innovations and the grams move.
void Sampler::update_alpha(Xoshiro &rng, Counts &counts) {
  if (nt_ == 1 || d_.alpha_fixed)
    return;
  if (!gram_valid_)
    refresh_gram();
  const int K = K_, M = gs_;
  for (int c = 0; c < K; c++) {
    const AlphaConditional q = alpha_conditional(G_, H_, A_, K, c);
    const double z = rng.normal();
    if (!(q.prec > 0))
      continue;
    const double delta = q.lin / q.prec + z / std::sqrt(q.prec);
    const double y = s_.alpha[c] - delta;
    if (!(y > -1.0 && y < 1.0))
      continue;
    // E_c <- E_c + delta L Phi_c: column c, then row c, of both grams.
    const int l = K + c;
    for (std::vector<double> *X : {&G_, &H_}) {
      std::vector<double> &Y = *X;
      for (int k = 0; k < M; k++)
        Y[k + M * c] += delta * Y[k + M * l];
      for (int k = 0; k < M; k++)
        Y[c + M * k] += delta * Y[l + M * k];
    }
    s_.alpha[c] = y;
    counts.alpha[c]++;
  }
}

} // namespace mcar_engine
