// Matrix toolkit: algebra, layout conventions, the factorisation-based
// operations and their failure paths.

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "matrix.h"
#include <R.h>

namespace {

const char kNotFullRank[] = "This is not full rank matrix\n";
const char kNotPd[] = "This is not P.d matrix\n";
const char kNotSquare[] = "This is a singular matrx\n";

std::string repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++)
    out += s;
  return out;
}

Mat random_matrix(int rows, int cols, std::mt19937 &gen) {
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  Mat a(rows, cols);
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      a[i][j] = u(gen);
  return a;
}

// B'B + I: symmetric positive definite.
Mat random_spd(int n, std::mt19937 &gen) {
  Mat b = random_matrix(n, n, gen);
  Mat a(n, n);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) {
      double s = (i == j) ? 1.0 : 0.0;
      for (int k = 0; k < n; k++)
        s += b[k][i] * b[k][j];
      a[i][j] = s;
    }
  return a;
}

Mat random_symmetric(int n, std::mt19937 &gen) {
  Mat a = random_matrix(n, n, gen);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < i; j++)
      a[j][i] = a[i][j];
  return a;
}

// Determinant by Gaussian elimination with partial pivoting, independent of
// the QR route under test.
double lu_det(double **m, int n) {
  std::vector<std::vector<double>> a(n, std::vector<double>(n));
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++)
      a[i][j] = m[i][j];
  double d = 1.0;
  for (int k = 0; k < n; k++) {
    int p = k;
    for (int i = k + 1; i < n; i++)
      if (std::fabs(a[i][k]) > std::fabs(a[p][k]))
        p = i;
    if (a[p][k] == 0.0)
      return 0.0;
    if (p != k) {
      std::swap(a[p], a[k]);
      d = -d;
    }
    d *= a[k][k];
    for (int i = k + 1; i < n; i++) {
      double f = a[i][k] / a[k][k];
      for (int j = k; j < n; j++)
        a[i][j] -= f * a[k][j];
    }
  }
  return d;
}

// Hadamard's bound on |det|: the natural scale for rounding error.
double hadamard(double **m, int n) {
  double b = 1.0;
  for (int j = 0; j < n; j++) {
    double s = 0.0;
    for (int i = 0; i < n; i++)
      s += m[i][j] * m[i][j];
    b *= std::sqrt(s);
  }
  return b;
}

Mat product(double **a, double **b, int m, int p, int n) {
  Mat c(m, n);
  for (int i = 0; i < m; i++)
    for (int j = 0; j < n; j++) {
      double s = 0.0;
      for (int k = 0; k < p; k++)
        s += a[i][k] * b[k][j];
      c[i][j] = s;
    }
  return c;
}

Mat identity(int n) {
  Mat a(n, n);
  for (int i = 0; i < n; i++)
    a[i][i] = 1.0;
  return a;
}

class Toolkit : public ::testing::Test {
protected:
  void SetUp() override { console_clear(); }
};

} // namespace

// ---- allocation ---------------------------------------------------------------

TEST_F(Toolkit, AllocatorsReturnZeroFilledStorage) {
  double **a = create_matrixd(3, 4);
  int **b = create_matrix(4, 2);
  double *v = create_vectord(5);
  int *w = create_vector(6);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 4; j++)
      EXPECT_EQ(a[i][j], 0.0);
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 2; j++)
      EXPECT_EQ(b[i][j], 0);
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(v[i], 0.0);
  for (int i = 0; i < 6; i++)
    EXPECT_EQ(w[i], 0);
  // Rows are independent arrays.
  a[0][3] = 1.0;
  EXPECT_EQ(a[1][0], 0.0);
  freematd(a, 3, 4);
  freemat(b, 4, 2);
  R_chk_free(v);
  R_chk_free(w);
}

// ---- products and elementwise algebra -------------------------------------------

