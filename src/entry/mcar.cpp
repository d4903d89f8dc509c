// The model: state, set-up, association matrix, log full conditionals,
// Metropolis updates and deviance.  See mcar.h for the model.
//
// Every log full conditional returns its density up to an additive term that
// does not depend on the updated quantity; only differences of two
// evaluations in the same state mean anything.  Every update follows one
// Metropolis step: u = unif_rand() first, then one norm_rand() per proposed
// coordinate, all drawn whatever the decision; accept when u > 0 and
// lgratio >= log(u) (a NaN ratio rejects), else return an exact copy.
//
// Arithmetic is written in the order of the formulas (left to right, sums
// over ascending indices from 0.0) so that the chain produced from a given
// state of R's generator is fixed to the last bit.  The hot paths avoid two
// kinds of waste without changing any value: neighbour sums skip the zero
// entries of C (a zero entry adds exactly +0.0 to a finite sum), and the
// small matrices of the association and loading updates live on the stack.

#include <R.h>
#include <Rmath.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "matrix.h"
#include "mcar.h"

extern "C" {
double *Y1 = NULL, *Y2 = NULL, *Y3 = NULL;
double *N1 = NULL, *N2 = NULL, *N3 = NULL;
double *phi1 = NULL, *phi2 = NULL, *phi3 = NULL;
double gbeta1 = 0.0, gbeta2 = 0.0, gbeta3 = 0.0;
double lamda1 = 0.0, lamda2 = 0.0, lamda3 = 0.0, lamda4 = 0.0, lamda5 = 0.0,
       lamda6 = 0.0;
double *alpha = NULL, *eta = NULL, *theta = NULL, *eigen1 = NULL;
double **C = NULL, **D = NULL;
}

namespace {

const double HALF_PI = 1.5707963267948966;
const double ETA_LOWER = 1.19; // eigenvalues live in (-1.19, 0.99)
const double ETA_UPPER = 0.99;

// ---- sparse view of C --------------------------------------------------------
//
// C does not change after read_data, so its nonzero entries are indexed once
// there, by row (for the quadratic form, which runs over rows i and then
// columns j) and by column (for the random-effect conditionals, which run
// down column k).  Both keep the ascending order of the dense loops.

struct NeighbourIndex {
  bool valid = false;
  int row_start[NREGION + 1];
  int row_col[NREGION * NREGION];
  double row_val[NREGION * NREGION];
  int col_start[NREGION + 1];
  int col_row[NREGION * NREGION];
  double col_val[NREGION * NREGION];
};
NeighbourIndex nbr;
bool sparse_enabled = true;

inline bool use_sparse() { return sparse_enabled && nbr.valid; }

void index_neighbours() {
  int n = 0;
  for (int i = 0; i < NREGION; i++) {
    nbr.row_start[i] = n;
    for (int j = 0; j < NREGION; j++)
      if (C[i][j] != 0.0) {
        nbr.row_col[n] = j;
        nbr.row_val[n] = C[i][j];
        n++;
      }
  }
  nbr.row_start[NREGION] = n;
  n = 0;
  for (int k = 0; k < NREGION; k++) {
    nbr.col_start[k] = n;
    for (int i = 0; i < NREGION; i++)
      if (C[i][k] != 0.0) {
        nbr.col_row[n] = i;
        nbr.col_val[n] = C[i][k];
        n++;
      }
  }
  nbr.col_start[NREGION] = n;
  nbr.valid = true;
}

// ---- the Metropolis decision --------------------------------------------------

// u comes from unif_rand(), which lies in (0, 1), so log(u) < 0 and a
// ratio of at least 0 accepts without taking the logarithm.
inline bool accept(double u, double lgratio) {
  if (!(u > 0))
    return false;
  return lgratio >= 0 || lgratio >= log(u);
}

// ---- association matrix -------------------------------------------------------

typedef double Mat3[3][3];

// c = a b for 3 x 3 matrices, each element summed from 0.0 over k ascending.
inline void mul3(Mat3 c, const Mat3 a, const Mat3 b) {
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      double s = 0.0;
      for (int k = 0; k < 3; k++)
        s += a[i][k] * b[k][j];
      c[i][j] = s;
    }
}

