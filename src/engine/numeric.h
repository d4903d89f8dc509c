// Small numeric helpers of the moves: the Metropolis acceptance tests, the
// field part of the linear predictor, a dense Cholesky factor, the logit
// scales of the bounded parameters, and K x K scratch on the stack.
#ifndef MCAR_NUMERIC_H
#define MCAR_NUMERIC_H

// engine.h first: its floating-point pragma covers what follows.
#include "engine.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mcar_engine {

// The Metropolis test of a proposal with log ratio lgratio: accepted at once
// when lgratio >= 0, else when log(uniform) < lgratio (-Inf and NaN reject
// without a draw).
inline bool accept(Xoshiro &rng, double lgratio) {
  if (lgratio >= 0)
    return true;
  if (!(lgratio > -INFINITY))
    return false; // -Inf and NaN
  return std::log(rng.uniform()) < lgratio;
}

// accept(rng, lg + log(ratio) / 2) for ratio > 0 (inverse: 1 / ratio), the
// logarithm taken only when the bounds 1 - 1 / ratio <= log(ratio) <=
// ratio - 1 do not decide.
inline bool newton_accept(Xoshiro &rng, double lg, double ratio, double inverse) {
  const double lower = lg + 0.5 * (1.0 - inverse);
  if (lower >= 0)
    return true;
  const double upper = lg + 0.5 * (ratio - 1.0);
  if (!(upper > -INFINITY))
    return false; // -Inf and NaN
  const double lu = std::log(rng.uniform());
  if (lu < lower)
    return true;
  if (lu >= upper)
    return false;
  return lu < lg + 0.5 * std::log(ratio);
}

// The field part of mu[i,r]: sum over c >= r of Lambda[r,c] phi[i,c].
inline double field_part(const double *Lambda, const double *phi, int n,
                         int K, int i, int r) {
  double f = 0.0;
  for (int c = r; c < K; c++)
    f += Lambda[r + K * c] * phi[i + n * c];
  return f;
}

// Lower Cholesky factor of the K x K symmetric positive definite a, in
// place (column-major, the upper part left as it is).  False when a is not
// positive definite.
inline bool cholesky(double *a, int K) {
  for (int j = 0; j < K; j++) {
    double s = a[j + K * j];
    for (int k = 0; k < j; k++)
      s -= a[j + K * k] * a[j + K * k];
    if (!(s > 0))
      return false;
    const double ljj = std::sqrt(s);
    a[j + K * j] = ljj;
    for (int i = j + 1; i < K; i++) {
      double t = a[i + K * j];
      for (int k = 0; k < j; k++)
        t -= a[i + K * k] * a[j + K * k];
      a[i + K * j] = t / ljj;
    }
  }
  return true;
}

// log((x - lo) / (hi - x)) and its inverse, and the log Jacobian term
// log((x - lo)(hi - x)) of the random walk on that scale.
inline double logit_in(double x, double lo, double hi) {
  return std::log((x - lo) / (hi - x));
}
inline double logit_out(double l, double lo, double hi) {
  return lo + (hi - lo) / (1.0 + std::exp(-l));
}
inline double logit_jacobian(double x, double lo, double hi) {
  return std::log((x - lo) * (hi - x));
}

// C = op(A) op(B) for K x K column-major matrices, op transposing where
// asked (C must be neither A nor B).
inline void small_product(const double *A, bool ta, const double *B, bool tb,
                          double *C, int K) {
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++) {
      double t = 0.0;
      for (int k = 0; k < K; k++)
        t += (ta ? A[k + K * a] : A[a + K * k]) * (tb ? B[b + K * k] : B[k + K * b]);
      C[a + K * b] = t;
    }
}

// Zero-filled K x K scratch: on the stack up to K = MAX_K, else on the heap.
class SmallSquare {
public:
  explicit SmallSquare(int K) {
    if (K > MAX_K) {
      big_.assign(K * K, 0.0);
      p_ = big_.data();
    } else {
      std::fill(buf_, buf_ + K * K, 0.0);
    }
  }
  double *data() { return p_; }

private:
  double buf_[MAX_K * MAX_K];
  std::vector<double> big_;
  double *p_ = buf_;
};

} // namespace mcar_engine

#endif
