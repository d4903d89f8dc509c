// The general sampler as a chain.  A chain stopped after any sweep and
// rebuilt from its state (the linear predictor it carried included) and its
// generator's saved bytes continues as the same chain to the bit; after any
// move, a sampler rebuilt from the state reports the same log ratios, and
// the carried linear predictor stays that of the state.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "harness.h"

using namespace engine_test;
using mcar_engine::Counts;
using mcar_engine::Sampler;
using mcar_engine::Xoshiro;

namespace {

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_state(const State &a, const State &b, const std::string &what) {
  EXPECT_TRUE(same_bits(a.beta, b.beta)) << what << ": beta";
  EXPECT_TRUE(same_bits(a.phi, b.phi)) << what << ": phi";
  EXPECT_TRUE(same_bits(a.Lambda, b.Lambda)) << what << ": Lambda";
  EXPECT_TRUE(same_bits(a.eta, b.eta)) << what << ": eta";
  EXPECT_TRUE(same_bits(a.theta, b.theta)) << what << ": theta";
  EXPECT_TRUE(same_bits(a.alpha, b.alpha)) << what << ": alpha";
}

// What a sampler reports about the current state at fixed proposals: the
// deviance, the linear predictor, the association matrix and the log ratios
// that use them (exact), and the log ratios that use the fields' Gram
// matrices (which some moves transform rather than recompute).
struct Report {
  std::vector<double> exact, gram;
};

Report observe(Sampler &smp, const Problem &P, const State &s) {
  const int n = P.N(), K = P.K, p = P.p;
  Report out;
  std::vector<double> &e = out.exact, &g = out.gram;
  e.push_back(smp.deviance());
  e.insert(e.end(), smp.linear_predictor(), smp.linear_predictor() + n * K);
  e.insert(e.end(), smp.association_matrix(), smp.association_matrix() + K * K);
  for (int r = 0; r < K; r++) {
    std::vector<double> b(s.beta.begin() + p * r, s.beta.begin() + p * (r + 1));
    for (double &v : b)
      v += 0.1;
    e.push_back(smp.ratio_beta(r, b.data()));
    std::vector<double> row;
    for (int c = r; c < K; c++)
      row.push_back(s.Lambda[r + K * c] * 1.1);
    e.push_back(smp.ratio_lambda_row(r, row.data()));
    g.push_back(smp.ratio_eta(r, 0.5 * s.eta[r] + 0.1));
    g.push_back(smp.ratio_scale(r, 1.3));
  }
  for (int c = 0; c < K; c++)
    for (int i = 0; i < n; i++)
      e.push_back(smp.ratio_phi(i, c, s.phi[i + n * c] - 0.2));
  for (int j = 0; j < K * (K - 1) / 2; j++)
    g.push_back(smp.ratio_theta(j, 0.5 * s.theta[j]));
  for (int a = 0; a < K; a++)
    for (int b = a + 1; b < K; b++)
      g.push_back(smp.ratio_shear(a, b, 0.4));
  for (size_t c = 0; c < s.alpha.size(); c++)
    g.push_back(smp.ratio_alpha((int)c, 0.5 * s.alpha[c] + 0.2));
  std::vector<double> delta(K, 0.3);
  e.push_back(smp.ratio_shift(delta.data()));
  for (size_t c = 0; c < s.alpha.size(); c++)
    e.push_back(smp.ratio_alpha_walk((int)c, 0.5 * s.alpha[c] - 0.1));
  for (size_t r = 0; r < s.psi.size(); r++) {
    e.push_back(smp.ratio_psi((int)r, 1.7 * s.psi[r]));
    e.push_back(smp.ratio_ridge((int)r, 0.6 * s.psi[r], 1.1));
  }
  return out;
}

} // namespace

