// The general sampler: any map, any number of outcomes K, covariates shared
// by the outcomes.  The engine's files:
//
//   engine.h      the model (below), the data, state, proposal scales,
//                 acceptance counts and running summaries of a chain, and
//                 the Sampler class
//   family.h      the likelihood families: each cell's g(mu) and constant
//   map.h/.cpp    the map's sparse algebra: components, the smallest
//                 eigenvalue, the log-determinant interpolant
//   rng.h         the generator (xoshiro256++, ziggurat normals)
//   numeric.h     acceptance tests, a dense Cholesky factor, logit scales,
//                 K x K scratch
//   parallel.h    loops over the units on the chain's threads, and sums
//                 that are the same to the bit on any number of threads
//   thread_pool.h the sampler's own pool of threads those loops run on
//   terms.cpp     the model's terms: the association matrix, mu from the
//                 state, neighbour sums and Gram matrices of the fields,
//                 log-determinant and prior terms, the running summaries
//                 and deviance of a state
//   moves_*.cpp   one file per group of moves, each move's log ratio beside
//                 its update: coefficients (and the shifts of the fields
//                 along the covariates), effects (and the map's colouring),
//                 loadings (and the scale and shear moves of the fields,
//                 and the sign of an outcome's field part),
//                 association (eigenvalues and angles), dispersion (the
//                 negative binomial sizes, and each with its row of
//                 the loadings), autoregression (the coefficients of the
//                 fields over periods)
//   sweep.cpp     the sampler's construction and the order of the moves in
//                 a sweep
//   chain.h/.cpp  a run of sweeps: thinning, stored fields, summaries
//
// The model.  For unit i, outcome r (and period t, below)
//
//   Y[i,r] ~ Poisson(E[i,r] exp(mu[i,r])), or Binomial(N[i,r], p[i,r]) with
//            logit(p[i,r]) = mu[i,r], or negative binomial with mean
//            E[i,r] exp(mu[i,r]) and size psi_r (see family.h),
//   mu[i,r] = sum_j X[i,j] beta[j,r] + sum_{c >= r} Lambda[r,c] phi[i,c],
//
// Lambda upper triangular with a positive diagonal, and phi (n x K) with the
// MCAR prior of precision I_K (x) D - A (x) C: C the symmetric non-negative
// weights of the map (zero diagonal), D = diag(row sums of C) with 1 for a
// unit without neighbours (an island: its field is N(0, I_K) a priori and
// its risks are still scaled by the loadings), and
// A = P diag(eta) P', P the product over the pairs a < b in lexicographic
// order of the plane rotations through theta_ab pi/2.  Priors: beta normal
// with mean 0 and a given precision per coefficient (0: flat); Lambda Lambda'
// inverse-Wishart(df, S) with the Jacobian of Lambda -> Lambda Lambda'
// (log density -(df + K + 1) sum_r log L_rr - tr(S (L L')^-1) / 2
// + sum_r r log L_rr, r = 1..K); eta_k uniform on (eta_lo, eta_hi); theta
// uniform on (-1, 1); for the negative binomial, 1 / sqrt(psi_r)
// half-normal.
//
// Periods.  With T > 1 periods every cell is (i, r, t), mu[i,r,t] =
// sum_j X[i,t,j] beta[j,r] + sum_{c >= r} Lambda[r,c] phi[i,c,t], the
// fields of the first period have the prior above, and for t >= 2 the
// innovations phi[,,t] - phi[,,t-1] diag(alpha) have it too, independently
// over t: each field follows an AR(1) in time with its own coefficient
// alpha_c, uniform on (-1, 1) unless the coefficients are fixed
// (Data::alpha_fixed).  The map from the fields to their innovations is unit
// triangular, so the prior's log-determinant is T times that of one period,
// and its quadratic form is tr(H) - tr(A G) with G = sum_t E_t' C E_t and
// H = sum_t E_t' D E_t over the innovations E_t.  The rows of Y, E, X, mu
// and phi are the unit-periods, unit fastest: row x = i + n t holds unit i
// in period t (0-based), so that n T rows take the place of the n units and
// with T = 1 everything is as above, to the bit.
//
// A missing count enters as Y = 0 with E (or N) = 0: its term of the
// likelihood is then exactly zero.  Column 0 of X is the intercept (all
// ones).
//
// All arrays are column-major: Y, E, mu and phi are N x K with N = n T rows
// (element [x,r] at x + N r), X is N x p, beta p x K, Lambda K x K (zero below the diagonal).
// The map is held in compressed rows: the neighbours of unit i are
// col[row_ptr[i]] .. col[row_ptr[i+1]-1] with weights w[...].
//
// The linear predictor mu is carried with the state (see State): each move
// updates it by the increment it makes, so the moves that leave mu
// unchanged cost no exp.  The other caches (g(mu) of family.h, the association
// matrix, the log-determinant terms) are pure functions of the state and
// mu.  A chain stopped and restarted from its state, mu included, is the
// same chain to the last bit.
#ifndef MCAR_ENGINE_H
#define MCAR_ENGINE_H