TEST_F(Toolkit, MatprMultipliesRectangularMatrices) {
  Mat a = {{1, 2, 3, 4}, {-1, 0, 2, 5}, {0.5, -3, 1, 1}};
  Mat b = {{1, -2}, {0, 1}, {3, 2}, {-1, 0.25}};
  Mat c(3, 2);
  c.fill(99.0);
  matpr(c, a, b, 3, 4, 2);
  Mat want = {{6, 7}, {0, 7.25}, {2.5, -1.75}};
  EXPECT_EQ(max_abs_diff(c, want, 3, 2), 0.0);
}

TEST_F(Toolkit, MatprSumsEachElementFromZeroInAscendingOrder) {
  // 0 + 1 + 1e16 - 1e16 is 0 in floating point; any other order gives 1.
  Mat a = {{1.0, 1e16, -1e16}};
  Mat b = {{1.0}, {1.0}, {1.0}};
  Mat c(1, 1);
  matpr(c, a, b, 1, 3, 1);
  EXPECT_EQ(c[0][0], 0.0);
}

TEST_F(Toolkit, MatprWithEmptyInnerDimensionWritesZeros) {
  Mat a(2, 1), b(1, 3), c(2, 3);
  c.fill(7.0);
  matpr(c, a, b, 2, 0, 3);
  EXPECT_EQ(max_abs_diff(c, Mat(2, 3), 2, 3), 0.0);
}

TEST_F(Toolkit, ElementwiseOperationsAllowOutputToAliasAnInput) {
  Mat a0 = {{1, 2, 3}, {4, 5, 6}};
  Mat b0 = {{0.5, -1, 2}, {10, 0, -6}};
  Mat sum = {{1.5, 1, 5}, {14, 5, 0}};
  Mat diff = {{0.5, 3, 1}, {-6, 5, 12}};
  Mat scaled = {{-2, -4, -6}, {-8, -10, -12}};

  Mat out(2, 3);
  matsum(out, a0, b0, 2, 3);
  EXPECT_EQ(max_abs_diff(out, sum, 2, 3), 0.0);
  matdiff(out, a0, b0, 2, 3);
  EXPECT_EQ(max_abs_diff(out, diff, 2, 3), 0.0);
  matsclpr(out, -2.0, a0, 2, 3);
  EXPECT_EQ(max_abs_diff(out, scaled, 2, 3), 0.0);

  {
    Mat a(a0), b(b0);
    matsum(a, a, b, 2, 3);
    EXPECT_EQ(max_abs_diff(a, sum, 2, 3), 0.0);
    EXPECT_EQ(max_abs_diff(b, b0, 2, 3), 0.0);
  }
  {
    Mat a(a0), b(b0);
    matsum(b, a, b, 2, 3);
    EXPECT_EQ(max_abs_diff(b, sum, 2, 3), 0.0);
  }
  {
    Mat a(a0), b(b0);
    matdiff(a, a, b, 2, 3);
    EXPECT_EQ(max_abs_diff(a, diff, 2, 3), 0.0);
  }
  {
    Mat a(a0), b(b0);
    matdiff(b, a, b, 2, 3);
    EXPECT_EQ(max_abs_diff(b, diff, 2, 3), 0.0);
    EXPECT_EQ(max_abs_diff(a, a0, 2, 3), 0.0);
  }
  {
    Mat a(a0);
    matsclpr(a, -2.0, a, 2, 3);
    EXPECT_EQ(max_abs_diff(a, scaled, 2, 3), 0.0);
  }
}

TEST_F(Toolkit, TransposeOfRectangularMatrix) {
  Mat x = {{1, 2, 3}, {4, 5, 6}};
  Mat t(3, 2);
  transpose(t, x, 2, 3);
  Mat want = {{1, 4}, {2, 5}, {3, 6}};
  EXPECT_EQ(max_abs_diff(t, want, 3, 2), 0.0);
}

