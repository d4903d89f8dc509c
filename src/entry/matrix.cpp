// Dense matrix toolkit.  See matrix.h for the layout conventions.

// R CMD INSTALL compiles with NDEBUG; the allocation guards below must stay.
#ifdef NDEBUG
#undef NDEBUG
#endif
#include <cassert>
#include <type_traits>

#define USE_FC_LEN_T
#include <R.h>
#include <R_ext/Lapack.h>
#include <Rconfig.h>
#ifndef FCONE
#define FCONE
#endif

#include "matrix.h"

// QR routines exported by R's shared library (LINPACK with limited pivoting).
extern "C" {
void F77_NAME(dqrdc2)(double *x, int *ldx, int *n, int *p, double *tol,
                      int *rank, double *qraux, int *pivot, double *work);
void F77_NAME(dqrcf)(double *x, int *n, int *k, double *qraux, double *y,
                     int *ny, double *b, int *info);
}

namespace mcar_detail {

template <typename T>
Scratch<T>::Scratch(int n) : p_(nullptr) {
  if constexpr (std::is_same_v<T, double>)
    p_ = create_vectord(n);
  else
    p_ = create_vector(n);
}
template <typename T> Scratch<T>::~Scratch() { R_chk_free(p_); }
template class Scratch<double>;
template class Scratch<int>;

void chol_upper(const double *a, int n, double *v, int *info) {
  // Copy the upper triangle; LAPACK factorises in place and leaves the
  // strictly lower triangle alone, so it stays zero.
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++)
      v[i + n * j] = (i <= j) ? a[i + n * j] : 0.0;
  int lda = n > 0 ? n : 1;
  F77_CALL(dpotrf)("U", &n, v, &lda, info FCONE);
}

bool inverse3(double out[3][3], const double a[3][3]) {
  int dim = 3, rank = 0, info = 0;
  int pivot[3] = {0, 0, 0};
  double tol = 1e-7;
  double x[9], qraux[3] = {0, 0, 0}, work[6] = {0, 0, 0, 0, 0, 0};
  double y[9], b[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int j = 0; j < 3; j++)
    for (int i = 0; i < 3; i++) {
      x[i + 3 * j] = a[i][j];
      y[i + 3 * j] = (i == j) ? 1.0 : 0.0;
    }
  F77_CALL(dqrdc2)(x, &dim, &dim, &dim, &tol, &rank, qraux, pivot, work);
  if (rank < dim) {
    REprintf("This is not full rank matrix\n");
    return false;
  }
  F77_CALL(dqrcf)(x, &dim, &rank, qraux, y, &dim, b, &info);
  if (info != 0) {
    REprintf("This is a singular matrx\n");
    return false;
  }
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      out[i][j] = b[i + 3 * j];
  return true;
}

} // namespace mcar_detail

using mcar_detail::Scratch;

