// The map's sparse algebra against dense eigenvalues computed by R: the
// smallest eigenvalue, log|I - eta S| by factorisation and by the
// interpolant, the support of the eigenvalues and the components, on maps
// with islands and several components.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "harness.h"
#include "map.h"

using mcar_engine::LogDet;
using mcar_engine::MapFactor;
using engine_test::ring_with_islands;
using engine_test::two_rings_and_an_island;
using engine_test::weighted_grid_map;

namespace {

// A map in compressed rows with its dense eigenvalues of D^-1/2 C D^-1/2
// (islands: D = 1, eigenvalue 0).
struct DenseMap {
  int n;
  std::vector<int> row_ptr, col;
  std::vector<double> w, eig;
  mcar_engine::MapView view() const {
    mcar_engine::MapView m;
    m.n = n;
    m.row_ptr = row_ptr.data();
    m.col = col.data();
    m.w = w.data();
    return m;
  }
};

DenseMap dense_map(const std::vector<double> &C, int n) {
  DenseMap m;
  m.n = n;
  m.row_ptr.assign(1, 0);
  for (int i = 0; i < n; i++) {
    for (int j = 0; j < n; j++)
      if (C[i + (size_t)n * j] != 0.0) {
        m.col.push_back(j);
        m.w.push_back(C[i + (size_t)n * j]);
      }
    m.row_ptr.push_back((int)m.col.size());
  }
  r_assign_vector(".map_C", C.data(), n * n);
  m.eig = r_eval_reals("local({C <- matrix(.map_C, " + std::to_string(n) +
                       "); d <- rowSums(C); d[d == 0] <- 1; "
                       "eigen(C / sqrt(outer(d, d)), symmetric = TRUE, "
                       "only.values = TRUE)$values})");
  return m;
}

// A 6 x 7 grid with random weights and random diagonals, cut into two
// components between columns 2 and 3, with units 5 and 30 made islands.
std::vector<double> irregular_map(int &n) {
  const int rows = 6, cols = 7;
  n = rows * cols;
  std::vector<double> C((size_t)n * n, 0.0);
  std::mt19937 gen(17);
  std::uniform_real_distribution<double> u(0.2, 2.0);
  auto link = [&](int a, int b) {
    if ((a / rows <= 2) != (b / rows <= 2))
      return;
    if (a == 5 || b == 5 || a == 30 || b == 30)
      return;
    C[a + (size_t)n * b] = C[b + (size_t)n * a] = u(gen);
  };
  for (int c = 0; c < cols; c++)
    for (int r = 0; r < rows; r++) {
      const int a = c * rows + r;
      if (r + 1 < rows)
        link(a, a + 1);
      if (c + 1 < cols)
        link(a, a + rows);
      if (r + 1 < rows && c + 1 < cols && u(gen) < 1.1)
        link(a, a + rows + 1);
    }
  return C;
}

double sum_log(const std::vector<double> &eig, double eta) {
  double s = 0.0;
  for (double l : eig)
    s += std::log1p(-eta * l);
  return s;
}

std::vector<DenseMap> test_maps() {
  int n_irr = 0;
  const std::vector<double> irr = irregular_map(n_irr);
  return {dense_map(two_rings_and_an_island(), 9),
          dense_map(ring_with_islands(11, weighted_grid_map(3), 9), 11),
          dense_map(irr, n_irr)};
}

} // namespace

TEST(Map, SmallestEigenvalueAndFactorisationsAgreeWithDenseEigenvalues) {
  for (const DenseMap &m : test_maps()) {
    MapFactor f(m.view());
    const double lmin = *std::min_element(m.eig.begin(), m.eig.end());
    EXPECT_NEAR(mcar_engine::smallest_eigenvalue(f), lmin, 1e-10) << m.n;
    for (double eta : {-0.999 / std::fabs(lmin), -0.5, 0.0, 0.3, 0.9, 0.999999}) {
      double ld = NAN;
      ASSERT_TRUE(f.log_det(eta, &ld)) << eta;
      const double ref = sum_log(m.eig, eta);
      EXPECT_NEAR(ld, ref, 1e-10 * std::max(1.0, std::fabs(ref))) << m.n << " " << eta;
    }
    // Past the singularities the matrix is not positive definite.
    double ld = 0.0;
    EXPECT_FALSE(f.log_det(1.0001, &ld));
    EXPECT_FALSE(f.log_det(1.0001 / lmin, &ld));
  }
}