TEST_F(Toolkit, MatvectorFlattensColumnMajorAndVectormatInvertsIt) {
  Mat x = {{1, 2, 3}, {4, 5, 6}};
  Vec v(6);
  matvector(v, x, 2, 3);
  const double want[] = {1, 4, 2, 5, 3, 6};
  for (int k = 0; k < 6; k++)
    EXPECT_EQ(v.get()[k], want[k]) << "k = " << k;
  Mat back(2, 3);
  vectormat(back, v, 2, 3);
  EXPECT_EQ(max_abs_diff(back, x, 2, 3), 0.0);
}

TEST_F(Toolkit, TraceAndInnerProduct) {
  Mat a = {{1, 9, 9}, {9, -4, 9}, {9, 9, 2.5}};
  EXPECT_EQ(trace(a, 3), -0.5);
  EXPECT_EQ(trace(a, 0), 0.0);
  Vec x = {1, 2, 3}, y = {4, -5, 0.5};
  EXPECT_EQ(vecprs(x, y, 3), -4.5);
  EXPECT_EQ(vecprs(x, y, 0), 0.0);
}

TEST_F(Toolkit, RowAndColumnExtraction) {
  Mat a = {{1, 2, 3}, {4, 5, 6}};
  Vec r(3), c(2);
  Row_extract(r, a, 1, 3);
  Col_extract(c, a, 2, 2);
  EXPECT_EQ(r.get()[0], 4.0);
  EXPECT_EQ(r.get()[1], 5.0);
  EXPECT_EQ(r.get()[2], 6.0);
  EXPECT_EQ(c.get()[0], 3.0);
  EXPECT_EQ(c.get()[1], 6.0);
}

TEST_F(Toolkit, OuterAndMatrixVectorProducts) {
  Vec u = {1, -2}, w = {3, 0.5, 4};
  Mat outer(2, 3);
  vecprm(outer, u, w, 2, 3);
  Mat want = {{3, 0.5, 4}, {-6, -1, -8}};
  EXPECT_EQ(max_abs_diff(outer, want, 2, 3), 0.0);

  Mat a = {{1, 2, 3}, {4, 5, 6}};
  Vec ax(2), xa(3);
  matvecpr(ax, a, 2, 3, w); // A w
  EXPECT_EQ(ax.get()[0], 16.0);
  EXPECT_EQ(ax.get()[1], 38.5);
  vecmatpr(xa, a, 2, 3, u); // u' A
  EXPECT_EQ(xa.get()[0], -7.0);
  EXPECT_EQ(xa.get()[1], -8.0);
  EXPECT_EQ(xa.get()[2], -9.0);
}

TEST_F(Toolkit, ZeroAndIdentityOverwriteEveryElement) {
  Mat a(3, 4);
  a.fill(5.0);
  zero_mat(a, 3, 4);
  EXPECT_EQ(max_abs_diff(a, Mat(3, 4), 3, 4), 0.0);
  Mat b(4, 4);
  b.fill(5.0);
  ident_mat(b, 4);
  EXPECT_EQ(max_abs_diff(b, identity(4), 4, 4), 0.0);
}

TEST_F(Toolkit, KroneckerProductLayoutAndSubMatrixBlocks) {
  Mat a = {{1, 2, 3}, {4, 5, 6}};
  Mat b = {{1, -1}, {0.5, 2}, {3, 0}};
  Mat c(6, 6);
  c.fill(-99.0);
  kroneckerprod(c, a, b, 2, 3, 3, 2);
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 3; j++)
      for (int k = 0; k < 3; k++)
        for (int l = 0; l < 2; l++)
          EXPECT_EQ(c[i * 3 + k][j * 2 + l], a[i][j] * b[k][l])
              << i << j << k << l;

  // Block (i, j) of size 3 x 2 of the product is a[i][j] b.
  Mat blk(3, 2), want(3, 2);
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 3; j++) {
      sub_matrix(blk, c, i, j, 3, 2);
      matsclpr(want, a[i][j], b, 3, 2);
      EXPECT_EQ(max_abs_diff(blk, want, 3, 2), 0.0) << "block " << i << j;
    }

  // Block indices count blocks, not rows: block (1, 2) of 2 x 2 blocks.
  Mat g(6, 6);
  for (int i = 0; i < 6; i++)
    for (int j = 0; j < 6; j++)
      g[i][j] = 10 * i + j;
  Mat s(2, 2);
  sub_matrix(s, g, 1, 2, 2, 2);
  Mat ws = {{24, 25}, {34, 35}};
  EXPECT_EQ(max_abs_diff(s, ws, 2, 2), 0.0);
}

