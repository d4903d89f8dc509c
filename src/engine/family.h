// The likelihood families of the general sampler.  Each count's
// log-likelihood, as a function of its linear predictor mu, is
//
//   y mu - g(mu) + c,
//
// the sampler caching g for every cell and c being free of mu:
//
//   Poisson:            Y ~ Poisson(E exp(mu))
//                       g = E exp(mu),               c = y log E - log y!
//   binomial:           Y ~ Binomial(N, p), logit(p) = mu
//                       g = N log(1 + exp(mu)),      c = log choose(N, y)
//   negative binomial:  Y ~ NB(mean E exp(mu), size psi)
//                       g = (y + psi) log(1 + E exp(mu) / psi),
//                       c = lgamma(y + psi) - lgamma(psi) - y log psi
//                           - log y! + y log E,
//
// the negative binomial written so that both parts stay accurate as psi
// grows towards the Poisson limit (g -> E exp(mu), c -> y log E - log y!).
//
// `e` is E, or N for the binomial.  A missing count enters with y = 0 and
// e = 0, and so does a count with no exposure: g = c = 0, a log-likelihood
// of exactly 0.
#ifndef MCAR_FAMILY_H
#define MCAR_FAMILY_H

#include <cmath>

namespace mcar_engine {

enum Family { POISSON = 0, BINOMIAL = 1, NEGBINOMIAL = 2 };

// The families by the names the R side gives them.
struct FamilyName {
  const char *name;
  Family code;
};
constexpr FamilyName FAMILY_NAMES[] = {
    {"poisson", POISSON}, {"binomial", BINOMIAL}, {"negbinomial", NEGBINOMIAL}};

// log(1 + x) for x >= 0 from one log: u = 1 + x is rounded, and the
// factor x / (u - 1) undoes that rounding (u - 1 is exact), leaving an
// error of a few units in the last place.  About a third of the cost of
// log1p, and these are the likelihood's innermost operations.
inline double log1p_pos(double x) {
  const double u = 1.0 + x, d = u - 1.0;
  if (d == 0.0)
    return x;
  if (!(d < INFINITY))
    return std::log(u); // x infinite or NaN
  return std::log(u) * (x / d);
}

// The negative binomial's E exp(mu) / psi, the argument of its log(1 + .).
inline double nb_ratio(double e, double psi, double mu) { return e * std::exp(mu) / psi; }

// log(1 + exp(x)) without overflow.
inline double softplus(double x) {
  return x > 0 ? x + log1p_pos(std::exp(-x)) : log1p_pos(std::exp(x));
}

// Counts below this have their rising logs summed term by term.
constexpr double RISING_SERIES = 64;
// Sizes above this have the rising logs of larger counts from Stirling's
// series.
constexpr double RISING_STIRLING = 1e5;

// lgamma(y + psi) - lgamma(psi) - y log psi = sum_{k < y} log(1 + k / psi),
// summed for small counts (no cancellation however large psi is).  For
// larger counts the two lgammas, each near psi log psi, cancel to a value
// near y^2 / (2 psi) and leave an error of about psi log psi times the
// rounding unit: 1e-10 at psi = 1e5, 4 at psi = 1e15 (where a walk of the
// dispersion near 0 may go).  Above RISING_STIRLING the difference of their
// Stirling series is taken instead, (y + psi - 1/2) log(1 + y / psi) - y
// - y / (12 psi (y + psi)), whose next term is below 1 / (360 psi^3).
inline double rising_log(double y, double psi) {
  if (y < RISING_SERIES) {
    double s = 0.0;
    for (int k = 1; k < (int)y; k++)
      s += std::log1p(k / psi);
    return s;
  }
  if (psi > RISING_STIRLING)
    return (y + psi - 0.5) * std::log1p(y / psi) - y - y / (12.0 * psi * (y + psi));
  return std::lgamma(y + psi) - std::lgamma(psi) - y * std::log(psi);
}

inline double cell_g(int family, double y, double e, double psi, double mu) {
  if (!(e > 0))
    return 0.0;
  switch (family) {
  case BINOMIAL:
    return e * softplus(mu);
  case NEGBINOMIAL:
    return (y + psi) * log1p_pos(nb_ratio(e, psi, mu));
  default:
    return e * std::exp(mu);
  }
}

// The part of a negative binomial cell's c that is free of the size.
inline double nb_rest(double y, double e) {
  return (y > 0 ? y * std::log(e) : 0.0) - std::lgamma(y + 1.0);
}

inline double cell_c(int family, double y, double e, double psi) {
  if (!(e > 0))
    return 0.0;
  switch (family) {
  case BINOMIAL:
    return std::lgamma(e + 1.0) - std::lgamma(y + 1.0) - std::lgamma(e - y + 1.0);
  case NEGBINOMIAL:
    return rising_log(y, psi) + nb_rest(y, e);
  default:
    return (y > 0 ? y * std::log(e) : 0.0) - std::lgamma(y + 1.0);
  }
}

// The negative binomial's g'(mu) and g''(mu) at t = nb_ratio(e, psi, mu).
inline void nb_slope(double y, double psi, double t, double *g1, double *g2) {
  const double q = t / (1.0 + t);
  *g1 = (y + psi) * q;
  *g2 = (y + psi) * q / (1.0 + t);
}

// g'(mu) and g''(mu) of a cell, given g = cell_g(..., mu).
inline void cell_slope(int family, double y, double e, double psi, double mu,
                       double g, double *g1, double *g2) {
  if (!(e > 0)) {
    *g1 = *g2 = 0.0;
    return;
  }
  switch (family) {
  case BINOMIAL: {
    const double p = 1.0 / (1.0 + std::exp(-mu));
    *g1 = e * p;
    *g2 = e * p * (1.0 - p);
    return;
  }
  case NEGBINOMIAL:
    nb_slope(y, psi, nb_ratio(e, psi, mu), g1, g2);
    return;
  default:
    *g1 = *g2 = g;
  }
}

// g of a cell and its slope and curvature at once: the same values as
// cell_g and cell_slope, the negative binomial's from one exp instead of two.
inline double cell_g_slope(int family, double y, double e, double psi, double mu,
                           double *g1, double *g2) {
  if (family == NEGBINOMIAL && e > 0) {
    const double t = nb_ratio(e, psi, mu);
    nb_slope(y, psi, t, g1, g2);
    return (y + psi) * log1p_pos(t);
  }
  const double g = cell_g(family, y, e, psi, mu);
  cell_slope(family, y, e, psi, mu, g, g1, g2);
  return g;
}

// What a fit reports per cell: the relative risk exp(mu), or for the
// binomial the probability 1 / (1 + exp(-mu)).
inline double cell_risk(int family, double mu) {
  return family == BINOMIAL ? 1.0 / (1.0 + std::exp(-mu)) : std::exp(mu);
}

// The log prior of a negative binomial size psi: 1 / sqrt(psi) half-normal
// with scale s (a weakly informative prior that shrinks towards the
// Poisson limit psi -> Inf only as far as the data allow), up to a constant.
inline double psi_log_prior(double psi, double s) {
  return -0.5 / (s * s * psi) - 1.5 * std::log(psi);
}

} // namespace mcar_engine

#endif