TEST(Map, InterpolantIsWithinOneInAMillionOfTheFactorisationsOnTheSupport) {
  std::mt19937 gen(5);
  for (const DenseMap &m : test_maps()) {
    for (double hi : {0.99, 0.999}) {
      MapFactor f(m.view());
      const mcar_engine::Support sup = mcar_engine::eta_support(f, -1.19, 0.99, hi);
      const double lmin = *std::min_element(m.eig.begin(), m.eig.end());
      EXPECT_NEAR(sup.eta_lo, std::max(-1.19, 0.99 / lmin), 1e-10);
      LogDet ld;
      ld.build(f, sup.eta_lo, hi, sup.z_lo);
      std::uniform_real_distribution<double> u(sup.eta_lo, hi);
      std::vector<double> etas = {sup.eta_lo + 1e-12, sup.eta_lo + 1e-6, hi - 1e-6,
                                  hi - 1e-12, 0.0};
      for (int k = 0; k < 300; k++)
        etas.push_back(u(gen));
      double worst = 0.0;
      for (double eta : etas)
        worst = std::max(worst, std::fabs(ld(eta) - sum_log(m.eig, eta)));
      EXPECT_LT(worst, 1e-8) << m.n << " " << hi;
      // Its flat form gives the same values; a malformed one is refused.
      const std::vector<double> flat = ld.flat();
      LogDet back;
      ASSERT_TRUE(back.load(flat.data(), ld.pieces()));
      for (double eta : etas)
        EXPECT_EQ(back(eta), ld(eta));
      std::vector<double> bad = flat;
      bad[2] = 0.5; // side
      EXPECT_FALSE(back.load(bad.data(), ld.pieces()));
      EXPECT_FALSE(back.load(flat.data(), 0));
    }
  }
}

TEST(Map, SupportNeedsTheSmallestEigenvalueOnlyWhenItSetsTheLowerEnd) {
  // Two rings of 4 are bipartite: lambda_min = -1 and eta_lo = -0.99.
  DenseMap rings = dense_map(two_rings_and_an_island(), 9);
  MapFactor f(rings.view());
  mcar_engine::Support s = mcar_engine::eta_support(f, -1.19, 0.99, 0.99);
  EXPECT_NEAR(s.lambda_min, -1.0, 1e-12);
  EXPECT_NEAR(s.eta_lo, -0.99, 1e-12);
  // A triangle has lambda_min = -1/2: eta_lo = -1.19, lambda_min not needed.
  std::vector<double> tri(9, 1.0);
  for (int i = 0; i < 3; i++)
    tri[i + 3 * i] = 0.0;
  DenseMap t = dense_map(tri, 3);
  MapFactor g(t.view());
  s = mcar_engine::eta_support(g, -1.19, 0.99, 0.99);
  EXPECT_TRUE(std::isnan(s.lambda_min));
  EXPECT_EQ(s.eta_lo, -1.19);
  EXPECT_LT(s.z_lo, -1.19);
  EXPECT_NEAR(mcar_engine::smallest_eigenvalue(g), -0.5, 1e-12);
}

TEST(Map, ComponentsIslandsAndAMapWithoutEdges) {
  DenseMap rings = dense_map(two_rings_and_an_island(), 9);
  const std::vector<int> c = mcar_engine::components(rings.view());
  EXPECT_EQ(c, std::vector<int>({0, 0, 0, 0, 1, 1, 1, 1, 2}));
  const std::vector<double> D = mcar_engine::precision_diagonal(rings.view());
  EXPECT_EQ(D[0], 2.0);
  EXPECT_EQ(D[8], 1.0);
  // Islands only: the log-determinant is 0 everywhere.
  DenseMap none = dense_map(std::vector<double>(16, 0.0), 4);
  MapFactor f(none.view());
  EXPECT_FALSE(f.has_edges());
  EXPECT_EQ(mcar_engine::smallest_eigenvalue(f), 0.0);
  const mcar_engine::Support s = mcar_engine::eta_support(f, -1.19, 0.99, 0.99);
  EXPECT_EQ(s.eta_lo, -1.19);
  LogDet ld;
  ld.build(f, s.eta_lo, 0.99, s.z_lo);
  EXPECT_EQ(ld(0.5), 0.0);
  EXPECT_EQ(ld(-1.0), 0.0);
}
