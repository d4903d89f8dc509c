// The model module: association matrix, log full conditionals against the
// model's log posterior computed independently, the draw order and decision
// of every update, reduced forms, and the deviance functions.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <R.h>
#include <Rmath.h>

#include "harness.h"
#include "model_fixture.h"
#include "mcar.h"

namespace {

void expect_alpha(const double *theta_in, const double *got,
                  std::initializer_list<double> want, double tol) {
  int k = 0;
  for (double w : want) {
    EXPECT_NEAR(got[k], w, tol) << "entry " << k << " for angles ("
                                << theta_in[0] << ", " << theta_in[1] << ", "
                                << theta_in[2] << ")";
    k++;
  }
}

// Relative closeness for differences of log densities of a few hundred terms.
void expect_same_difference(double got, double want) {
  EXPECT_NEAR(got, want, 1e-9 * (1.0 + std::fabs(want)));
}

} // namespace

TEST(AssociationMatrix, KnownRotations) {
  double eta3[3] = {1, 2, 3}, a[6];
  struct Case {
    double th[3];
    std::initializer_list<double> want;
  };
  const Case cases[] = {
      {{0, 0, 0}, {1, 0, 0, 2, 0, 3}},
      {{0.5, 0, 0}, {1.5, 0.5, 0, 1.5, 0, 3}},
      {{-0.5, 0, 0}, {1.5, -0.5, 0, 1.5, 0, 3}},
      {{0, 0.5, 0}, {2, 0, 1, 2, 0, 2}},
      {{0, 0, 0.5}, {1, 0, 0, 2.5, 0.5, 2.5}},
      {{1, 0, 0}, {2, 0, 0, 1, 0, 3}},
  };
  for (const Case &c : cases) {
    double th[3] = {c.th[0], c.th[1], c.th[2]};
    alphafun(a, th, eta3);
    expect_alpha(th, a, c.want, 1e-12);
  }
  double th[3] = {0.5, 0.5, 0.5};
  alphafun(a, th, eta3);
  expect_alpha(th, a, {2.478553, 0.375, 0.780330, 1.771447, -0.280330, 1.75},
               1e-6);
}

TEST(AssociationMatrix, SpectrumIsTheEigenvalues) {
  // Any angles give a symmetric matrix with exactly the given eigenvalues;
  // equal eigenvalues give a multiple of the identity whatever the angles.
  double eta3[3] = {-0.7, 0.2, 0.9}, th[3] = {0.37, -0.81, 0.55}, a[6];
  alphafun(a, th, eta3);
  Mat A({{a[0], a[1], a[2]}, {a[1], a[3], a[4]}, {a[2], a[4], a[5]}});
  double value[3];
  int n = 3, m = 3;
  eigen(A, value, &n, &m);
  EXPECT_NEAR(value[0], -0.7, 1e-12);
  EXPECT_NEAR(value[1], 0.2, 1e-12);
  EXPECT_NEAR(value[2], 0.9, 1e-12);
  EXPECT_NEAR(a[0] + a[3] + a[5], 0.4, 1e-12);

  double same[3] = {0.4, 0.4, 0.4};
  alphafun(a, th, same);
  expect_alpha(th, a, {0.4, 0, 0, 0.4, 0, 0.4}, 1e-12);
}

TEST_F(ModelTest, StartValuesAreCopiedAndAlphaFormed) {
  build_state();
  EXPECT_EQ(gbeta2, inputs_.beta[1]);
  EXPECT_EQ(lamda5, inputs_.lamda[4]);
  EXPECT_EQ(phi3[40], inputs_.phi[2][40]);
  EXPECT_EQ(N2[7], inputs_.N[1][7]);
  EXPECT_EQ(eigen1[3], inputs_.eig[3]);
  double want[6];
  alphafun(want, inputs_.theta, inputs_.eta);
  for (int k = 0; k < 6; k++)
    EXPECT_EQ(alpha[k], want[k]);
  // The state owns copies: changing the caller's vectors changes nothing.
  inputs_.phi[0][0] += 1;
  EXPECT_NE(phi1[0], inputs_.phi[0][0]);
  EXPECT_EQ(D[5][5], 4.0);
  EXPECT_EQ(C[5][6], 1.0);
  EXPECT_EQ(C[5][14], 1.0);
  EXPECT_EQ(C[5][7], 0.0);
}

