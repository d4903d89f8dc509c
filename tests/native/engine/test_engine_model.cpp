// The general sampler's model: the association matrix, every log ratio the
// updates accept on (against the fixed-size entry's log full conditionals
// on the bundled map, and against a dense log posterior for K = 1, 2, 4),
// the loading prior's Jacobian, the moves that leave mu unchanged (the
// shift of the fields against the intercepts, the scale and shear of the
// fields against the loadings), and the deviance.

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "harness.h"
#include "mcar.h"
#include "model_fixture.h"

#include <Rmath.h>

using namespace engine_test;
using mcar_engine::Sampler;

namespace {

// Differences of log densities summed over a few hundred terms.
void expect_ratio(double got, double want, const std::string &what) {
  EXPECT_NEAR(got, want, 1e-9 * std::max(1.0, std::fabs(want))) << what;
}

} // namespace

// ---- association matrix ----------------------------------------------------------

TEST(EngineAssociation, ThreeOutcomesAgreeWithTheEntry) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int t = 0; t < 30; t++) {
    double th[3], eta3[3], z[6], A[9];
    for (int k = 0; k < 3; k++) {
      th[k] = t < 3 ? (k == t ? 1.0 : -0.5) : u(gen);
      eta3[k] = 1.1 * u(gen);
    }
    alphafun(z, th, eta3);
    mcar_engine::association(A, th, eta3, 3);
    const int at[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int q = 0; q < 6; q++) {
      const int a = at[q][0], b = at[q][1];
      EXPECT_NEAR(A[a + 3 * b], z[q], 1e-13) << "case " << t << ", entry " << q;
      EXPECT_NEAR(A[b + 3 * a], z[q], 1e-13) << "case " << t << ", entry " << q;
      EXPECT_EQ(mcar_engine::packed_index(a, b, 3), q);
    }
  }
}

TEST(EngineAssociation, AnyNumberOfOutcomesHasTheEigenvaluesAndIsSymmetric) {
  // Beyond 8 outcomes the rotations are accumulated in heap storage.
  std::mt19937 gen(6);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int K : {1, 2, 4, 5, 9, 12}) {
    const int nth = K * (K - 1) / 2;
    std::vector<double> th(nth), eta(K), A(K * K, -7.0);
    for (double &t : th)
      t = u(gen);
    for (double &e : eta)
      e = 1.1 * u(gen);
    mcar_engine::association(A.data(), th.data(), eta.data(), K);
    for (int a = 0; a < K; a++)
      for (int b = 0; b < K; b++)
        EXPECT_EQ(A[a + K * b], A[b + K * a]) << "K = " << K;
    r_assign_vector(".eng_A", A.data(), K * K);
    std::vector<double> ev = r_eval_reals(
        "sort(eigen(matrix(.eng_A, " + std::to_string(K) +
        "), symmetric = TRUE, only.values = TRUE)$values)");
    std::vector<double> want(eta);
    std::sort(want.begin(), want.end());
    ASSERT_EQ(ev.size(), (size_t)K);
    for (int k = 0; k < K; k++)
      EXPECT_NEAR(ev[k], want[k], 1e-12) << "K = " << K << ", eigenvalue " << k;
    // The rotations in the order of the pairs, as explicit matrices.
    std::vector<double> B = dense_association(th.data(), eta.data(), K);
    for (int x = 0; x < K * K; x++)
      EXPECT_NEAR(A[x], B[x], 1e-12) << "K = " << K << ", entry " << x;
  }
}

