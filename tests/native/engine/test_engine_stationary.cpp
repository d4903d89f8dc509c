// Stationary distributions of the general sampler's moves.
//
// Each move is run many times with the rest of the state held still (the
// proposal scales of the coordinates not under test are zero, so those
// coordinates propose themselves).  The watched coordinates must then be
// distributed as their full conditional, normalised here by quadrature on a
// grid from the dense log posterior of engine_test_util.h, which shares no
// code with the engine.  Compared: the mean and the probabilities below the
// conditional's 5%, 25%, 50%, 75% and 95% points, each to 5 batch-means
// standard errors (plus a small allowance for the quadrature).  The scale
// and shear moves keep the state on an orbit; the position along it is
// compared with the posterior along the orbit (times the map's Jacobian).
// The shift of the fields is an exact Gibbs draw: the D-weighted means of
// the fields must follow the Gaussian that the dense log posterior implies
// along the shift.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine_test_util.h"
#include "harness.h"

#include <Rmath.h>

using namespace engine_test;
using mcar_engine::Counts;
using mcar_engine::Sampler;
using mcar_engine::Xoshiro;

namespace {

const int ITERS = 100000, BURN = 2000;

// The density proportional to exp(logf) on a box of d <= 2 dimensions,
// n cells a side, by the midpoint rule.  NaN and -Inf weigh nothing.
struct Grid {
  int d = 1, n = 0;
  double lo[2] = {0, 0}, hi[2] = {0, 0};
  std::vector<double> w; // normalised, cell (k0, k1) at k0 + n k1
  double edge = 0;       // largest weight on the faces / largest weight

  double width(int c) const { return (hi[c] - lo[c]) / n; }
  double mid(int c, int k) const { return lo[c] + width(c) * (k + 0.5); }

  std::vector<double> marginal(int c) const {
    std::vector<double> m(n, 0.0);
    for (size_t x = 0; x < w.size(); x++)
      m[c == 0 ? x % n : x / n] += w[x];
    return m;
  }
  // E[g(x_c)] under the grid.
  double expect(int c, const std::function<double(double)> &g) const {
    const std::vector<double> m = marginal(c);
    double s = 0.0;
    for (int k = 0; k < n; k++)
      s += m[k] * g(mid(c, k));
    return s;
  }
  double mean(int c) const {
    return expect(c, [](double x) { return x; });
  }
  double sd(int c, const std::function<double(double)> &g) const {
    const double m = expect(c, g);
    return std::sqrt(expect(c, [&](double x) { return (g(x) - m) * (g(x) - m); }));
  }
  double cov01() const {
    const double m0 = mean(0), m1 = mean(1);
    double s = 0.0;
    for (size_t x = 0; x < w.size(); x++)
      s += w[x] * (mid(0, x % n) - m0) * (mid(1, x / n) - m1);
    return s;
  }
  // The p-quantile of coordinate c, the density uniform within a cell.
  double quantile(int c, double p) const {
    const std::vector<double> m = marginal(c);
    double cum = 0.0;
    for (int k = 0; k < n; k++) {
      if (cum + m[k] >= p)
        return lo[c] + width(c) * (k + (p - cum) / m[k]);
      cum += m[k];
    }
    return hi[c];
  }
};

Grid make_grid(int d, const double *lo, const double *hi, int n,
               const std::function<double(const double *)> &logf) {
  Grid g;
  g.d = d;
  g.n = n;
  for (int c = 0; c < d; c++) {
    g.lo[c] = lo[c];
    g.hi[c] = hi[c];
  }
  const size_t total = d == 1 ? n : (size_t)n * n;
  std::vector<double> lv(total);
  double top = -INFINITY;
  for (size_t x = 0; x < total; x++) {
    double at[2] = {g.mid(0, x % n), d == 2 ? g.mid(1, x / n) : 0.0};
    const double v = logf(at);
    lv[x] = std::isnan(v) ? -INFINITY : v;
    top = std::max(top, lv[x]);
  }
  g.w.resize(total);
  double sum = 0.0;
  for (size_t x = 0; x < total; x++) {
    g.w[x] = std::exp(lv[x] - top);
    sum += g.w[x];
    const int k0 = x % n, k1 = x / n;
    const bool face = k0 == 0 || k0 == n - 1 || (d == 2 && (k1 == 0 || k1 == n - 1));
    if (face)
      g.edge = std::max(g.edge, g.w[x]);
  }
  for (double &v : g.w)
    v /= sum;
  return g;
}

// A grid over the mass of a conditional on an unbounded space: a coarse
// pass on the box [lo, hi] locates it, then the box is 10 sd either side of
// the mean (expect_marginals checks that its faces are empty).
Grid fitted_grid(int d, const double *lo, const double *hi, int n,
                 const std::function<double(const double *)> &logf) {
  Grid coarse = make_grid(d, lo, hi, 80, logf);
  double l2[2], h2[2];
  for (int c = 0; c < d; c++) {
    const double m = coarse.mean(c), s = coarse.sd(c, [](double x) { return x; });
    l2[c] = m - 10 * s;
    h2[c] = m + 10 * s;
  }
  return make_grid(d, l2, h2, n, logf);
}

// Runs step() BURN + iters times and compares the marginals of the watched
// coordinates with the grid's.  A bounded box may carry mass on its faces
// (it is the support); otherwise the faces must be empty.
void expect_marginals(const Grid &g, const std::vector<std::function<double()>> &read,
                      const std::function<void()> &step, int iters,
                      const std::string &what, bool box_is_support = false) {
  if (!box_is_support) {
    ASSERT_LT(g.edge, 1e-7) << what << ": the grid cuts off mass";
  }
  const double probs[5] = {0.05, 0.25, 0.5, 0.75, 0.95};
  std::vector<double> qs[2];
  for (int c = 0; c < g.d; c++)
    for (double p : probs)
      qs[c].push_back(g.quantile(c, p));
  std::vector<double> x[2], below[2][5];
  for (int t = 0; t < BURN; t++)
    step();
  for (int t = 0; t < iters; t++) {
    step();
    for (int c = 0; c < g.d; c++) {
      const double v = read[c]();
      x[c].push_back(v);
      for (int q = 0; q < 5; q++)
        below[c][q].push_back(v <= qs[c][q] ? 1.0 : 0.0);
    }
  }
  for (int c = 0; c < g.d; c++) {
    const double sd = g.sd(c, [](double v) { return v; });
    const Estimate m = batch_means(x[c]);
    EXPECT_NEAR(m.mean, g.mean(c), 5 * m.se + 1e-3 * sd)
        << what << ", coordinate " << c << ": mean (sd " << sd << ")";
    for (int q = 0; q < 5; q++) {
      const Estimate e = batch_means(below[c][q]);
      EXPECT_NEAR(e.mean, probs[q], 5 * e.se + 1e-3)
          << what << ", coordinate " << c << ": P(x <= " << qs[c][q] << ")";
    }
  }
}

double logit(double x, double lo, double hi) { return std::log((x - lo) / (hi - x)); }

struct Chain {
  Case cs;
  ScaleSet sc;
  Sampler smp;
  Counts counts;
  Xoshiro rng;
  Chain(const char *name, uint64_t seed) : Chain(make_case(name), seed) {}
  Chain(Case c, uint64_t seed)
      : cs(std::move(c)), sc(*cs.P), smp(cs.P->data, cs.s, sc.sc),
        counts(cs.P->data) {
    rng.seed(seed);
  }
  const Problem &P() const { return *cs.P; }
  State &s() { return cs.s; }
  // The dense log posterior with the coordinates at ptrs set to x.
  double log_post_at(const std::vector<double *> &ptrs, const double *x,
                     bool with_logdet) {
    std::vector<double> keep;
    for (size_t c = 0; c < ptrs.size(); c++) {
      keep.push_back(*ptrs[c]);
      *ptrs[c] = x[c];
    }
    const double v = dense_log_post(P(), cs.s, with_logdet);
    for (size_t c = 0; c < ptrs.size(); c++)
      *ptrs[c] = keep[c];
    return v;
  }
};

// The cases of a parametrised test, the chain of each seeded from `first`
// up in the order of the cases, `stride` seeds apart (a case that runs
// several generators seeds them from its own seed up).
template <class Run>
std::vector<Run> seeded(uint64_t first, std::vector<Run> runs, uint64_t stride = 1) {
  for (Run &run : runs) {
    run.seed = first;
    first += stride;
  }
  return runs;
}

template <class Run> std::string label_of(const testing::TestParamInfo<Run> &info) {
  return info.param.label();
}

// The readable part of a case name: a-z, A-Z, 0-9 and _ only.
std::string tag(double x) {
  if (x < 0)
    return "minus_" + tag(-x);
  std::string s = std::to_string(x);
  s.erase(s.find_last_not_of('0') + 1);
  if (!s.empty() && s.back() == '.')
    s.pop_back();
  for (char &ch : s)
    if (ch == '.')
      ch = '_';
  return s;
}

} // namespace