// A = P diag(xeta) P' with P = (P1 P2) P3, packed as A00 A01 A02 A11 A12 A22.
void alpha_from(double *xalpha, const double *xtheta, const double *xeta) {
  double c0 = cos(xtheta[0] * HALF_PI), s0 = sin(xtheta[0] * HALF_PI),
         m0 = sin(xtheta[0] * (-HALF_PI));
  double c1 = cos(xtheta[1] * HALF_PI), s1 = sin(xtheta[1] * HALF_PI),
         m1 = sin(xtheta[1] * (-HALF_PI));
  double c2 = cos(xtheta[2] * HALF_PI), s2 = sin(xtheta[2] * HALF_PI),
         m2 = sin(xtheta[2] * (-HALF_PI));
  const Mat3 P1 = {{c0, s0, 0.0}, {m0, c0, 0.0}, {0.0, 0.0, 1.0}};
  const Mat3 P2 = {{c1, 0.0, s1}, {0.0, 1.0, 0.0}, {m1, 0.0, c1}};
  const Mat3 P3 = {{1.0, 0.0, 0.0}, {0.0, c2, s2}, {0.0, m2, c2}};
  const Mat3 Lam = {{xeta[0], 0.0, 0.0}, {0.0, xeta[1], 0.0},
                    {0.0, 0.0, xeta[2]}};
  Mat3 P12, P, PL, Pt, A;
  mul3(P12, P1, P2);
  mul3(P, P12, P3);
  mul3(PL, P, Lam);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      Pt[j][i] = P[i][j];
  mul3(A, PL, Pt);
  xalpha[0] = A[0][0];
  xalpha[1] = A[0][1];
  xalpha[2] = A[0][2];
  xalpha[3] = A[1][1];
  xalpha[4] = A[1][2];
  xalpha[5] = A[2][2];
}

// ---- random effects ------------------------------------------------------------

// The two neighbour sums of the conditional of component m at unit k:
// sum2 over the component's own field, sum1 over the other two, down column
// k of C.  They do not depend on the value being evaluated.
struct PhiSums {
  double sum1, sum2;
};

PhiSums phi_sums(const double *own, double a_own, const double *p,
                 double a_p, const double *q, double a_q, int k) {
  double sum1 = 0.0, sum2 = 0.0;
  const double ta_own = 2 * a_own, ta_p = 2 * a_p, ta_q = 2 * a_q;
  if (use_sparse()) {
    for (int n = nbr.col_start[k]; n < nbr.col_start[k + 1]; n++) {
      int i = nbr.col_row[n];
      double c = nbr.col_val[n];
      sum2 += ta_own * c * own[i];
      sum1 += ta_p * c * p[i] + ta_q * c * q[i];
    }
  } else {
    for (int i = 0; i < NREGION; i++) {
      double c = C[i][k];
      sum2 += ta_own * c * own[i];
      sum1 += ta_p * c * p[i] + ta_q * c * q[i];
    }
  }
  return {sum1, sum2};
}

inline double phi_prior(double x, int k, PhiSums s) {
  return -0.5 * (D[k][k] * (x * x) - x * s.sum2 - x * s.sum1);
}

PhiSums sums_phi1(int k) {
  return phi_sums(phi1, alpha[0], phi2, alpha[1], phi3, alpha[2], k);
}
PhiSums sums_phi2(int k) {
  return phi_sums(phi2, alpha[3], phi1, alpha[1], phi3, alpha[4], k);
}
PhiSums sums_phi3(int k) {
  return phi_sums(phi3, alpha[5], phi1, alpha[2], phi2, alpha[4], k);
}

double eval_phi1(double x, int k, PhiSums s) {
  return Y1[k] * lamda1 * x -
         N1[k] * exp(gbeta1 + lamda1 * x + lamda2 * phi2[k] + lamda3 * phi3[k]) +
         phi_prior(x, k, s);
}

double eval_phi2(double x, int k, PhiSums s) {
  return Y2[k] * lamda4 * x -
         N2[k] * exp(gbeta2 + lamda4 * x + lamda5 * phi3[k]) +
         Y1[k] * lamda2 * x -
         N1[k] * exp(gbeta1 + lamda1 * phi1[k] + lamda2 * x + lamda3 * phi3[k]) +
         phi_prior(x, k, s);
}