// A step of an angle past either end comes back in at the other with the
// association as it would be at the angle stepped (cos and sin periodic),
// inside (-1, 1], and the opposite step undoes it: the random walks on the
// angles are symmetric and see every association once.
TEST(EngineAssociation, AnglesTurnAroundTheirCircles) {
  std::mt19937 gen(9);
  std::uniform_real_distribution<double> u(-1, 1);
  int wrapped = 0;
  for (int K : {2, 3, 4, 5}) {
    const int nth = K * (K - 1) / 2;
    std::vector<double> eta(K);
    for (double &e : eta)
      e = 1.1 * u(gen);
    for (int rep = 0; rep < 40; rep++) {
      std::vector<double> th(nth);
      for (double &t : th)
        t = u(gen);
      const int j = rep % nth;
      const double step = 2.5 * u(gen);
      std::vector<double> raw(th), turned(th);
      raw[j] += step;
      mcar_engine::turn_angle(turned.data(), j, step, K);
      wrapped += std::fabs(raw[j]) > 1;
      const std::vector<double> want = dense_association(raw.data(), eta.data(), K),
                                got = dense_association(turned.data(), eta.data(), K);
      const std::string at = "K = " + std::to_string(K) + ", angle " + std::to_string(j) +
                             ", step " + std::to_string(step);
      for (int x = 0; x < K * K; x++)
        EXPECT_NEAR(got[x], want[x], 1e-12) << at;
      for (double t : turned) {
        EXPECT_GT(t, -1.0) << at;
        EXPECT_LE(t, 1.0) << at;
      }
      mcar_engine::turn_angle(turned.data(), j, -step, K);
      for (int k = 0; k < nth; k++)
        EXPECT_NEAR(turned[k], th[k], 1e-12) << at << ", back, angle " << k;
    }
  }
  EXPECT_GT(wrapped, 40); // the ends were crossed
}

// ---- against the fixed-size entry on the bundled map ---------------------------------

namespace {

class EngineEntryTest : public ModelTest {
protected:
  void SetUp() override {
    ModelTest::SetUp();
    for (const char *name : {"neighbor1.txt", "neighbor2.txt"}) {
      std::ifstream in(old_dir_ + "/inst/extdata/" + name);
      ASSERT_TRUE(in.good()) << "cannot read inst/extdata/" << name;
      std::ostringstream text;
      text << in.rdbuf();
      write_file(name, text.str());
    }
    std::ifstream in(old_dir_ + "/inst/extdata/eigen.txt");
    ASSERT_TRUE(in.good());
    for (double &e : inputs_.eig)
      ASSERT_TRUE(in >> e);
  }
};

} // namespace

