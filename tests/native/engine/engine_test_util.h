// Shared pieces of the general sampler's tests.
//
// Problem owns every array the engine reads (counts, expected counts,
// covariates, the map in dense and compressed form, the eigenvalues, the
// priors) and a Data that points into them; ScaleSet does the same for the
// proposal scales.  Both keep their Data / Scales as members because the
// Sampler holds references to them: bind() after the last resize.
//
// dense_log_post() is the model's log posterior written from its definition
// with dense matrices and nothing from the engine: the fields' precision
// I_K (x) D - A (x) C assembled entry by entry, its log-determinant by a
// Cholesky factorisation, A from explicit plane-rotation matrices, the
// inverse-Wishart density of Lambda Lambda' with the Jacobian of
// Lambda -> Lambda Lambda'.  The tests compare the engine's log ratios with
// its differences and normalise it on grids for the stationary checks.
#ifndef MCAR_TESTS_ENGINE_TEST_UTIL_H
#define MCAR_TESTS_ENGINE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

#include <Rmath.h>

#include "engine.h"

namespace engine_test {

using mcar_engine::State;

// ---- dense linear algebra (column-major) -------------------------------------------

// Lower Cholesky factor of the symmetric n x n a, in place; false when a is
// not positive definite.
inline bool chol_lower(std::vector<double> &a, int n) {
  for (int j = 0; j < n; j++) {
    double s = a[j + (size_t)n * j];
    for (int k = 0; k < j; k++)
      s -= a[j + (size_t)n * k] * a[j + (size_t)n * k];
    if (!(s > 0))
      return false;
    const double l = std::sqrt(s);
    a[j + (size_t)n * j] = l;
    for (int i = j + 1; i < n; i++) {
      double t = a[i + (size_t)n * j];
      for (int k = 0; k < j; k++)
        t -= a[i + (size_t)n * k] * a[j + (size_t)n * k];
      a[i + (size_t)n * j] = t / l;
    }
    for (int i = 0; i < j; i++)
      a[i + (size_t)n * j] = 0.0;
  }
  return true;
}

// Solves (L L') x = b in place, L from chol_lower.
inline void chol_solve(const std::vector<double> &L, int n, double *b) {
  for (int i = 0; i < n; i++) {
    double t = b[i];
    for (int k = 0; k < i; k++)
      t -= L[i + (size_t)n * k] * b[k];
    b[i] = t / L[i + (size_t)n * i];
  }
  for (int i = n - 1; i >= 0; i--) {
    double t = b[i];
    for (int k = i + 1; k < n; k++)
      t -= L[k + (size_t)n * i] * b[k];
    b[i] = t / L[i + (size_t)n * i];
  }
}

inline std::vector<double> matmul(const std::vector<double> &a,
                                  const std::vector<double> &b, int K) {
  std::vector<double> c(K * K, 0.0);
  for (int i = 0; i < K; i++)
    for (int j = 0; j < K; j++)
      for (int k = 0; k < K; k++)
        c[i + K * j] += a[i + K * k] * b[k + K * j];
  return c;
}

// A = P diag(eta) P', P the product over the pairs a < b (lexicographic) of
// the rotations R_ab with R[a,a] = R[b,b] = cos, R[a,b] = sin, R[b,a] = -sin
// through theta_ab pi/2.
inline std::vector<double> dense_eigenvectors(const double *theta, int K) {
  std::vector<double> P(K * K, 0.0);
  for (int i = 0; i < K; i++)
    P[i + K * i] = 1.0;
  int j = 0;
  for (int a = 0; a < K; a++)
    for (int b = a + 1; b < K; b++, j++) {
      std::vector<double> R(K * K, 0.0);
      for (int i = 0; i < K; i++)
        R[i + K * i] = 1.0;
      const double c = std::cos(theta[j] * M_PI / 2), s = std::sin(theta[j] * M_PI / 2);
      R[a + K * a] = c;
      R[b + K * b] = c;
      R[a + K * b] = s;
      R[b + K * a] = -s;
      P = matmul(P, R, K);
    }
  return P;
}

inline std::vector<double> dense_association(const double *theta,
                                             const double *eta, int K) {
  const std::vector<double> P = dense_eigenvectors(theta, K);
  std::vector<double> A(K * K, 0.0);
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++)
      for (int k = 0; k < K; k++)
        A[a + K * b] += P[a + K * k] * eta[k] * P[b + K * k];
  return A;
}

