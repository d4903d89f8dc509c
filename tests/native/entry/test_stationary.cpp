// Stationary distributions of the Metropolis updates.
//
// Each update is run many times with everything else in the state held
// still; the moved coordinates must then be distributed as the full
// conditional, normalised here by quadrature on a grid.  The states are made
// weakly informative (small expected counts, small fields) so that the
// conditionals are wide and a wrong Jacobian, transform or sign moves the
// moments by many Monte Carlo standard errors.  Standard errors come from
// batch means, which account for the autocorrelation of the chain.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include <R.h>
#include <Rmath.h>

#include "harness.h"
#include "model_fixture.h"
#include "mcar.h"

namespace {

const int BATCHES = 50;

// Mean and batch-means standard error of a series.
struct Estimate {
  double mean, se;
};

Estimate batch_means(const std::vector<double> &x) {
  const size_t per = x.size() / BATCHES;
  double total = 0, ss = 0;
  std::vector<double> means(BATCHES);
  for (int b = 0; b < BATCHES; b++) {
    double s = 0;
    for (size_t i = b * per; i < (b + 1) * per; i++)
      s += x[i];
    means[b] = s / per;
    total += means[b];
  }
  double mean = total / BATCHES;
  for (double m : means)
    ss += (m - mean) * (m - mean);
  return {mean, std::sqrt(ss / (BATCHES - 1) / BATCHES)};
}

// Moments E[x_c] and E[x_c^2] of the density proportional to exp(logf) on a
// d-dimensional box, by the midpoint rule with n points a side.  NaN or
// -Inf log densities weigh nothing.  edge is the largest weight on the faces
// of the box relative to the largest weight: the box must hold the mass.
struct GridMoments {
  double m1[3], m2[3], edge;
};

GridMoments grid_moments(int d, const double *lo, const double *hi, int n,
                         const std::function<double(const double *)> &logf) {
  size_t total = 1;
  for (int c = 0; c < d; c++)
    total *= n;
  std::vector<double> lv(total);
  double x[3], top = -INFINITY;
  for (size_t idx = 0; idx < total; idx++) {
    size_t rest = idx;
    for (int c = 0; c < d; c++) {
      x[c] = lo[c] + (hi[c] - lo[c]) * ((rest % n) + 0.5) / n;
      rest /= n;
    }
    double v = logf(x);
    lv[idx] = std::isnan(v) ? -INFINITY : v;
    if (lv[idx] > top)
      top = lv[idx];
  }
  GridMoments g = {{0, 0, 0}, {0, 0, 0}, 0};
  double wsum = 0, edge = 0;
  for (size_t idx = 0; idx < total; idx++) {
    double w = std::exp(lv[idx] - top);
    size_t rest = idx;
    bool on_edge = false;
    for (int c = 0; c < d; c++) {
      int k = rest % n;
      rest /= n;
      x[c] = lo[c] + (hi[c] - lo[c]) * (k + 0.5) / n;
      on_edge = on_edge || k == 0 || k == n - 1;
    }
    wsum += w;
    for (int c = 0; c < d; c++) {
      g.m1[c] += w * x[c];
      g.m2[c] += w * x[c] * x[c];
    }
    if (on_edge && w > edge)
      edge = w;
  }
  for (int c = 0; c < d; c++) {
    g.m1[c] /= wsum;
    g.m2[c] /= wsum;
  }
  g.edge = edge;
  return g;
}

// Runs step() iters times after burn draws; draw(c) reads coordinate c of
// the chain's state.  Compares E[x] and E[x^2] of each coordinate with the
// grid's, allowing 5 batch-means standard errors.
void expect_stationary(int d, const std::function<void()> &step,
                       const std::function<double(int)> &draw, int iters,
                       const GridMoments &g, const char *what) {
  std::vector<double> x1[3], x2[3];
  {
    RngScope rng;
    for (int i = 0; i < 2000; i++)
      step();
    for (int i = 0; i < iters; i++) {
      step();
      for (int c = 0; c < d; c++) {
        double v = draw(c);
        x1[c].push_back(v);
        x2[c].push_back(v * v);
      }
    }
  }
  ASSERT_LT(g.edge, 1e-6) << what << ": the quadrature box cuts off mass";
  for (int c = 0; c < d; c++) {
    Estimate e1 = batch_means(x1[c]), e2 = batch_means(x2[c]);
    double sd = std::sqrt(g.m2[c] - g.m1[c] * g.m1[c]);
    EXPECT_NEAR(e1.mean, g.m1[c], 5 * e1.se + 1e-3 * sd)
        << what << ", coordinate " << c << " mean (sd " << sd << ")";
    EXPECT_NEAR(e2.mean, g.m2[c], 5 * e2.se + 2e-3 * g.m2[c])
        << what << ", coordinate " << c << " second moment";
  }
}

class StationaryTest : public ModelTest {
protected:
  // A weakly informative state: few expected cases, small fields.
  void weaken(double count_factor, double field_factor) {
    for (int i = 0; i < NREGION; i++) {
      N1[i] *= count_factor;
      N2[i] *= count_factor;
      N3[i] *= count_factor;
      Y1[i] = std::floor(Y1[i] * count_factor);
      Y2[i] = std::floor(Y2[i] * count_factor);
      Y3[i] = std::floor(Y3[i] * count_factor);
      phi1[i] *= field_factor;
      phi2[i] *= field_factor;
      phi3[i] *= field_factor;
    }
  }
};

} // namespace