double eval_phi3(double x, int k, PhiSums s) {
  return Y2[k] * lamda5 * x -
         N2[k] * exp(gbeta2 + lamda4 * phi2[k] + lamda5 * x) +
         Y1[k] * lamda3 * x -
         N1[k] * exp(gbeta1 + lamda1 * phi1[k] + lamda2 * phi2[k] + lamda3 * x) +
         Y3[k] * lamda6 * x - N3[k] * exp(gbeta3 + lamda6 * x) +
         phi_prior(x, k, s);
}

// One random-walk step on a single effect: the neighbour sums are formed
// once and shared by both evaluations.
template <PhiSums (*Sums)(int), double (*Eval)(double, int, PhiSums)>
double phi_step(int j, double x_prev, double scale) {
  double u = unif_rand();
  double y = x_prev + scale * norm_rand();
  PhiSums s = Sums(j);
  double at_candidate = Eval(y, j, s);
  double at_current = Eval(x_prev, j, s);
  double lgratio = at_candidate - at_current;
  return accept(u, lgratio) ? y : x_prev;
}

// One random-walk step on an intercept.
template <double (*Target)(double)>
double beta_step(double x_prev, double scale) {
  double u = unif_rand();
  double y = x_prev + scale * norm_rand();
  double at_candidate = Target(y);
  double at_current = Target(x_prev);
  double lgratio = at_candidate - at_current;
  return accept(u, lgratio) ? y : x_prev;
}

// ---- association-matrix conditionals ------------------------------------------

// sum over i, j of C[i][j] (z0 p1i p1j + z3 p2i p2j + z5 p3i p3j
//   + 2 z1 p1i p2j + 2 z2 p1i p3j + 2 z4 p2i p3j); the products that involve
// only row i are formed once per row, in the same association as the
// full expression.
double quad_form(const double *z) {
  const double *p1 = phi1, *p2 = phi2, *p3 = phi3;
  const double tz1 = 2 * z[1], tz2 = 2 * z[2], tz4 = 2 * z[4];
  double sum = 0.0;
  const bool sparse = use_sparse();
  for (int i = 0; i < NREGION; i++) {
    const double a0 = z[0] * p1[i], a3 = z[3] * p2[i], a5 = z[5] * p3[i];
    const double b1 = tz1 * p1[i], b2 = tz2 * p1[i], b4 = tz4 * p2[i];
    if (sparse) {
      for (int n = nbr.row_start[i]; n < nbr.row_start[i + 1]; n++) {
        const int j = nbr.row_col[n];
        sum += nbr.row_val[n] * (a0 * p1[j] + a3 * p2[j] + a5 * p3[j] +
                                 b1 * p2[j] + b2 * p3[j] + b4 * p3[j]);
      }
    } else {
      const double *Ci = C[i];
      for (int j = 0; j < NREGION; j++)
        sum += Ci[j] * (a0 * p1[j] + a3 * p2[j] + a5 * p3[j] + b1 * p2[j] +
                        b2 * p3[j] + b4 * p3[j]);
    }
  }
  return sum;
}

double log_det_term(const double *x) {
  double determ = 0.0;
  for (int n = 0; n < 3; n++)
    for (int i = 0; i < NREGION; i++)
      determ += log(1 - x[n] * eigen1[i]);
  return determ;
}

// A random walk on a logit-type transform of a triple bounded to
// (-lo, hi): logit(x) = log((x + lo)/(hi - x)), with the Jacobian
// log((y + lo)(hi - y)) - log((x + lo)(hi - x)) in the ratio.
struct BoundedWalk {
  double y[3];
  double J;
};

BoundedWalk bounded_walk(const double *x_prev, const double *scale, double lo,
                         double hi) {
  BoundedWalk w;
  for (int n = 0; n < 3; n++) {
    double logit_x = log((x_prev[n] + lo) / (hi - x_prev[n]));
    double logit_y = logit_x + scale[n] * norm_rand();
    w.y[n] = (hi * exp(logit_y) - lo) / (exp(logit_y) + 1);
  }
  w.J = 0.0;
  for (int n = 0; n < 3; n++)
    w.J += log((w.y[n] + lo) * (hi - w.y[n])) -
           log((x_prev[n] + lo) * (hi - x_prev[n]));
  return w;
}