// ---- problems --------------------------------------------------------------------

// With T periods the rows of Y, E and X are the N = n T unit-periods, unit
// fastest (row i + n t), as the engine reads them.
struct Problem {
  int n = 0, K = 0, p = 0, T = 1;
  std::vector<double> Y, E, X; // N x K, N x K, N x p
  std::vector<double> C, D;    // dense n x n map, its row sums
  std::vector<int> row_ptr, col;
  std::vector<double> w;
  mcar_engine::LogDet logdet; // built by bind() on (eta_lo, eta_hi)
  std::vector<double> beta_prec, iw_scale;
  double eta_lo = -1.19, eta_hi = 0.99, iw_df = 3.0;
  int family = mcar_engine::POISSON; // E holds the trials of a binomial
  double psi_scale = 1.0;
  std::vector<double> ref_lp;
  mcar_engine::Data data;

  Problem(int n_, int K_, int p_, int T_ = 1) : n(n_), K(K_), p(p_), T(T_) {
    Y.assign(N() * K, 0.0);
    E.assign(N() * K, 1.0);
    X.assign(N() * p, 0.0);
    for (int i = 0; i < N(); i++)
      X[i] = 1.0;
    beta_prec.assign(p * K, 0.0);
    iw_scale.assign(K * K, 0.0);
    for (int k = 0; k < K; k++)
      iw_scale[k + K * k] = 0.3;
  }
  Problem(const Problem &) = delete;
  Problem &operator=(const Problem &) = delete;

  // The compressed rows and D (row sums of C, 1 for a unit without
  // neighbours).
  void set_map(const std::vector<double> &Cdense) {
    C = Cdense;
    D.assign(n, 0.0);
    row_ptr.assign(1, 0);
    col.clear();
    w.clear();
    for (int i = 0; i < n; i++) {
      for (int j = 0; j < n; j++) {
        const double c = C[i + (size_t)n * j];
        if (c != 0.0) {
          col.push_back(j);
          w.push_back(c);
          D[i] += c;
        }
      }
      row_ptr.push_back((int)col.size());
    }
    for (int i = 0; i < n; i++)
      if (D[i] == 0.0)
        D[i] = 1.0;
  }

  int N() const { return n * T; }

  void bind() {
    data.n = n;
    data.T = T;
    data.K = K;
    data.p = p;
    data.Y = Y.data();
    data.E = E.data();
    data.X = X.data();
    data.row_ptr = row_ptr.data();
    data.col = col.data();
    data.w = w.data();
    mcar_engine::MapView mv;
    mv.n = n;
    mv.row_ptr = row_ptr.data();
    mv.col = col.data();
    mv.w = w.data();
    mcar_engine::MapFactor f(mv);
    const double lmin = mcar_engine::smallest_eigenvalue(f);
    if (lmin < 0)
      eta_lo = std::max(eta_lo, 0.99 / lmin);
    logdet.build(f, eta_lo, eta_hi, lmin < 0 ? 1.0 / lmin : eta_lo - 1.0);
    data.logdet = &logdet;
    data.eta_lo = eta_lo;
    data.eta_hi = eta_hi;
    data.beta_prec = beta_prec.data();
    data.iw_df = iw_df;
    data.iw_scale = iw_scale.data();
    data.family = family;
    ref_lp.assign(K, 0.0);
    data.ref_lp = ref_lp.data();
    data.psi_scale = psi_scale;
  }

  double c(int i, int j) const { return C[i + (size_t)n * j]; }
};