TEST_F(EngineEntryTest, LogRatiosAreThoseOfTheEntry) {
  build_state();
  const int n = NREGION;
  std::vector<double> Cd((size_t)n * n);
  for (int i = 0; i < n; i++) {
    double rs = 0.0;
    for (int j = 0; j < n; j++) {
      Cd[i + (size_t)n * j] = C[i][j];
      rs += C[i][j];
    }
    ASSERT_EQ(D[i][i], rs) << "the bundled D is the row sums of C";
  }
  Problem P(n, 3, 1);
  P.set_map(Cd);
  double *Ys[3] = {Y1, Y2, Y3}, *Ns[3] = {N1, N2, N3};
  double *phis[3] = {phi1, phi2, phi3};
  double *betas[3] = {&gbeta1, &gbeta2, &gbeta3};
  double *lams[6] = {&lamda1, &lamda2, &lamda3, &lamda4, &lamda5, &lamda6};
  const int lam_at[6] = {0 + 3 * 0, 0 + 3 * 1, 0 + 3 * 2, 1 + 3 * 1, 1 + 3 * 2,
                         2 + 3 * 2};

  std::mt19937 gen(20240901);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  for (int st = 0; st < 4; st++) {
    // A random state of the entry, copied into the engine's.
    State s = empty_state(P);
    for (int r = 0; r < 3; r++) {
      *betas[r] = 0.3 * normal(gen);
      for (int i = 0; i < n; i++) {
        phis[r][i] = 0.6 * normal(gen);
        Ns[r][i] = 2 + 30 * unif(gen);
      }
    }
    for (int q = 0; q < 6; q++)
      *lams[q] = (q == 0 || q == 3 || q == 5) ? 0.3 + unif(gen) : 0.4 * normal(gen);
    for (int k = 0; k < 3; k++) {
      eta[k] = -1.1 + 2.05 * unif(gen);
      theta[k] = -0.95 + 1.9 * unif(gen);
    }
    alphafun(alpha, theta, eta);
    for (int r = 0; r < 3; r++) {
      s.beta[r] = *betas[r];
      s.eta[r] = eta[r];
      s.theta[r] = theta[r];
      for (int i = 0; i < n; i++)
        s.phi[i + n * r] = phis[r][i];
    }
    for (int q = 0; q < 6; q++)
      s.Lambda[lam_at[q]] = *lams[q];
    const std::vector<double> mu = dense_mu(P, s);
    for (int r = 0; r < 3; r++)
      for (int i = 0; i < n; i++) {
        std::poisson_distribution<int> pois(Ns[r][i] * std::exp(mu[i + n * r]));
        Ys[r][i] = pois(gen);
        P.Y[i + n * r] = Ys[r][i];
        P.E[i + n * r] = Ns[r][i];
      }
    P.bind();
    ScaleSet sc(P);
    Sampler smp(P.data, s, sc.sc);
    const std::string at = "state " + std::to_string(st);

    double (*tb[3])(double) = {target_beta1, target_beta2, target_beta3};
    for (int r = 0; r < 3; r++) {
      const double b = s.beta[r] + 0.2 * normal(gen);
      expect_ratio(smp.ratio_beta(r, &b), tb[r](b) - tb[r](s.beta[r]),
                   at + ", beta " + std::to_string(r));
    }
    double (*tp[3])(double, int) = {target_phi1, target_phi2, target_phi3};
    for (int c = 0; c < 3; c++)
      for (int i : {0, 13, 50, 86}) {
        const double x = s.phi[i + n * c], y = x + 0.5 * normal(gen);
        expect_ratio(smp.ratio_phi(i, c, y), tp[c](y, i) - tp[c](x, i),
                     at + ", phi[" + std::to_string(i) + "," + std::to_string(c) + "]");
      }
    double cur6[6];
    for (int q = 0; q < 6; q++)
      cur6[q] = *lams[q];
    const int row_first[3] = {0, 3, 5};
    for (int r = 0; r < 3; r++) {
      double row[3], new6[6];
      std::copy(cur6, cur6 + 6, new6);
      for (int c = r; c < 3; c++) {
        const int q = row_first[r] + (c - r);
        row[c - r] = c == r ? cur6[q] * std::exp(0.2 * normal(gen))
                            : cur6[q] + 0.2 * normal(gen);
        new6[q] = row[c - r];
      }
      expect_ratio(smp.ratio_lambda_row(r, row), target_lamda(new6) - target_lamda(cur6),
                   at + ", Lambda row " + std::to_string(r));
    }
    for (int k = 0; k < 3; k++) {
      double e1[3] = {eta[0], eta[1], eta[2]}, z1[6];
      e1[k] = -1.1 + 2.05 * unif(gen);
      alphafun(z1, theta, e1);
      expect_ratio(smp.ratio_eta(k, e1[k]), target_alpha1(e1, z1) - target_alpha1(eta, alpha),
                   at + ", eta " + std::to_string(k));
    }
    for (int j = 0; j < 3; j++) {
      double t1[3] = {theta[0], theta[1], theta[2]}, z1[6];
      t1[j] = -0.95 + 1.9 * unif(gen);
      alphafun(z1, t1, eta);
      expect_ratio(smp.ratio_theta(j, t1[j]), target_alpha2(z1) - target_alpha2(alpha),
                   at + ", theta " + std::to_string(j));
    }
  }
}

// ---- against the dense log posterior for K = 1, 2, 4 -------------------------------

// The negative binomial and binomial cells take log(1 + x), x >= 0, from
// one log: within a few units in the last place of log1p from the
// smallest x to the largest, exact at 0 and infinite at infinity.
TEST(EngineFamily, LogOnePlusFromOneLogKeepsItsDigits) {
  using mcar_engine::log1p_pos;
  double worst = 0.0, at = 0.0;
  for (double e = -320.0; e <= 300.0; e += 0.0137) {
    const double x = std::pow(10.0, e);
    const double want = std::log1p(x), got = log1p_pos(x);
    const double err = std::fabs(got - want) / want;
    if (err > worst) {
      worst = err;
      at = x;
    }
  }
  EXPECT_LE(worst, 8 * DBL_EPSILON) << "at x = " << at;
  EXPECT_EQ(log1p_pos(0.0), 0.0);
  EXPECT_EQ(log1p_pos(INFINITY), INFINITY);
  EXPECT_TRUE(std::isnan(log1p_pos(NAN)));
}

