// The general sampler's generator: the bit stream, the normal and uniform
// distributions of a million draws each, and the hand-over of its state.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "harness.h"

#include <Rmath.h>

#include "rng.h"

using mcar_engine::Xoshiro;

namespace {

const int DRAWS = 1000000;

// The state words as the 32 bytes load() reads: little-endian, in order.
void state_bytes(unsigned char *b, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t s3) {
  const uint64_t s[4] = {s0, s1, s2, s3};
  for (int k = 0; k < 4; k++)
    for (int j = 0; j < 8; j++)
      b[8 * k + j] = (unsigned char)(s[k] >> (8 * j));
}

// P(sqrt(n) D > t) for the Kolmogorov distribution (large n).
double kolmogorov_tail(double t) {
  double p = 0.0;
  for (int k = 1; k <= 100; k++)
    p += 2 * ((k % 2) ? 1.0 : -1.0) * std::exp(-2.0 * k * k * t * t);
  return std::min(1.0, std::max(0.0, p));
}

// The Kolmogorov-Smirnov statistic sqrt(n) D of sorted x against cdf.
double ks_statistic(std::vector<double> x, double (*cdf)(double)) {
  std::sort(x.begin(), x.end());
  const double n = x.size();
  double D = 0.0;
  for (size_t i = 0; i < x.size(); i++) {
    const double F = cdf(x[i]);
    D = std::max(D, std::max((i + 1) / n - F, F - i / n));
  }
  return std::sqrt(n) * D;
}

double pnorm_std(double x) { return Rf_pnorm5(x, 0, 1, 1, 0); }
double punif_std(double x) { return x; }

} // namespace

TEST(EngineGenerator, BitStreamFromAKnownState) {
  // xoshiro256++ from the state (0, 0, 0, 1).
  const uint64_t want[10] = {0x0000000000800000ULL, 0x0000000000800011ULL,
                             0x0002200000800011ULL, 0x0002200044000020ULL,
                             0x00022000448008A1ULL, 0x01102100802208A0ULL,
                             0x0114002284200880ULL, 0x0402896644A64095ULL,
                             0x8A14A0A244ACC891ULL, 0x8C88BA4680B20495ULL};
  unsigned char b[Xoshiro::STATE_BYTES];
  state_bytes(b, 0, 0, 0, 1);
  Xoshiro rng;
  rng.load(b);
  EXPECT_TRUE(rng.valid());
  for (int k = 0; k < 10; k++)
    EXPECT_EQ(rng.next(), want[k]) << "output " << k;
  std::memset(b, 0, sizeof b);
  rng.load(b);
  EXPECT_FALSE(rng.valid());
}

TEST(EngineGenerator, NormalsFollowPnormIntoTheTail) {
  Xoshiro rng;
  rng.seed(20240917);
  std::vector<double> x(DRAWS);
  for (double &v : x)
    v = rng.normal();

  const double ks = ks_statistic(x, pnorm_std);
  EXPECT_GT(kolmogorov_tail(ks), 1e-3) << "sqrt(n) D = " << ks;

  // 400 cells of equal probability, chi-square.
  const int cells = 400;
  std::vector<double> count(cells, 0.0);
  for (double v : x) {
    int c = (int)(pnorm_std(v) * cells);
    count[std::min(cells - 1, std::max(0, c))] += 1;
  }
  const double expected = (double)DRAWS / cells;
  double chi2 = 0.0;
  for (double c : count)
    chi2 += (c - expected) * (c - expected) / expected;
  EXPECT_GT(Rf_pchisq(chi2, cells - 1, 0, 0), 1e-4) << "chi-square " << chi2;

  // Moments.
  double m1 = 0, m2 = 0, m4 = 0, lag = 0;
  for (int i = 0; i < DRAWS; i++) {
    m1 += x[i];
    m2 += x[i] * x[i];
    m4 += x[i] * x[i] * x[i] * x[i];
    if (i > 0)
      lag += x[i] * x[i - 1];
  }
  const double n = DRAWS;
  EXPECT_NEAR(m1 / n, 0.0, 5 / std::sqrt(n));
  EXPECT_NEAR(m2 / n, 1.0, 5 * std::sqrt(2 / n));
  EXPECT_NEAR(m4 / n, 3.0, 5 * std::sqrt(96 / n));
  EXPECT_NEAR(lag / n, 0.0, 5 / std::sqrt(n));

  // The tail beyond the ziggurat's base, R = 3.4426..., on either side, its
  // shape (the mean excess over R) and beyond 4.
  const double R = mcar_engine::ZigguratTables::R;
  const double pt = Rf_pnorm5(-R, 0, 1, 1, 0);
  double up = 0, down = 0, excess = 0, far = 0;
  for (double v : x) {
    if (v > R)
      up++;
    if (v < -R)
      down++;
    if (std::fabs(v) > R)
      excess += std::fabs(v) - R;
    if (std::fabs(v) > 4)
      far++;
  }
  EXPECT_NEAR(up, n * pt, 5 * std::sqrt(n * pt));
  EXPECT_NEAR(down, n * pt, 5 * std::sqrt(n * pt));
  const double lam = Rf_dnorm4(R, 0, 1, 0) / pt; // E[X | X > R]
  const double tail_sd = std::sqrt(1 + R * lam - lam * lam);
  EXPECT_NEAR(excess / (up + down), lam - R, 5 * tail_sd / std::sqrt(up + down));
  const double p4 = 2 * Rf_pnorm5(-4, 0, 1, 1, 0);
  EXPECT_NEAR(far, n * p4, 5 * std::sqrt(n * p4));
}

