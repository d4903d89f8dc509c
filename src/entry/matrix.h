// Dense matrix toolkit: row-pointer matrices and plain vectors allocated
// through R's checked allocator, elementwise algebra and products, and the
// factorisation-based operations (determinant, inverse, Cholesky factor,
// eigenvalues).
//
// A matrix is an array of row pointers, each row its own zero-filled array;
// no shape is stored, every operation is told its dimensions.  Outputs come
// first, then inputs, then the int dimensions (vecmatpr and matvecpr take
// their input vector last).  The caller allocates every output.
#ifndef MCAR_MATRIX_H
#define MCAR_MATRIX_H

// Every product and sum in the library is rounded on its own, in the order
// written: no fused multiply-add, whatever instruction set the compiler
// targets, so that a chain is the same on every machine for a given seed.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#ifdef __cplusplus
extern "C" {
#endif

double **create_matrixd(int row, int col);
int **create_matrix(int row, int col);
double *create_vectord(int dim);
int *create_vector(int dim);
void freematd(double **a, int row, int col);
void freemat(int **a, int row, int col);

void matpr(double **c, double **a, double **b, int m, int p, int n);
void matsclpr(double **matrix, double a, double **b, int rows, int cols);
void matsum(double **matrix, double **a, double **b, int rows, int cols);
void matdiff(double **matrix, double **a, double **b, int rows, int cols);
void transpose(double **matrix, double **x, int rows, int cols);
void matvector(double *vector, double **matrix, int nrow, int ncol);
void vectormat(double **matrix, double *vector, int nrow, int ncol);
double trace(double **a, int dim);
void Row_extract(double *row_vector, double **matrix, int row_no, int ncol);
void Col_extract(double *col_vector, double **matrix, int col_no, int nrow);
void vecprm(double **matrix, double *vector1, double *vector2, int rows, int cols);
void zero_mat(double **matrix, int rows, int cols);
void ident_mat(double **matrix, int dim);
void kroneckerprod(double **c, double **a, double **b, int rowa, int cola,
                   int rowb, int colb);
void sub_matrix(double **matrix, double **a, int rowa, int cola, int rowb,
                int colb);
void vecmatpr(double *vector, double **a, int rows, int cols, double *x);
double vecprs(double *vector1, double *vector2, int row);
void matvecpr(double *vector, double **a, int rows, int cols, double *x);

double det(double **matrix, int dim);
void inverse(double **invertmat, int dim, double **matrix);
void cholcop(double **matrix, double **A, int dim);
void eigen(double **matrix, double *value, int *n, int *m);
void eigen2(double **matrix, double *value1, double *value2, int *n, int *m);

#ifdef __cplusplus
}

namespace mcar_detail {

// Scratch array from the toolkit's allocator, released when it goes out of
// scope.  Only for code that cannot leave through an R error (longjmp skips
// destructors).
template <typename T> class Scratch {
public:
  explicit Scratch(int n);
  ~Scratch();
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  T *get() const { return p_; }
  operator T *() const { return p_; }

private:
  T *p_;
};

// Upper-triangular Cholesky factor of the column-major n x n matrix a (only
// its upper triangle is read) into v, zeros below the diagonal; info is 0 on
// success and positive when a is not positive definite.
void chol_upper(const double *a, int n, double *v, int *info);

// Inverse of the 3 x 3 matrix held row-major in a, through the same QR
// routines and failure messages as inverse(), without heap allocation.
// On failure out is left unchanged and false is returned.
bool inverse3(double out[3][3], const double a[3][3]);

} // namespace mcar_detail
#endif

#endif
