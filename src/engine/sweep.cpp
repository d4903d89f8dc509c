// The sampler's construction (the caches made from the data and the state)
// and a sweep: the order of the moves.
#include "engine.h"

#include <vector>

namespace mcar_engine {

// The caches of the state: the precision's diagonal D, C X and the
// covariates' weighted norms for the shifts, each cell's constant and
// reference, mu (carried, or computed from the state) and g(mu), the
// association matrix, the log-determinant terms and T = I; with Newton
// proposals of the effects, the map's colouring.
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

// The order of the moves (see Sampler::sweep in engine.h).  The grams are
// formed once the effects have moved, the fields transformed once the
// scale and shear moves are done.
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
  update_ridge(rng, counts);
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

} // namespace mcar_engine