bool finish_alpha_step(double *x_cur, const double *x_prev, double u,
                       double lgratio, const BoundedWalk &w,
                       const double *newalpha) {
  if (accept(u, lgratio)) {
    for (int n = 0; n < 3; n++)
      x_cur[n] = w.y[n];
    for (int n = 0; n < 6; n++)
      alpha[n] = newalpha[n];
  } else {
    for (int n = 0; n < 3; n++)
      x_cur[n] = x_prev[n];
    return false;
  }
  return true;
}

// ---- loadings ------------------------------------------------------------------

double lamda_likelihood(const double *x) {
  double L = 0.0;
  for (int i = 0; i < NREGION; i++) {
    double s1 = x[0] * phi1[i] + x[1] * phi2[i] + x[2] * phi3[i];
    double s2 = x[3] * phi2[i] + x[4] * phi3[i];
    double s3 = x[5] * phi3[i];
    L += Y1[i] * s1 - N1[i] * exp(gbeta1 + s1) + Y2[i] * s2 -
         N2[i] * exp(gbeta2 + s2) + Y3[i] * s3 - N3[i] * exp(gbeta3 + s3);
  }
  return L;
}

void copy6(double *to, const double *from) {
  for (int n = 0; n < 6; n++)
    to[n] = from[n];
}

// Log full conditionals of the intercepts (flat priors).
double beta1_target(double x) {
  double s = 0.0;
  for (int i = 0; i < NREGION; i++)
    s += x * Y1[i] -
         N1[i] * exp(x + lamda1 * phi1[i] + lamda2 * phi2[i] + lamda3 * phi3[i]);
  return s;
}

double beta2_target(double x) {
  double s = 0.0;
  for (int i = 0; i < NREGION; i++)
    s += x * Y2[i] - N2[i] * exp(x + lamda4 * phi2[i] + lamda5 * phi3[i]);
  return s;
}

double beta3_target(double x) {
  double s = 0.0;
  for (int i = 0; i < NREGION; i++)
    s += x * Y3[i] - N3[i] * exp(x + lamda6 * phi3[i]);
  return s;
}

// Log full conditional of the loading vector: Poisson likelihood plus an
// inverse-Wishart(3, 0.3 I) prior on L L' and the Jacobian of L -> L L'.
double lamda_target(const double *x) {
  double L = lamda_likelihood(x);
  const double A[3][3] = {{x[0], x[1], x[2]}, {0.0, x[3], x[4]},
                          {0.0, 0.0, x[5]}};
  double tA[3][3], AtA[3][3];
  double invA[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      tA[j][i] = A[i][j];
  mul3(AtA, A, tA);
  mcar_detail::inverse3(invA, AtA);
  double tr = 0.0;
  for (int i = 0; i < 3; i++)
    tr += invA[i][i];
  return L - 7 * log(x[0] * x[3] * x[5]) - 0.5 * (0.3 * tr) +
         3 * log(x[5]) + 2 * log(x[3]) + log(x[0]);
}

// ---- neighbour files -------------------------------------------------------------

// Reads 87 x 87 numbers row by row into m.  Returns false when the file
// cannot be opened; *nread is the number of successful conversions.
bool read_matrix_file(const char *name, double **m, int *nread) {
  FILE *f = fopen(name, "r");
  *nread = 0;
  if (f == NULL)
    return false;
  for (int i = 0; i < NREGION; i++)
    for (int j = 0; j < NREGION; j++)
      if (fscanf(f, "%lf", &m[i][j]) == 1)
        (*nread)++;
  fclose(f);
  return true;
}

void describe_cwd(char *buf, size_t len) {
  if (getcwd(buf, len) == NULL)
    snprintf(buf, len, "%s", "(the current directory)");
}

} // namespace

// ---- internal entry points --------------------------------------------------------