// ---- determinant --------------------------------------------------------------

TEST_F(Toolkit, DeterminantOfKnownMatrices) {
  Mat one = {{5}};
  Mat neg = {{-3}};
  Mat d = {{2, 0}, {0, 3}};
  Mat ex = {{0, 1}, {1, 0}};
  Mat rot = {{0, -1}, {1, 0}};
  Mat d3 = {{2, 0, 0}, {0, -1, 0}, {0, 0, 4}};
  EXPECT_NEAR(det(one, 1), 5.0, 1e-15);
  EXPECT_NEAR(det(neg, 1), -3.0, 1e-15);
  EXPECT_NEAR(det(d, 2), 6.0, 1e-14);
  EXPECT_NEAR(det(ex, 2), -1.0, 1e-15);
  EXPECT_NEAR(det(rot, 2), 1.0, 1e-15);
  EXPECT_NEAR(det(identity(3), 3), 1.0, 1e-15);
  EXPECT_NEAR(det(d3, 3), -8.0, 1e-14);
  EXPECT_EQ(console_err(), "");
  EXPECT_EQ(console_out(), "");
}

// The sign rule (QR diagonal product negated for even orders) must give the
// true determinant at every order: compare with LU on random matrices and on
// the same matrices with two rows exchanged (opposite sign).
TEST_F(Toolkit, DeterminantMatchesLuWithCorrectSignForOrdersOneToSix) {
  std::mt19937 gen(20240611);
  for (int n = 1; n <= 6; n++) {
    for (int rep = 0; rep < 8; rep++) {
      Mat a = random_matrix(n, n, gen);
      if (rep % 2 == 1 && n > 1)
        std::swap(a.get()[0], a.get()[n - 1]);
      Mat before(a);
      double want = lu_det(a, n);
      double got = det(a, n);
      double tol = 1e-12 * hadamard(a, n);
      EXPECT_NEAR(got, want, tol) << "order " << n << " rep " << rep;
      EXPECT_EQ(std::signbit(got), std::signbit(want))
          << "order " << n << " rep " << rep;
      EXPECT_EQ(max_abs_diff(a, before, n, n), 0.0) << "input modified";
    }
  }
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, DeterminantAgreesWithEmbeddedR) {
  std::mt19937 gen(7);
  for (int n = 1; n <= 6; n++) {
    Mat a = random_matrix(n, n, gen);
    r_assign_matrix("a", a, n, n);
    double want = r_eval_real("det(a)");
    EXPECT_NEAR(det(a, n), want, 1e-12 * hadamard(a, n)) << "order " << n;
  }
}

TEST_F(Toolkit, DeterminantOfRankDeficientMatrixIsZeroWithMessage) {
  Mat a = {{1, 2}, {2, 4}};
  EXPECT_EQ(det(a, 2), 0.0);
  EXPECT_EQ(console_err(), kNotFullRank);
  EXPECT_EQ(console_out(), "");

  console_clear();
  Mat b = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  EXPECT_EQ(det(b, 3), 0.0);
  EXPECT_EQ(console_err(), kNotFullRank);
}

// ---- inverse ------------------------------------------------------------------