// A ring of n units, each the neighbour of the units `reach` places away
// on either side, weight 1.
inline std::vector<double> ring_map(int n, std::initializer_list<int> reach) {
  std::vector<double> C((size_t)n * n, 0.0);
  for (int i = 0; i < n; i++)
    for (int r : reach) {
      const int j = (i + r) % n;
      C[i + (size_t)n * j] = C[j + (size_t)n * i] = 1.0;
    }
  return C;
}

// A side x side grid with queen neighbours: weight 1 across an edge, 0.4
// across a corner.
inline std::vector<double> weighted_grid_map(int side) {
  const int n = side * side;
  std::vector<double> C((size_t)n * n, 0.0);
  for (int a = 0; a < n; a++)
    for (int b = 0; b < n; b++) {
      const int dr = std::abs(a / side - b / side), dc = std::abs(a % side - b % side);
      if (a != b && dr <= 1 && dc <= 1)
        C[a + (size_t)n * b] = (dr + dc == 1) ? 1.0 : 0.4;
    }
  return C;
}

inline State empty_state(const Problem &P) {
  State s;
  s.beta.assign(P.p * P.K, 0.0);
  s.phi.assign(P.N() * P.K, 0.0);
  if (P.T > 1)
    s.alpha.assign(P.K, 0.0);
  s.Lambda.assign(P.K * P.K, 0.0);
  for (int k = 0; k < P.K; k++)
    s.Lambda[k + P.K * k] = 1.0;
  s.eta.assign(P.K, 0.0);
  s.theta.assign(P.K * (P.K - 1) / 2, 0.0);
  return s;
}

// mu[x,r] = sum_j X[x,j] beta[j,r] + sum_{c >= r} Lambda[r,c] phi[x,c] for
// every row x (unit-period).
inline std::vector<double> dense_mu(const Problem &P, const State &s) {
  const int N = P.N();
  std::vector<double> mu(N * P.K, 0.0);
  for (int r = 0; r < P.K; r++)
    for (int i = 0; i < N; i++) {
      double m = 0.0;
      for (int j = 0; j < P.p; j++)
        m += P.X[i + N * j] * s.beta[j + P.p * r];
      for (int c = r; c < P.K; c++)
        m += s.Lambda[r + P.K * c] * s.phi[i + N * c];
      mu[i + N * r] = m;
    }
  return mu;
}

// Random covariates (column 1 on), a random state and counts drawn from the
// model at that state with expected counts in [e_lo, e_hi].
inline void fill_counts(Problem &P, const State &truth, std::mt19937 &gen,
                        double e_lo, double e_hi) {
  std::uniform_real_distribution<double> unif(e_lo, e_hi);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int j = 1; j < P.p; j++)
    for (int i = 0; i < P.N(); i++)
      P.X[i + P.N() * j] = normal(gen);
  const std::vector<double> mu = dense_mu(P, truth);
  for (int x = 0; x < P.N() * P.K; x++) {
    P.E[x] = unif(gen);
    if (P.family == mcar_engine::BINOMIAL) {
      P.E[x] = std::round(4.0 * P.E[x]); // trials
      std::binomial_distribution<int> b((int)P.E[x], 1.0 / (1.0 + std::exp(-mu[x])));
      P.Y[x] = b(gen);
    } else if (P.family == mcar_engine::NEGBINOMIAL) {
      const double psi = truth.psi[x / P.N()];
      std::gamma_distribution<double> gam(psi, P.E[x] * std::exp(mu[x]) / psi);
      std::poisson_distribution<int> pois(gam(gen));
      P.Y[x] = pois(gen);
    } else {
      std::poisson_distribution<int> pois(P.E[x] * std::exp(mu[x]));
      P.Y[x] = pois(gen);
    }
  }
}