#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <cmath>
#include <vector>

#include "family.h"
#include "map.h"
#include "rng.h"
#include "thread_pool.h"

namespace mcar_engine {

// The most outcomes a sampler takes (its per-unit scratch is on the stack):
// as many as the R side allows.
constexpr int MAX_K = 8;

struct Data {
  int n = 0, K = 0, p = 0; // K <= MAX_K; n units of the map
  int T = 1;                // periods: Y, E, X have n T rows
  // Whether the autoregressive coefficients stay at State::alpha (else
  // each is uniform on (-1, 1) and moves).
  bool alpha_fixed = false;
  int family = POISSON;
  const double *Y = nullptr;
  const double *E = nullptr;         // expected counts, or binomial trials
  const double *X = nullptr;
  const int *row_ptr = nullptr;
  const int *col = nullptr;
  const double *w = nullptr;
  const LogDet *logdet = nullptr; // log|D - eta C| - log|D| on (eta_lo, eta_hi)
  double eta_lo = -1.19, eta_hi = 0.99;
  const double *beta_prec = nullptr; // p x K; 0 for a flat prior
  double iw_df = 0.0;                // inverse-Wishart degrees of freedom
  const double *iw_scale = nullptr;  // K x K
  // Per outcome, the linear predictor above which a cell counts as raised
  // in the running summaries (0: a relative risk above 1); null for 0.
  const double *ref_lp = nullptr;
  double psi_scale = 1.0;            // prior scale of 1 / sqrt(psi)
  // Rounds per sweep of the moves given mu (see Sampler::sweep).
  int rounds = 1;
  // Whether the effects are proposed by Newton steps (else random walks).
  // Newton sweeps go colour by colour through a colouring of the map, on
  // up to `threads` threads, with the same draws for any number.
  bool newton = false;
  int threads = 1;
};

// The state of a chain.  theta holds the K (K - 1) / 2 angles in the order
// of the pairs (0,1), (0,2), ..., (0,K-1), (1,2), ...
// lp, when it holds n K values, is the linear predictor mu that the chain
// carried (the sampler moves it along with the state by increments, and
// leaves it unchanged by the moves that leave mu unchanged); when empty it
// is computed from the state.
struct State {
  std::vector<double> beta, phi, Lambda, eta, theta, lp;
  std::vector<double> psi; // K sizes (negative binomial only; else empty)
  std::vector<double> alpha; // K autoregressive coefficients (T > 1; else empty)
};

// Proposal scales.  phi: per effect (N x K), the sd of its random walk or the
// scale h of its Newton proposal (see update_phi).  beta_chol
// holds, for each outcome, the lower Cholesky factor (p x p, column-major)
// of the shape of its block proposal, which beta[r] scales; lambda is K x K upper: per loading, the random-walk sd
// (the diagonal on the log scale), one block per row; eta on its logit
// scale, theta (and rotation) around the angles' circles (turn_angle).
struct Scales {
  const double *beta = nullptr;      // K
  const double *beta_chol = nullptr; // p x p x K
  const double *phi = nullptr;       // n x K
  const double *lambda = nullptr;    // K x K
  const double *eta = nullptr;       // K
  const double *theta = nullptr;     // K (K - 1) / 2
  const double *scale = nullptr;     // K: log-scale sd of the field scale moves
  const double *shear = nullptr;     // K (K - 1) / 2: sd of the shear moves
  // K (K - 1) / 2: sd of each angle's step around its circle in its move
  // with the fields turned along (null: no such move).
  const double *rotation = nullptr;
  // K: sd of the steps of the dispersion 1 / sqrt(psi) in the size's own
  // move and in its ridge move (negative binomial).
  const double *psi = nullptr;
  const double *ridge = nullptr;
  // K: logit-scale sd of each autoregressive coefficient's move with the
  // innovations held (periods only; null: no such move).
  const double *alpha = nullptr;
  // K x K x K: for row r, the lower Cholesky factor (top-left K - r block)
  // of the correlations of its proposal; null for independent entries.
  const double *lambda_corr = nullptr;
};

// Accepted proposals, added into.
struct Counts {
  std::vector<int> beta, phi, lambda, eta, theta, scale, shear, rotation, psi, ridge,
      alpha;
  explicit Counts(const Data &d)
      : beta(d.K), phi(d.n * d.T * d.K), lambda(d.K), eta(d.K),
        theta(d.K * (d.K - 1) / 2), scale(d.K), shear(d.K * (d.K - 1) / 2),
        rotation(d.T > 1 ? 0 : d.K * (d.K - 1) / 2),
        psi(d.family == NEGBINOMIAL ? d.K : 0),
        ridge(d.family == NEGBINOMIAL ? d.K : 0),
        alpha(d.T > 1 && !d.alpha_fixed ? d.K : 0) {}
};

// Running summaries of every cell (x, r) over the kept sweeps, N K values
// each: Welford's mean and sum of squared deviations of the risk exp(mu)
// and of the pointwise log-likelihood, the number of sweeps with mu > 0
// (risk above 1), and the log-likelihood's running log-sum-exp as its
// maximum and the sum of exp(log-likelihood - maximum).  They see every
// kept sweep, whatever share of the per-unit draws is stored.
//
// With batches (track_batches), also batch means of every cell's linear
// predictor, from which a chain's convergence can be judged over every
// kept sweep: in slot b of `batches` slots, the sums of v and of v^2 over
// the b-th batch of batch_size consecutive kept sweeps, v = mu - origin
// (origin: mu at the first tracked sweep, which keeps the sums of squares
// free of cancellation).  batch_fill sweeps of the current batch are in
// slot batch_count.  When every slot is full, neighbouring batches are
// merged into the first half of the slots and the batch size doubles.
// Sums are slot-major: slot b of cell x at x + cells b.
struct Summaries {
  double draws = 0;
  std::vector<double> rr_mean, rr_m2, rr_gt1, ll_mean, ll_m2, ll_max, ll_sum;
  int batches = 0; // slots; 0: no batch means
  double batch_size = 1, batch_fill = 0, batch_count = 0;
  std::vector<double> origin, batch_sum, batch_sq;
  explicit Summaries(int cells = 0)
      : rr_mean(cells), rr_m2(cells), rr_gt1(cells), ll_mean(cells),
        ll_m2(cells), ll_max(cells, -INFINITY), ll_sum(cells) {}
  // Starts batch means with `slots` slots (even, at least 2).
  void track_batches(int slots) {
    const size_t cells = rr_mean.size();
    batches = slots;
    batch_size = 1;
    batch_fill = batch_count = 0;
    origin.assign(cells, 0.0);
    batch_sum.assign(cells * slots, 0.0);
    batch_sq.assign(cells * slots, 0.0);
  }
  // After a sweep added into the current batch: closes it when full, and
  // merges pairs of batches when every slot is full.
  void close_batch() {
    if (++batch_fill < batch_size)
      return;
    batch_fill = 0;
    if (++batch_count < batches)
      return;
    const size_t cells = rr_mean.size();
    for (int b = 0; b < batches / 2; b++)
      for (size_t x = 0; x < cells; x++) {
        batch_sum[x + cells * b] = batch_sum[x + cells * 2 * b] + batch_sum[x + cells * (2 * b + 1)];
        batch_sq[x + cells * b] = batch_sq[x + cells * 2 * b] + batch_sq[x + cells * (2 * b + 1)];
      }
    std::fill(batch_sum.begin() + cells * (batches / 2), batch_sum.end(), 0.0);
    std::fill(batch_sq.begin() + cells * (batches / 2), batch_sq.end(), 0.0);
    batch_count = batches / 2;
    batch_size *= 2;
  }
};

// X <- T' X T (K x K, column-major) for T = I + t e_b e_a' (a != b: column
// a plus t column b, then row a plus t row b), or for b == a T = I + (t - 1)
// e_a e_a' (row and column a times t).
inline void congruence_step(double *X, int K, int a, int b, double t) {
  if (a == b) {
    for (int k = 0; k < K; k++) {
      X[a + K * k] *= t;
      X[k + K * a] *= t;
    }
    return;
  }
  for (int k = 0; k < K; k++)
    X[k + K * a] += t * X[k + K * b];
  for (int k = 0; k < K; k++)
    X[a + K * k] += t * X[b + K * k];
}

// Packed upper triangle, row by row: (0,0), (0,1), ..., (0,K-1), (1,1), ...
inline int packed_index(int a, int b, int K) {
  return a * K - a * (a - 1) / 2 + (b - a);
}

// P, the product of the plane rotations by the angles (units of pi/2) in
// the order (0,1), (0,2), ..., (K-2,K-1), and A = P diag(eta) P' from it;
// K x K column-major.
void eigenvectors(double *P, const double *theta, int K);
void association(double *A, const double *theta, const double *eta, int K);
// A = P diag(eta) P' from P (K x K).
void spectral(double *A, const double *P, const double *eta, int K);

// The eigenvectors P at the angles last asked for, with those angles'
// cosines and sines: the association moves ask at angles that differ from
// the last ones in one place (an angle's proposal, or its rejection) or in
// none (the eigenvalues' proposals), and a cosine and sine are taken anew
// only where an angle changed.  The same P to the bit as eigenvectors().
class Rotations {
public:
  explicit Rotations(int K)
      : K_(K), theta_(K * (K - 1) / 2), cos_(theta_.size()), sin_(theta_.size()),
        P_(K * K) {}
  const double *at(const double *theta);

private:
  int K_;
  std::vector<double> theta_, cos_, sin_, P_;
  bool valid_ = false;
};

// The loadings' log prior at the loadings `at`, and Q = M S M' there (M the
// inverse of Lambda, S the inverse-Wishart scale), from which a field's
// scale or a pair's shear reads its prior change: Lambda -> Lambda D turns
// M into D^-1 M, so the trace in the prior changes by row and column
// operations on Q.  Q follows the accepted scale and shear moves by those
// operations, and is made anew from the loadings after any other change of
// them and at the start of every sweep (so that what a move sees does not
// depend on where a chain was cut into calls); the value is taken from the
// loadings when asked for.
struct LoadingsPrior {
  std::vector<double> at, Q;
  double value = 0.0;
  bool valid = false, value_valid = false;
};

// Angle j of theta moved by step along its circle.  A half turn of plane
// (a, b) flips the signs of columns a and b of P, which leaves A as it is
// once every later angle whose plane shares one index with (a, b) changes
// sign; so the angles live on circles, and a step past +-1 comes back in
// at the other end with those later angles negated.  For a given step this
// is a bijection of (-1, 1]^(K (K - 1) / 2) that keeps volumes and that
// the opposite step undoes, so a random walk through it is symmetric.
void turn_angle(double *theta, int j, double step, int K);

// The negative binomial size after a step e of its dispersion 1 / sqrt(psi),
// folded at 0: 1 / (1 / sqrt(psi) + e)^2, infinite when the step lands on 0.
double dispersion_step(double psi, double e);

// The moves of a chain.  Every update is a Metropolis step that draws its
// proposal first and a uniform only when the log ratio is negative (a NaN
// ratio rejects), except the shifts of the fields along the covariates
// against their coefficients, which are drawn exactly from their
// conditionals (Gaussians).  mu moves by the increment of each accepted
// proposal, and the family's cached term m = g(mu) (family.h) is computed
// from it; the shift, scale and shear moves leave both as they are.
// G = Phi' C Phi and H = Phi' D Phi are formed once a sweep after the
// effects move and carried through the moves that transform the fields
// linearly.
class Sampler {
public:
  Sampler(const Data &data, State &state, const Scales &scales);