TEST_F(Toolkit, InverseOfDiagonalMatrix) {
  Mat a = {{2, 0}, {0, 4}}, out(2, 2);
  inverse(out, 2, a);
  Mat want = {{0.5, 0}, {0, 0.25}};
  EXPECT_LT(max_abs_diff(out, want, 2, 2), 1e-15);
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, InverseOfRandomMatricesMatchesSolve) {
  std::mt19937 gen(11);
  for (int n = 1; n <= 6; n++) {
    Mat a = random_matrix(n, n, gen);
    for (int i = 0; i < n; i++)
      a[i][i] += 3.0; // keep the condition number modest
    Mat before(a), inv(n, n);
    inverse(inv, n, a);
    EXPECT_EQ(max_abs_diff(a, before, n, n), 0.0) << "input modified";
    Mat left = product(inv, a, n, n, n), right = product(a, inv, n, n, n);
    EXPECT_LT(max_abs_diff(left, identity(n), n, n), 1e-12) << "order " << n;
    EXPECT_LT(max_abs_diff(right, identity(n), n, n), 1e-12) << "order " << n;
    r_assign_matrix("a", a, n, n);
    std::vector<double> s = r_eval_reals("solve(a)");
    for (int i = 0; i < n; i++)
      for (int j = 0; j < n; j++)
        EXPECT_NEAR(inv[i][j], s[i + n * j], 1e-12) << n << i << j;
  }
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, InverseMayOverwriteItsInput) {
  Mat a = {{4, 1, 0}, {1, 3, 1}, {0, 1, 2}};
  Mat ref(3, 3);
  inverse(ref, 3, a);
  inverse(a, 3, a);
  EXPECT_EQ(max_abs_diff(a, ref, 3, 3), 0.0);
}

TEST_F(Toolkit, InverseOfRankDeficientMatrixLeavesOutputUnchanged) {
  Mat a = {{1, 2}, {2, 4}}, out(2, 2);
  out.fill(42.0);
  inverse(out, 2, a);
  EXPECT_EQ(console_err(), kNotFullRank);
  EXPECT_EQ(max_abs_diff(out, Mat({{42, 42}, {42, 42}}), 2, 2), 0.0);

  console_clear();
  Mat before(a);
  inverse(a, 2, a);
  EXPECT_EQ(console_err(), kNotFullRank);
  EXPECT_EQ(max_abs_diff(a, before, 2, 2), 0.0);
}

// ---- Cholesky factor ------------------------------------------------------------

TEST_F(Toolkit, CholeskyFactorOfKnownMatrix) {
  Mat a = {{4, 2}, {2, 3}}, r(2, 2);
  r.fill(-1.0);
  cholcop(r, a, 2);
  EXPECT_NEAR(r[0][0], 2.0, 1e-15);
  EXPECT_NEAR(r[0][1], 1.0, 1e-15);
  EXPECT_EQ(r[1][0], 0.0);
  EXPECT_NEAR(r[1][1], std::sqrt(2.0), 1e-15);
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, CholeskyFactorIsUpperTriangularAndReproducesTheMatrix) {
  std::mt19937 gen(3);
  for (int n = 1; n <= 6; n++) {
    Mat a = random_spd(n, gen), r(n, n);
    r.fill(99.0); // every element must be written
    cholcop(r, a, n);
    for (int i = 0; i < n; i++) {
      EXPECT_GT(r[i][i], 0.0);
      for (int j = 0; j < i; j++)
        EXPECT_EQ(r[i][j], 0.0) << "below diagonal " << i << j;
    }
    Mat rt(n, n);
    transpose(rt, r, n, n);
    Mat rtr = product(rt, r, n, n, n);
    EXPECT_LT(max_abs_diff(rtr, a, n, n), 1e-12 * (1 + trace(a, n)));
    r_assign_matrix("a", a, n, n);
    std::vector<double> c = r_eval_reals("chol(a)");
    for (int i = 0; i < n; i++)
      for (int j = 0; j < n; j++)
        EXPECT_NEAR(r[i][j], c[i + n * j], 1e-12) << n << i << j;
  }
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, CholeskyReadsOnlyTheUpperTriangle) {
  Mat a = {{4, 2, 0.5}, {2, 3, 1}, {0.5, 1, 2}};
  Mat r1(3, 3), r2(3, 3);
  cholcop(r1, a, 3);
  a[1][0] = 1e6;
  a[2][0] = -7;
  a[2][1] = 1e-3;
  cholcop(r2, a, 3);
  EXPECT_EQ(max_abs_diff(r1, r2, 3, 3), 0.0);
  // And the upper triangle does matter.
  a[0][1] = 1.5;
  cholcop(r2, a, 3);
  EXPECT_GT(max_abs_diff(r1, r2, 3, 3), 0.1);
}