// The log prior -phi' Q phi / 2 of one period's fields (n x K) with
// Q = I_K (x) D - A (x) C, and (with_logdet) + log det(Q) / 2; -Inf when Q
// is not positive definite.
inline double dense_period_log_prior(const Problem &P, const std::vector<double> &phi,
                                     const State &s, bool with_logdet) {
  const int n = P.n, K = P.K, N = n * K;
  const std::vector<double> A = dense_association(s.theta.data(), s.eta.data(), K);
  std::vector<double> Q((size_t)N * N, 0.0);
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++)
      for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
          Q[(i + n * a) + (size_t)N * (j + n * b)] =
              (a == b && i == j ? P.D[i] : 0.0) - A[a + K * b] * P.c(i, j);
  double quad = 0.0;
  for (int u = 0; u < N; u++)
    for (int v = 0; v < N; v++)
      quad += phi[u] * Q[u + (size_t)N * v] * phi[v];
  double logdet = 0.0;
  if (with_logdet) {
    if (!chol_lower(Q, N))
      return -INFINITY;
    for (int u = 0; u < N; u++)
      logdet += 2.0 * std::log(Q[u + (size_t)N * u]);
  }
  return -0.5 * quad + 0.5 * logdet;
}

// The fields' log prior: with T periods, that of one period at each
// period's innovations phi[,,t] - phi[,,t-1] diag(alpha) (phi[,,0] itself).
inline double dense_field_log_prior(const Problem &P, const State &s,
                                    bool with_logdet) {
  const int n = P.n, K = P.K, N = P.N();
  double lp = 0.0;
  for (int t = 0; t < P.T; t++) {
    std::vector<double> e(n * K);
    for (int c = 0; c < K; c++)
      for (int i = 0; i < n; i++) {
        const int x = i + n * t + N * c;
        e[i + n * c] = t == 0 ? s.phi[x] : s.phi[x] - s.alpha[c] * s.phi[x - n];
      }
    lp += dense_period_log_prior(P, e, s, with_logdet);
  }
  return lp;
}

// The normal priors of the coefficients, flat where the precision is 0.
inline double dense_beta_log_prior(const Problem &P, const State &s) {
  double lp = 0.0;
  for (int x = 0; x < P.p * P.K; x++)
    lp -= 0.5 * P.beta_prec[x] * s.beta[x] * s.beta[x];
  return lp;
}

// log of the Jacobian of the upper triangular Lambda (positive diagonal) ->
// Lambda Lambda', up to the constant K log 2: sum_r (r + 1) log Lambda_rr.
inline double lambda_log_jacobian(const std::vector<double> &L, int K) {
  double s = 0.0;
  for (int r = 0; r < K; r++)
    s += (r + 1) * std::log(L[r + K * r]);
  return s;
}

// The inverse-Wishart(df, S) log density of Sigma = Lambda Lambda',
// -(df + K + 1) / 2 log det Sigma - tr(S Sigma^-1) / 2.
inline double inverse_wishart_log_density(const Problem &P,
                                          const std::vector<double> &L) {
  const int K = P.K;
  std::vector<double> S(K * K, 0.0);
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++)
      for (int c = 0; c < K; c++)
        S[a + K * b] += L[a + K * c] * L[b + K * c];
  std::vector<double> F = S;
  if (!chol_lower(F, K))
    return -INFINITY;
  double logdet = 0.0;
  for (int a = 0; a < K; a++)
    logdet += 2.0 * std::log(F[a + K * a]);
  double tr = 0.0;
  for (int b = 0; b < K; b++) {
    std::vector<double> e(K, 0.0);
    e[b] = 1.0;
    chol_solve(F, K, e.data()); // column b of Sigma^-1
    for (int a = 0; a < K; a++)
      tr += P.iw_scale[b + K * a] * e[a];
  }
  return -0.5 * (P.iw_df + K + 1) * logdet - 0.5 * tr;
}

inline double dense_lambda_log_prior(const Problem &P, const State &s) {
  for (int r = 0; r < P.K; r++)
    if (!(s.Lambda[r + P.K * r] > 0))
      return -INFINITY;
  return inverse_wishart_log_density(P, s.Lambda) +
         lambda_log_jacobian(s.Lambda, P.K);
}