// ---- coefficient blocks ------------------------------------------------------------

namespace {

struct CoefficientRun {
  const char *name;
  int r;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_outcome_" + std::to_string(r); }
};

class CoefficientBlocks : public testing::TestWithParam<CoefficientRun> {};

} // namespace

TEST_P(CoefficientBlocks, FollowTheirConditional) {
  // Both coefficients of one outcome move together (p = 2); the block's
  // proposal shape is the conditional's covariance.
  const CoefficientRun run = GetParam();
  Chain ch(run.name, run.seed);
  const int p = ch.P().p, r = run.r;
  std::vector<double *> at = {&ch.s().beta[0 + p * r], &ch.s().beta[1 + p * r]};
  const double lo[2] = {*at[0] - 5, *at[1] - 5}, hi[2] = {*at[0] + 5, *at[1] + 5};
  Grid g = fitted_grid(2, lo, hi, 240, [&](const double *x) {
    return ch.log_post_at(at, x, false);
  });
  const double s0 = g.sd(0, [](double v) { return v; });
  const double s1 = g.sd(1, [](double v) { return v; });
  const double rho = g.cov01() / (s0 * s1);
  double *Lc = ch.sc.beta_chol.data() + p * p * r;
  Lc[0] = s0;
  Lc[1] = rho * s1;
  Lc[3] = s1 * std::sqrt(1 - rho * rho);
  ch.sc.beta[r] = 1.7;
  expect_marginals(
      g, {[&] { return *at[0]; }, [&] { return *at[1]; }},
      [&] { ch.smp.update_beta(ch.rng, ch.counts); }, ITERS,
      std::string(run.name) + ", coefficients of outcome " + std::to_string(r));
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, CoefficientBlocks,
    testing::ValuesIn(seeded<CoefficientRun>(11, {{"ring9", 0}, {"grid9", 0}, {"grid9", 1},
                                                  {"ring7", 1}, {"binom9", 1}, {"nb7", 0},
                                                  {"grid9_t3", 1}, {"nb7_t2", 0}})),
    label_of<CoefficientRun>);

// ---- effects -------------------------------------------------------------------------

// The effects by random walks, and by Newton proposals at their full size,
// at a wider one (h = 1.8, which leaves the conditional's Gaussian
// approximation far behind in the tails) and at a smaller one (h = 0.3, a
// step of 5% of the way to the Newton point, the reverse step from the
// slope and curvature at the proposal).
namespace {

struct EffectRun {
  double newton; // 0: random walk; else Newton, h = newton
  const char *name;
  int i, c;
  uint64_t seed;
  std::string label() const {
    return std::string(name) + "_phi_" + std::to_string(i) + "_" + std::to_string(c) +
           (newton > 0 ? "_newton_h" + tag(newton) : "_random_walk");
  }
};

class EffectsOneAtATime : public testing::TestWithParam<EffectRun> {};

} // namespace