  // One sweep: the coefficient blocks of every outcome, the effects unit by
  // unit (with Newton proposals, colour by colour of the map's colouring),
  // the exact shift of the fields along each covariate (the intercept's: a
  // level) against that covariate's coefficients, a scale
  // move of each field against its column of loadings and a shear of each
  // pair of fields against the loadings (these three leave mu unchanged),
  // the loadings row by row, then each eigenvalue and each angle,
  // Data::rounds - 1 further rounds of the moves that leave mu unchanged
  // (scales, shears, eigenvalues, angles), one angle with the fields
  // turned along (update_rotation), and for the negative binomial
  // each size, then each size jointly with its outcome's row of the
  // loadings (see update_ridge); last, the sign of one outcome's field part
  // (update_flip).  With periods, each autoregressive
  // coefficient follows the angles, in every round.
  void sweep(Xoshiro &rng, Counts &counts);

  // -2 times the log-likelihood of the current state (observed counts only,
  // every constant included).
  double deviance() const;
  // Adds the current state to the running summaries; returns its
  // log-likelihood (-deviance / 2, summed as deviance() sums it).
  double accumulate(Summaries &s) const;
  const double *association_matrix() const { return A_.data(); }
  const double *linear_predictor() const { return lp_.data(); }
  const Data &data() const { return d_; }
  const State &state() const { return s_; }
  // The colour of each unit in the colouring the Newton sweeps go through
  // (made at construction with Data::newton, else at the first Newton
  // sweep; all 0 before).
  std::vector<int> colours() const;

