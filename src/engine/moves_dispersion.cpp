// The dispersion moves: the negative binomial size psi_r of each outcome,
// by a random walk on the dispersion d = 1 / sqrt(psi_r), and jointly with
// its outcome's row of the loadings along the ridge where the two trade
// overdispersion (no move for the other families).
//
// Both moves step d rather than log psi.  Where the counts are near Poisson
// the likelihood flattens as psi grows, and the posterior of log psi has a
// tail as long as the prior's (it falls as exp(-log psi / 2)): a walk on
// log psi tuned to the bulk needs hundreds of steps to come back from
// psi = 1e4.  On d that tail is the short stretch (0, 0.01) next to 0, where
// the prior (half-normal in d) is flat.  The step is folded at 0,
// d' = |d + e| with e ~ N(0, s^2): the kernel stays symmetric, and the
// density of d is the posterior of psi times |dpsi/dd| = 2 d^-3, so the log
// ratio adds 3 log(d / d') = 1.5 log(psi' / psi).
#include "engine.h"
#include "numeric.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mcar_engine {

// The cells' counts by value (see nb_value_), the rising logs at the
// current sizes and every cell's constant from them.
void Sampler::count_table() {
  nb_value_.assign(K_, {});
  nb_mult_.assign(K_, {});
  nb_rising_.assign(K_, {});
  nb_slot_.assign((size_t)N_ * K_, -1);
  nb_rest_.assign((size_t)N_ * K_, 0.0);
  size_t widest = 0;
  for (int r = 0; r < K_; r++) {
    std::vector<double> &val = nb_value_[r];
    for (int i = 0; i < N_; i++) {
      const int x = i + N_ * r;
      if (d_.E[x] > 0)
        val.push_back(d_.Y[x]);
    }
    std::sort(val.begin(), val.end());
    val.erase(std::unique(val.begin(), val.end()), val.end());
    nb_mult_[r].assign(val.size(), 0.0);
    for (int i = 0; i < N_; i++) {
      const int x = i + N_ * r;
      if (!(d_.E[x] > 0))
        continue;
      const int k = (int)(std::lower_bound(val.begin(), val.end(), d_.Y[x]) - val.begin());
      nb_slot_[x] = k;
      nb_mult_[r][k] += 1.0;
      nb_rest_[x] = nb_rest(d_.Y[x], d_.E[x]);
    }
    std::vector<double> R(val.size());
    rising_logs(r, s_.psi[r], R.data());
    nb_rising_[r].assign(val.size(), 0.0);
    set_size(r, s_.psi[r], R.data());
    widest = std::max(widest, val.size());
  }
  nb_work_.assign(widest, 0.0);
}

// The rising logs of outcome r's counts at size v in R_new, one per
// distinct count: the small ones as partial sums of one series, each as
// rising_log() gives it.
void Sampler::rising_logs(int r, double v, double *R_new) const {
  const std::vector<double> &val = nb_value_[r];
  double s = 0.0;
  int k = 1;
  for (size_t j = 0; j < val.size(); j++) {
    const double y = val[j];
    if (y < RISING_SERIES) {
      for (; k < (int)y; k++)
        s += std::log1p(k / v);
      R_new[j] = s;
    } else {
      R_new[j] = rising_log(y, v);
    }
  }
}

// The same, returning the change of their sum over the cells from the
// current size.
double Sampler::rising_change(int r, double v, double *R_new) const {
  rising_logs(r, v, R_new);
  const std::vector<double> &mult = nb_mult_[r];
  const std::vector<double> &cur = nb_rising_[r];
  double change = 0.0;
  for (size_t j = 0; j < cur.size(); j++)
    change += mult[j] * (R_new[j] - cur[j]);
  return change;
}

// Outcome r's size set to v, with its rising logs R_new: the cells'
// constants follow.
void Sampler::set_size(int r, double v, const double *R_new) {
  s_.psi[r] = v;
  std::vector<double> &cur = nb_rising_[r];
  std::copy(R_new, R_new + cur.size(), cur.begin());
  for (int i = 0; i < N_; i++) {
    const int x = i + N_ * r;
    ll_const_[x] = nb_slot_[x] < 0 ? 0.0 : cur[nb_slot_[x]] + nb_rest_[x];
  }
}

// The log-likelihood and log-prior change of outcome r's size at v, with
// the cells' g at v left in m_new (n values) and the rising logs in R_new.
double Sampler::psi_proposal(int r, double v, double *m_new, double *R_new) const {
  double ll = rising_change(r, v, R_new);
  for (int i = 0; i < N_; i++) {
    const int x = i + N_ * r;
    m_new[i] = cell_g(NEGBINOMIAL, d_.Y[x], d_.E[x], v, lp_[x]);
    ll -= m_new[i] - m_[x];
  }
  return ll + psi_log_prior(v, d_.psi_scale) - psi_log_prior(s_.psi[r], d_.psi_scale);
}

double dispersion_step(double psi, double e) {
  const double d = std::fabs(1.0 / std::sqrt(psi) + e);
  return d > 0 ? 1.0 / (d * d) : INFINITY;
}