// ---- log full conditionals against the log posterior -----------------------

TEST_F(ModelTest, InterceptConditionalsMatchTheLikelihood) {
  build_state();
  double *beta[3] = {&gbeta1, &gbeta2, &gbeta3};
  double (*target[3])(double) = {target_beta1, target_beta2, target_beta3};
  for (int b = 0; b < 3; b++) {
    double x0 = *beta[b], x1 = x0 + 0.37;
    double ll0 = poisson_log_lik();
    *beta[b] = x1;
    double ll1 = poisson_log_lik();
    *beta[b] = x0;
    expect_same_difference(target[b](x1) - target[b](x0), ll1 - ll0);
  }
}

TEST_F(ModelTest, EffectConditionalsMatchLikelihoodPlusMcarPrior) {
  build_state();
  double *fields[3] = {phi1, phi2, phi3};
  double (*target[3])(double, int) = {target_phi1, target_phi2, target_phi3};
  for (int f = 0; f < 3; f++)
    for (int k : {0, 13, 86}) {
      double x0 = fields[f][k], x1 = x0 - 0.61;
      double lp0 = poisson_log_lik() + mcar_log_prior(alpha, false);
      fields[f][k] = x1;
      double lp1 = poisson_log_lik() + mcar_log_prior(alpha, false);
      fields[f][k] = x0;
      expect_same_difference(target[f](x1, k) - target[f](x0, k), lp1 - lp0);
    }
}

TEST_F(ModelTest, LoadingConditionalMatchesLikelihoodAndInverseWishartPrior) {
  build_state();
  // The prior is an inverse-Wishart(3, 0.3 I) density of S = L L' times the
  // Jacobian of the map from the six free entries of L to the six free
  // entries of S; both are computed here from scratch, the Jacobian by
  // central differences.
  auto log_prior = [](const double *x) {
    r_assign_vector(".mcar_x", x, 6);
    double iw = r_eval_real(
        "local({L <- matrix(0, 3, 3); L[upper.tri(L, diag = TRUE)] <- "
        ".mcar_x[c(1, 2, 4, 3, 5, 6)]; S <- L %*% t(L); "
        "-3.5 * determinant(S)$modulus[[1]] - 0.15 * sum(diag(solve(S)))})");
    double J[6][6];
    const int pos[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int c = 0; c < 6; c++) {
      double h = 1e-6, xp[6], xm[6], Sp[3][3], Sm[3][3];
      std::memcpy(xp, x, sizeof xp);
      std::memcpy(xm, x, sizeof xm);
      xp[c] += h;
      xm[c] -= h;
      for (double(*S)[3] : {Sp, Sm}) {
        const double *v = (S == Sp) ? xp : xm;
        const double L[3][3] = {{v[0], v[1], v[2]}, {0, v[3], v[4]},
                                {0, 0, v[5]}};
        for (int i = 0; i < 3; i++)
          for (int j = 0; j < 3; j++) {
            S[i][j] = 0;
            for (int k = 0; k < 3; k++)
              S[i][j] += L[i][k] * L[j][k];
          }
      }
      for (int r = 0; r < 6; r++)
        J[r][c] = (Sp[pos[r][0]][pos[r][1]] - Sm[pos[r][0]][pos[r][1]]) / (2 * h);
    }
    std::vector<double> flat(36);
    for (int r = 0; r < 6; r++)
      for (int c = 0; c < 6; c++)
        flat[r + 6 * c] = J[r][c];
    r_assign_vector(".mcar_J", flat.data(), 36);
    return iw + r_eval_real("determinant(matrix(.mcar_J, 6))$modulus[[1]]");
  };
  double *ls[6] = {&lamda1, &lamda2, &lamda3, &lamda4, &lamda5, &lamda6};
  double x0[6], x1[6] = {1.3, -0.4, 0.1, 0.45, 0.7, 0.9};
  for (int k = 0; k < 6; k++)
    x0[k] = *ls[k];
  double lp0 = poisson_log_lik() + log_prior(x0);
  for (int k = 0; k < 6; k++)
    *ls[k] = x1[k];
  double lp1 = poisson_log_lik() + log_prior(x1);
  EXPECT_NEAR(target_lamda(x1) - target_lamda(x0), lp1 - lp0, 1e-6);
}