// The rising log of a count y at size psi, sum_{k < y} log(1 + k / psi),
// against that sum in long double, for counts on both sides of the series'
// limit and sizes from 0.1 to 1e15 (the lgammas' difference would be off by
// about 4 at the largest): within 1e-9 in absolute terms (what a log ratio
// sees) and 1e-9 relative.
TEST(EngineFamily, RisingLogsKeepTheirDigitsAtAnySize) {
  using mcar_engine::rising_log;
  for (double y : {0.0, 1.0, 2.0, 63.0, 64.0, 65.0, 100.0, 1000.0, 25000.0}) {
    for (double e = -1.0; e <= 15.0; e += 0.25) {
      const double psi = std::pow(10.0, e);
      long double want = 0.0L;
      for (long k = 1; k < (long)y; k++)
        want += std::log1p((long double)k / psi);
      const double got = rising_log(y, psi);
      EXPECT_LE(std::fabs(got - (double)want), 1e-9 * std::max(1.0, std::fabs((double)want)))
          << "y = " << y << ", psi = " << psi;
    }
  }
}

// A cell's g with its slope and curvature at once is, to the bit, g from
// cell_g and the slope and curvature from cell_slope, in every family,
// with and without exposure, far into both tails of mu.
TEST(EngineFamily, TermWithItsSlopeIsTheTermsTakenApart) {
  using namespace mcar_engine;
  for (int family : {POISSON, BINOMIAL, NEGBINOMIAL})
    for (double e : {0.0, 0.3, 17.0, 2500.0})
      for (double mu = -40.0; mu <= 40.0; mu += 0.37) {
        const double y = 3.0, psi = 4.5;
        double g1, g2, h1, h2;
        const double g = cell_g_slope(family, y, e, psi, mu, &g1, &g2);
        const double want = cell_g(family, y, e, psi, mu);
        cell_slope(family, y, e, psi, mu, want, &h1, &h2);
        EXPECT_EQ(g, want) << family << " " << e << " " << mu;
        EXPECT_EQ(g1, h1) << family << " " << e << " " << mu;
        EXPECT_EQ(g2, h2) << family << " " << e << " " << mu;
      }
}

// The sign of an outcome's field part: the fields' prior does not change
// (the dense posterior computes it from the flipped fields and angles), the
// likelihood of that outcome and the loadings' prior do; the scale of the
// loadings' prior is made to couple every pair of outcomes, so that the
// sign reaches that prior too.
TEST(EngineModel, FlippedFieldPartsChangeTheLikelihoodAndTheLoadingsPriorOnly) {
  for (const std::string name : {"grid9", "ring7", "binom9", "nb7", "grid9_t2", "ring7_t5",
                                 "nb7_t2"}) {
    Case cs = make_case(name);
    Problem &P = *cs.P;
    const int K = P.K;
    for (int a = 0; a < K; a++)
      for (int b = 0; b < K; b++)
        P.iw_scale[a + K * b] = a == b ? 0.3 : 0.1;
    State &s = cs.s;
    ScaleSet sc(P);
    Sampler smp(P.data, s, sc.sc);
    const double base = dense_log_post(P, s, true);
    for (int c = 0; c < K; c++) {
      const State t = flipped(s, P, c);
      const double want = dense_log_post(P, t, true) - base;
      expect_ratio(smp.ratio_flip(c), want, name + ", flip " + std::to_string(c));
      // Both the likelihood and the prior of the loadings move.
      EXPECT_GT(std::fabs(dense_log_lik(P, t) - dense_log_lik(P, s)), 1e-6) << name << " " << c;
      EXPECT_GT(std::fabs(inverse_wishart_log_density(P, t.Lambda) -
                          inverse_wishart_log_density(P, s.Lambda)),
                1e-6)
          << name << " " << c;
    }
  }
}