TEST(EngineSampler, TwoRunsOfFiftySweepsAreOneRunOfAHundred) {
  for (const char *name : {"grid9", "ring7", "ring7_t5"}) {
    Case cs = make_case(name);
    const Problem &P = *cs.P;
    ScaleSet sc(P, 0.3);

    State one = cs.s;
    Xoshiro rng1;
    rng1.seed(4242);
    Counts c1(P.data);
    std::vector<double> lp_one;
    double dev_one;
    {
      Sampler smp(P.data, one, sc.sc);
      for (int t = 0; t < 100; t++)
        smp.sweep(rng1, c1);
      lp_one.assign(smp.linear_predictor(), smp.linear_predictor() + P.N() * P.K);
      dev_one = smp.deviance();
    }

    State first = cs.s;
    Xoshiro rng2;
    rng2.seed(4242);
    Counts c2(P.data);
    unsigned char saved[Xoshiro::STATE_BYTES];
    State second;
    {
      Sampler smp(P.data, first, sc.sc);
      for (int t = 0; t < 50; t++)
        smp.sweep(rng2, c2);
      rng2.save(saved);
      second = first; // what a later call receives, mu included
      second.lp.assign(smp.linear_predictor(), smp.linear_predictor() + P.N() * P.K);
    }
    Xoshiro rng3;
    rng3.load(saved);
    std::vector<double> lp_two;
    double dev_two;
    {
      Sampler smp(P.data, second, sc.sc);
      for (int t = 0; t < 50; t++)
        smp.sweep(rng3, c2);
      lp_two.assign(smp.linear_predictor(), smp.linear_predictor() + P.N() * P.K);
      dev_two = smp.deviance();
    }
    expect_same_state(one, second, name);
    EXPECT_TRUE(same_bits(lp_one, lp_two)) << name << ": linear predictor";
    EXPECT_TRUE(same_bits(dev_one, dev_two)) << name << ": deviance";
    unsigned char end1[Xoshiro::STATE_BYTES], end2[Xoshiro::STATE_BYTES];
    rng1.save(end1);
    rng3.save(end2);
    EXPECT_EQ(std::memcmp(end1, end2, sizeof end1), 0) << name << ": generator";
    EXPECT_EQ(c1.phi, c2.phi) << name;
    EXPECT_EQ(c1.lambda, c2.lambda) << name;
    EXPECT_EQ(c1.scale, c2.scale) << name;
    EXPECT_EQ(c1.shear, c2.shear) << name;

    // The chain moved in every block, so the comparison means something.
    for (int r = 0; r < P.K; r++) {
      EXPECT_GT(c1.beta[r], 0) << name;
      EXPECT_GT(c1.lambda[r], 0) << name;
      EXPECT_GT(c1.eta[r], 0) << name;
    }
    for (int a : c1.theta)
      EXPECT_GT(a, 0) << name;
    for (int a : c1.scale)
      EXPECT_GT(a, 0) << name;
    for (int a : c1.shear)
      EXPECT_GT(a, 0) << name;
    EXPECT_FALSE(same_bits(one.phi, cs.s.phi)) << name;
  }
}