TEST(EngineGenerator, UniformsLieInsideTheOpenUnitInterval) {
  Xoshiro rng;
  rng.seed(77);
  std::vector<double> u(DRAWS);
  double lo = 1, hi = 0;
  for (double &v : u) {
    v = rng.uniform();
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  EXPECT_GT(lo, 0.0);
  EXPECT_LT(hi, 1.0);
  const double ks = ks_statistic(u, punif_std);
  EXPECT_GT(kolmogorov_tail(ks), 1e-3) << "sqrt(n) D = " << ks;

  // The extreme words: all bits clear and all bits set.  With s0 = 0 the
  // next output is rotl(s3, 23).
  unsigned char b[Xoshiro::STATE_BYTES];
  state_bytes(b, 0, 1, 0, 0);
  rng.load(b);
  const double smallest = rng.uniform();
  EXPECT_GT(smallest, 0.0);
  EXPECT_TRUE(std::isfinite(std::log(smallest)));
  state_bytes(b, 0, 1, 0, ~0ULL);
  rng.load(b);
  const double largest = rng.uniform();
  EXPECT_LT(largest, 1.0);
  EXPECT_LT(std::log(largest), 0.0);
}

TEST(EngineGenerator, SavedStateContinuesTheStream) {
  Xoshiro a;
  a.seed(123456789);
  for (int k = 0; k < 1001; k++)
    a.normal();
  unsigned char saved[Xoshiro::STATE_BYTES], again[Xoshiro::STATE_BYTES];
  a.save(saved);
  Xoshiro b;
  b.load(saved);
  b.save(again);
  EXPECT_EQ(std::memcmp(saved, again, sizeof saved), 0);
  // The same mixture of words, uniforms and normals from both.
  for (int k = 0; k < 3000; k++) {
    double x, y;
    switch (k % 3) {
    case 0:
      EXPECT_EQ(a.next(), b.next());
      break;
    case 1:
      x = a.uniform();
      y = b.uniform();
      EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0);
      break;
    default:
      x = a.normal();
      y = b.normal();
      EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0);
    }
  }
  // The bytes are the state words, little-endian.
  unsigned char b4[Xoshiro::STATE_BYTES], out[Xoshiro::STATE_BYTES];
  state_bytes(b4, 0x0123456789abcdefULL, 2, 0xfedcba9876543210ULL, 4);
  Xoshiro c;
  c.load(b4);
  c.save(out);
  EXPECT_EQ(std::memcmp(b4, out, sizeof out), 0);
  // A different seed is a different stream.
  Xoshiro d, e;
  d.seed(1);
  e.seed(2);
  EXPECT_NE(d.next(), e.next());
}