TEST(EngineModel, LogRatiosAreDifferencesOfTheDenseLogPosterior) {
  std::mt19937 gen(17);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  for (const std::string name : {"ring9", "grid9", "ring7", "binom9", "nb7", "ring9_t3",
                                 "grid9_t2", "ring7_t5", "binom9_t2", "nb7_t2",
                                 "nb7_large"}) {
    Case cs = name == "nb7_large" ? with_large_and_repeated_counts(make_case("nb7"))
                                  : make_case(name);
    const Problem &P = *cs.P;
    const int n = P.N(), K = P.K, p = P.p;
    State &s = cs.s;
    ScaleSet sc(P);
    Sampler smp(P.data, s, sc.sc);
    const double base = dense_log_post(P, s, true);
    // The deviance is -2 times the log-likelihood with every constant.
    EXPECT_NEAR(smp.deviance(), -2.0 * dense_log_lik(P, s),
                1e-9 * std::fabs(dense_log_lik(P, s)))
        << name << ": deviance";
    auto diff = [&](const State &t) { return dense_log_post(P, t, true) - base; };
    const std::string at = std::string(name) + ", ";

    for (int r = 0; r < K; r++) {
      State t = s;
      for (int j = 0; j < p; j++)
        t.beta[j + p * r] += 0.3 * normal(gen);
      expect_ratio(smp.ratio_beta(r, t.beta.data() + p * r), diff(t),
                   at + "beta " + std::to_string(r));
    }
    for (int c = 0; c < K; c++)
      for (int i : {0, 4, n / 2 + 1, n - P.n + 3, n - 1}) {
        State t = s;
        t.phi[i + n * c] += 0.7 * normal(gen);
        expect_ratio(smp.ratio_phi(i, c, t.phi[i + n * c]), diff(t),
                     at + "phi[" + std::to_string(i) + "," + std::to_string(c) + "]");
      }
    for (int r = 0; r < K; r++) {
      State t = s;
      std::vector<double> row;
      for (int c = r; c < K; c++) {
        double &l = t.Lambda[r + K * c];
        l = c == r ? l * std::exp(0.3 * normal(gen)) : l + 0.3 * normal(gen);
        row.push_back(l);
      }
      expect_ratio(smp.ratio_lambda_row(r, row.data()), diff(t),
                   at + "Lambda row " + std::to_string(r));
    }
    for (int k = 0; k < K; k++) {
      State t = s;
      t.eta[k] = P.eta_lo + (P.eta_hi - P.eta_lo) * unif(gen);
      expect_ratio(smp.ratio_eta(k, t.eta[k]), diff(t), at + "eta " + std::to_string(k));
    }
    for (int j = 0; j < K * (K - 1) / 2; j++) {
      State t = s;
      t.theta[j] = 2 * unif(gen) - 1;
      expect_ratio(smp.ratio_theta(j, t.theta[j]), diff(t),
                   at + "theta " + std::to_string(j));
    }
    // An angle with the fields turned along; for the last angle also steps
    // that leave (-1, 1] (no later angle changes sign there, so the state
    // the prior sees has the angle brought back by 2).
    for (int j = 0; P.T == 1 && j < K * (K - 1) / 2; j++) {
      const double y = 2 * unif(gen) - 1;
      expect_ratio(smp.ratio_rotation(j, y), diff(rotated(s, P, j, y)),
                   at + "rotation " + std::to_string(j));
      if (j == K * (K - 1) / 2 - 1)
        for (double step : {1.7, -1.9, 3.1}) {
          const double raw = s.theta[j] + step;
          State t = rotated(s, P, j, raw);
          t.theta[j] = raw - 2 * std::ceil((raw - 1) / 2);
          expect_ratio(smp.ratio_rotation(j, raw), diff(t),
                       at + "rotation " + std::to_string(j) + " by " + std::to_string(step));
        }
    }
    for (size_t c = 0; c < s.alpha.size(); c++)
      for (double v : {-0.95, 0.1, 0.99}) {
        State t = s;
        t.alpha[c] = v;
        expect_ratio(smp.ratio_alpha((int)c, v), diff(t),
                     at + "alpha " + std::to_string(c) + " at " + std::to_string(v));
      }
    // With the innovations held: the fields move, their prior does not.
    for (size_t c = 0; c < s.alpha.size(); c++)
      for (double v : {-0.7, 0.2, 0.97}) {
        const State t = alpha_with_innovations_held(s, P, (int)c, v);
        expect_ratio(smp.ratio_alpha_walk((int)c, v), diff(t),
                     at + "alpha " + std::to_string(c) + " with its innovations at " +
                         std::to_string(v));
      }
    for (size_t r = 0; r < s.psi.size(); r++)
      for (double f : {0.2, 0.9, 1.3, 40.0, 1e6}) {
        State t = s;
        t.psi[r] *= f;
        expect_ratio(smp.ratio_psi((int)r, t.psi[r]), diff(t),
                     at + "psi " + std::to_string(r) + " x " + std::to_string(f));
      }
    // The size with its outcome's row of the loadings scaled.
    for (size_t r = 0; r < s.psi.size(); r++)
      for (double f : {0.3, 2.5, 1e4})
        for (double a : {0.7, 1.2}) {
          State t = s;
          t.psi[r] *= f;
          for (int c = (int)r; c < K; c++)
            t.Lambda[r + K * c] *= a;
          expect_ratio(smp.ratio_ridge((int)r, t.psi[r], a), diff(t),
                       at + "ridge " + std::to_string(r) + " x " + std::to_string(f));
        }
    // The moves that leave mu unchanged, without their Jacobians.
    for (int c = 0; c < K; c++) {
      const double f = std::exp(0.4 * normal(gen));
      expect_ratio(smp.ratio_scale(c, f), diff(scaled(s, P, c, f)),
                   at + "scale of field " + std::to_string(c));
    }
    for (int a = 0; a < K; a++)
      for (int b = a + 1; b < K; b++) {
        const double u = 0.5 * normal(gen);
        expect_ratio(smp.ratio_shear(a, b, u), diff(sheared(s, P, a, b, u)),
                     at + "shear " + std::to_string(a) + "," + std::to_string(b));
      }
  }
}

