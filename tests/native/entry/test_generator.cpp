// Multivariate normal and Wishart generators: the exact use of R's normal
// stream, refusals, and the distributions of many draws.

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

#include <R.h>
#include <Rmath.h>

#include "generator.h"
#include "matrix.h"

namespace {

const char kNotPd[] = "This is not P.d matrix\n";
const char kTooFew[] = "N should not be less than dimension\n";

class Generator : public ::testing::Test {
protected:
  void SetUp() override { console_clear(); }
};

// Exact comparisons allow a few ulps for differently ordered arithmetic.
void expect_close(double got, double want, const std::string &what) {
  EXPECT_NEAR(got, want, 1e-13 * (1.0 + std::fabs(want))) << what;
}

} // namespace

// ---- multinormal: use of the normal stream --------------------------------------

TEST_F(Generator, MultinormalWithDiagonalDispersionScalesSuccessiveNormals) {
  std::vector<double> z = r_rnorm_after_seed(42, 3);
  Mat disp = {{4, 0}, {0, 9}};
  Vec mean = {1, 2}, x(2);
  double next;
  r_set_seed(42);
  {
    RngScope rng;
    multinormal(x, mean, disp, 2);
    next = norm_rand();
  }
  expect_close(x.get()[0], 1 + 2 * z[0], "x0");
  expect_close(x.get()[1], 2 + 3 * z[1], "x1");
  EXPECT_EQ(next, z[2]) << "exactly dim normals must be consumed";
  EXPECT_EQ(console_err(), "");
}

TEST_F(Generator, MultinormalUsesTransposedUpperCholeskyFactor) {
  std::vector<double> z = r_rnorm_after_seed(7, 2);
  Mat disp = {{1, 0.5}, {0.5, 1}};
  Vec mean = {-1, 3}, x(2);
  r_set_seed(7);
  {
    RngScope rng;
    multinormal(x, mean, disp, 2);
  }
  expect_close(x.get()[0], -1 + z[0], "x0");
  expect_close(x.get()[1], 3 + 0.5 * z[0] + std::sqrt(0.75) * z[1], "x1");
}

TEST_F(Generator, MultinormalReadsOnlyUpperTriangleOfDispersion) {
  Mat disp = {{2, 0.3, -0.2}, {0.3, 1, 0.4}, {-0.2, 0.4, 1.5}};
  Vec mean = {0, 1, 2}, x1(3), x2(3);
  r_set_seed(3);
  {
    RngScope rng;
    multinormal(x1, mean, disp, 3);
  }
  disp[1][0] = 100;
  disp[2][0] = -100;
  disp[2][1] = 55;
  r_set_seed(3);
  {
    RngScope rng;
    multinormal(x2, mean, disp, 3);
  }
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(x1.get()[i], x2.get()[i]) << i;
  EXPECT_EQ(console_err(), "");
}

TEST_F(Generator, MultinormalMayWriteOverItsMean) {
  Mat disp = {{2, 0.3}, {0.3, 1}};
  Vec mean = {5, -5}, x(2);
  r_set_seed(11);
  {
    RngScope rng;
    multinormal(x, mean, disp, 2);
  }
  r_set_seed(11);
  {
    RngScope rng;
    multinormal(mean, mean, disp, 2);
  }
  EXPECT_EQ(mean.get()[0], x.get()[0]);
  EXPECT_EQ(mean.get()[1], x.get()[1]);
}

// Successive calls continue the stream, and PutRNGstate hands the advanced
// state back so that R's next rnorm carries on from there.
TEST_F(Generator, MultinormalDrawsContinueTheStreamAcrossCallsAndBackToR) {
  std::vector<double> z = r_rnorm_after_seed(2024, 7);
  Mat disp(3, 3);
  ident_mat(disp, 3);
  Vec mean(3), x1(3), x2(3);
  r_set_seed(2024);
  {
    RngScope rng;
    multinormal(x1, mean, disp, 3);
    multinormal(x2, mean, disp, 3);
  }
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(x1.get()[i], z[i]) << i;
    EXPECT_EQ(x2.get()[i], z[3 + i]) << i;
  }
  EXPECT_EQ(r_eval_real("rnorm(1)"), z[6]);
}