namespace mcar_detail {

void load_neighbours(NeighbourReport *report) {
  report->ok = true;
  report->nwarnings = 0;
  report->error[0] = '\0';
  nbr.valid = false;
  const char *names[2] = {"neighbor1.txt", "neighbor2.txt"};
  double **targets[2] = {D, C};
  for (int f = 0; f < 2; f++) {
    int nread = 0;
    if (!read_matrix_file(names[f], targets[f], &nread)) {
      char cwd[1024];
      describe_cwd(cwd, sizeof cwd);
      snprintf(report->error, sizeof report->error,
               "cannot open neighbour file \"%s\" in directory \"%s\": %s",
               names[f], cwd, strerror(errno));
      report->ok = false;
      return;
    }
    if (nread < NREGION * NREGION) {
      char cwd[1024];
      describe_cwd(cwd, sizeof cwd);
      snprintf(report->warning[report->nwarnings],
               sizeof report->warning[0],
               "neighbour file \"%s\" in directory \"%s\": read %d of %d "
               "numbers; the remaining entries are 0",
               names[f], cwd, nread, NREGION * NREGION);
      report->nwarnings++;
    }
  }
  index_neighbours();
}

void release_state(void) {
  double **vecs[] = {&Y1,   &Y2,   &Y3,   &N1,  &N2,    &N3,    &phi1,
                     &phi2, &phi3, &eta,  &theta, &alpha, &eigen1};
  for (double **v : vecs) {
    if (*v != NULL) {
      R_chk_free(*v);
      *v = NULL;
    }
  }
  if (C != NULL) {
    freematd(C, NREGION, NREGION);
    C = NULL;
  }
  if (D != NULL) {
    freematd(D, NREGION, NREGION);
    D = NULL;
  }
  nbr.valid = false;
}

// Diagonal loadings lamda1, lamda4, lamda6: a joint random walk on their
// logarithms.
double lamda_step1(double *x_cur, const double *x_prev, const double *scale,
                   const double *known_current) {
  double u = unif_rand();
  double x[6] = {log(x_prev[0]), x_prev[1], x_prev[2],
                 log(x_prev[3]), x_prev[4], log(x_prev[5])};
  double y[6] = {0, 0, 0, 0, 0, 0};
  y[0] = x[0] + scale[0] * norm_rand();
  y[3] = x[3] + scale[1] * norm_rand();
  y[5] = x[5] + scale[2] * norm_rand();
  double newy[6] = {exp(y[0]), x_prev[1], x_prev[2],
                    exp(y[3]), x_prev[4], exp(y[5])};
  double at_candidate = lamda_target(newy);
  double at_current = known_current ? *known_current
                                    : lamda_target(x_prev);
  double lgratio = at_candidate - at_current + (y[0] - x[0]) + (y[3] - x[3]) +
                   (y[5] - x[5]);
  bool accepted = accept(u, lgratio);
  copy6(x_cur, accepted ? newy : x_prev);
  return accepted ? at_candidate : at_current;
}

// Off-diagonal loadings lamda2, lamda3, lamda5: a joint plain random walk.
double lamda_step2(double *x_cur, const double *x_prev, const double *scale,
                   const double *known_current) {
  double u = unif_rand();
  double y[6];
  copy6(y, x_prev);
  y[1] = x_prev[1] + scale[0] * norm_rand();
  y[2] = x_prev[2] + scale[1] * norm_rand();
  y[4] = x_prev[4] + scale[2] * norm_rand();
  double at_candidate = lamda_target(y);
  double at_current = known_current ? *known_current
                                    : lamda_target(x_prev);
  double lgratio = at_candidate - at_current;
  bool accepted = accept(u, lgratio);
  copy6(x_cur, accepted ? y : x_prev);
  return accepted ? at_candidate : at_current;
}

// Eigenvalues: a joint random walk on log((x + 1.19)/(0.99 - x)), the angles
// held at the stored theta.
double eta_step(double *x_cur, const double *x_prev, const double *scale,
                EtaCarry *carry) {
  double u = unif_rand();
  BoundedWalk w = bounded_walk(x_prev, scale, ETA_LOWER, ETA_UPPER);
  double newalpha[6], oldalpha[6];
  alpha_from(newalpha, theta, w.y);
  if (carry)
    std::memcpy(oldalpha, alpha, sizeof oldalpha);
  else
    alpha_from(oldalpha, theta, x_prev);
  double quad_new = quad_form(newalpha), quad_old = quad_form(oldalpha);
  double determ_new = log_det_term(w.y);
  double determ_old = (carry && carry->have_determ) ? carry->determ
                                                    : log_det_term(x_prev);
  double at_candidate = 0.5 * determ_new + 0.5 * quad_new;
  double at_current = 0.5 * determ_old + 0.5 * quad_old;
  double lgratio = at_candidate - at_current + w.J;
  bool accepted = finish_alpha_step(x_cur, x_prev, u, lgratio, w, newalpha);
  if (carry) {
    carry->have_determ = true;
    carry->determ = accepted ? determ_new : determ_old;
  }
  return accepted ? quad_new : quad_old;
}

// Angles: a joint random walk on log((x + 1)/(1 - x)), the eigenvalues held
// at the stored eta.
double theta_step(double *x_cur, const double *x_prev, const double *scale,
                  const double *known_quad_current) {
  double u = unif_rand();
  BoundedWalk w = bounded_walk(x_prev, scale, 1.0, 1.0);
  double newalpha[6];
  alpha_from(newalpha, w.y, eta);
  double quad_new = quad_form(newalpha), quad_old;
  if (known_quad_current) {
    quad_old = *known_quad_current;
  } else {
    double oldalpha[6];
    alpha_from(oldalpha, x_prev, eta);
    quad_old = quad_form(oldalpha);
  }
  double at_candidate = 0.5 * quad_new;
  double at_current = 0.5 * quad_old;
  double lgratio = at_candidate - at_current + w.J;
  bool accepted = finish_alpha_step(x_cur, x_prev, u, lgratio, w, newalpha);
  return accepted ? quad_new : quad_old;
}

void set_sparse_neighbours(bool on) { sparse_enabled = on; }
bool neighbour_index_valid(void) { return nbr.valid; }

} // namespace mcar_detail