// The log-likelihood of the observed counts (E > 0), every constant
// included, by R's density functions: Poisson, binomial (E the trials) or
// negative binomial (mean E exp(mu), size psi of the outcome).
inline double dense_log_lik(const Problem &P, const State &s) {
  const std::vector<double> mu = dense_mu(P, s);
  double ll = 0.0;
  for (int x = 0; x < P.N() * P.K; x++) {
    if (!(P.E[x] > 0))
      continue;
    const double y = P.Y[x], e = P.E[x];
    if (P.family == mcar_engine::BINOMIAL)
      ll += Rf_dbinom(y, e, 1.0 / (1.0 + std::exp(-mu[x])), 1);
    else if (P.family == mcar_engine::NEGBINOMIAL)
      ll += Rf_dnbinom_mu(y, s.psi[x / P.N()], e * std::exp(mu[x]), 1);
    else
      ll += Rf_dpois(y, e * std::exp(mu[x]), 1);
  }
  return ll;
}

// The negative binomial sizes' prior: 1 / sqrt(psi) half-normal with scale
// psi_scale, carried over to psi (Jacobian psi^-3/2 / 2).
inline double dense_psi_log_prior(const Problem &P, const State &s) {
  if (P.family != mcar_engine::NEGBINOMIAL)
    return 0.0;
  double lp = 0.0;
  for (double v : s.psi)
    lp += Rf_dnorm4(1.0 / std::sqrt(v), 0.0, P.psi_scale, 1) + std::log(2.0) -
          std::log(2.0) - 1.5 * std::log(v);
  return lp;
}

// The log posterior up to a constant; with_logdet false leaves out the
// log-determinant of the fields' precision (constant unless eta moves).
inline double dense_log_post(const Problem &P, const State &s, bool with_logdet) {
  for (double e : s.eta)
    if (!(e > P.eta_lo && e < P.eta_hi))
      return -INFINITY;
  for (double t : s.theta)
    if (!(t > -1 && t < 1))
      return -INFINITY;
  for (double a : s.alpha)
    if (!(a > -1 && a < 1))
      return -INFINITY;
  const double lam = dense_lambda_log_prior(P, s);
  if (lam == -INFINITY)
    return -INFINITY;
  for (double v : s.psi)
    if (!(v > 0))
      return -INFINITY;
  return dense_log_lik(P, s) + dense_beta_log_prior(P, s) +
         dense_field_log_prior(P, s, with_logdet) + lam +
         dense_psi_log_prior(P, s);
}

// ---- moves that leave mu as it is --------------------------------------------------

// Every field c plus X[, j] delta[c], row j of the coefficients minus
// Lambda delta (j = 0: the intercepts against a level).
inline State shifted(const State &s, const Problem &P, const std::vector<double> &delta,
                     int j = 0) {
  State t = s;
  const int n = P.N(), K = P.K, p = P.p;
  for (int c = 0; c < K; c++)
    for (int i = 0; i < n; i++)
      t.phi[i + n * c] += P.X[i + n * j] * delta[c];
  for (int r = 0; r < K; r++)
    for (int c = r; c < K; c++)
      t.beta[j + p * r] -= s.Lambda[r + K * c] * delta[c];
  t.lp.clear();
  return t;
}

// Field c times f, column c of Lambda divided by f.
inline State scaled(const State &s, const Problem &P, int c, double f) {
  State t = s;
  for (int i = 0; i < P.N(); i++)
    t.phi[i + P.N() * c] *= f;
  for (int r = 0; r <= c; r++)
    t.Lambda[r + P.K * c] /= f;
  t.lp.clear();
  return t;
}

// Field a plus u times field b (a < b), Lambda[r,b] minus u Lambda[r,a].
inline State sheared(const State &s, const Problem &P, int a, int b, double u) {
  State t = s;
  for (int i = 0; i < P.N(); i++)
    t.phi[i + P.N() * a] += u * s.phi[i + P.N() * b];
  for (int r = 0; r < P.K; r++)
    t.Lambda[r + P.K * b] -= u * s.Lambda[r + P.K * a];
  t.lp.clear();
  return t;
}