TEST_F(Generator, MultinormalWithIndefiniteDispersionDrawsNothing) {
  std::vector<double> z = r_rnorm_after_seed(5, 1);
  Mat disp = {{1, 2}, {2, 1}};
  Vec mean = {1, 1}, x = {-3, 8};
  double next;
  r_set_seed(5);
  {
    RngScope rng;
    multinormal(x, mean, disp, 2);
    next = norm_rand();
  }
  EXPECT_EQ(console_err(), kNotPd);
  EXPECT_EQ(x.get()[0], -3.0);
  EXPECT_EQ(x.get()[1], 8.0);
  EXPECT_EQ(next, z[0]);
}

// ---- multinormal: distribution ---------------------------------------------------

// 20000 draws in dimension 3.  Sample means within 4 standard errors
// sqrt(S_aa / n); sample covariances within 4 Monte Carlo standard errors
// sqrt((S_aa S_bb + S_ab^2) / n), the normal-theory variance of s_ab.
TEST_F(Generator, MultinormalSampleMomentsMatchMeanAndDispersion) {
  const int n = 20000, d = 3;
  Mat S = {{2.0, 0.6, -0.4}, {0.6, 1.0, 0.3}, {-0.4, 0.3, 1.5}};
  Vec mu = {1.0, -2.0, 0.5}, x(d);
  std::vector<double> sum(d, 0.0), cross(d * d, 0.0);
  std::vector<std::vector<double>> draws(n, std::vector<double>(d));
  r_set_seed(101);
  {
    RngScope rng;
    for (int k = 0; k < n; k++) {
      multinormal(x, mu, S, d);
      for (int a = 0; a < d; a++)
        draws[k][a] = x.get()[a];
    }
  }
  std::vector<double> mean(d, 0.0);
  for (int k = 0; k < n; k++)
    for (int a = 0; a < d; a++)
      mean[a] += draws[k][a] / n;
  for (int a = 0; a < d; a++)
    EXPECT_NEAR(mean[a], mu.get()[a], 4 * std::sqrt(S[a][a] / n)) << a;
  for (int a = 0; a < d; a++)
    for (int b = a; b < d; b++) {
      double s = 0.0;
      for (int k = 0; k < n; k++)
        s += (draws[k][a] - mean[a]) * (draws[k][b] - mean[b]);
      s /= n - 1;
      double se = std::sqrt((S[a][a] * S[b][b] + S[a][b] * S[a][b]) / n);
      EXPECT_NEAR(s, S[a][b], 4 * se) << "cov " << a << b;
    }
  EXPECT_EQ(console_err(), "");
}

// ---- rwishart ---------------------------------------------------------------------

TEST_F(Generator, WishartInOneDimensionIsSumOfSquaredNormals) {
  std::vector<double> z = r_rnorm_after_seed(17, 4);
  Mat V = {{1}}, W = {{-9}};
  double next;
  r_set_seed(17);
  {
    RngScope rng;
    rwishart(W, V, 1, 3);
    next = norm_rand();
  }
  expect_close(W[0][0], z[0] * z[0] + z[1] * z[1] + z[2] * z[2], "W");
  EXPECT_EQ(next, z[3]);
  EXPECT_EQ(console_err(), "");
}

// W = sum_k x_k x_k' with x_k = R' z_k, V = R'R, and the z_k successive
// pairs of the stream: m * dim normals in all.
TEST_F(Generator, WishartSumsOuterProductsOfSuccessiveDraws) {
  const int m = 4;
  std::vector<double> z = r_rnorm_after_seed(99, 2 * m + 1);
  Mat V = {{2, 0.5}, {0.5, 1}}, W(2, 2);
  W.fill(123.0); // overwritten, not accumulated into
  double next;
  r_set_seed(99);
  {
    RngScope rng;
    rwishart(W, V, 2, m);
    next = norm_rand();
  }
  double r11 = std::sqrt(2.0), r12 = 0.5 / r11, r22 = std::sqrt(1 - r12 * r12);
  double w00 = 0, w01 = 0, w11 = 0;
  for (int k = 0; k < m; k++) {
    double x0 = r11 * z[2 * k], x1 = r12 * z[2 * k] + r22 * z[2 * k + 1];
    w00 += x0 * x0;
    w01 += x0 * x1;
    w11 += x1 * x1;
  }
  expect_close(W[0][0], w00, "W00");
  expect_close(W[0][1], w01, "W01");
  expect_close(W[1][1], w11, "W11");
  EXPECT_EQ(W[1][0], W[0][1]) << "not exactly symmetric";
  EXPECT_EQ(next, z[2 * m]);
}