TEST_F(ModelTest, AssociationConditionalsMatchTheMcarDensity) {
  build_state();
  // The eigenvalue conditional carries the log-determinant of the prior
  // precision; with the eigenvalues of D^-1/2 C D^-1/2 in eigen1 it is exact.
  double e1[3] = {0.8, -0.5, 0.35}, a0[6], a1[6];
  alphafun(a0, theta, eta);
  alphafun(a1, theta, e1);
  expect_same_difference(target_alpha1(e1, a1) - target_alpha1(eta, a0),
                         mcar_log_prior(a1, true) - mcar_log_prior(a0, true));
  double th1[3] = {-0.6, 0.1, 0.85};
  alphafun(a1, th1, eta);
  expect_same_difference(target_alpha2(a1) - target_alpha2(a0),
                         mcar_log_prior(a1, false) - mcar_log_prior(a0, false));
}

// ---- reduced forms and deviance ------------------------------------------------

TEST_F(ModelTest, ReducedFormsWithZeroEffects) {
  build_state();
  for (int i = 0; i < NREGION; i++)
    phi1[i] = phi2[i] = phi3[i] = 0.0;
  const int k = 21;
  for (double x : {-0.4, 0.0, 0.9}) {
    double want = Y1[k] * lamda1 * x - N1[k] * exp(gbeta1 + lamda1 * x) -
                  0.5 * D[k][k] * x * x;
    EXPECT_NEAR(target_phi1(x, k), want, 1e-12 * (1 + std::fabs(want)));
  }
  // With no effects the likelihood does not depend on the loadings, and the
  // identity loading matrix has prior part -0.5 * 0.3 * 3.
  double ident[6] = {1, 0, 0, 1, 0, 1}, other[6] = {2, 1, -1, 0.5, 3, 1.5};
  double lik = 0.0;
  for (int i = 0; i < NREGION; i++)
    lik += -N1[i] * exp(gbeta1) - N2[i] * exp(gbeta2) - N3[i] * exp(gbeta3);
  EXPECT_NEAR(target_lamda(ident) - lik, -0.45, 1e-9);
  EXPECT_NE(target_lamda(other), target_lamda(ident));
  // No effects: the quadratic form vanishes.
  double z[6] = {0.3, 0.1, -0.2, 0.5, 0.05, 0.7};
  EXPECT_EQ(target_alpha2(z), 0.0);
}

TEST_F(ModelTest, DevianceAtTheCurrentRelativeRisks) {
  build_state();
  std::vector<double> p[3];
  for (auto &v : p)
    v.resize(NREGION);
  for (int i = 0; i < NREGION; i++) {
    p[0][i] = exp(lamda1 * phi1[i] + gbeta1 + lamda2 * phi2[i] + lamda3 * phi3[i]);
    p[1][i] = exp(lamda4 * phi2[i] + gbeta2 + lamda5 * phi3[i]);
    p[2][i] = exp(lamda6 * phi3[i] + gbeta3);
  }
  double dev = density();
  EXPECT_NEAR(dtheta_fun(p[0].data(), p[1].data(), p[2].data()), dev,
              1e-10 * std::fabs(dev));
  // The difference of two deviances is -2 times the log-likelihood ratio.
  double ll0 = poisson_log_lik();
  gbeta2 += 0.2;
  lamda3 -= 0.1;
  EXPECT_NEAR(density() - dev, -2 * (poisson_log_lik() - ll0), 1e-8);

  // All parameters zero: 2 * the sum of all expected counts, as at unit risks.
  gbeta1 = gbeta2 = gbeta3 = 0;
  lamda1 = lamda2 = lamda3 = lamda4 = lamda5 = lamda6 = 0;
  double total = 0;
  for (int i = 0; i < NREGION; i++)
    total += N1[i] + N2[i] + N3[i];
  std::vector<double> one(NREGION, 1.0);
  EXPECT_NEAR(density(), 2 * total, 1e-9 * total);
  EXPECT_NEAR(dtheta_fun(one.data(), one.data(), one.data()), 2 * total,
              1e-9 * total);
}

