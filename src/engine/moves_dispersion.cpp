// The dispersion moves: the negative binomial size psi_r of each outcome,
// by a random walk on its log scale (no move for the other families).
#include "engine.h"
#include "numeric.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mcar_engine {

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