  // Log posterior at a proposal minus at the current state, proposal
  // Jacobians left out: the quantities each update accepts on.
  double ratio_beta(int r, const double *beta_r) const;
  // Effect c of row x (unit x % n, period x / n) at y.
  double ratio_phi(int x, int c, double y) const;
  double ratio_lambda_row(int r, const double *row) const; // Lambda[r, r..K-1]
  double ratio_eta(int k, double y);
  double ratio_theta(int j, double y);
  // Angle j at y (any real: the step as taken) with the fields turned so
  // that the eigen-fields Phi P stay as they are (only the likelihood
  // changes).
  double ratio_rotation(int j, double y) const;
  // The log prior of the fields at phi + X[, j] delta' minus at phi, with
  // row j of the coefficients moved by -Lambda delta (the likelihood does
  // not change); j = 0 moves the intercepts against level shifts.
  double ratio_shift(const double *delta, int j = 0) const;
  // The log posterior at field c times s and column c of Lambda divided by
  // s (the likelihood does not change), minus at the current state, without
  // the Jacobian s^(N - c - 1).
  double ratio_scale(int c, double s);
  // The same for field a plus t times field b (a < b) with Lambda[r,b]
  // minus t Lambda[r,a] for r <= a (Jacobian 1).
  double ratio_shear(int a, int b, double t);
  // The negative binomial size of outcome r at v (its log prior included,
  // the Jacobian of the log scale left out).
  double ratio_psi(int r, double v) const;
  // The size of outcome r at v with row r of the loadings times a (both
  // priors included, the Jacobian of the ridge move left out).
  double ratio_ridge(int r, double v, double a) const;
  // The autoregressive coefficient of field c at y (the fields as they
  // are; the likelihood does not change).
  double ratio_alpha(int c, double y);
  // The same with field c moved so that its innovations stay as they are
  // (the prior does not change; the Jacobian of the logit scale left out).
  double ratio_alpha_walk(int c, double y) const;
  // Outcome c's field part of mu negated: field c, the loadings and the
  // association matrix conjugated by the sign flip at c (see update_flip).
  double ratio_flip(int c);