// Angle j at y (as stepped, any real) with the fields turned so that the
// eigen-fields Phi P keep their values: Phi P(theta) P(theta')'.  Theta j
// is left at y, which A and P read alike whether or not it lies in (-1, 1].
inline State rotated(const State &s, const Problem &P, int j, double y) {
  State t = s;
  t.theta[j] = y;
  const int K = P.K, n = P.N();
  const std::vector<double> P0 = dense_eigenvectors(s.theta.data(), K),
                            P1 = dense_eigenvectors(t.theta.data(), K);
  for (int i = 0; i < n; i++)
    for (int c = 0; c < K; c++) {
      double v = 0;
      for (int a = 0; a < K; a++)
        for (int k = 0; k < K; k++)
          v += s.phi[i + n * a] * P0[a + K * k] * P1[c + K * k];
      t.phi[i + n * c] = v;
    }
  t.lp.clear();
  return t;
}

// Outcome c's field part negated: with S the identity but for -1 at c,
// the fields times S (every period), S Lambda S, and the angles of the
// planes that hold c negated (S P S).
inline State flipped(const State &s, const Problem &P, int c) {
  State t = s;
  const int K = P.K, N = P.N();
  for (int i = 0; i < N; i++)
    t.phi[i + N * c] = -s.phi[i + N * c];
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++)
      if ((a == c) != (b == c))
        t.Lambda[a + K * b] = -s.Lambda[a + K * b];
  for (int a = 0, j = 0; a < K; a++)
    for (int b = a + 1; b < K; b++, j++)
      if (a == c || b == c)
        t.theta[j] = -s.theta[j];
  t.lp.clear();
  return t;
}

// Field c with autoregressive coefficient y and its innovations held:
// phi_0 as it is, phi_t = E_t + y phi_{t-1}.
inline State alpha_with_innovations_held(const State &s, const Problem &P, int c,
                                         double y) {
  State t = s;
  const int n = P.n, N = P.N();
  for (int i = 0; i < n; i++)
    for (int k = 1; k < P.T; k++) {
      const int x = i + n * k + N * c;
      const double e = s.phi[x] - s.alpha[c] * s.phi[x - n];
      t.phi[x] = e + y * t.phi[x - n];
    }
  t.alpha[c] = y;
  t.lp.clear();
  return t;
}

// ---- proposal scales ------------------------------------------------------------

struct ScaleSet {
  std::vector<double> beta, beta_chol, phi, lambda, eta, theta, scale, shear,
      rotation, psi, ridge, alpha;
  mcar_engine::Scales sc;
  explicit ScaleSet(const Problem &P, double value = 0.0) {
    beta.assign(P.K, value);
    beta_chol.assign(P.p * P.p * P.K, 0.0);
    for (int r = 0; r < P.K; r++)
      for (int j = 0; j < P.p; j++)
        beta_chol[j + P.p * j + P.p * P.p * r] = 1.0;
    phi.assign(P.N() * P.K, value);
    lambda.assign(P.K * P.K, 0.0);
    for (int a = 0; a < P.K; a++)
      for (int b = a; b < P.K; b++)
        lambda[a + P.K * b] = value;
    eta.assign(P.K, value);
    theta.assign(P.K * (P.K - 1) / 2, value);
    scale.assign(P.K, value);
    shear.assign(P.K * (P.K - 1) / 2, value);
    rotation.assign(P.K * (P.K - 1) / 2, value);
    psi.assign(P.family == mcar_engine::NEGBINOMIAL ? P.K : 0, value);
    ridge.assign(P.family == mcar_engine::NEGBINOMIAL ? P.K : 0, value);
    alpha.assign(P.T > 1 ? P.K : 0, value);
    bind();
  }
  ScaleSet(const ScaleSet &) = delete;
  ScaleSet &operator=(const ScaleSet &) = delete;
  void bind() {
    sc.beta = beta.data();
    sc.beta_chol = beta_chol.data();
    sc.phi = phi.data();
    sc.lambda = lambda.data();
    sc.eta = eta.data();
    sc.theta = theta.data();
    sc.scale = scale.data();
    sc.shear = shear.data();
    sc.rotation = rotation.data();
    sc.psi = psi.data();
    sc.ridge = ridge.data();
    sc.alpha = alpha.empty() ? nullptr : alpha.data();
  }
};

