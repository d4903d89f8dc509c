// The sampler's construction (the caches made from the data and the state)
// and a sweep: the order of the moves.
#include "engine.h"

#include <vector>

namespace mcar_engine {

// The caches of the state: the precision's diagonal D, C X and the
// covariates' weighted norms for the shifts, each cell's constant and
// reference, mu (carried, or computed from the state) and g(mu), the
// association matrix, the log-determinant terms and T = I; with periods,
// the autoregressive coefficients (0 when none are given); with Newton
// proposals of the effects, the map's colouring.
Sampler::Sampler(const Data &data, State &state, const Scales &scales)
    : d_(data), s_(state), sc_(scales), n_(data.n), K_(data.K), p_(data.p),
      nt_(data.T), N_(data.n * data.T), gs_(data.T > 1 ? 2 * data.K : data.K),
      lp_(N_ * K_), m_(N_ * K_), A_(K_ * K_), G_(gs_ * gs_), H_(gs_ * gs_),
      T_(K_ * K_, 0.0), rotations_(K_), logdet_(K_), D_(n_),
      work_((K_ + 4) * N_ + 4 * K_ * K_ + 4 * p_) {
  MapView mv;
  mv.n = n_;
  mv.row_ptr = d_.row_ptr;
  mv.col = d_.col;
  mv.w = d_.w;
  D_ = precision_diagonal(mv);
  // C X[, j] period by period, and the covariates' weighted norms for the
  // shifts (with periods, beside their lags: see shift_norms_).
  Cx_.assign((size_t)N_ * p_, 0.0);
  xDx_.assign(p_, 0.0);
  xCx_.assign(p_, 0.0);
  for (int j = 0; j < p_; j++) {
    const double *v = d_.X + (size_t)N_ * j;
    double *cv = Cx_.data() + (size_t)N_ * j;
    for (int t = 0; t < nt_; t++)
      neighbour_sums(v + (size_t)n_ * t, cv + (size_t)n_ * t);
    if (nt_ == 1) {
      for (int i = 0; i < n_; i++) {
        xDx_[j] += D_[i] * v[i] * v[i];
        xCx_[j] += v[i] * cv[i];
      }
    }
  }
  if (nt_ > 1) {
    shift_norms_.assign(6 * p_, 0.0);
    for (int j = 0; j < p_; j++) {
      const double *v = d_.X + (size_t)N_ * j;
      const double *cv = Cx_.data() + (size_t)N_ * j;
      double *o = shift_norms_.data() + 6 * j;
      for (int x = 0; x < N_; x++) {
        const int i = x % n_;
        const bool lag = x >= n_;
        const double lv = lag ? v[x - n_] : 0.0, lcv = lag ? cv[x - n_] : 0.0;
        o[0] += D_[i] * v[x] * v[x];
        o[1] += D_[i] * v[x] * lv;
        o[2] += D_[i] * lv * lv;
        o[3] += v[x] * cv[x];
        o[4] += v[x] * lcv;
        o[5] += lv * lcv;
      }
    }
  }
  ll_const_.assign(N_ * K_, 0.0);
  ref_cell_.assign(N_ * K_, 0.0);
  for (int r = 0; r < K_; r++)
    for (int i = 0; i < N_; i++) {
      const int x = i + N_ * r;
      if (d_.family != NEGBINOMIAL)
        ll_const_[x] = cell_c(d_.family, d_.Y[x], d_.E[x], 0.0);
      ref_cell_[x] = d_.ref_lp ? d_.ref_lp[r] : 0.0;
    }
  if (d_.family == NEGBINOMIAL)
    count_table(); // the cells' constants from their counts' rising logs
  if ((int)s_.lp.size() == N_ * K_)
    lp_ = s_.lp;
  else
    linear_predictor_from_state(lp_.data());
  for (int x = 0; x < N_ * K_; x++)
    m_[x] = g(x, x / N_, lp_[x]);
  association_at(A_.data(), s_.theta.data(), s_.eta.data());
  for (int k = 0; k < K_; k++)
    logdet_[k] = log_det_term(s_.eta[k]);
  for (int a = 0; a < K_; a++)
    T_[a + K_ * a] = 1.0;
  if (nt_ > 1 && (int)s_.alpha.size() != K_)
    s_.alpha.assign(K_, 0.0);
  // Only the Newton sweeps go colour by colour (phi_sweep colours the map
  // itself when Data::newton is set after construction).
  if (d_.newton)
    colour_units();
}

// The order of the moves (see Sampler::sweep in engine.h).  The grams are
// formed once the effects have moved, the fields transformed once the
// scale and shear moves are done; the loadings' Q (LoadingsPrior) is made
// anew at the start.
void Sampler::sweep(Xoshiro &rng, Counts &counts) {
  loadings_prior_.valid = false;
  update_beta(rng, counts);
  update_phi(rng, counts);
  if (nt_ == 1)
    refresh_gram(); // the shifts carry the grams along
  for (int j = 0; j < p_; j++)
    shift_move(rng, j);
  if (!gram_valid_)
    refresh_gram(); // with periods they are made after the shifts
  scale_moves(rng, counts);
  shear_moves(rng, counts);
  transform_fields();
  update_lambda(rng, counts);
  update_eta(rng, counts);
  update_theta(rng, counts);
  update_alpha(rng, counts);
  update_alpha_walk(rng, counts);
  if (d_.rounds > 1)
    update_given_mu(rng, counts, d_.rounds - 1);
  update_rotation(rng, counts);
  update_psi(rng, counts);
  update_ridge(rng, counts);
  update_flip(rng);
}

// Given mu: rounds of the scale and shear moves, the eigenvalues, the
// angles and the autoregressive coefficients.  None of them changes mu, and all of them read the fields only
// through the grams G and H, so the rounds cost O(K^3) each and the fields
// are transformed once at the end.
void Sampler::update_given_mu(Xoshiro &rng, Counts &counts, int rounds) {
  for (int k = 0; k < rounds; k++) {
    scale_moves(rng, counts);
    shear_moves(rng, counts);
    update_eta(rng, counts);
    update_theta(rng, counts);
    update_alpha(rng, counts);
  }
  transform_fields();
}

} // namespace mcar_engine