TEST_P(EffectsOneAtATime, FollowTheirConditional) {
  const EffectRun run = GetParam();
  const double newton = run.newton;
  Chain ch(run.name, run.seed);
  ch.cs.P->data.newton = newton > 0;
  const int at_ic = run.i + ch.P().N() * run.c;
  std::vector<double *> at = {&ch.s().phi[at_ic]};
  const double lo = *at[0] - 6, hi = *at[0] + 6;
  Grid g = fitted_grid(1, &lo, &hi, 4000, [&](const double *x) {
    return ch.log_post_at(at, x, false);
  });
  ch.sc.phi[at_ic] = newton > 0 ? newton : 2.4 * g.sd(0, [](double v) { return v; });
  expect_marginals(g, {[&] { return *at[0]; }},
                   [&] { ch.smp.update_phi(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", phi[" + std::to_string(run.i) + "," +
                       std::to_string(run.c) + "]" +
                       (newton > 0 ? ", Newton h = " + std::to_string(newton) : ""));
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, EffectsOneAtATime,
    testing::ValuesIn(seeded<EffectRun>(
        21, {{0.0, "ring9", 3, 0},  {0.0, "grid9", 4, 1}, {0.0, "grid9", 0, 0},
             {0.0, "ring7", 2, 2},  {0.0, "ring7", 5, 3}, {0.0, "binom9", 4, 1},
             {0.0, "binom9", 2, 0}, {0.0, "nb7", 6, 1},   {0.0, "nb7", 1, 0},
             {1.0, "ring9", 3, 0},  {1.0, "grid9", 4, 1}, {1.0, "grid9", 0, 0},
             {1.0, "ring7", 2, 2},  {1.0, "ring7", 5, 3}, {1.0, "binom9", 4, 1},
             {1.0, "binom9", 2, 0}, {1.0, "nb7", 6, 1},   {1.0, "nb7", 1, 0},
             // over periods: unit 4 of period 1, unit 3 of period 2, the
             // island (unit 8) in the last period, unit 1 of the first
             {0.0, "grid9_t3", 13, 1}, {1.0, "ring7_t5", 17, 2},
             {0.3, "nb7_t2", 8, 0},    {0.0, "ring9_t3", 26, 0},
             {1.0, "ring9_t3", 1, 0},  {1.0, "binom9_t2", 11, 1},
             {1.8, "ring9", 3, 0},  {1.8, "grid9", 4, 1}, {1.8, "grid9", 0, 0},
             {1.8, "ring7", 2, 2},  {1.8, "ring7", 5, 3}, {1.8, "binom9", 4, 1},
             {1.8, "binom9", 2, 0}, {1.8, "nb7", 6, 1},   {1.8, "nb7", 1, 0},
             {0.3, "ring9", 3, 0},  {0.3, "grid9", 4, 1}, {0.3, "grid9", 0, 0},
             {0.3, "ring7", 2, 2},  {0.3, "ring7", 5, 3}, {0.3, "binom9", 4, 1},
             {0.3, "binom9", 2, 0}, {0.3, "nb7", 6, 1},   {0.3, "nb7", 1, 0}})),
    label_of<EffectRun>);

// Newton proposals of effects whose unit has counts in the thousands in
// every outcome (Poisson and binomial: conditionals with sds of a few
// hundredths; negative binomial: as wide as the sizes allow, with a long
// steep tail below the mode), at their full size and at the smaller scales
// the tuning falls back on.  A scale h moves the effect by about h
// conditional sds an update (the autocorrelation time is about 4 / h^2
// updates), so the runs at h = 0.1 are four times as long, their batches
// of 8000 updates twenty times that time.
namespace {

struct LargeCountsRun {
  double h;
  const char *name;
  int i, c;
  double e, box; // expected counts (trials), half-width of the first grid
  uint64_t seed;
  std::string label() const {
    return std::string(name) + "_phi_" + std::to_string(i) + "_" + std::to_string(c) +
           "_counts_in_the_thousands_newton_h" + tag(h);
  }
};

class EffectsNewtonWithCountsInTheThousands : public testing::TestWithParam<LargeCountsRun> {};

} // namespace

TEST_P(EffectsNewtonWithCountsInTheThousands, FollowTheirConditional) {
  const LargeCountsRun run = GetParam();
  const double h = run.h;
  Chain ch(with_counts_in_the_thousands(make_case(run.name), run.i, run.e), run.seed);
  ch.cs.P->data.newton = true;
  const int at_ic = run.i + ch.P().N() * run.c;
  std::vector<double *> at = {&ch.s().phi[at_ic]};
  const double lo = *at[0] - run.box, hi = *at[0] + run.box;
  Grid g = fitted_grid(1, &lo, &hi, 4000, [&](const double *x) {
    return ch.log_post_at(at, x, false);
  });
  ch.sc.phi[at_ic] = h;
  expect_marginals(g, {[&] { return *at[0]; }},
                   [&] { ch.smp.update_phi(ch.rng, ch.counts); },
                   h < 0.3 ? 4 * ITERS : ITERS,
                   std::string(run.name) + " with counts in the thousands, phi[" +
                       std::to_string(run.i) + "," + std::to_string(run.c) +
                       "], Newton h = " + std::to_string(h));
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, EffectsNewtonWithCountsInTheThousands,
    testing::ValuesIn(seeded<LargeCountsRun>(
        131, {{1.0, "grid9", 2, 0, 3000, 0.5}, {1.0, "grid9", 2, 1, 3000, 0.5},
              {1.0, "binom9", 7, 1, 4000, 0.5}, {1.0, "nb7", 2, 1, 2000, 6},
              {0.3, "grid9", 2, 0, 3000, 0.5}, {0.3, "grid9", 2, 1, 3000, 0.5},
              {0.3, "binom9", 7, 1, 4000, 0.5}, {0.3, "nb7", 2, 1, 2000, 6},
              {0.1, "grid9", 2, 0, 3000, 0.5}, {0.1, "grid9", 2, 1, 3000, 0.5},
              {0.1, "binom9", 7, 1, 4000, 0.5}, {0.1, "nb7", 2, 1, 2000, 6}})),
    label_of<LargeCountsRun>);

// Far out in the tail of a conditional of counts in the thousands the full
// Newton step overshoots the mode by many of the conditional's sds, and
// the Newton step back from there does not lead back: the proposal is
// rejected nearly always.  The capped step that half of the units take in
// a sweep, and a smaller scale, step part of the way and are accepted
// nearly always, so that the tuning, which shrinks the scale of an effect
// that accepts too rarely, finds one that moves.  Each proposal here is
// made afresh from the same state.
namespace {

struct TailRun {
  const char *name;
  int i;
  double e, dmu; // expected counts (trials); the move of the linear predictor
  uint64_t seed; // of the full step's proposals; seed + 1: those at h = 0.1
  std::string label() const {
    return std::string(name) + "_unit_" + std::to_string(i) + "_predictor_moved_by_" +
           tag(dmu);
  }
};

class NewtonShorterSteps : public testing::TestWithParam<TailRun> {};

} // namespace

TEST_P(NewtonShorterSteps, AreAcceptedFromTheTail) {
  const TailRun run = GetParam();
  Case base = with_counts_in_the_thousands(make_case(run.name), run.i, run.e);
  Problem &P = *base.P;
  const int c = 0, at_ic = run.i + P.N() * c;
  P.data.newton = true;
  ScaleSet sc(P);
  double rate[2];
  const double hs[2] = {1.0, 0.1};
  for (int k = 0; k < 2; k++) {
    sc.phi[at_ic] = hs[k];
    Xoshiro rng;
    rng.seed(run.seed + k);
    const int trials = 400;
    int accepted = 0;
    for (int t = 0; t < trials; t++) {
      State s = base.s;
      s.phi[at_ic] += run.dmu / s.Lambda[c + P.K * c];
      Sampler smp(P.data, s, sc.sc);
      Counts counts(P.data);
      smp.update_phi(rng, counts);
      accepted += counts.phi[at_ic];
    }
    rate[k] = (double)accepted / trials;
  }
  const std::string what = std::string(run.name) + ", linear predictor moved by " +
                           std::to_string(run.dmu);
  // At h = 1 half of the proposals take the full step, which fails (else
  // the case is not in its tail), and half the capped step, which succeeds.
  EXPECT_LT(rate[0], 0.65) << what << ": h = 1, full and capped steps";
  EXPECT_GT(rate[0], 0.35) << what << ": h = 1, full and capped steps";
  EXPECT_GT(rate[1], 0.9) << what << ": h = 0.1";
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, NewtonShorterSteps,
                         testing::ValuesIn(seeded<TailRun>(151,
                                                           {{"grid9", 2, 5000, -0.6},
                                                            {"grid9", 2, 5000, 2.0},
                                                            {"binom9", 7, 5000, 0.6},
                                                            {"nb7", 2, 5000, 2.0}},
                                                           2)),
                         label_of<TailRun>);

// A small count (4 of an expected 1.5, loading 3) whose effect has been
// carried 8 conditional sds below its mode, where the prior alone bends its
// conditional: the full Newton step from there overshoots the mode by many
// sds and the step back overshoots the other way, so that every such
// proposal fails.  The capped steps that half of the units take in a sweep
// walk it back: it moves within the first sweeps and is soon in the
// conditional's bulk, at the full scale h = 1.
TEST(EngineStationary, NewtonEffectsLeaveATailTheirPriorBends) {
  const int c = 0;
  int at_ic = 0;
  auto small_count = [&] {
    Case cs = make_case("grid9");
    Problem &P = *cs.P;
    at_ic = 0 + P.N() * c; // a corner of the grid: two neighbours
    P.data.newton = true;
    P.Y[at_ic] = 4;
    P.E[at_ic] = 1.5;
    cs.s.Lambda[c + P.K * c] = 3.0;
    return cs;
  };
  double mean, sd;
  {
    Chain probe(small_count(), 1);
    std::vector<double *> at = {&probe.s().phi[at_ic]};
    const double lo = *at[0] - 6, hi = *at[0] + 6;
    Grid g = fitted_grid(1, &lo, &hi, 4000, [&](const double *x) {
      return probe.log_post_at(at, x, false);
    });
    mean = g.mean(0);
    sd = g.sd(0, [](double v) { return v; });
  }
  Case tail = small_count();
  const double start = mean - 8 * sd;
  tail.s.phi[at_ic] = start;
  Chain ch(std::move(tail), 161);
  ch.sc.phi[at_ic] = 1.0;
  std::vector<double> path;
  for (int t = 0; t < 200; t++) {
    ch.smp.update_phi(ch.rng, ch.counts);
    path.push_back(ch.s().phi[at_ic]);
  }
  int moved = 0;
  for (int t = 0; t < 20; t++)
    moved += path[t] != (t ? path[t - 1] : start);
  EXPECT_GE(moved, 4) << "moves in the first 20 sweeps from 8 sds below the mode";
  double late = 0.0;
  for (int t = 100; t < 200; t++)
    late += path[t] / 100;
  EXPECT_NEAR(late, mean, sd) << "mean of sweeps 100 to 200 (conditional sd " << sd << ")";
}

// ---- the shift of the fields ---------------------------------------------------------

namespace {

struct ShiftRun {
  const char *name;
  int j;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_along_" + std::to_string(j); }
};

class ShiftOfTheFields : public testing::TestWithParam<ShiftRun> {};

} // namespace

TEST_P(ShiftOfTheFields, IsAnExactGaussianDraw) {
  // Along the intercept (j = 0) and along the covariate (j = 1).
  const ShiftRun run = GetParam();
  const char *name = run.name;
  const int j = run.j;
  Chain ch(name, run.seed);
  const Problem &P = ch.P();
  const int n = P.N(), K = P.K, p = P.p;
  const State start = ch.s();
  // The log posterior along the shift, f(delta), is quadratic:
  // f0 + g' delta - delta' H delta / 2.  Read g and H off exact values.
  auto f = [&](const std::vector<double> &delta) {
    return dense_log_post(P, shifted(start, P, delta, j), false);
  };
  const std::vector<double> zero(K, 0.0);
  const double f0 = f(zero);
  std::vector<double> g(K), H(K * K);
  for (int a = 0; a < K; a++) {
    std::vector<double> e = zero, m = zero;
    e[a] = 1;
    m[a] = -1;
    g[a] = (f(e) - f(m)) / 2;
    H[a + K * a] = -(f(e) + f(m) - 2 * f0);
  }
  for (int a = 0; a < K; a++)
    for (int b = a + 1; b < K; b++) {
      std::vector<double> ea = zero, eb = zero, eab = zero;
      ea[a] = eb[b] = eab[a] = eab[b] = 1;
      H[a + K * b] = H[b + K * a] = -(f(eab) - f(ea) - f(eb) + f0);
    }
  std::vector<double> F = H, mean = g;
  ASSERT_TRUE(chol_lower(F, K)) << name;
  chol_solve(F, K, mean.data());
  std::vector<double> cov(K * K);
  for (int b = 0; b < K; b++) {
    std::vector<double> e(K, 0.0);
    e[b] = 1;
    chol_solve(F, K, e.data());
    for (int a = 0; a < K; a++)
      cov[a + K * b] = e[a];
  }

  // The position along the shift: the D-weighted projection of each
  // field on X[, j], which moves by exactly delta.
  double vDv = 0;
  for (int i = 0; i < n; i++)
    vDv += P.D[i % P.n] * P.X[i + n * j] * P.X[i + n * j];
  auto wmean = [&](const State &t, int c) {
    double s = 0;
    for (int i = 0; i < n; i++)
      s += P.D[i % P.n] * P.X[i + n * j] * t.phi[i + n * c];
    return s / vDv;
  };
  std::vector<double> m0(K);
  for (int c = 0; c < K; c++)
    m0[c] = wmean(start, c);
  const int iters = 40000;
  const double z[3] = {-1.6448536269514722, 0.0, 1.6448536269514722};
  std::vector<std::vector<double>> dm(K), sq(K), below(3 * K), cross(K);
  for (int t = 0; t < iters; t++) {
    ch.smp.update_shift(ch.rng, j);
    for (int c = 0; c < K; c++) {
      const double v = wmean(ch.s(), c) - m0[c] - mean[c];
      const double sd = std::sqrt(cov[c + K * c]);
      dm[c].push_back(v);
      sq[c].push_back(v * v);
      for (int q = 0; q < 3; q++)
        below[3 * c + q].push_back(v <= z[q] * sd ? 1.0 : 0.0);
      if (c > 0)
        cross[c].push_back(v * dm[c - 1].back());
    }
  }
  for (int c = 0; c < K; c++) {
    const std::string what = std::string(name) + ", shift along " + std::to_string(j) +
                             ", field " + std::to_string(c);
    const double var = cov[c + K * c];
    const Estimate e1 = batch_means(dm[c]), e2 = batch_means(sq[c]);
    EXPECT_NEAR(e1.mean, 0.0, 5 * e1.se) << what << ": mean (sd " << std::sqrt(var) << ")";
    EXPECT_NEAR(e2.mean, var, 5 * e2.se) << what << ": variance";
    for (int q = 0; q < 3; q++) {
      const Estimate e = batch_means(below[3 * c + q]);
      EXPECT_NEAR(e.mean, Rf_pnorm5(z[q], 0, 1, 1, 0), 5 * e.se) << what << ": z " << z[q];
    }
    if (c > 0) {
      const Estimate e = batch_means(cross[c]);
      EXPECT_NEAR(e.mean, cov[c + K * (c - 1)], 5 * e.se) << what << ": covariance";
    }
  }
  // The coefficients moved by -Lambda times the fields' moves, and the
  // likelihood did not change.
  for (int r = 0; r < K; r++) {
    double want = start.beta[j + p * r];
    for (int c = r; c < K; c++)
      want -= start.Lambda[r + K * c] * (wmean(ch.s(), c) - m0[c]);
    EXPECT_NEAR(ch.s().beta[j + p * r], want, 1e-9) << name << ", coefficient " << j
                                                    << " of outcome " << r;
  }
  EXPECT_NEAR(dense_log_lik(P, ch.s()), dense_log_lik(P, start),
              1e-9 * std::fabs(dense_log_lik(P, start)))
      << name;
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, ShiftOfTheFields,
    testing::ValuesIn(seeded<ShiftRun>(31, {{"ring9", 0}, {"grid9", 0}, {"ring7", 0},
                                            {"ring9", 1}, {"grid9", 1}, {"ring7", 1},
                                            {"nb7", 1}, {"grid9_t3", 0}, {"ring7_t5", 1},
                                            {"ring9_t3", 1}})),
    label_of<ShiftRun>);

// ---- scale and shear of the fields against the loadings ----------------------------------
//
// These moves keep the state on an orbit of the state they start from: field
// c times e^u with column c of Lambda divided by e^u, or field a plus u
// times field b with Lambda[., b] minus u Lambda[., a].  Along the orbit u is
// a random walk whose stationary density is the posterior at the moved
// state times the Jacobian of the map, e^(u (n - c - 1)) for the scale and
// 1 for the shear.

namespace {

struct ScaleRun {
  const char *name;
  int c;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_field_" + std::to_string(c); }
};

class ScaleMoves : public testing::TestWithParam<ScaleRun> {};

} // namespace

TEST_P(ScaleMoves, FollowThePosteriorAlongTheirOrbit) {
  const ScaleRun run = GetParam();
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  const int K = P.K, c = run.c;
  const State start = ch.s();
  const double lo = -4, hi = 4;
  Grid g = fitted_grid(1, &lo, &hi, 4000, [&](const double *u) {
    return dense_log_post(P, scaled(start, P, c, std::exp(u[0])), false) +
           (P.N() - c - 1) * u[0];
  });
  ch.sc.scale[c] = 2.4 * g.sd(0, [](double v) { return v; });
  const double l0 = start.Lambda[c + K * c];
  expect_marginals(g, {[&] { return std::log(l0 / ch.s().Lambda[c + K * c]); }},
                   [&] { ch.smp.update_scale(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", scale of field " + std::to_string(c));
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, ScaleMoves,
    testing::ValuesIn(seeded<ScaleRun>(
        71, {{"ring9", 0}, {"grid9", 0}, {"grid9", 1}, {"ring7", 1}, {"ring7", 3},
             {"grid9_t3", 1}, {"ring7_t5", 3}})),
    label_of<ScaleRun>);

namespace {

struct ShearRun {
  const char *name;
  int a, b;
  uint64_t seed;
  std::string label() const {
    return std::string(name) + "_fields_" + std::to_string(a) + "_" + std::to_string(b);
  }
};

class ShearMoves : public testing::TestWithParam<ShearRun> {};

} // namespace

TEST_P(ShearMoves, FollowThePosteriorAlongTheirOrbit) {
  const ShearRun run = GetParam();
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  const int n = P.N(), K = P.K, a = run.a, b = run.b;
  const State start = ch.s();
  const double lo = -4, hi = 4;
  Grid g = fitted_grid(1, &lo, &hi, 4000, [&](const double *u) {
    return dense_log_post(P, sheared(start, P, a, b, u[0]), false);
  });
  const int j = a * K - a * (a + 1) / 2 + (b - a - 1);
  ch.sc.shear[j] = 2.4 * g.sd(0, [](double v) { return v; });
  double bb = 0;
  for (int i = 0; i < n; i++)
    bb += start.phi[i + n * b] * start.phi[i + n * b];
  auto read = [&] {
    double t = 0;
    for (int i = 0; i < n; i++)
      t += (ch.s().phi[i + n * a] - start.phi[i + n * a]) * start.phi[i + n * b];
    return t / bb;
  };
  expect_marginals(g, {read}, [&] { ch.smp.update_shear(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", shear " + std::to_string(a) + "," +
                       std::to_string(b));
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, ShearMoves,
                         testing::ValuesIn(seeded<ShearRun>(
                             81, {{"grid9", 0, 1}, {"ring7", 0, 2}, {"ring7", 2, 3},
                                  {"grid9_t3", 0, 1}, {"ring7_t5", 0, 2},
                                  {"ring7_t5", 1, 3}})),
                         label_of<ShearRun>);

// ---- the sign of an outcome's field part ---------------------------------------------
//
// The flips of the outcomes' field parts commute, so the move alone walks
// over the 2^K states that flips of the start reach, and must visit each
// as often as the dense posterior weighs it.  The loadings are scaled down
// so that no state takes nearly all the weight, and the loadings' prior
// couples the outcomes, so that the flips change it too.

namespace {

struct FlipRun {
  const char *name;
  uint64_t seed;
  std::string label() const { return name; }
};

class SignFlips : public testing::TestWithParam<FlipRun> {};

} // namespace

TEST_P(SignFlips, VisitTheirOrbitAsThePosteriorWeighsIt) {
  const FlipRun run = GetParam();
  Case cs = make_case(run.name);
  Problem &P = *cs.P;
  const int K = P.K, N = P.N(), states = 1 << K;
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++)
      P.iw_scale[a + K * b] = a == b ? 0.3 : 0.1;
  for (double &l : cs.s.Lambda)
    l *= 0.25;
  cs.s.lp.clear();
  // State m has the field parts of the outcomes in the bits of m flipped.
  std::vector<double> weight(states);
  std::vector<State> orbit;
  double top = -INFINITY;
  for (int m = 0; m < states; m++) {
    State t = cs.s;
    for (int c = 0; c < K; c++)
      if (m >> c & 1)
        t = flipped(t, P, c);
    orbit.push_back(t);
    weight[m] = dense_log_post(P, t, true);
    top = std::max(top, weight[m]);
  }
  double sum = 0.0;
  for (double &w : weight)
    sum += (w = std::exp(w - top));
  int spread = 0;
  for (double &w : weight)
    spread += (w /= sum) > 0.05;
  ASSERT_GE(spread, 2) << run.name << ": one state takes nearly all the weight";
  const State start = cs.s;
  Chain ch(std::move(cs), run.seed);
  auto state = [&] {
    int m = 0;
    for (int c = 0; c < K; c++)
      if (ch.s().phi[1 + N * c] * start.phi[1 + N * c] < 0)
        m |= 1 << c;
    return m;
  };
  std::vector<std::vector<double>> seen(states, std::vector<double>(ITERS));
  for (int it = 0; it < ITERS; it++) {
    ch.smp.update_flip(ch.rng);
    const int m = state();
    // The loadings and angles are those of the state the fields say.
    if (it < 1000) {
      for (size_t x = 0; x < orbit[m].theta.size(); x++)
        ASSERT_EQ(ch.s().theta[x], orbit[m].theta[x]) << run.name << ", angle " << x;
      for (size_t x = 0; x < orbit[m].Lambda.size(); x++)
        ASSERT_EQ(ch.s().Lambda[x], orbit[m].Lambda[x]) << run.name << ", loading " << x;
    }
    for (int k = 0; k < states; k++)
      seen[k][it] = k == m;
  }
  for (int m = 0; m < states; m++) {
    const Estimate e = batch_means(seen[m]);
    EXPECT_NEAR(e.mean, weight[m], 5 * e.se + 1e-3) << run.name << ", state " << m;
  }
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, SignFlips,
                         testing::ValuesIn(seeded<FlipRun>(95, {{"grid9"}, {"ring7"},
                                                                {"binom9"}, {"nb7"},
                                                                {"ring7_t5"}})),
                         label_of<FlipRun>);

// ---- an angle with the fields turned along ----------------------------------------------
//
// With two outcomes the rotation move keeps the state on the circle of
// states with the fields turned by d (units of pi/2, d in (-2, 2], period
// 4: a half turn of the angle gives the same A with the fields' signs
// flipped, which the likelihood sees) from where it starts, the angle at
// its start plus d brought back into (-1, 1].  Along it the move is a
// random walk whose stationary density is the posterior there (the map is
// orthogonal).  d is read back from the fields by regressing the first on
// the starting fields.

namespace {

struct RotationRun {
  const char *name;
  uint64_t seed;
  std::string label() const { return name; }
};

class RotationMoves : public testing::TestWithParam<RotationRun> {};

State turned(const State &start, const Problem &P, double d) {
  const double raw = start.theta[0] + d;
  State t = rotated(start, P, 0, raw);
  t.theta[0] = raw - 2 * std::ceil((raw - 1) / 2);
  return t;
}

} // namespace

TEST_P(RotationMoves, FollowThePosteriorAroundTheirCircle) {
  const RotationRun run = GetParam();
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  ASSERT_EQ(P.K, 2);
  const int n = P.N();
  const State start = ch.s();
  const double lo = -2, hi = 2;
  Grid g = make_grid(1, &lo, &hi, 4000, [&](const double *d) {
    return dense_log_post(P, turned(start, P, d[0]), false);
  });
  ch.sc.rotation[0] = 2.4 * std::min(0.5, g.sd(0, [](double v) { return v; }));
  // phi[, 0] = phi0[, 0] cos(d pi / 2) + phi0[, 1] sin(d pi / 2)
  double s00 = 0, s01 = 0, s11 = 0;
  for (int i = 0; i < n; i++) {
    s00 += start.phi[i] * start.phi[i];
    s01 += start.phi[i] * start.phi[i + n];
    s11 += start.phi[i + n] * start.phi[i + n];
  }
  auto read = [&] {
    double y0 = 0, y1 = 0;
    for (int i = 0; i < n; i++) {
      y0 += start.phi[i] * ch.s().phi[i];
      y1 += start.phi[i + n] * ch.s().phi[i];
    }
    const double det = s00 * s11 - s01 * s01;
    const double c = (s11 * y0 - s01 * y1) / det, s = (s00 * y1 - s01 * y0) / det;
    return std::atan2(s, c) / (M_PI / 2);
  };
  expect_marginals(g, {read}, [&] { ch.smp.update_rotation(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", rotation", true);
  EXPECT_GT(ch.counts.rotation[0], ITERS / 10) << run.name;
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, RotationMoves,
                         testing::ValuesIn(seeded<RotationRun>(91, {{"grid9"}, {"nb7"},
                                                                    {"binom9"}})),
                         label_of<RotationRun>);

// Rounds of the moves given mu hold the fields' transformation back until
// the last round, the grams and the loadings carrying it meanwhile.  With
// the scale of field c and eigenvalue k free (every other scale zero), the
// rounds move on the two-dimensional set (field c times e^u, eta_k = v),
// whose density is the posterior there times e^(u (n - c - 1)).
namespace {

struct RoundsRun {
  const char *name;
  int c, k;
  uint64_t seed;
  std::string label() const {
    return std::string(name) + "_field_" + std::to_string(c) + "_eigenvalue_" +
           std::to_string(k);
  }
};

class RoundsGivenMu : public testing::TestWithParam<RoundsRun> {};

} // namespace

TEST_P(RoundsGivenMu, KeepTheJointOfAScaleAndAnEigenvalue) {
  const RoundsRun run = GetParam();
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  const int K = P.K, c = run.c, k = run.k;
  const State start = ch.s();
  const double l0 = start.Lambda[c + K * c];
  const double lo[2] = {-3, P.eta_lo}, hi[2] = {3, P.eta_hi};
  Grid g = make_grid(2, lo, hi, 240, [&](const double *x) {
    State t = scaled(start, P, c, std::exp(x[0]));
    t.eta[k] = x[1];
    return dense_log_post(P, t, true) + (P.N() - c - 1) * x[0];
  });
  const std::vector<double> mu = g.marginal(0);
  ASSERT_LT(std::max(mu.front(), mu.back()), 1e-7 * *std::max_element(mu.begin(), mu.end()))
      << run.name << ": the grid cuts off mass";
  ch.sc.scale[c] = 1.7 * g.sd(0, [](double v) { return v; });
  ch.sc.eta[k] = 1.7 * g.sd(1, [&](double v) { return logit(v, P.eta_lo, P.eta_hi); });
  expect_marginals(g,
                   {[&] { return std::log(l0 / ch.s().Lambda[c + K * c]); },
                    [&] { return ch.s().eta[k]; }},
                   [&] { ch.smp.update_given_mu(ch.rng, ch.counts, 3); }, ITERS / 2,
                   std::string(run.name) + ", scale of field " + std::to_string(c) +
                       " with eigenvalue " + std::to_string(k),
                   true);
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, RoundsGivenMu,
                         testing::ValuesIn(seeded<RoundsRun>(
                             111, {{"ring9", 0, 0}, {"grid9", 1, 0}, {"ring7", 2, 1}})),
                         label_of<RoundsRun>);

// With every move free, the rounds leave mu as it is: a sampler built from
// the final state (mu recomputed) agrees with the one that ran them.
namespace {

struct FreeRoundsRun {
  const char *name;
  uint64_t seed;
  std::string label() const { return std::string(name); }
};

class RoundsGivenMuWithEveryMoveFree : public testing::TestWithParam<FreeRoundsRun> {};

} // namespace

TEST_P(RoundsGivenMuWithEveryMoveFree, LeaveMuAsItIs) {
  const FreeRoundsRun run = GetParam();
  const char *name = run.name;
  Chain ch(name, run.seed);
  const Problem &P = ch.P();
  const int n = P.N(), K = P.K;
  for (int c = 0; c < K; c++)
    ch.sc.scale[c] = 0.3;
  for (double &v : ch.sc.shear)
    v = 0.3;
  for (int k = 0; k < K; k++)
    ch.sc.eta[k] = 0.5;
  for (double &v : ch.sc.theta)
    v = 0.5;
  for (int t = 0; t < 20; t++)
    ch.smp.update_given_mu(ch.rng, ch.counts, 7);
  int moved = 0;
  for (int c = 0; c < K; c++)
    moved += ch.counts.scale[c];
  EXPECT_GT(moved, 0) << name;
  State s = ch.s();
  s.lp.clear();
  Sampler fresh(P.data, s, ch.sc.sc);
  for (int x = 0; x < n * K; x++)
    EXPECT_NEAR(fresh.linear_predictor()[x], ch.smp.linear_predictor()[x], 1e-10)
        << name << ", entry " << x;
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, RoundsGivenMuWithEveryMoveFree,
    testing::ValuesIn(seeded<FreeRoundsRun>(121, {{"ring9"}, {"grid9"}, {"ring7"},
                                                  {"grid9_t3"}, {"ring7_t5"}})),
    label_of<FreeRoundsRun>);

// ---- loadings ----------------------------------------------------------------------

namespace {

struct LoadingRun {
  const char *name;
  int r;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_row_" + std::to_string(r); }
};

class LoadingRows : public testing::TestWithParam<LoadingRun> {};

} // namespace

TEST_P(LoadingRows, FollowTheirConditional) {
  // A row moves as one block: the diagonal loading on the log scale, the
  // others on their own; rows of two entries with correlated increments.  The diagonal loading's conditional has a power
  // tail, so its grid (and the comparison) is on the log scale, the density
  // carrying the Jacobian exp(u).
  const LoadingRun run = GetParam();
  Chain ch(run.name, run.seed);
  const int K = ch.P().K, r = run.r, d = K - r;
  std::vector<double *> at;
  for (int c = r; c < K; c++)
    at.push_back(&ch.s().Lambda[r + K * c]);
  const double u0 = std::log(*at[0]);
  double lo[2] = {u0 - 6, *at[d - 1] - 6}, hi[2] = {u0 + 6, *at[d - 1] + 6};
  Grid g = fitted_grid(d, lo, hi, d == 1 ? 4000 : 240, [&](const double *u) {
    const double x[2] = {std::exp(u[0]), u[1]};
    return ch.log_post_at(at, x, false) + u[0];
  });
  const double f = 2.4 / std::sqrt((double)d);
  ch.sc.lambda[r + K * r] = f * g.sd(0, [](double v) { return v; });
  std::vector<double> corr;
  if (d == 2) {
    ch.sc.lambda[r + K * (r + 1)] = f * g.sd(1, [](double v) { return v; });
    // The two entries proposed together with the conditional's
    // correlation (the Cholesky factor of the row's correlations).
    const double rho = g.cov01() / (g.sd(0, [](double v) { return v; }) *
                                    g.sd(1, [](double v) { return v; }));
    corr.assign((size_t)K * K * K, 0.0);
    for (int q = 0; q < K; q++)
      for (int j = 0; j < K; j++)
        corr[(size_t)K * K * q + j + K * j] = 1.0;
    double *R = corr.data() + (size_t)K * K * r;
    R[1 + K * 0] = rho;
    R[1 + K * 1] = std::sqrt(1 - rho * rho);
    ch.sc.sc.lambda_corr = corr.data();
  }
  std::vector<std::function<double()>> read = {[&] { return std::log(*at[0]); }};
  if (d == 2)
    read.push_back([&] { return *at[1]; });
  expect_marginals(g, read, [&] { ch.smp.update_lambda(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", Lambda row " + std::to_string(r));
}

INSTANTIATE_TEST_SUITE_P(
    EngineStationary, LoadingRows,
    testing::ValuesIn(seeded<LoadingRun>(
        41, {{"ring9", 0}, {"grid9", 0}, {"grid9", 1}, {"ring7", 2}, {"ring7", 3},
             {"grid9_t3", 0}, {"nb7_t2", 1}})),
    label_of<LoadingRun>);

// ---- eigenvalues and angles ------------------------------------------------------------

namespace {

struct EigenvalueRun {
  const char *name;
  int k0, d;
  uint64_t seed;
  std::string label() const {
    return std::string(name) + "_from_" + std::to_string(k0) + "_" + std::to_string(d) + "d";
  }
};

class Eigenvalues : public testing::TestWithParam<EigenvalueRun> {};

} // namespace

TEST_P(Eigenvalues, FollowTheirConditionalOnTheirLogitScale) {
  const EigenvalueRun run = GetParam();
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  std::vector<double *> at;
  for (int k = run.k0; k < run.k0 + run.d; k++)
    at.push_back(&ch.s().eta[k]);
  const double lo[2] = {P.eta_lo, P.eta_lo}, hi[2] = {P.eta_hi, P.eta_hi};
  Grid g = make_grid(run.d, lo, hi, run.d == 1 ? 4000 : 240, [&](const double *x) {
    return ch.log_post_at(at, x, true);
  });
  std::vector<std::function<double()>> read;
  for (int c = 0; c < run.d; c++) {
    ch.sc.eta[run.k0 + c] = 2.4 / std::sqrt((double)run.d) *
                            g.sd(c, [&](double v) { return logit(v, P.eta_lo, P.eta_hi); });
    read.push_back([&, c] { return *at[c]; });
  }
  expect_marginals(g, read, [&] { ch.smp.update_eta(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", eigenvalues from " + std::to_string(run.k0),
                   true);
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, Eigenvalues,
                         testing::ValuesIn(seeded<EigenvalueRun>(
                             51, {{"ring9", 0, 1}, {"grid9", 0, 2}, {"ring7", 1, 1},
                                  {"ring7_t5", 2, 1}, {"grid9_t3", 0, 2}})),
                         label_of<EigenvalueRun>);

namespace {

struct AngleRun {
  const char *name;
  int j[2], d;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_" + std::to_string(d) + "d"; }
};

class Angles : public testing::TestWithParam<AngleRun> {};

} // namespace

TEST_P(Angles, FollowTheirConditionalAroundTheirCircles) {
  const AngleRun run = GetParam();
  Chain ch(run.name, run.seed);
  std::vector<double *> at;
  for (int c = 0; c < run.d; c++)
    at.push_back(&ch.s().theta[run.j[c]]);
  const double lo[2] = {-1, -1}, hi[2] = {1, 1};
  Grid g = make_grid(run.d, lo, hi, run.d == 1 ? 4000 : 240, [&](const double *x) {
    return ch.log_post_at(at, x, true);
  });
  std::vector<std::function<double()>> read;
  for (int c = 0; c < run.d; c++) {
    ch.sc.theta[run.j[c]] = 2.4 / std::sqrt((double)run.d) *
                            g.sd(c, [](double v) { return v; });
    read.push_back([&, c] { return *at[c]; });
  }
  expect_marginals(g, read, [&] { ch.smp.update_theta(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", angles", true);
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, Angles,
                         // A step of an angle past +-1 negates the later
                         // angles whose planes share one index with its own
                         // (see turn_angle): those must be among the angles
                         // under test, which the grid covers.  In ring7
                         // (K = 4) angle 4 is the plane (1, 3), angle 5 the
                         // last, (2, 3).
                         testing::ValuesIn(seeded<AngleRun>(61, {{"grid9", {0, 0}, 1},
                                                                 {"ring7", {4, 5}, 2},
                                                                 {"ring7_t5", {5, 5}, 1}})),
                         label_of<AngleRun>);

// ---- negative binomial sizes ---------------------------------------------------------

namespace {

struct SizeRun {
  int r;
  uint64_t seed;
  std::string label() const { return "nb7_outcome_" + std::to_string(r); }
};

class NegativeBinomialSizes : public testing::TestWithParam<SizeRun> {};

} // namespace

TEST_P(NegativeBinomialSizes, FollowTheirConditionalOnTheLogScale) {
  // log psi_r against its conditional: the posterior of psi times psi.
  const SizeRun run = GetParam();
  const int r = run.r;
  Chain ch("nb7", run.seed);
  double *at = &ch.s().psi[r];
  // The likelihood flattens towards the Poisson limit, so the upper tail
  // falls only as the prior's, exp(-u / 2): a wide box.
  const double lo = std::log(*at) - 10, hi = std::log(*at) + 45;
  Grid g = make_grid(1, &lo, &hi, 12000, [&](const double *u) {
    const double v = std::exp(u[0]);
    return ch.log_post_at({at}, &v, false) + u[0];
  });
  // The move steps the dispersion 1 / sqrt(psi).
  ch.sc.psi[r] = 2.4 * g.sd(0, [](double u) { return std::exp(-u / 2); });
  expect_marginals(g, {[&] { return std::log(*at); }},
                   [&] { ch.smp.update_psi(ch.rng, ch.counts); }, ITERS,
                   "nb7, log size of outcome " + std::to_string(r));
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, NegativeBinomialSizes,
                         testing::ValuesIn(seeded<SizeRun>(91, {{0}, {1}})),
                         label_of<SizeRun>);

// ---- the size against its row of the loadings ----------------------------------------

namespace {

struct RidgeRun {
  const char *name;
  int r;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_outcome_" + std::to_string(r); }
};

class RidgeMove : public testing::TestWithParam<RidgeRun> {};

// The ridge move of outcome r at state s: psi -> psi e^u, row r of the
// loadings times a with a^2 = 1 + (1 / psi - 1 / psi e^u) / var(f), f
// the row's field part over the units (0 when a^2 <= 0).
double ridge_factor(const Problem &P, const State &s, int r, double u) {
  const int n = P.N(), K = P.K;
  std::vector<double> f(n, 0.0);
  double mean = 0.0;
  for (int i = 0; i < n; i++) {
    for (int c = r; c < K; c++)
      f[i] += s.Lambda[r + K * c] * s.phi[i + n * c];
    mean += f[i] / n;
  }
  double var = 0.0;
  for (int i = 0; i < n; i++)
    var += (f[i] - mean) * (f[i] - mean) / n;
  const double a2 = 1.0 + (1.0 - std::exp(-u)) / (s.psi[r] * var);
  return a2 > 0 ? std::sqrt(a2) : 0.0;
}

} // namespace

TEST_P(RidgeMove, AloneFollowsThePosteriorAlongItsCurve) {
  // Alone, the move keeps the row's direction and e^{2l} var(direction . phi)
  // + 1 / psi (l the log of the row's norm) as they are: the state moves on
  // a curve, which t = log(psi / psi0) parametrises.  Along it the
  // stationary density is the posterior times psi e^{(m - 2) l} (m the
  // row's entries): psi e^{m l} from the density of (log psi, l,
  // direction), e^{-2 l} from dl/dc at fixed psi, c the kept sum; the same
  // whatever scale the move steps psi on.
  const RidgeRun run = GetParam();
  const int r = run.r;
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  const int K = P.K, m = K - r;
  const State s0 = ch.s();
  auto at_t = [&](double t, State &x) {
    x = s0;
    const double a = ridge_factor(P, s0, r, t);
    if (!(a > 0))
      return false;
    x.psi[r] = s0.psi[r] * std::exp(t);
    for (int c = r; c < K; c++)
      x.Lambda[r + K * c] *= a;
    return true;
  };
  double row0 = 0.0;
  for (int c = r; c < K; c++)
    row0 += s0.Lambda[r + K * c] * s0.Lambda[r + K * c];
  const double l0 = 0.5 * std::log(row0);
  // The curve ends where a^2 reaches 0 below, and runs into the prior's
  // tail above.
  double lo = -10, hi = 45;
  while (ridge_factor(P, s0, r, lo) == 0.0)
    lo += 0.001;
  State x;
  Grid g = make_grid(1, &lo, &hi, 20000, [&](const double *t) {
    if (!at_t(t[0], x))
      return (double)-INFINITY;
    double row = 0.0;
    for (int c = r; c < K; c++)
      row += x.Lambda[r + K * c] * x.Lambda[r + K * c];
    const double l = 0.5 * std::log(row);
    return dense_log_post(P, x, false) + t[0] + (m - 2) * (l - l0);
  });
  // The lower end of the curve is its support's bound.  The move steps the
  // dispersion 1 / sqrt(psi).
  const double psi0 = s0.psi[r];
  ch.sc.ridge[r] = 2.4 * g.sd(0, [&](double t) { return std::exp(-t / 2) / std::sqrt(psi0); });
  expect_marginals(g, {[&] { return std::log(ch.s().psi[r] / psi0); }},
                   [&] { ch.smp.update_ridge(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", ridge of outcome " + std::to_string(r), true);
  // The row's direction does not move.
  for (int c = r + 1; c < K; c++)
    EXPECT_NEAR(ch.s().Lambda[r + K * c] / ch.s().Lambda[r + K * r],
                s0.Lambda[r + K * c] / s0.Lambda[r + K * r], 1e-9);
}

TEST_P(RidgeMove, WithTheSizeAndRowMovesFollowsTheJointConditional) {
  // The ridge move with the size's and the row's own moves: (log psi_r,
  // row r) must follow their joint conditional, whose marginals come from
  // a grid on (log psi, log Lambda_rr[, z]), the density carrying the
  // Jacobians psi and Lambda_rr; the off-diagonal loading, whose
  // conditional has power tails, as Lambda_rc = c0 + tan(z) on
  // (-pi/2, pi/2) (Jacobian 1 / cos(z)^2), so that no mass is cut off.
  const RidgeRun run = GetParam();
  const int r = run.r;
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  const int K = P.K, m = K - r;
  double *psi = &ch.s().psi[r];
  double *diag = &ch.s().Lambda[r + K * r];
  double *off = m == 2 ? &ch.s().Lambda[r + K * (r + 1)] : nullptr;
  const double t0 = std::log(*psi), u0 = std::log(*diag);
  const int cells[3] = {260, m == 2 ? 70 : 400, 120};
  const double lo[3] = {t0 - 10, u0 - 7, -M_PI / 2};
  const double hi[3] = {t0 + 45, u0 + 4, M_PI / 2};
  const double c0 = off ? *off : 0.0;
  // The marginals of log psi and log Lambda_rr, by the midpoint rule.
  std::vector<double> m0(cells[0], 0.0), m1(cells[1], 0.0);
  const int n2 = off ? cells[2] : 1;
  std::vector<double> lv((size_t)cells[0] * cells[1] * n2);
  double top = -INFINITY;
  auto mid = [&](int c, int k) { return lo[c] + (hi[c] - lo[c]) * (k + 0.5) / cells[c]; };
  std::vector<double *> ptrs = {psi, diag};
  if (off)
    ptrs.push_back(off);
  for (int k0 = 0; k0 < cells[0]; k0++)
    for (int k1 = 0; k1 < cells[1]; k1++)
      for (int k2 = 0; k2 < n2; k2++) {
        const double z = mid(2, k2);
        const double x[3] = {std::exp(mid(0, k0)), std::exp(mid(1, k1)),
                             off ? c0 + std::tan(z) : 0};
        double v = ch.log_post_at(ptrs, x, false) + mid(0, k0) + mid(1, k1) -
                   (off ? 2.0 * std::log(std::cos(z)) : 0.0);
        if (std::isnan(v))
          v = -INFINITY;
        lv[k0 + (size_t)cells[0] * (k1 + (size_t)cells[1] * k2)] = v;
        top = std::max(top, v);
      }
  double edge = 0.0, total = 0.0;
  for (int k0 = 0; k0 < cells[0]; k0++)
    for (int k1 = 0; k1 < cells[1]; k1++)
      for (int k2 = 0; k2 < n2; k2++) {
        const double w = std::exp(lv[k0 + (size_t)cells[0] * (k1 + (size_t)cells[1] * k2)] - top);
        m0[k0] += w;
        m1[k1] += w;
        total += w;
        if (k0 == 0 || k0 == cells[0] - 1 || k1 == 0 || k1 == cells[1] - 1)
          edge = std::max(edge, w);
      }
  ASSERT_LT(edge, 1e-7) << run.name << ": the grid cuts off mass";
  Grid g0, g1;
  g0.n = cells[0];
  g0.lo[0] = lo[0];
  g0.hi[0] = hi[0];
  g1.n = cells[1];
  g1.lo[0] = lo[1];
  g1.hi[0] = hi[1];
  for (double &w : m0)
    w /= total;
  for (double &w : m1)
    w /= total;
  g0.w = m0;
  g1.w = m1;
  ch.sc.psi[r] = 2.4 * g0.sd(0, [](double u) { return std::exp(-u / 2); });
  ch.sc.ridge[r] = ch.sc.psi[r];
  for (int c = r; c < K; c++)
    ch.sc.lambda[r + K * c] = (c == r ? 2.4 / std::sqrt((double)m) *
                                            g1.sd(0, [](double v) { return v; })
                                      : 0.3);
  std::vector<double> lp_t, lam_t;
  auto step = [&] {
    ch.smp.update_psi(ch.rng, ch.counts);
    ch.smp.update_lambda(ch.rng, ch.counts);
    ch.smp.update_ridge(ch.rng, ch.counts);
  };
  const std::string what = std::string(run.name) + ", outcome " + std::to_string(r);
  expect_marginals(g0, {[&] { return std::log(*psi); }}, step, ITERS, what + ", log size");
  expect_marginals(g1, {[&] { return std::log(*diag); }}, step, ITERS,
                   what + ", log Lambda_rr");
  // The carried mu is that of the state.
  Sampler fresh(P.data, ch.s(), ch.sc.sc);
  for (int x = 0; x < P.N() * K; x++)
    EXPECT_NEAR(fresh.linear_predictor()[x], ch.smp.linear_predictor()[x], 1e-10)
        << what << ", mu entry " << x;
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, RidgeMove,
                         testing::ValuesIn(seeded<RidgeRun>(
                             131, {{"nb9", 0}, {"nb7", 0}, {"nb7", 1}, {"nb7_t2", 1}})),
                         label_of<RidgeRun>);

// ---- autoregressive coefficients over periods ----------------------------------------
//
// The coefficients, given the fields, against their joint conditional on
// (-1, 1)^K (the box is the support; every coefficient moves in a sweep,
// so the grid holds all of them: K = 1 or 2), with persistent and with
// negative coefficients, over 2 and 3 periods.  The K = 4 moves rest on
// the same conditional, checked against the dense posterior by the model
// tests.

namespace {

struct AlphaRun {
  const char *name;
  uint64_t seed;
  std::string label() const { return std::string(name); }
};

class AlphaMoves : public testing::TestWithParam<AlphaRun> {};

} // namespace

TEST_P(AlphaMoves, FollowTheirConditional) {
  const AlphaRun run = GetParam();
  Chain ch(run.name, run.seed);
  const int d = ch.P().K;
  std::vector<double *> at;
  for (int c = 0; c < d; c++)
    at.push_back(&ch.s().alpha[c]);
  const double lo[2] = {-1, -1}, hi[2] = {1, 1};
  Grid g = make_grid(d, lo, hi, d == 1 ? 4000 : 240, [&](const double *x) {
    return ch.log_post_at(at, x, false);
  });
  std::vector<std::function<double()>> read;
  for (int c = 0; c < d; c++)
    read.push_back([&, c] { return *at[c]; });
  expect_marginals(g, read, [&] { ch.smp.update_alpha(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", alpha", true);
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, AlphaMoves,
                         testing::ValuesIn(seeded<AlphaRun>(
                             141, {{"ring9_t3"}, {"grid9_t3"}, {"nb7_t2"}, {"grid9_t2"},
                                   {"nb9_t3"}})),
                         label_of<AlphaRun>);

// The coefficient moved with its field, the innovations held, stays on the
// orbit of the state it starts from; along it the position is the
// coefficient itself, whose density is the posterior at the moved state
// (the map has Jacobian 1).
namespace {

struct AlphaWalkRun {
  const char *name;
  int c;
  uint64_t seed;
  std::string label() const { return std::string(name) + "_field_" + std::to_string(c); }
};

class AlphaWithItsField : public testing::TestWithParam<AlphaWalkRun> {};

} // namespace

TEST_P(AlphaWithItsField, FollowsThePosteriorAlongItsOrbit) {
  const AlphaWalkRun run = GetParam();
  Chain ch(run.name, run.seed);
  const Problem &P = ch.P();
  const State start = ch.s();
  const double lo = -1, hi = 1;
  Grid g = make_grid(1, &lo, &hi, 4000, [&](const double *y) {
    return dense_log_post(P, alpha_with_innovations_held(start, P, run.c, y[0]), false);
  });
  std::fill(ch.sc.alpha.begin(), ch.sc.alpha.end(), 0.0);
  ch.sc.alpha[run.c] = 2.4 * g.sd(0, [](double v) { return logit(v, -1, 1); });
  expect_marginals(g, {[&] { return ch.s().alpha[run.c]; }},
                   [&] { ch.smp.update_alpha_walk(ch.rng, ch.counts); }, ITERS,
                   std::string(run.name) + ", alpha " + std::to_string(run.c) +
                       " with its field",
                   true);
  // The innovations stayed as they were.
  const int n = P.n, N = P.N();
  for (int i = 0; i < n; i++)
    for (int t = 1; t < P.T; t++) {
      const int x = i + n * t + N * run.c;
      EXPECT_NEAR(ch.s().phi[x] - ch.s().alpha[run.c] * ch.s().phi[x - n],
                  start.phi[x] - start.alpha[run.c] * start.phi[x - n], 1e-9)
          << run.name << ", innovation " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(EngineStationary, AlphaWithItsField,
                         testing::ValuesIn(seeded<AlphaWalkRun>(
                             161, {{"ring9_t3", 0}, {"grid9_t3", 1}, {"ring7_t5", 2},
                                   {"binom9_t2", 0}, {"nb7_t2", 1}})),
                         label_of<AlphaWalkRun>);
