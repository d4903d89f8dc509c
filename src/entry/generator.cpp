// Multivariate normal and Wishart draws from R's normal generator.  The
// caller loads and saves R's random-number state around them.

#include <R.h>
#include <Rmath.h>

#include "generator.h"
#include "matrix.h"

using mcar_detail::Scratch;

extern "C" {

// vector = mean + R' z, with disp = R'R (upper Cholesky factor, only the
// upper triangle of disp is read) and z dim successive standard normals.
// When disp is not positive definite nothing is drawn and vector is left
// as it was.  vector may be mean.
void multinormal(double *vector, double *mean, double **disp, int dim) {
  Scratch<double> a(dim * dim), v(dim * dim);
  int info = 0;
  matvector(a, disp, dim, dim);
  mcar_detail::chol_upper(a, dim, v, &info);
  if (info != 0) {
    REprintf("This is not P.d matrix\n");
    return;
  }
  Scratch<double> x(dim), z(dim);
  double **A = create_matrixd(dim, dim), **tA = create_matrixd(dim, dim);
  vectormat(A, v, dim, dim);
  transpose(tA, A, dim, dim);
  for (int i = 0; i < dim; i++)
    z[i] = norm_rand();
  matvecpr(x, tA, dim, dim, z);
  for (int i = 0; i < dim; i++)
    vector[i] = x[i] + mean[i];
  freematd(A, dim, dim);
  freematd(tA, dim, dim);
}

// wishart = sum over m independent draws x ~ N(0, V) of x x'.  Refused with
// a message, drawing nothing, when m < dim.
void rwishart(double **wishart, double **V, int dim, int m) {
  if (m < dim) {
    REprintf("N should not be less than dimension\n");
    return;
  }
  double **X = create_matrixd(m, dim), **tX = create_matrixd(dim, m);
  Scratch<double> temp(dim), zero(dim);
  for (int i = 0; i < dim; i++)
    zero[i] = 0.0;
  for (int i = 0; i < m; i++) {
    multinormal(temp, zero, V, dim);
    for (int j = 0; j < dim; j++)
      X[i][j] = temp[j];
  }
  transpose(tX, X, m, dim);
  matpr(wishart, tX, X, dim, m, dim);
  freematd(X, m, dim);
  freematd(tX, dim, m);
}

} // extern "C"