// The units 0 .. m - 1 of an n-unit map joined as the ring `ring` (m x m)
// describes; the others are islands.
inline std::vector<double> ring_with_islands(int n, const std::vector<double> &ring,
                                             int m) {
  std::vector<double> C((size_t)n * n, 0.0);
  for (int i = 0; i < m; i++)
    for (int j = 0; j < m; j++)
      C[i + (size_t)n * j] = ring[i + (size_t)m * j];
  return C;
}

// Two rings of 4 units (units 0-3 and 4-7, neighbours 1 apart) and an
// island (unit 8): three components.
inline std::vector<double> two_rings_and_an_island() {
  std::vector<double> C = ring_with_islands(9, ring_map(4, {1}), 4);
  const std::vector<double> R = ring_map(4, {1});
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      C[(4 + i) + (size_t)9 * (4 + j)] = R[i + (size_t)4 * j];
  return C;
}

// ---- the small problems of the tests -----------------------------------------------

// A problem with its starting state.  The counts are drawn from the model
// at that state with few expected cases, so that the full conditionals are
// wide and a wrong term moves them by many Monte Carlo standard errors.
struct Case {
  std::unique_ptr<Problem> P;
  State s;
  std::string name;
};

// "ring9": K = 1 on two rings of 4 units and an island (three components),
// flat priors.  "grid9": K = 2 on the weighted 3 x 3 grid, normal priors on
// three of the four coefficients and one missing count.  "ring7": K = 4 on
// a ring of 6 units (neighbours 1 and 2 apart) and an island, normal priors
// on the intercepts of outcomes 1 and 3.  All with an intercept and one
// covariate (p = 2).  "binom9": "grid9" with binomial counts (trials 4 to
// 16) and the missing count; "nb7": K = 2 on the ring of 6 with an island,
// negative binomial counts with sizes 3 and 8; "nb9": K = 1 on ring9's
// map, negative binomial counts with size 4.
//
// A name with a suffix "_t<T>" ("grid9_t2", "ring7_t5", ...) is that case
// over T periods: autoregressive coefficients 0.6, -0.3, 0.85, 0.2 of the
// fields in turn, the covariate varying by period, and one more missing
// count (unit 2 in period 1, the last outcome).
inline Case make_case(const std::string &full) {
  Case c;
  c.name = full;
  const size_t cut = full.find("_t");
  const std::string name = full.substr(0, cut);
  const int T = cut == std::string::npos ? 1 : std::stoi(full.substr(cut + 2));
  std::mt19937 gen(name == "ring9" ? 101 : name == "grid9" ? 202 :
                   name == "binom9" ? 404 : name == "nb7" ? 505 :
                   name == "nb9" ? 606 : 303);
  std::normal_distribution<double> normal(0.0, 1.0);
  if (name == "ring9" || name == "nb9") {
    c.P.reset(new Problem(9, 1, 2, T));
    c.P->set_map(two_rings_and_an_island());
    if (name == "nb9") {
      c.P->family = mcar_engine::NEGBINOMIAL;
      c.P->psi_scale = 0.8;
    }
  } else if (name == "grid9" || name == "binom9") {
    c.P.reset(new Problem(9, 2, 2, T));
    c.P->set_map(weighted_grid_map(3));
    c.P->beta_prec = {0.5, 2.0, 1.0, 0.0};
    if (name == "binom9")
      c.P->family = mcar_engine::BINOMIAL;
  } else if (name == "nb7") {
    c.P.reset(new Problem(7, 2, 2, T));
    c.P->set_map(ring_with_islands(7, ring_map(6, {1, 2}), 6));
    c.P->family = mcar_engine::NEGBINOMIAL;
    c.P->psi_scale = 0.8;
  } else {
    c.P.reset(new Problem(7, 4, 2, T));
    c.P->set_map(ring_with_islands(7, ring_map(6, {1, 2}), 6));
    c.P->beta_prec[0 + 2 * 1] = 0.8;
    c.P->beta_prec[0 + 2 * 3] = 0.5;
  }
  Problem &P = *c.P;
  const int K = P.K;
  c.s = empty_state(P);
  for (double &b : c.s.beta)
    b = 0.3 * normal(gen);
  for (double &f : c.s.phi)
    f = 0.6 * normal(gen);
  for (int a = 0; a < K; a++) {
    c.s.Lambda[a + K * a] = 0.9 - 0.1 * a;
    for (int b = a + 1; b < K; b++)
      c.s.Lambda[a + K * b] = 0.25 * normal(gen);
  }
  const double eta4[4] = {0.7, 0.2, -0.3, -0.8};
  for (int k = 0; k < K; k++)
    c.s.eta[k] = K == 2 ? (k == 0 ? 0.6 : -0.4) : K == 1 ? 0.5 : eta4[k];
  for (double &t : c.s.theta)
    t = 0.6 * (2 * std::uniform_real_distribution<double>(0, 1)(gen) - 1);
  if (P.family == mcar_engine::NEGBINOMIAL)
    c.s.psi = K == 1 ? std::vector<double>{4.0} : std::vector<double>{3.0, 8.0};
  const double alpha4[4] = {0.6, -0.3, 0.85, 0.2};
  if (T > 1)
    for (int k = 0; k < K; k++)
      c.s.alpha[k] = alpha4[k];
  fill_counts(P, c.s, gen, 1.0, 4.0);
  if (name == "grid9" || name == "binom9") {
    P.Y[4 + P.N() * 1] = 0.0; // a missing count
    P.E[4 + P.N() * 1] = 0.0;
  }
  if (T > 1) {
    const int x = 2 + P.n + P.N() * (K - 1);
    P.Y[x] = 0.0;
    P.E[x] = 0.0;
  }
  P.bind();
  return c;
}