// ---- draw order and decision of each update --------------------------------------
//
// Each test replays R's stream by hand (u first, then one normal per moved
// coordinate), forms the candidate and the decision from the targets, and
// checks that the update returns exactly that, and that it consumed exactly
// those draws.

namespace {

struct Draws {
  double u;
  std::vector<double> z;
  double next; // the first uniform after the update's draws
};

Draws replay(int seed, int nnormal) {
  r_set_seed(seed);
  RngScope rng;
  Draws d;
  d.u = unif_rand();
  for (int k = 0; k < nnormal; k++)
    d.z.push_back(norm_rand());
  d.next = unif_rand();
  return d;
}

double next_uniform() {
  RngScope rng;
  return unif_rand();
}

bool decide(double u, double lgratio) { return u > 0 && lgratio >= log(u); }

} // namespace

TEST_F(ModelTest, InterceptAndEffectStepsFollowTheDrawOrder) {
  build_state();
  int accepted = 0, rejected = 0;
  for (int seed = 1; seed <= 40; seed++) {
    const double scale = 0.04 * (seed % 5 + 1);
    Draws d = replay(seed, 1);
    double x = gbeta2, y = x + scale * d.z[0];
    bool acc = decide(d.u, target_beta2(y) - target_beta2(x));
    r_set_seed(seed);
    double got;
    {
      RngScope rng;
      got = metroplis_beta2(x, scale);
    }
    EXPECT_EQ(got, acc ? y : x);
    EXPECT_EQ(next_uniform(), d.next);

    const int k = seed % NREGION;
    d = replay(seed + 1000, 1);
    x = phi3[k];
    y = x + 4 * scale * d.z[0];
    acc = decide(d.u, target_phi3(y, k) - target_phi3(x, k));
    r_set_seed(seed + 1000);
    {
      RngScope rng;
      got = metroplis_phi3(k, x, 4 * scale);
    }
    EXPECT_EQ(got, acc ? y : x);
    EXPECT_EQ(next_uniform(), d.next);
    (acc ? accepted : rejected)++;
  }
  // Both branches were exercised.
  EXPECT_GT(accepted, 0);
  EXPECT_GT(rejected, 0);
}

TEST_F(ModelTest, LoadingStepsFollowTheDrawOrder) {
  build_state();
  double prev[6] = {lamda1, lamda2, lamda3, lamda4, lamda5, lamda6};
  double s1[3] = {0.05, 0.1, 0.02}, s2[3] = {0.03, 0.2, 0.05};
  int both[2] = {0, 0};
  for (int seed = 1; seed <= 30; seed++) {
    Draws d = replay(seed, 3);
    double y[6] = {exp(log(prev[0]) + s1[0] * d.z[0]), prev[1], prev[2],
                   exp(log(prev[3]) + s1[1] * d.z[1]), prev[4],
                   exp(log(prev[5]) + s1[2] * d.z[2])};
    double lg = target_lamda(y) - target_lamda(prev) +
                ((log(prev[0]) + s1[0] * d.z[0]) - log(prev[0])) +
                ((log(prev[3]) + s1[1] * d.z[1]) - log(prev[3])) +
                ((log(prev[5]) + s1[2] * d.z[2]) - log(prev[5]));
    bool acc = decide(d.u, lg);
    double cur[6];
    r_set_seed(seed);
    {
      RngScope rng;
      metroplis_lamda1(cur, prev, s1);
    }
    for (int k = 0; k < 6; k++) {
      EXPECT_EQ(cur[k], acc ? y[k] : prev[k]) << k;
    }
    // Off-diagonal entries are never touched by the diagonal block.
    EXPECT_EQ(cur[1], prev[1]);
    EXPECT_EQ(cur[2], prev[2]);
    EXPECT_EQ(cur[4], prev[4]);
    EXPECT_EQ(next_uniform(), d.next);
    both[acc]++;

    d = replay(seed + 500, 3);
    double y2[6] = {prev[0], prev[1] + s2[0] * d.z[0], prev[2] + s2[1] * d.z[1],
                    prev[3], prev[4] + s2[2] * d.z[2], prev[5]};
    acc = decide(d.u, target_lamda(y2) - target_lamda(prev));
    r_set_seed(seed + 500);
    {
      RngScope rng;
      metroplis_lamda2(cur, prev, s2);
    }
    for (int k = 0; k < 6; k++)
      EXPECT_EQ(cur[k], acc ? y2[k] : prev[k]) << k;
    EXPECT_EQ(next_uniform(), d.next);
    both[acc]++;
  }
  EXPECT_GT(both[0], 0);
  EXPECT_GT(both[1], 0);
}