TEST_F(Toolkit, CholeskyMayOverwriteItsInput) {
  Mat a = {{4, 2, 0.5}, {2, 3, 1}, {0.5, 1, 2}}, ref(3, 3);
  cholcop(ref, a, 3);
  cholcop(a, a, 3);
  EXPECT_EQ(max_abs_diff(a, ref, 3, 3), 0.0);
}

TEST_F(Toolkit, CholeskyOfIndefiniteMatrixReportsIt) {
  Mat a = {{1, 2}, {2, 1}}, r(2, 2);
  cholcop(r, a, 2);
  EXPECT_EQ(console_err(), kNotPd);
  EXPECT_EQ(console_out(), "");
}

// ---- eigenvalues ----------------------------------------------------------------

TEST_F(Toolkit, SymmetricEigenvaluesOfKnownMatrix) {
  Mat a = {{2, 1}, {1, 2}};
  Vec v(2);
  int n = 2, m = 2;
  eigen(a, v, &n, &m);
  EXPECT_NEAR(v.get()[0], 1.0, 1e-14);
  EXPECT_NEAR(v.get()[1], 3.0, 1e-14);
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, SymmetricEigenvaluesAscendAndMatchR) {
  std::mt19937 gen(5);
  for (int n = 1; n <= 6; n++) {
    Mat a = random_symmetric(n, gen), before(a);
    Vec v(n);
    int nn = n, mm = n;
    eigen(a, v, &nn, &mm);
    EXPECT_EQ(max_abs_diff(a, before, n, n), 0.0) << "input modified";
    r_assign_matrix("a", a, n, n);
    std::vector<double> want =
        r_eval_reals("rev(eigen(a, symmetric = TRUE, only.values = TRUE)$values)");
    for (int i = 0; i < n; i++) {
      EXPECT_NEAR(v.get()[i], want[i], 1e-12) << n << i;
      if (i > 0) {
        EXPECT_LE(v.get()[i - 1], v.get()[i]);
      }
    }
  }
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, SymmetricEigenvaluesReadOnlyTheLowerTriangle) {
  Mat a = {{2, 1, 0.3}, {1, 2, -0.5}, {0.3, -0.5, 1}};
  Vec v1(3), v2(3);
  int n = 3, m = 3;
  eigen(a, v1, &n, &m);
  a[0][1] = 50.0;
  a[0][2] = -8.0;
  a[1][2] = 3.0;
  eigen(a, v2, &n, &m);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(v1.get()[i], v2.get()[i]) << i;
  a[1][0] = 50.0; // the lower triangle does matter
  eigen(a, v2, &n, &m);
  EXPECT_GT(std::fabs(v2.get()[2] - v1.get()[2]), 1.0);
}

TEST_F(Toolkit, SymmetricEigenvaluesRefuseUnequalDimensions) {
  Mat a = {{2, 1}, {1, 2}};
  Vec v = {-5, -5};
  int n = 2, m = 3;
  eigen(a, v, &n, &m);
  EXPECT_EQ(console_err(), kNotSquare);
  EXPECT_EQ(v.get()[0], -5.0);
  EXPECT_EQ(v.get()[1], -5.0);
}

