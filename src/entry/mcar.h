// The model: module-level state, its set-up from the neighbour files and the
// caller's starting values, the association matrix, the log full conditionals
// with their random-walk Metropolis updates, and the deviance functions.
//
// Counts Yr[i] ~ Poisson(Nr[i] exp(eta_r[i])) for outcomes r = 1..3 and units
// i = 0..86, with
//   eta_1 = gbeta1 + lamda1 phi1 + lamda2 phi2 + lamda3 phi3
//   eta_2 = gbeta2 +               lamda4 phi2 + lamda5 phi3
//   eta_3 = gbeta3 +                             lamda6 phi3
// and an MCAR prior on (phi1, phi2, phi3) with precision
//   D[i][i] [a == b][i == j] - A[a][b] C[i][j],
// A the symmetric association matrix held by its eigenvalues eta and its
// rotation angles theta (in units of pi/2), packed in alpha as
// A00, A01, A02, A11, A12, A22.
#ifndef MCAR_MCAR_H
#define MCAR_MCAR_H

#define NREGION 87

#ifdef __cplusplus
extern "C" {
#endif

extern double *Y1, *Y2, *Y3;
extern double *N1, *N2, *N3;
extern double *phi1, *phi2, *phi3;
extern double gbeta1, gbeta2, gbeta3;
extern double lamda1, lamda2, lamda3, lamda4, lamda5, lamda6;
extern double *alpha, *eta, *theta, *eigen1;
extern double **C, **D;

void global_memory(void);
void read_data(void);
void start_vals(double *Y10, double *Y20, double *Y30, double *N10,
                double *N20, double *N30, double *beta0, double *phi10,
                double *phi20, double *phi30, double *lamda0, double *eta0,
                double *theta0, double *eigen10);

void alphafun(double *xalpha, double *xtheta, double *xeta);

double target_beta1(double x);
double target_beta2(double x);
double target_beta3(double x);
double target_phi1(double x, int k);
double target_phi2(double x, int k);
double target_phi3(double x, int k);
double metroplis_beta1(double x_prev, double scale);
double metroplis_beta2(double x_prev, double scale);
double metroplis_beta3(double x_prev, double scale);
double metroplis_phi1(int j, double x_prev, double scale);
double metroplis_phi2(int j, double x_prev, double scale);
double metroplis_phi3(int j, double x_prev, double scale);

double target_lamda(double *x);
void metroplis_lamda1(double *x_cur, double *x_prev, double *scale);
void metroplis_lamda2(double *x_cur, double *x_prev, double *scale);

double target_alpha1(double *x, double *z);
double target_alpha2(double *z);
void metroplis_alpha1(double *x_cur, double *x_prev, double *scale);
void metroplis_alpha2(double *x_cur, double *x_prev, double *scale);

double density(void);
double dtheta_fun(double *p1, double *p2, double *p3);

#ifdef __cplusplus
}

namespace mcar_detail {

// Fixed-size buffers for what the neighbour files can report, so that the
// caller can release its own storage before raising an R condition.
struct NeighbourReport {
  bool ok;                // both files were opened
  char error[1200];       // why not, when !ok
  int nwarnings;          // files that held fewer numbers than a full matrix
  char warning[2][1200];
};

// Fills D and C from "neighbor1.txt" and "neighbor2.txt" in the working
// directory and indexes the nonzero entries of C.  Raises nothing: what went
// wrong is left in the report.
void load_neighbours(NeighbourReport *report);

// Releases every array of the model state that is allocated and nulls it.
void release_state(void);

// The block updates behind metroplis_lamda1, metroplis_lamda2,
// metroplis_alpha1 and metroplis_alpha2, for the sweep, which can hand one
// step's result to the next.  They draw and decide exactly as the exported
// updates do.  known_current, when not null, is the value of the log full
// conditional at x_prev in the current state (it must be exact: it replaces
// that evaluation).  The loading steps return target_lamda at the vector
// they leave in x_cur; the association steps return the quadratic form of
// the fields under the association vector they leave in effect, which is
// what theta_step needs as its known current value when it follows eta_step
// with the fields unchanged.
double lamda_step1(double *x_cur, const double *x_prev, const double *scale,
                   const double *known_current);
double lamda_step2(double *x_cur, const double *x_prev, const double *scale,
                   const double *known_current);
//
// What one eigenvalue step hands to the next within a call of the sampler:
// eigen1 does not change during a call, so the log-determinant term at the
// eigenvalues a step leaves is the next step's current one.  With a carry,
// eta_step also takes the current association vector from alpha, which the
// sweep keeps equal to alphafun(theta, eta) bit for bit.
struct EtaCarry {
  bool have_determ = false;
  double determ = 0.0;
};
double eta_step(double *x_cur, const double *x_prev, const double *scale,
                EtaCarry *carry);
double theta_step(double *x_cur, const double *x_prev, const double *scale,
                  const double *known_quad_current);

// Whether the sparse neighbour index is used where it is valid (it always
// gives the same values as the dense evaluation for finite inputs; the
// switch exists so that tests can compare the two).
void set_sparse_neighbours(bool on);
bool neighbour_index_valid(void);

} // namespace mcar_detail
#endif

#endif