TEST(EngineModel, LoadingPriorIsTheInverseWishartWithTheJacobianOfLLt) {
  // The closed-form Jacobian the dense log posterior uses, against log |det|
  // of the derivative of the free entries of L L' with respect to those of
  // L (central differences, determinant by R).
  Case cs = make_case("ring7");
  const int K = cs.P->K, m = K * (K + 1) / 2;
  std::mt19937 gen(9);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int t = 0; t < 3; t++) {
    std::vector<double> L(K * K, 0.0);
    for (int a = 0; a < K; a++)
      for (int b = a; b < K; b++)
        L[a + K * b] = a == b ? std::exp(0.4 * normal(gen)) : 0.5 * normal(gen);
    std::vector<double> J(m * m);
    int col = 0;
    for (int a = 0; a < K; a++)
      for (int b = a; b < K; b++, col++) {
        const double h = 1e-6;
        std::vector<double> Sp(K * K, 0.0), Sm(K * K, 0.0), Lp = L, Lm = L;
        Lp[a + K * b] += h;
        Lm[a + K * b] -= h;
        for (int i = 0; i < K; i++)
          for (int j = 0; j < K; j++)
            for (int k = 0; k < K; k++) {
              Sp[i + K * j] += Lp[i + K * k] * Lp[j + K * k];
              Sm[i + K * j] += Lm[i + K * k] * Lm[j + K * k];
            }
        int row = 0;
        for (int i = 0; i < K; i++)
          for (int j = i; j < K; j++, row++)
            J[row + m * col] = (Sp[i + K * j] - Sm[i + K * j]) / (2 * h);
      }
    r_assign_vector(".eng_J", J.data(), m * m);
    const double numeric = r_eval_real("determinant(matrix(.eng_J, " +
                                       std::to_string(m) + "))$modulus[[1]]");
    EXPECT_NEAR(numeric, lambda_log_jacobian(L, K) + K * std::log(2.0), 1e-6);
  }
}