double Sampler::ratio_psi(int r, double v) const {
  std::vector<double> m(N_), R(nb_value_[r].size());
  return psi_proposal(r, v, m.data(), R.data());
}

void Sampler::update_psi(Xoshiro &rng, Counts &counts) {
  if (d_.family != NEGBINOMIAL)
    return;
  double *m_new = work_.data();
  double *R_new = nb_work_.data();
  for (int r = 0; r < K_; r++) {
    const double v = dispersion_step(s_.psi[r], sc_.psi[r] * rng.normal());
    if (!(v < INFINITY))
      continue;
    if (accept(rng, psi_proposal(r, v, m_new, R_new) + 1.5 * std::log(v / s_.psi[r]))) {
      set_size(r, v, R_new);
      std::copy(m_new, m_new + N_, m_.begin() + N_ * r);
      counts.psi[r]++;
    }
  }
}

// ---- the size against its outcome's loadings ----------------------------------

// The size psi_r and row r of the loadings trade against each other: the
// outcome's extra-Poisson variance on the log scale is about
// var_i(f_i) + 1 / psi_r = var_i(f_i) + d^2, f the field part of its mu.
// The ridge move proposes d' = |d + e| (e ~ N(0, tau_r^2)) and scales the
// row by a > 0 with a^2 = 1 + (d^2 - d'^2) / var(f), which keeps that sum
// as it is; a^2 <= 0 rejects.  The row's direction and var(f) / |row|^2 do
// not change; the kernel of d is symmetric, and given (d, d') the map of
// the row is undone by the one of (d', d).  In the coordinates (d,
// l = log |row|, direction) the map has Jacobian dl'/dl = 1 / a^2, and the
// posterior density there is the one of (psi, row) times 2 d^-3 e^{m l}
// (the row's m = K - r entries in polar form): the log ratio adds
// 1.5 log(psi' / psi) + (m - 2) log a to the change of the log posterior.

// The log posterior change of outcome r's size at v with its row of the
// loadings times a (f: the row's field part of mu, n values), with the
// cells' mu and g at the proposal left in lp_new and m_new, the rising logs
// in R_new.
double Sampler::ridge_proposal(int r, double v, double a, const double *f,
                               double *lp_new, double *m_new,
                               double *R_new) const {
  double ll = rising_change(r, v, R_new);
  for (int i = 0; i < N_; i++) {
    const int x = i + N_ * r;
    const double dl = (a - 1.0) * f[i];
    lp_new[i] = lp_[x] + dl;
    m_new[i] = cell_g(NEGBINOMIAL, d_.Y[x], d_.E[x], v, lp_new[i]);
    ll += d_.Y[x] * dl - (m_new[i] - m_[x]);
  }
  SmallSquare Ls(K_);
  double *L = Ls.data();
  std::copy(s_.Lambda.begin(), s_.Lambda.end(), L);
  for (int c = r; c < K_; c++)
    L[r + K_ * c] *= a;
  return ll + psi_log_prior(v, d_.psi_scale) -
         psi_log_prior(s_.psi[r], d_.psi_scale) + lambda_log_prior(L) -
         loadings_prior_value();
}

// The field part of outcome r's mu in f (n values); returns its variance
// over the units.
double Sampler::ridge_field(int r, double *f) const {
  double mean = 0.0;
  for (int i = 0; i < N_; i++) {
    f[i] = field_part(s_.Lambda.data(), s_.phi.data(), N_, K_, i, r);
    mean += f[i];
  }
  mean /= N_;
  double ss = 0.0;
  for (int i = 0; i < N_; i++)
    ss += (f[i] - mean) * (f[i] - mean);
  return ss / N_;
}

double Sampler::ratio_ridge(int r, double v, double a) const {
  std::vector<double> f(N_), lp(N_), m(N_), R(nb_value_[r].size());
  ridge_field(r, f.data());
  return ridge_proposal(r, v, a, f.data(), lp.data(), m.data(), R.data());
}

void Sampler::update_ridge(Xoshiro &rng, Counts &counts) {
  if (d_.family != NEGBINOMIAL)
    return;
  double *f = work_.data();
  double *lp_new = f + N_;
  double *m_new = lp_new + N_;
  double *R_new = nb_work_.data();
  for (int r = 0; r < K_; r++) {
    const double v = dispersion_step(s_.psi[r], sc_.ridge[r] * rng.normal());
    if (!(v < INFINITY))
      continue;
    const double var = ridge_field(r, f);
    const double a2 = 1.0 + (1.0 / s_.psi[r] - 1.0 / v) / var;
    if (!(a2 > 0) || !std::isfinite(a2))
      continue;
    const double a = std::sqrt(a2);
    const double lg = ridge_proposal(r, v, a, f, lp_new, m_new, R_new) +
                      1.5 * std::log(v / s_.psi[r]) + (K_ - r - 2) * std::log(a);
    if (accept(rng, lg)) {
      set_size(r, v, R_new);
      for (int c = r; c < K_; c++)
        s_.Lambda[r + K_ * c] *= a;
      std::copy(lp_new, lp_new + N_, lp_.begin() + N_ * r);
      std::copy(m_new, m_new + N_, m_.begin() + N_ * r);
      counts.ridge[r]++;
    }
  }
}

} // namespace mcar_engine