  // The individual moves, for tests that check what each leaves invariant.
  void update_beta(Xoshiro &rng, Counts &counts);
  void update_phi(Xoshiro &rng, Counts &counts);
  void update_shift(Xoshiro &rng, int j = 0);
  void update_scale(Xoshiro &rng, Counts &counts);
  void update_shear(Xoshiro &rng, Counts &counts);
  void update_lambda(Xoshiro &rng, Counts &counts);
  void update_eta(Xoshiro &rng, Counts &counts);
  void update_theta(Xoshiro &rng, Counts &counts);
  // One angle (drawn at random when there are several) with the fields
  // turned along, mu changing as it must (moves_association.cpp); nothing
  // over periods or without its scales.
  void update_rotation(Xoshiro &rng, Counts &counts);
  // Each size psi_r by a random walk on its dispersion 1 / sqrt(psi_r).
  void update_psi(Xoshiro &rng, Counts &counts);
  // Each size psi_r stepped likewise, with row r of the loadings scaled so
  // that the outcome's extra-Poisson variance stays as it is
  // (moves_dispersion.cpp).
  void update_ridge(Xoshiro &rng, Counts &counts);
  // The sign of one outcome's field part, drawn at random, with the field,
  // loadings and angles that carry it (moves_loadings.cpp); K >= 2.  Its
  // acceptances are not counted: it is rejected wherever the outcome's
  // counts decide the sign, which says nothing of its tuning (it has none).
  void update_flip(Xoshiro &rng);
  // Each autoregressive coefficient from its conditional given the fields,
  // then with the fields by a random walk that keeps their innovations
  // (moves_autoregression.cpp); nothing with one period or fixed
  // coefficients.
  void update_alpha(Xoshiro &rng, Counts &counts);
  void update_alpha_walk(Xoshiro &rng, Counts &counts);
  // Rounds of the scale, shear, eigenvalue and angle moves (none of them
  // changes mu), the fields written once at the end.
  void update_given_mu(Xoshiro &rng, Counts &counts, int rounds);

private:
  void linear_predictor_from_state(double *lp) const;
  // The pool of Data::threads threads the loops over the map run on.
  ThreadPool &pool() const {
    pool_.resize(d_.threads);
    return pool_;
  }
  template <int FAMILY, bool NEWTON> void phi_sweep(Xoshiro &rng, Counts &counts);
  template <int FAMILY> void effects_of_unit(int i, Xoshiro &rng, double *scratch, int *acc);
  template <int FAMILY, int B>
  void effects_of_units(const int *units, uint64_t key, double *ns, int *acc);
  void colour_units();
  void shift_move(Xoshiro &rng, int j);
  void shift_sums(int j, double *d, double *e) const;
  void shift_sums_periods(int j, double *d, double *e) const;
  void shift_coefficient_prior(int j, double *P, double *b) const;
  void shift_terms_periods(int j, const double *d, const double *e, double *P,
                           double *b) const;
  void refresh_gram_periods();
  void fields_at_alpha(int c, double y, double *f) const;
  double field_proposal(int c, const double *f, double *lp_new, double *m_new) const;
  void transform_gram_periods(int a, int b, double t);
  bool scale_moves(Xoshiro &rng, Counts &counts);
  bool shear_moves(Xoshiro &rng, Counts &counts);
  void transform_gram(int a, int b, double t);
  void transform_fields();
  void refresh_gram();
  void neighbour_sums(const double *u, double *out) const;
  double log_det_term(double eta_k) const;
  double lambda_log_prior(const double *L) const;
  // The loadings' prior at the current loadings, and its Q (see
  // LoadingsPrior), remade when the loadings changed.
  double loadings_prior_value() const;
  const std::vector<double> &loadings_Q() const;
  // Q after an accepted scale (b == a: field a times t) or shear (field a
  // plus t field b) of the loadings.
  void loadings_Q_transform(int a, int b, double t);
  // A at the angles theta and eigenvalues eta, through rotations_.
  void association_at(double *A, const double *theta, const double *eta) const;
  double quad_change(const double *A) const;
  double beta_proposal(int r, const double *b, double *lp_new,
                       double *m_new) const;
  double lambda_row_proposal(int r, const double *L, double *lp_new,
                             double *m_new) const;
  void shift_terms(int j, const double *d, const double *e, double *P,
                   double *b) const;
  double psi_proposal(int r, double v, double *m_new, double *R_new) const;
  double flip_proposal(int c, double *lp_new, double *m_new) const;
  double rotation_proposal(const double *theta, double *R, double *lp_new,
                           double *m_new) const;
  double ridge_field(int r, double *f) const;
  double ridge_proposal(int r, double v, double a, const double *f,
                        double *lp_new, double *m_new, double *R_new) const;
  void count_table();
  void rising_logs(int r, double v, double *R_new) const;
  double rising_change(int r, double v, double *R_new) const;
  void set_size(int r, double v, const double *R_new);
  // g of cell x (outcome r) at linear predictor mu: see family.h.
  double g(int x, int r, double mu) const {
    return cell_g(d_.family, d_.Y[x], d_.E[x],
                  d_.family == NEGBINOMIAL ? s_.psi[r] : 0.0, mu);
  }