TEST_F(StationaryTest, InterceptStep) {
  build_state();
  weaken(0.02, 1.0);
  double lo = -3, hi = 3;
  GridMoments g = grid_moments(1, &lo, &hi, 6000,
                               [](const double *x) { return target_beta3(x[0]); });
  r_set_seed(11);
  expect_stationary(
      1, [] { gbeta3 = metroplis_beta3(gbeta3, 0.6); },
      [](int) { return gbeta3; }, 100000, g, "gbeta3");
}

TEST_F(StationaryTest, EffectSteps) {
  build_state();
  weaken(0.05, 1.0);
  struct Case {
    double *(*field)();
    double (*target)(double, int);
    double (*step)(int, double, double);
    int k;
  };
  const Case cases[] = {
      {[] { return phi1; }, target_phi1, metroplis_phi1, 5},
      {[] { return phi2; }, target_phi2, metroplis_phi2, 40},
      {[] { return phi3; }, target_phi3, metroplis_phi3, 86},
  };
  int seed = 20;
  for (const Case &c : cases) {
    double lo = -4, hi = 4;
    GridMoments g = grid_moments(
        1, &lo, &hi, 6000, [&](const double *x) { return c.target(x[0], c.k); });
    double *f = c.field();
    r_set_seed(seed++);
    expect_stationary(
        1, [&] { f[c.k] = c.step(c.k, f[c.k], 0.9); },
        [&](int) { return f[c.k]; }, 100000, g, "effect");
  }
}

// One loading block moving the entries dims of the loading vector, the
// others held at their stored values; the grid spans [lo, hi] in each.
static void check_loading_block(void (*step)(double *, double *, double *),
                                const int dims[3], double scale, double lo,
                                double hi, int n, int seed, const char *what) {
  double cur[6] = {lamda1, lamda2, lamda3, lamda4, lamda5, lamda6}, next[6];
  double scales[3] = {scale, scale, scale};
  double los[3] = {lo, lo, lo}, his[3] = {hi, hi, hi};
  double fixed[6];
  std::copy(cur, cur + 6, fixed);
  GridMoments g = grid_moments(3, los, his, n, [&](const double *x) {
    double v[6];
    std::copy(fixed, fixed + 6, v);
    for (int c = 0; c < 3; c++)
      v[dims[c]] = x[c];
    return target_lamda(v);
  });
  r_set_seed(seed);
  expect_stationary(
      3,
      [&] {
        step(next, cur, scales);
        std::copy(next, next + 6, cur);
      },
      [&](int c) { return cur[dims[c]]; }, 150000, g, what);
}

TEST_F(StationaryTest, DiagonalLoadingBlockOnTheLogScale) {
  build_state();
  weaken(0.02, 1.0);
  const int dims[3] = {0, 3, 5};
  check_loading_block(metroplis_lamda1, dims, 0.5, 1e-3, 2.2, 70, 31,
                      "diagonal loadings");
}

TEST_F(StationaryTest, OffDiagonalLoadingBlock) {
  build_state();
  weaken(0.02, 1.0);
  const int dims[3] = {1, 2, 4};
  check_loading_block(metroplis_lamda2, dims, 0.6, -3, 3, 60, 32,
                      "off-diagonal loadings");
}

TEST_F(StationaryTest, EigenvalueBlockOnItsLogitScale) {
  build_state();
  weaken(1.0, 0.3);
  double cur[3] = {eta[0], eta[1], eta[2]}, next[3];
  double scale[3] = {1.0, 1.0, 1.0};
  double lo[3] = {-1.19, -1.19, -1.19}, hi[3] = {0.99, 0.99, 0.99};
  GridMoments g = grid_moments(3, lo, hi, 60, [](const double *x) {
    double z[6];
    alphafun(z, theta, const_cast<double *>(x));
    return target_alpha1(const_cast<double *>(x), z);
  });
  // The box is the whole parameter space: its faces may carry mass.
  g.edge = 0;
  r_set_seed(33);
  expect_stationary(
      3,
      [&] {
        metroplis_alpha1(next, cur, scale);
        std::copy(next, next + 3, cur);
      },
      [&](int c) { return cur[c]; }, 150000, g, "eigenvalues");
}

TEST_F(StationaryTest, AngleBlockOnItsLogitScale) {
  build_state();
  weaken(1.0, 0.3);
  double cur[3] = {theta[0], theta[1], theta[2]}, next[3];
  double scale[3] = {1.0, 1.0, 1.0};
  double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  GridMoments g = grid_moments(3, lo, hi, 60, [](const double *x) {
    double z[6];
    alphafun(z, const_cast<double *>(x), eta);
    return target_alpha2(z);
  });
  g.edge = 0;
  r_set_seed(34);
  expect_stationary(
      3,
      [&] {
        metroplis_alpha2(next, cur, scale);
        std::copy(next, next + 3, cur);
      },
      [&](int c) { return cur[c]; }, 150000, g, "angles");
}