// ---- exported functions -------------------------------------------------------------

extern "C" {

// Allocates every array of the model state, zero-filled.
void global_memory(void) {
  Y1 = create_vectord(NREGION);
  Y2 = create_vectord(NREGION);
  Y3 = create_vectord(NREGION);
  C = create_matrixd(NREGION, NREGION);
  D = create_matrixd(NREGION, NREGION);
  phi1 = create_vectord(NREGION);
  phi2 = create_vectord(NREGION);
  phi3 = create_vectord(NREGION);
  N1 = create_vectord(NREGION);
  N2 = create_vectord(NREGION);
  N3 = create_vectord(NREGION);
  eta = create_vectord(3);
  theta = create_vectord(3);
  alpha = create_vectord(6);
  eigen1 = create_vectord(NREGION);
  nbr.valid = false;
}

// Fills D from "neighbor1.txt" and C from "neighbor2.txt" in the working
// directory.  A file that cannot be opened releases the model state and
// raises an R error naming the file and the directory; a file with fewer
// numbers than a full matrix (or with a character that stops the
// conversion) leaves the rest of the matrix at 0 and raises an R warning.
void read_data(void) {
  mcar_detail::NeighbourReport report;
  mcar_detail::load_neighbours(&report);
  if (!report.ok) {
    mcar_detail::release_state();
    Rf_error("%s", report.error);
  }
  for (int w = 0; w < report.nwarnings; w++)
    Rf_warning("%s", report.warning[w]);
}

// Copies the caller's data and starting values into the model state and
// forms the starting association vector.
void start_vals(double *Y10, double *Y20, double *Y30, double *N10,
                double *N20, double *N30, double *beta0, double *phi10,
                double *phi20, double *phi30, double *lamda0, double *eta0,
                double *theta0, double *eigen10) {
  double *alpha0 = create_vectord(6);
  for (int i = 0; i < NREGION; i++) {
    phi1[i] = phi10[i];
    phi2[i] = phi20[i];
    phi3[i] = phi30[i];
    eigen1[i] = eigen10[i];
  }
  for (int i = 0; i < NREGION; i++) {
    Y1[i] = Y10[i];
    Y2[i] = Y20[i];
    Y3[i] = Y30[i];
    N1[i] = N10[i];
    N2[i] = N20[i];
    N3[i] = N30[i];
  }
  gbeta1 = beta0[0];
  gbeta2 = beta0[1];
  gbeta3 = beta0[2];
  for (int k = 0; k < 3; k++) {
    eta[k] = eta0[k];
    theta[k] = theta0[k];
  }
  lamda1 = lamda0[0];
  lamda2 = lamda0[1];
  lamda3 = lamda0[2];
  lamda4 = lamda0[3];
  lamda5 = lamda0[4];
  lamda6 = lamda0[5];
  alphafun(alpha0, theta0, eta0);
  for (int k = 0; k < 6; k++)
    alpha[k] = alpha0[k];
  R_chk_free(alpha0);
}

// Packed association matrix P diag(xeta) P' from the angles xtheta (units
// of pi/2) and the eigenvalues xeta.
void alphafun(double *xalpha, double *xtheta, double *xeta) {
  alpha_from(xalpha, xtheta, xeta);
}

// Log full conditionals of the intercepts (flat priors).
double target_beta1(double x) { return beta1_target(x); }
double target_beta2(double x) { return beta2_target(x); }
double target_beta3(double x) { return beta3_target(x); }

// Log full conditionals of the random effects at unit k.
double target_phi1(double x, int k) { return eval_phi1(x, k, sums_phi1(k)); }
double target_phi2(double x, int k) { return eval_phi2(x, k, sums_phi2(k)); }
double target_phi3(double x, int k) { return eval_phi3(x, k, sums_phi3(k)); }

double metroplis_beta1(double x_prev, double scale) {
  return beta_step<beta1_target>(x_prev, scale);
}
double metroplis_beta2(double x_prev, double scale) {
  return beta_step<beta2_target>(x_prev, scale);
}
double metroplis_beta3(double x_prev, double scale) {
  return beta_step<beta3_target>(x_prev, scale);
}

double metroplis_phi1(int j, double x_prev, double scale) {
  return phi_step<sums_phi1, eval_phi1>(j, x_prev, scale);
}
double metroplis_phi2(int j, double x_prev, double scale) {
  return phi_step<sums_phi2, eval_phi2>(j, x_prev, scale);
}
double metroplis_phi3(int j, double x_prev, double scale) {
  return phi_step<sums_phi3, eval_phi3>(j, x_prev, scale);
}

// Log full conditional of the loading vector: Poisson likelihood plus an
// inverse-Wishart(3, 0.3 I) prior on L L' and the Jacobian of L -> L L'.
double target_lamda(double *x) { return lamda_target(x); }

void metroplis_lamda1(double *x_cur, double *x_prev, double *scale) {
  mcar_detail::lamda_step1(x_cur, x_prev, scale, NULL);
}

void metroplis_lamda2(double *x_cur, double *x_prev, double *scale) {
  mcar_detail::lamda_step2(x_cur, x_prev, scale, NULL);
}

// Log full conditional of the eigenvalues x, z the association vector formed
// from x and the stored angles.
double target_alpha1(double *x, double *z) {
  double determ = log_det_term(x);
  double sum = quad_form(z);
  return 0.5 * determ + 0.5 * sum;
}

// Log full conditional of the angles through their association vector z.
double target_alpha2(double *z) { return 0.5 * quad_form(z); }

void metroplis_alpha1(double *x_cur, double *x_prev, double *scale) {
  mcar_detail::eta_step(x_cur, x_prev, scale, NULL);
}

void metroplis_alpha2(double *x_cur, double *x_prev, double *scale) {
  mcar_detail::theta_step(x_cur, x_prev, scale, NULL);
}

// -2 x the Poisson log-likelihood kernel of the current state.
double density(void) {
  double func = 0.0;
  for (int i = 0; i < NREGION; i++) {
    double lin1 = lamda1 * phi1[i] + gbeta1 + lamda2 * phi2[i] + lamda3 * phi3[i];
    double lin2 = lamda4 * phi2[i] + gbeta2 + lamda5 * phi3[i];
    double lin3 = lamda6 * phi3[i] + gbeta3;
    func += Y1[i] * lin1;
    func -= N1[i] * exp(lin1);
    func += Y2[i] * lin2;
    func -= N2[i] * exp(lin2);
    func += Y3[i] * lin3;
    func -= N3[i] * exp(lin3);
  }
  return -2 * func;
}

// The same kernel at given relative risks p1, p2, p3.
double dtheta_fun(double *p1, double *p2, double *p3) {
  double func = 0.0;
  for (int i = 0; i < NREGION; i++) {
    func += Y1[i] * log(p1[i]);
    func -= p1[i] * N1[i];
    func += Y2[i] * log(p2[i]);
    func -= p2[i] * N2[i];
    func += Y3[i] * log(p3[i]);
    func -= p3[i] * N3[i];
  }
  return -2 * func;
}

} // extern "C"