// ---- the shift of the fields against the intercepts ------------------------------------

TEST(EngineShift, RatioIsTheChangeOfTheDenseFieldAndInterceptPriors) {
  std::mt19937 gen(23);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const char *name : {"ring9", "grid9", "ring7", "binom9", "grid9_t3", "ring7_t5"}) {
    Case cs = make_case(name);
    const Problem &P = *cs.P;
    const int n = P.N(), K = P.K, p = P.p;
    ScaleSet sc(P);
    Sampler smp(P.data, cs.s, sc.sc);
    auto prior = [&](const State &t) {
      return dense_field_log_prior(P, t, false) + dense_beta_log_prior(P, t);
    };
    for (int rep = 0; rep < 6; rep++) {
      const int j = rep % p; // the intercept and the covariate
      std::vector<double> delta(K);
      for (double &d : delta)
        d = 0.5 * normal(gen);
      // The shifted state written out here rather than by shifted().
      State t = cs.s;
      for (int c = 0; c < K; c++)
        for (int i = 0; i < n; i++)
          t.phi[i + n * c] += P.X[i + n * j] * delta[c];
      for (int r = 0; r < K; r++)
        for (int c = r; c < K; c++)
          t.beta[j + p * r] -= t.Lambda[r + K * c] * delta[c];
      expect_ratio(smp.ratio_shift(delta.data(), j), prior(t) - prior(cs.s),
                   std::string(name) + ", shift " + std::to_string(rep) +
                       " along covariate " + std::to_string(j));
    }
  }
}

TEST(EngineShift, ShiftScaleAndShearLeaveTheLikelihoodAsItIs) {
  std::mt19937 gen(29);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const char *name : {"ring9", "grid9", "ring7", "ring7_t5"}) {
    Case cs = make_case(name);
    const Problem &P = *cs.P;
    const int n = P.N(), K = P.K;
    ScaleSet sc(P);
    Sampler smp(P.data, cs.s, sc.sc);
    // The deviance from its definition first, log Y! included.
    const std::vector<double> mu = dense_mu(P, cs.s);
    double ll = 0.0;
    for (int x = 0; x < n * K; x++)
      if (P.E[x] > 0)
        ll += P.Y[x] * (std::log(P.E[x]) + mu[x]) - P.E[x] * std::exp(mu[x]) -
              std::lgamma(P.Y[x] + 1);
    const double dev = smp.deviance();
    EXPECT_NEAR(dev, -2 * ll, 1e-11 * std::fabs(dev)) << name;
    std::vector<std::pair<std::string, State>> moved;
    for (int rep = 0; rep < 3; rep++) {
      std::vector<double> delta(K);
      for (double &d : delta)
        d = 0.8 * normal(gen);
      moved.push_back({"shift", shifted(cs.s, P, delta, rep % P.p)});
    }
    for (int c = 0; c < K; c++)
      moved.push_back({"scale " + std::to_string(c),
                       scaled(cs.s, P, c, std::exp(0.5 * normal(gen)))});
    for (int a = 0; a < K; a++)
      for (int b = a + 1; b < K; b++)
        moved.push_back({"shear " + std::to_string(a) + "," + std::to_string(b),
                         sheared(cs.s, P, a, b, normal(gen))});
    for (auto &m : moved) {
      Sampler other(P.data, m.second, sc.sc); // mu from the moved state
      EXPECT_NEAR(other.deviance(), dev, 1e-11 * std::fabs(dev)) << name << ", " << m.first;
      for (int x = 0; x < n * K; x++)
        EXPECT_NEAR(other.linear_predictor()[x], smp.linear_predictor()[x], 1e-12)
            << name << ", " << m.first << ", entry " << x;
    }
  }
}