  const Data &d_;
  State &s_;
  const Scales &sc_;
  const int n_, K_, p_;
  const int nt_, N_;                     // periods, rows (n T)
  // The stride of G_ and H_: K, or with periods 2 K, where they hold the
  // grams of F = [E, L Phi], the innovations beside the fields one period
  // back (L Phi: zero in the first period); their top-left K x K blocks
  // are the grams of the innovations the prior needs.
  const int gs_;
  std::vector<double> lp_, m_;          // N x K: mu and g(mu) (family.h)
  std::vector<double> A_, G_;           // K x K: association, Phi' C Phi
  std::vector<double> H_;               // K x K: Phi' D Phi (see gs_)
  // K x K: the scale and shear moves accepted since the fields were last
  // written, as the fields' transformation Phi <- Phi T (G_ and H_ and the
  // loadings already include it).
  std::vector<double> T_;
  bool gram_valid_ = false;
  mutable Rotations rotations_;
  mutable LoadingsPrior loadings_prior_;
  std::vector<double> ll_const_;         // N x K: the constants c per cell
  // Negative binomial: a size's move changes every cell's constant only
  // through its rising log, a function of the count (family.h), so it is
  // summed over the distinct counts of the outcome's observed cells
  // (nb_value_[r], increasing, with their multiplicities nb_mult_[r]);
  // nb_rising_[r] holds the rising logs at the current size, nb_slot_ each
  // cell's index among its outcome's counts (-1: no likelihood term) and
  // nb_rest_ the rest of its constant.
  std::vector<std::vector<double>> nb_value_, nb_mult_, nb_rising_;
  std::vector<int> nb_slot_;
  std::vector<double> nb_rest_;
  std::vector<double> nb_work_;          // scratch: a table of rising logs
  std::vector<double> ref_cell_;         // N x K: Data::ref_lp of each cell
  std::vector<double> logdet_;      // K
  std::vector<double> D_;           // n: the precision's diagonal
  std::vector<double> Cx_;          // N x p: C X, period by period
  std::vector<double> xDx_, xCx_;   // p: X[, j]' D X[, j], X[, j]' C X[, j]
  // With periods, 6 p: per covariate x = X[, j] and its lag L x, x'Dx,
  // x'D Lx, (Lx)'D Lx, x'Cx, x'C Lx, (Lx)'C Lx.
  std::vector<double> shift_norms_;
  std::vector<double> work_;        // scratch
  std::vector<double> walk_;        // scratch of the coefficients' walks
  std::vector<double> turn_;        // scratch of the rotation: mu and g, N x K each
  std::vector<double> chunk_scratch_; // per chunk of a colour, with periods
  // The units colour by colour, colour c at order_[colour_ptr_[c]] ..
  // order_[colour_ptr_[c + 1] - 1].
  std::vector<int> order_, colour_ptr_;
  // The pool's workers start at the first loop that uses them and are joined
  // when the sampler is destroyed.
  mutable ThreadPool pool_;
};

} // namespace mcar_engine

#endif
