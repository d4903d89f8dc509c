// The moves of the fields' autoregressive coefficients over periods: each
// alpha_c drawn given the fields (its conditional is a Gaussian restricted
// to (-1, 1)), and each moved with the fields so that their innovations
// stay as they are.  The first mixes where the fields are sharply
// determined by the counts, the second where they are left to their prior:
// with the innovations held the prior does not change, and only the
// likelihood of the outcomes that load on the field does.
#include "engine.h"
#include "numeric.h"
#include "parallel.h"

#include <cmath>
#include <vector>

namespace mcar_engine {

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
  }
}

// ---- the coefficient with the innovations held ---------------------------------

// Field c with coefficient y and its innovations as they are, in f (N
// values): f_0 = phi_0, f_t = E_t + y f_{t-1}, unit by unit.
void Sampler::fields_at_alpha(int c, double y, double *f) const {
  const int n = n_, nt = nt_;
  const double *phi = s_.phi.data() + (size_t)N_ * c;
  const double a = s_.alpha[c];
  parallel_for(n, pool(), [&](int i) {
    double back = phi[i], moved = phi[i];
    f[i] = moved;
    for (int t = 1; t < nt; t++) {
      const double cur = phi[i + n * t];
      moved = (cur - a * back) + y * moved;
      back = cur;
      f[i + n * t] = moved;
    }
  });
}

// The log-likelihood change of field c at f (N values) for the outcomes
// r <= c that load on it, their proposed mu and g(mu) in lp_new and m_new
// (N each, outcome by outcome).
double Sampler::field_proposal(int c, const double *f, double *lp_new,
                               double *m_new) const {
  const double *phi = s_.phi.data() + (size_t)N_ * c;
  double ll = 0.0;
  for (int r = 0; r <= c; r++) {
    const double l = s_.Lambda[r + K_ * c];
    double *lpr = lp_new + (size_t)N_ * r, *mr = m_new + (size_t)N_ * r;
    ll += blocked_sum(N_, pool(), [&](int x) {
      const int at = x + N_ * r;
      const double dl = l * (f[x] - phi[x]);
      lpr[x] = lp_[at] + dl;
      mr[x] = g(at, r, lpr[x]);
      return d_.Y[at] * dl - (mr[x] - m_[at]);
    });
  }
  return ll;
}

double Sampler::ratio_alpha_walk(int c, double y) const {
  if (!(y > -1.0 && y < 1.0))
    return -INFINITY;
  std::vector<double> f(N_), lp((size_t)N_ * (c + 1)), m((size_t)N_ * (c + 1));
  fields_at_alpha(c, y, f.data());
  return field_proposal(c, f.data(), lp.data(), m.data());
}

// Each coefficient by a random walk on its logit scale (Scales::alpha; none
// where it is 0 or not given), the field moved with it so that its
// innovations stay: the prior of the fields does not change (the map from
// innovations to fields is unit triangular whatever the coefficient), so
// the ratio is the likelihood's with the logit scale's Jacobian.
void Sampler::update_alpha_walk(Xoshiro &rng, Counts &counts) {
  if (nt_ == 1 || d_.alpha_fixed || !sc_.alpha)
    return;
  for (int c = 0; c < K_; c++) {
    if (!(sc_.alpha[c] > 0))
      continue;
    const double x = s_.alpha[c];
    const double y = logit_out(logit_in(x, -1.0, 1.0) + sc_.alpha[c] * rng.normal(), -1.0, 1.0);
    if (!(y > -1.0 && y < 1.0))
      continue;
    walk_.resize((size_t)N_ * (2 * c + 3));
    double *f = walk_.data(), *lp_new = f + N_, *m_new = lp_new + (size_t)N_ * (c + 1);
    fields_at_alpha(c, y, f);
    const double lg = field_proposal(c, f, lp_new, m_new) + logit_jacobian(y, -1.0, 1.0) -
                      logit_jacobian(x, -1.0, 1.0);
    if (accept(rng, lg)) {
      std::copy(f, f + N_, s_.phi.begin() + (size_t)N_ * c);
      for (int r = 0; r <= c; r++) {
        std::copy(lp_new + (size_t)N_ * r, lp_new + (size_t)N_ * (r + 1),
                  lp_.begin() + (size_t)N_ * r);
        std::copy(m_new + (size_t)N_ * r, m_new + (size_t)N_ * (r + 1),
                  m_.begin() + (size_t)N_ * r);
      }
      s_.alpha[c] = y;
      gram_valid_ = false;
      counts.alpha[c]++;
    }
  }
}

} // namespace mcar_engine