// The negative binomial's size moves sum over the distinct counts (nb7 with
// large and repeated counts).
TEST(EngineSampler, AfterEachMoveARebuiltSamplerAgrees) {
  for (const char *name : {"grid9", "ring7", "grid9_t3", "ring7_t5", "nb7", "nb7_t2"}) {
    Case cs = make_case(name);
    if (cs.P->family == mcar_engine::NEGBINOMIAL)
      cs = with_large_and_repeated_counts(std::move(cs));
    const Problem &P = *cs.P;
    ScaleSet sc(P, 0.3);
    Sampler smp(P.data, cs.s, sc.sc);
    Counts counts(P.data);
    Xoshiro rng;
    rng.seed(99);
    const std::vector<std::pair<const char *, std::function<void()>>> moves = {
        {"update_beta", [&] { smp.update_beta(rng, counts); }},
        {"update_phi", [&] { smp.update_phi(rng, counts); }},
        {"update_shift", [&] { smp.update_shift(rng); }},
        {"update_scale", [&] { smp.update_scale(rng, counts); }},
        {"update_shear", [&] { smp.update_shear(rng, counts); }},
        {"update_lambda", [&] { smp.update_lambda(rng, counts); }},
        {"update_eta", [&] { smp.update_eta(rng, counts); }},
        {"update_theta", [&] { smp.update_theta(rng, counts); }},
        {"update_alpha", [&] { smp.update_alpha(rng, counts); }},
        {"update_alpha_walk", [&] { smp.update_alpha_walk(rng, counts); }},
        {"update_psi", [&] { smp.update_psi(rng, counts); }},
        {"update_ridge", [&] { smp.update_ridge(rng, counts); }},
        {"update_flip", [&] { smp.update_flip(rng); }},
        {"sweep", [&] { smp.sweep(rng, counts); }},
    };
    // Each move followed by every move, so that no move is only ever seen
    // after one that recomputes everything.
    for (int rep = 0; rep < 2; rep++)
      for (const auto &first : moves)
        for (const auto &then : moves) {
          first.second();
          then.second();
          const std::string what =
              std::string(name) + ": after " + first.first + " then " + then.first;
          State copy = cs.s;
          copy.lp.assign(smp.linear_predictor(), smp.linear_predictor() + P.N() * P.K);
          Sampler fresh(P.data, copy, sc.sc);
          const Report got = observe(smp, P, cs.s), want = observe(fresh, P, copy);
          EXPECT_TRUE(same_bits(got.exact, want.exact)) << what;
          ASSERT_EQ(got.gram.size(), want.gram.size());
          for (size_t k = 0; k < got.gram.size(); k++)
            EXPECT_NEAR(got.gram[k], want.gram[k], 1e-9 * std::max(1.0, std::fabs(want.gram[k])))
                << what << ", Gram ratio " << k;
          // The carried mu is the state's, to rounding.
          const std::vector<double> mu = dense_mu(P, cs.s);
          for (int x = 0; x < P.N() * P.K; x++)
            EXPECT_NEAR(smp.linear_predictor()[x], mu[x], 1e-10) << what << ", mu " << x;
        }
  }
}

// The Newton sweeps of the effects go colour by colour through a colouring
// of the map, the units of a colour on several threads: no two neighbours
// may share a colour, and the chain must not depend on the number of
// threads.
TEST(EngineSampler, NewtonSweepsAreTheSameOnAnyNumberOfThreads) {
  for (const char *name : {"ring9", "grid9", "ring7", "binom9", "nb7", "ring7_t5", "nb7_t2"}) {
    Case cs = make_case(name);
    Problem &P = *cs.P;
    P.data.newton = true;
    ScaleSet sc(P, 1.0);
    {
      State s = cs.s;
      Sampler smp(P.data, s, sc.sc);
      const std::vector<int> colour = smp.colours();
      for (int i = 0; i < P.n; i++)
        for (int q = P.data.row_ptr[i]; q < P.data.row_ptr[i + 1]; q++)
          EXPECT_NE(colour[i], colour[P.data.col[q]])
              << name << ": units " << i << " and " << P.data.col[q];
    }
    std::vector<State> ends;
    std::vector<std::vector<int>> accepted;
    for (int threads : {1, 2, 3}) {
      P.data.threads = threads;
      State s = cs.s;
      Xoshiro rng;
      rng.seed(77);
      Counts counts(P.data);
      Sampler smp(P.data, s, sc.sc);
      for (int t = 0; t < 40; t++)
        smp.sweep(rng, counts);
      ends.push_back(s);
      accepted.push_back(counts.phi);
    }
    P.data.threads = 1;
    EXPECT_FALSE(same_bits(ends[0].phi, cs.s.phi)) << name;
    for (int k = 1; k < 3; k++) {
      expect_same_state(ends[0], ends[k], std::string(name) + ", threads " +
                                              std::to_string(k + 1));
      EXPECT_EQ(accepted[0], accepted[k]) << name;
    }
  }
}