TEST_F(Generator, WishartRefusesFewerDegreesOfFreedomThanDimension) {
  std::vector<double> z = r_rnorm_after_seed(8, 1);
  Mat V(3, 3), W(3, 3);
  ident_mat(V, 3);
  W.fill(6.0);
  double next;
  r_set_seed(8);
  {
    RngScope rng;
    rwishart(W, V, 3, 2);
    next = norm_rand();
  }
  EXPECT_EQ(console_err(), kTooFew);
  Mat six(3, 3);
  six.fill(6.0);
  EXPECT_EQ(max_abs_diff(W, six, 3, 3), 0.0);
  EXPECT_EQ(next, z[0]);
}

TEST_F(Generator, WishartWithIndefiniteScaleGivesZeroMatrixWithoutDrawing) {
  std::vector<double> z = r_rnorm_after_seed(8, 1);
  Mat V = {{1, 2}, {2, 1}}, W(2, 2);
  W.fill(4.0);
  double next;
  r_set_seed(8);
  {
    RngScope rng;
    rwishart(W, V, 2, 3);
    next = norm_rand();
  }
  EXPECT_EQ(console_err(), std::string(kNotPd) + kNotPd + kNotPd);
  EXPECT_EQ(max_abs_diff(W, Mat(2, 2), 2, 2), 0.0);
  EXPECT_EQ(next, z[0]);
}

// ---- rwishart: distribution --------------------------------------------------------

// 20000 draws, dimension 3, m = 5.  E[W_ab] = m V_ab and
// Var(W_ab) = m (V_ab^2 + V_aa V_bb).  Sample means are held to 4 standard
// errors from the known variance; sample variances to 5 standard errors
// estimated from the sample fourth central moment, sqrt((m4 - s^4) / n).
TEST_F(Generator, WishartSampleMomentsMatchTheory) {
  const int n = 20000, d = 3, m = 5;
  Mat V = {{1.0, 0.3, -0.2}, {0.3, 0.8, 0.1}, {-0.2, 0.1, 0.5}}, W(d, d);
  std::vector<std::vector<double>> draws(n, std::vector<double>(d * d));
  r_set_seed(555);
  {
    RngScope rng;
    for (int k = 0; k < n; k++) {
      rwishart(W, V, d, m);
      for (int a = 0; a < d; a++)
        for (int b = 0; b < d; b++)
          draws[k][a * d + b] = W[a][b];
    }
  }
  EXPECT_EQ(console_err(), "");
  for (int a = 0; a < d; a++)
    for (int b = a; b < d; b++) {
      const int ab = a * d + b;
      double mean = 0.0;
      for (int k = 0; k < n; k++)
        mean += draws[k][ab] / n;
      double var_true = m * (V[a][b] * V[a][b] + V[a][a] * V[b][b]);
      EXPECT_NEAR(mean, m * V[a][b], 4 * std::sqrt(var_true / n))
          << "mean " << a << b;

      double m2 = 0.0, m4 = 0.0;
      for (int k = 0; k < n; k++) {
        double e = draws[k][ab] - mean;
        m2 += e * e;
        m4 += e * e * e * e;
      }
      m2 /= n;
      m4 /= n;
      double s2 = m2 * n / (n - 1);
      double se = std::sqrt((m4 - m2 * m2) / n);
      EXPECT_NEAR(s2, var_true, 5 * se) << "variance " << a << b;
    }
}