TEST_F(Toolkit, GeneralEigenvaluesOfRotationAreConjugatePair) {
  Mat a = {{0, -1}, {1, 0}};
  Vec re(2), im(2);
  int n = 2, m = 2;
  eigen2(a, re, im, &n, &m);
  EXPECT_NEAR(re.get()[0], 0.0, 1e-15);
  EXPECT_NEAR(re.get()[1], 0.0, 1e-15);
  EXPECT_NEAR(im.get()[0], 1.0, 1e-15);
  EXPECT_NEAR(im.get()[1], -1.0, 1e-15);
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, GeneralEigenvaluesMatchRAndPairConjugates) {
  std::mt19937 gen(9);
  for (int n = 1; n <= 6; n++) {
    Mat a = random_matrix(n, n, gen), before(a);
    Vec re(n), im(n);
    int nn = n, mm = n;
    eigen2(a, re, im, &nn, &mm);
    EXPECT_EQ(max_abs_diff(a, before, n, n), 0.0) << "input modified";

    for (int i = 0; i < n; i++) {
      if (im.get()[i] > 0) {
        ASSERT_LT(i + 1, n) << "unpaired complex eigenvalue";
        EXPECT_EQ(re.get()[i + 1], re.get()[i]);
        EXPECT_EQ(im.get()[i + 1], -im.get()[i]);
        i++;
      } else {
        EXPECT_EQ(im.get()[i], 0.0) << "negative imaginary part first";
      }
    }

    r_assign_matrix("a", a, n, n);
    std::vector<double> wre = r_eval_reals(
        "e <- as.complex(eigen(a, only.values = TRUE)$values); Re(e)");
    std::vector<double> wim = r_eval_reals("Im(e)");
    std::vector<std::complex<double>> got, want;
    for (int i = 0; i < n; i++) {
      got.emplace_back(re.get()[i], im.get()[i]);
      want.emplace_back(wre[i], wim[i]);
    }
    // Match each of R's eigenvalues to the nearest unused one of ours.
    std::vector<bool> used(n, false);
    for (const auto &w : want) {
      int best = -1;
      for (int i = 0; i < n; i++)
        if (!used[i] && (best < 0 || std::abs(got[i] - w) < std::abs(got[best] - w)))
          best = i;
      used[best] = true;
      EXPECT_LT(std::abs(got[best] - w), 1e-10) << "order " << n << " " << w;
    }
  }
  EXPECT_EQ(console_err(), "");
}

TEST_F(Toolkit, GeneralEigenvaluesRefuseUnequalDimensions) {
  Mat a = {{0, -1}, {1, 0}};
  Vec re = {7, 7}, im = {7, 7};
  int n = 3, m = 2;
  eigen2(a, re, im, &n, &m);
  EXPECT_EQ(console_err(), kNotSquare);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(re.get()[i], 7.0);
    EXPECT_EQ(im.get()[i], 7.0);
  }
}

// ---- failure paths, repeated ----------------------------------------------------
// Every refusal must report each time and release its scratch storage; the
// valgrind target turns any leak on these paths into a failure.
TEST_F(Toolkit, RepeatedFailuresReportEveryTime) {
  const int reps = 1000;
  Mat sing = {{1, 2}, {2, 4}}, indef = {{1, 2}, {2, 1}}, out(2, 2);
  Vec v(2), w(2);
  int n = 2, m = 3;

  for (int i = 0; i < reps; i++)
    ASSERT_EQ(det(sing, 2), 0.0);
  EXPECT_EQ(console_err(), repeat(kNotFullRank, reps));

  console_clear();
  for (int i = 0; i < reps; i++)
    inverse(out, 2, sing);
  EXPECT_EQ(console_err(), repeat(kNotFullRank, reps));

  console_clear();
  for (int i = 0; i < reps; i++)
    cholcop(out, indef, 2);
  EXPECT_EQ(console_err(), repeat(kNotPd, reps));

  console_clear();
  for (int i = 0; i < reps; i++) {
    eigen(sing, v, &n, &m);
    eigen2(sing, v, w, &n, &m);
  }
  EXPECT_EQ(console_err(), repeat(kNotSquare, 2 * reps));
}