extern "C" {

// ---- creation and release -------------------------------------------------

// A row x col matrix of doubles, all 0.0: an array of row pointers, then each
// row allocated in turn.
double **create_matrixd(int row, int col) {
  double **matrix =
      static_cast<double **>(R_chk_calloc((size_t)(long)row, sizeof(double *)));
  assert(matrix);
  for (int i = 0; i < row; i++) {
    matrix[i] =
        static_cast<double *>(R_chk_calloc((size_t)(long)col, sizeof(double)));
    assert(matrix[i]);
  }
  return matrix;
}

// The same for ints.
int **create_matrix(int row, int col) {
  int **matrix =
      static_cast<int **>(R_chk_calloc((size_t)(long)row, sizeof(double *)));
  assert(matrix);
  for (int i = 0; i < row; i++) {
    matrix[i] = static_cast<int *>(R_chk_calloc((size_t)(long)col, sizeof(int)));
    assert(matrix[i]);
  }
  return matrix;
}

// dim doubles, all 0.0.
double *create_vectord(int dim) {
  double *vector =
      static_cast<double *>(R_chk_calloc((size_t)(long)dim, sizeof(double)));
  assert(vector);
  return vector;
}

// dim ints, all 0.
int *create_vector(int dim) {
  int *vector = static_cast<int *>(R_chk_calloc((size_t)(long)dim, sizeof(int)));
  assert(vector);
  return vector;
}

// Releases the rows in order, nulling each pointer, then the pointer array.
void freematd(double **a, int row, int /*col*/) {
  for (int i = 0; i < row; i++) {
    R_chk_free(a[i]);
    a[i] = NULL;
  }
  R_chk_free(a);
}

void freemat(int **a, int row, int /*col*/) {
  for (int i = 0; i < row; i++) {
    R_chk_free(a[i]);
    a[i] = NULL;
  }
  R_chk_free(a);
}

// ---- algebra ----------------------------------------------------------------

// c (m x n) = a (m x p) b (p x n); each element summed from 0.0 over k
// ascending.  c must not share storage with a or b.
void matpr(double **c, double **a, double **b, int m, int p, int n) {
  for (int i = 0; i < m; i++)
    for (int j = 0; j < n; j++) {
      double s = 0.0;
      for (int k = 0; k < p; k++)
        s += a[i][k] * b[k][j];
      c[i][j] = s;
    }
}

// matrix = a * b elementwise; matrix may be b.
void matsclpr(double **matrix, double a, double **b, int rows, int cols) {
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      matrix[i][j] = a * b[i][j];
}

// matrix = a + b; matrix may be a or b.
void matsum(double **matrix, double **a, double **b, int rows, int cols) {
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      matrix[i][j] = a[i][j] + b[i][j];
}

// matrix = a - b; matrix may be a or b.
void matdiff(double **matrix, double **a, double **b, int rows, int cols) {
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      matrix[i][j] = a[i][j] - b[i][j];
}

// matrix (cols x rows) = x' for x rows x cols.
void transpose(double **matrix, double **x, int rows, int cols) {
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      matrix[j][i] = x[i][j];
}

// Column-major flattening: vector[i + nrow*j] = matrix[i][j].
void matvector(double *vector, double **matrix, int nrow, int ncol) {
  for (int j = 0; j < ncol; j++)
    for (int i = 0; i < nrow; i++)
      vector[i + nrow * j] = matrix[i][j];
}

// Inverse of matvector.
void vectormat(double **matrix, double *vector, int nrow, int ncol) {
  for (int j = 0; j < ncol; j++)
    for (int i = 0; i < nrow; i++)
      matrix[i][j] = vector[i + nrow * j];
}

double trace(double **a, int dim) {
  double s = 0.0;
  for (int i = 0; i < dim; i++)
    s += a[i][i];
  return s;
}

void Row_extract(double *row_vector, double **matrix, int row_no, int ncol) {
  for (int j = 0; j < ncol; j++)
    row_vector[j] = matrix[row_no][j];
}

void Col_extract(double *col_vector, double **matrix, int col_no, int nrow) {
  for (int i = 0; i < nrow; i++)
    col_vector[i] = matrix[i][col_no];
}

// Outer product: matrix[i][j] = vector1[i] * vector2[j].
void vecprm(double **matrix, double *vector1, double *vector2, int rows,
            int cols) {
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      matrix[i][j] = vector1[i] * vector2[j];
}

void zero_mat(double **matrix, int rows, int cols) {
  for (int i = 0; i < rows; i++)
    for (int j = 0; j < cols; j++)
      matrix[i][j] = 0.0;
}

void ident_mat(double **matrix, int dim) {
  for (int i = 0; i < dim; i++)
    for (int j = 0; j < dim; j++)
      matrix[i][j] = (i == j) ? 1.0 : 0.0;
}

// Kronecker product: block (i, j) of c (rowa*rowb x cola*colb) is a[i][j] b.
void kroneckerprod(double **c, double **a, double **b, int rowa, int cola,
                   int rowb, int colb) {
  for (int i = 0; i < rowa; i++)
    for (int j = 0; j < cola; j++)
      for (int k = 0; k < rowb; k++)
        for (int l = 0; l < colb; l++)
          c[i * rowb + k][j * colb + l] = a[i][j] * b[k][l];
}

// The rowb x colb block in block-row rowa and block-column cola of a.
void sub_matrix(double **matrix, double **a, int rowa, int cola, int rowb,
                int colb) {
  for (int i = 0; i < rowb; i++)
    for (int j = 0; j < colb; j++)
      matrix[i][j] = a[rowa * rowb + i][cola * colb + j];
}

// vector (cols) = x' a, x of length rows.
void vecmatpr(double *vector, double **a, int rows, int cols, double *x) {
  for (int j = 0; j < cols; j++) {
    double s = 0.0;
    for (int i = 0; i < rows; i++)
      s += x[i] * a[i][j];
    vector[j] = s;
  }
}

double vecprs(double *vector1, double *vector2, int row) {
  double s = 0.0;
  for (int i = 0; i < row; i++)
    s += vector1[i] * vector2[i];
  return s;
}

// vector (rows) = a x, x of length cols.
void matvecpr(double *vector, double **a, int rows, int cols, double *x) {
  for (int i = 0; i < rows; i++) {
    double s = 0.0;
    for (int j = 0; j < cols; j++)
      s += a[i][j] * x[j];
    vector[i] = s;
  }
}

// ---- factorisations ---------------------------------------------------------

// Determinant through the QR decomposition with limited pivoting: the product
// of R's diagonal, negated for even orders (the Householder reflections of an
// order-n decomposition multiply the determinant by (-1)^(n-1)).  0.0 with a
// message when the matrix is not of full rank.
double det(double **matrix, int dim) {
  Scratch<double> x(dim * dim), qraux(dim), work(2 * dim);
  Scratch<int> pivot(dim);
  double tol = 1e-7;
  int rank = 0;
  matvector(x, matrix, dim, dim);
  F77_CALL(dqrdc2)(x, &dim, &dim, &dim, &tol, &rank, qraux, pivot, work);
  if (rank < dim) {
    REprintf("This is not full rank matrix\n");
    return 0.0;
  }
  double prod = 1.0;
  for (int i = 0; i < dim; i++)
    prod *= x[i + i * dim];
  return (dim % 2 != 1) ? -prod : prod;
}

// invertmat = matrix^-1 by QR; invertmat may be matrix.  Left unchanged, with
// a message, when the matrix is rank-deficient or singular.
void inverse(double **invertmat, int dim, double **matrix) {
  Scratch<int> pivot(dim);
  Scratch<double> qraux(dim), work(2 * dim), x(dim * dim), y(dim * dim),
      b(dim * dim);
  double tol = 1e-7;
  int rank = 0, info = 0;
  matvector(x, matrix, dim, dim);
  double **ident = create_matrixd(dim, dim);
  ident_mat(ident, dim);
  matvector(y, ident, dim, dim);
  freematd(ident, dim, dim);
  F77_CALL(dqrdc2)(x, &dim, &dim, &dim, &tol, &rank, qraux, pivot, work);
  if (rank < dim) {
    REprintf("This is not full rank matrix\n");
    return;
  }
  F77_CALL(dqrcf)(x, &dim, &rank, qraux, y, &dim, b, &info);
  if (info != 0) {
    REprintf("This is a singular matrx\n");
    return;
  }
  vectormat(invertmat, b, dim, dim);
}

// matrix = upper-triangular R with A = R'R (only A's upper triangle is read);
// matrix may be A.
void cholcop(double **matrix, double **A, int dim) {
  Scratch<double> a(dim * dim), v(dim * dim);
  int info = 0;
  matvector(a, A, dim, dim);
  mcar_detail::chol_upper(a, dim, v, &info);
  vectormat(matrix, v, dim, dim);
  if (info != 0)
    REprintf("This is not P.d matrix\n");
}

// Eigenvalues, ascending, of the symmetric *m x *m matrix (lower triangle
// read).
void eigen(double **matrix, double *value, int *n, int *m) {
  if (*m != *n) {
    REprintf("This is a singular matrx\n");
    return;
  }
  int dim = *m, lda = dim > 0 ? dim : 1, info = 0, lwork = -1;
  Scratch<double> a(dim * dim);
  matvector(a, matrix, dim, dim);
  double wkopt = 0.0;
  F77_CALL(dsyev)("N", "L", &dim, a, &lda, value, &wkopt, &lwork, &info
                  FCONE FCONE);
  lwork = info == 0 ? (int)wkopt : 3 * dim;
  if (lwork < 1)
    lwork = 1;
  Scratch<double> work(lwork);
  F77_CALL(dsyev)("N", "L", &dim, a, &lda, value, work, &lwork, &info
                  FCONE FCONE);
  if (info != 0)
    REprintf("This is a wrong result\n");
}

// Real and imaginary parts of the eigenvalues of the general *m x *m matrix;
// a complex-conjugate pair stands in consecutive places, the member with the
// positive imaginary part first.
void eigen2(double **matrix, double *value1, double *value2, int *n, int *m) {
  if (*m != *n) {
    REprintf("This is a singular matrx\n");
    return;
  }
  int dim = *m, lda = dim > 0 ? dim : 1, ldv = 1, info = 0;
  int lwork = 4 * dim > 1 ? 4 * dim : 1;
  Scratch<double> a(dim * dim), work(lwork);
  double vdummy = 0.0;
  matvector(a, matrix, dim, dim);
  F77_CALL(dgeev)("N", "N", &dim, a, &lda, value1, value2, &vdummy, &ldv,
                  &vdummy, &ldv, work, &lwork, &info FCONE FCONE);
  if (info != 0)
    REprintf("This is a wrong result\n");
}

} // extern "C"