// The case with unit i's expected counts (trials for the binomial) set to
// e in every outcome (in the first period) and its counts to their means
// at the case's state, rounded: the unit's effects then have narrow
// conditionals (for the Poisson and the binomial; the negative binomial's
// stay as wide as its sizes allow), close to Gaussian near their mode and
// far from it in their tails.
inline Case with_counts_in_the_thousands(Case c, int i, double e) {
  Problem &P = *c.P;
  const std::vector<double> mu = dense_mu(P, c.s);
  for (int r = 0; r < P.K; r++) {
    const int x = i + P.N() * r;
    P.E[x] = e;
    P.Y[x] = std::round(P.family == mcar_engine::BINOMIAL ? e / (1.0 + std::exp(-mu[x]))
                                                           : e * std::exp(mu[x]));
  }
  return c;
}

// A negative binomial case whose size moves sum over distinct counts past
// the short series: unit 3's counts in the hundreds, unit 5's equal to
// unit 1's.
inline Case with_large_and_repeated_counts(Case c) {
  c = with_counts_in_the_thousands(std::move(c), 3, 150.0);
  for (int r = 0; r < c.P->K; r++)
    c.P->Y[5 + c.P->N() * r] = c.P->Y[1 + c.P->N() * r];
  return c;
}

// ---- Monte Carlo ----------------------------------------------------------------

// Mean and batch-means standard error of a series (50 batches).
struct Estimate {
  double mean, se;
};

inline Estimate batch_means(const std::vector<double> &x) {
  const int B = 50;
  const size_t per = x.size() / B;
  std::vector<double> m(B, 0.0);
  double total = 0.0;
  for (int b = 0; b < B; b++) {
    for (size_t i = b * per; i < (b + 1) * per; i++)
      m[b] += x[i];
    m[b] /= per;
    total += m[b];
  }
  const double mean = total / B;
  double ss = 0.0;
  for (double v : m)
    ss += (v - mean) * (v - mean);
  return {mean, std::sqrt(ss / (B - 1) / B)};
}

} // namespace engine_test

#endif