TEST_F(ModelTest, AssociationStepsFollowTheDrawOrderAndKeepAlphaInStep) {
  build_state();
  double s[3] = {0.4, 0.3, 0.5};
  int both[2] = {0, 0};
  for (int seed = 1; seed <= 30; seed++) {
    const bool angles = seed % 2 == 0;
    double lo = angles ? 1.0 : 1.19, hi = angles ? 1.0 : 0.99;
    double *state = angles ? theta : eta;
    double prev[3] = {state[0], state[1], state[2]};
    Draws d = replay(seed, 3);
    double y[3], J = 0;
    for (int n = 0; n < 3; n++) {
      double ly = log((prev[n] + lo) / (hi - prev[n])) + s[n] * d.z[n];
      y[n] = (hi * exp(ly) - lo) / (exp(ly) + 1);
    }
    for (int n = 0; n < 3; n++)
      J += log((y[n] + lo) * (hi - y[n])) - log((prev[n] + lo) * (hi - prev[n]));
    double anew[6], aold[6], lg;
    if (angles) {
      alphafun(anew, y, eta);
      alphafun(aold, prev, eta);
      lg = target_alpha2(anew) - target_alpha2(aold) + J;
    } else {
      alphafun(anew, theta, y);
      alphafun(aold, theta, prev);
      lg = target_alpha1(y, anew) - target_alpha1(prev, aold) + J;
    }
    bool acc = decide(d.u, lg);
    double before[6], cur[3];
    std::memcpy(before, alpha, sizeof before);
    r_set_seed(seed);
    {
      RngScope rng;
      (angles ? metroplis_alpha2 : metroplis_alpha1)(cur, prev, s);
    }
    for (int n = 0; n < 3; n++)
      EXPECT_EQ(cur[n], acc ? y[n] : prev[n]);
    for (int k = 0; k < 6; k++)
      EXPECT_EQ(alpha[k], acc ? anew[k] : before[k]);
    EXPECT_EQ(next_uniform(), d.next);
    for (int n = 0; n < 3; n++)
      state[n] = cur[n];
    both[acc]++;
  }
  EXPECT_GT(both[0], 0);
  EXPECT_GT(both[1], 0);
}

TEST_F(ModelTest, DegenerateStepsStillConsumeTheirDraws) {
  build_state();
  // Zero scale: the candidate is the current value, the ratio 0, accepted.
  double x = gbeta1;
  Draws d = replay(7, 1);
  r_set_seed(7);
  {
    RngScope rng;
    EXPECT_EQ(metroplis_beta1(x, 0.0), x);
  }
  EXPECT_EQ(next_uniform(), d.next);
  // A current triple on its bound gives NaN transforms: every step rejects
  // and returns an exact copy, leaving alpha alone.
  double prev[3] = {0.99, 0.2, 0.1}, cur[3], s[3] = {0.1, 0.1, 0.1};
  double before[6];
  std::memcpy(before, alpha, sizeof before);
  d = replay(8, 3);
  r_set_seed(8);
  {
    RngScope rng;
    metroplis_alpha1(cur, prev, s);
  }
  for (int n = 0; n < 3; n++)
    EXPECT_EQ(cur[n], prev[n]);
  EXPECT_EQ(std::memcmp(before, alpha, sizeof before), 0);
  EXPECT_EQ(next_uniform(), d.next);
  // A non-positive diagonal loading: NaN ratio, rejected.
  double lp[6] = {-1, 0.2, 0.1, 1, 0.1, 1}, lc[6];
  {
    RngScope rng;
    metroplis_lamda1(lc, lp, s);
  }
  for (int k = 0; k < 6; k++)
    EXPECT_EQ(lc[k], lp[k]);
}
