// The sampler entry called from R through .C.
//
// One call is one whole run: set-up, *nend Gibbs sweeps (the first *nstart of
// them burn-in), chains written straight into the caller's column-major
// arrays (column k of stored row r at k*m + r), change counters and posterior
// summaries added into the caller's vectors, and R's random-number state
// loaded after set-up and saved as the very last action.

#include <R.h>
#include <Rinternals.h>
#include <cmath>

#include "matrix.h"
#include "mcar.h"
#include "mcar_main.h"

namespace {

const double CHANGE_TOL = 1e-5;

// A move is a change of more than 1e-5 in either direction.
inline bool moved(double old_value, double new_value) {
  return new_value - old_value > CHANGE_TOL || old_value - new_value > CHANGE_TOL;
}

// Posterior means of the chains and of the relative risks, added into the
// caller's accumulators and divided by m; then Dbar and Dtheta.
void summarise(int m, double sumlnF, double *beta_f, double *phi1_f,
               double *phi2_f, double *phi3_f, double *alpha_f,
               double *lamda_f, double *beta_m, double *phi1_m,
               double *phi2_m, double *phi3_m, double *alpha_m,
               double *lamda_m, double *p1_m, double *p2_m, double *p3_m,
               double *Dbar, double *Dtheta) {
  *Dbar = sumlnF / (double)m;
  for (int r = 0; r < m; r++) {
    beta_m[0] += beta_f[r];
    beta_m[1] += beta_f[m + r];
    beta_m[2] += beta_f[2 * m + r];
  }
  for (int k = 0; k < 3; k++)
    beta_m[k] /= m;
  for (int j = 0; j < NREGION; j++) {
    for (int r = 0; r < m; r++) {
      phi1_m[j] += phi1_f[m * j + r];
      phi2_m[j] += phi2_f[m * j + r];
      phi3_m[j] += phi3_f[m * j + r];
    }
    phi1_m[j] /= m;
    phi2_m[j] /= m;
    phi3_m[j] /= m;
  }
  for (int k = 0; k < 6; k++) {
    for (int r = 0; r < m; r++) {
      alpha_m[k] += alpha_f[k * m + r];
      lamda_m[k] += lamda_f[k * m + r];
    }
    alpha_m[k] /= m;
    lamda_m[k] /= m;
  }
  for (int j = 0; j < NREGION; j++) {
    for (int r = 0; r < m; r++) {
      int x = m * j + r;
      p1_m[j] += exp(lamda_f[r] * phi1_f[x] + beta_f[r] +
                     lamda_f[m + r] * phi2_f[x] + lamda_f[2 * m + r] * phi3_f[x]);
      p2_m[j] += exp(lamda_f[3 * m + r] * phi2_f[x] + beta_f[m + r] +
                     lamda_f[4 * m + r] * phi3_f[x]);
      p3_m[j] += exp(lamda_f[5 * m + r] * phi3_f[x] + beta_f[2 * m + r]);
    }
    p1_m[j] /= m;
    p2_m[j] /= m;
    p3_m[j] /= m;
  }
  *Dtheta = dtheta_fun(p1_m, p2_m, p3_m);
}

void release_vector(double *&v) {
  R_chk_free(v);
  v = NULL;
}

// What one call's sweeps read and write: the caller's vectors they fill, the
// proposal scales, and the six work vectors of the block updates.  The sweeps
// run under R_UnwindProtect, and R leaves them by longjmp when it raises an
// error, an interrupt or a time limit (in Rprintf, which checks for them every
// hundred lines, or in the generator), so everything here is a plain pointer
// or value: nothing the sweeps hold may need a destructor.
struct Sweeps {
  double *beta_f, *phi1_f, *phi2_f, *phi3_f, *alpha_f, *lamda_f;
  int nstart, nend;
  int *count1, *count2, *count3, *count4, *count5, *count6;
  double *betascale, *phi1scale, *phi2scale, *phi3scale, *lamscale1,
      *lamscale2, *etascale, *thetascale;
  double *eta_curr, *eta_prev, *theta_curr, *theta_prev, *lamda_curr,
      *lamda_prev;
  double sumlnF;
  SEXP token;
};

void release_work(Sweeps *s) {
  double **work[] = {&s->lamda_curr, &s->lamda_prev, &s->eta_curr,
                     &s->eta_prev,   &s->theta_curr, &s->theta_prev};
  for (double **w : work)
    release_vector(*w);
}

// Loads R's generator state and runs the *nend sweeps; the sum of the stored
// sweeps' log-likelihoods is left in s->sumlnF.
SEXP run_sweeps(void *data) {
  Sweeps *s = static_cast<Sweeps *>(data);
  s->eta_curr = create_vectord(3);
  s->eta_prev = create_vectord(3);
  s->theta_curr = create_vectord(3);
  s->theta_prev = create_vectord(3);
  s->lamda_curr = create_vectord(6);
  s->lamda_prev = create_vectord(6);
  double *eta_curr = s->eta_curr, *eta_prev = s->eta_prev;
  double *theta_curr = s->theta_curr, *theta_prev = s->theta_prev;
  double *lamda_curr = s->lamda_curr, *lamda_prev = s->lamda_prev;
  const int nstart = s->nstart, nend = s->nend;
  const int m = nend - nstart;
  double *beta_f = s->beta_f, *alpha_f = s->alpha_f, *lamda_f = s->lamda_f;
  int *count1 = s->count1, *count5 = s->count5, *count6 = s->count6;
  double *betascale = s->betascale, *lamscale1 = s->lamscale1,
         *lamscale2 = s->lamscale2, *etascale = s->etascale,
         *thetascale = s->thetascale;

  GetRNGstate();
  double sumlnF = 0.0;
  mcar_detail::EtaCarry eta_carry;

  double *beta_state[3] = {&gbeta1, &gbeta2, &gbeta3};
  double (*beta_step[3])(double, double) = {metroplis_beta1, metroplis_beta2,
                                            metroplis_beta3};
  double *fields[3] = {phi1, phi2, phi3};
  double (*field_step[3])(int, double, double) = {
      metroplis_phi1, metroplis_phi2, metroplis_phi3};
  double *field_f[3] = {s->phi1_f, s->phi2_f, s->phi3_f};
  double *field_scale[3] = {s->phi1scale, s->phi2scale, s->phi3scale};
  int *field_count[3] = {s->count2, s->count3, s->count4};
  double *lamda_state[6] = {&lamda1, &lamda2, &lamda3,
                            &lamda4, &lamda5, &lamda6};

  for (int i = 0; i < nend; i++) {
    const bool stored = i >= nstart;
    const int r = i - nstart;
    Rprintf("GIBBS: %d\n", i + 1);

    for (int b = 0; b < 3; b++) {
      double old_value = *beta_state[b];
      double new_value = beta_step[b](old_value, betascale[b]);
      if (stored && moved(old_value, new_value))
        count1[b]++;
      *beta_state[b] = new_value;
    }
    if (stored) {
      beta_f[r] = gbeta1;
      beta_f[m + r] = gbeta2;
      beta_f[2 * m + r] = gbeta3;
    }

    for (int f = 0; f < 3; f++) {
      double *phi = fields[f];
      const double *scale = field_scale[f];
      int *count = field_count[f];
      double *chain = field_f[f];
      for (int j = 0; j < NREGION; j++) {
        double new_value = field_step[f](j, phi[j], scale[j]);
        if (stored && moved(phi[j], new_value))
          count[j]++;
        phi[j] = new_value;
        if (stored)
          chain[m * j + r] = new_value;
      }
    }

    for (int k = 0; k < 6; k++)
      lamda_prev[k] = *lamda_state[k];
    // Block 2 starts where block 1 left the loadings, with nothing else
    // changed in between, so block 1's value there is block 2's current one.
    const double at_lamda =
        mcar_detail::lamda_step1(lamda_curr, lamda_prev, lamscale1, NULL);
    if (stored && moved(lamda_prev[0], lamda_curr[0]))
      count5[0]++;
    for (int k = 0; k < 6; k++)
      *lamda_state[k] = lamda_curr[k];

    for (int k = 0; k < 6; k++)
      lamda_prev[k] = *lamda_state[k];
    mcar_detail::lamda_step2(lamda_curr, lamda_prev, lamscale2, &at_lamda);
    if (stored && moved(lamda_prev[1], lamda_curr[1]))
      count5[1]++;
    for (int k = 0; k < 6; k++)
      *lamda_state[k] = lamda_curr[k];

    if (stored)
      for (int k = 0; k < 6; k++)
        lamda_f[k * m + r] = *lamda_state[k];
    Rprintf("%lf, %lf, %lf, %lf, %lf, %lf\n", lamda1, lamda2, lamda3, lamda4,
            lamda5, lamda6);

    for (int k = 0; k < 3; k++)
      eta_prev[k] = eta[k];
    // Likewise the angle step's current quadratic form is the one the
    // eigenvalue step leaves in effect.
    const double quad =
        mcar_detail::eta_step(eta_curr, eta_prev, etascale, &eta_carry);
    if (stored && moved(eta_prev[0], eta_curr[0]))
      count6[0]++;
    for (int k = 0; k < 3; k++)
      eta[k] = eta_curr[k];

    for (int k = 0; k < 3; k++)
      theta_prev[k] = theta[k];
    mcar_detail::theta_step(theta_curr, theta_prev, thetascale, &quad);
    if (stored && moved(theta_prev[0], theta_curr[0]))
      count6[1]++;
    for (int k = 0; k < 3; k++)
      theta[k] = theta_curr[k];

    if (stored)
      for (int k = 0; k < 6; k++)
        alpha_f[k * m + r] = alpha[k];
    Rprintf("alpha=%lf, %lf, %lf,%lf, %lf, %lf \n", alpha[0], alpha[1],
            alpha[2], alpha[3], alpha[4], alpha[5]);

    if (stored)
      sumlnF += density();
  }
  s->sumlnF = sumlnF;
  return R_NilValue;
}

// Clean-up of an unwind out of run_sweeps: the call's work vectors and the
// model state go before R carries on to wherever it was jumping.  The
// generator state is not saved: as with an error in R's own compiled code,
// .Random.seed stays what it was before the call.
void release_on_unwind(void *data, Rboolean jump) {
  if (!jump)
    return;
  Sweeps *s = static_cast<Sweeps *>(data);
  release_work(s);
  mcar_detail::release_state();
  R_ContinueUnwind(s->token);
}

} // namespace

extern "C" {

void mcar(double *beta_f, double *phi1_f, double *phi2_f, double *phi3_f,
          double *alpha_f, double *lamda_f, double *Y10, double *N10,
          double *Y20, double *N20, double *Y30, double *N30, double *beta0,
          double *phi10, double *phi20, double *phi30, double *lamda0,
          double *eta0, double *theta0, double *eigen10, int *nstart,
          int *nend, int *count1, int *count2, int *count3, int *count4,
          int *count5, int *count6, double *betascale, double *phi1scale,
          double *phi2scale, double *phi3scale, double *lamscale1,
          double *lamscale2, double *etascale, double *thetascale,
          double *beta_m, double *phi1_m, double *phi2_m, double *phi3_m,
          double *alpha_m, double *lamda_m, double *p1_m, double *p2_m,
          double *p3_m, double *Dbar, double *Dtheta) {
  // The continuation token is made first, so that failing to allocate it
  // leaves nothing behind.
  SEXP token = PROTECT(R_MakeUnwindCont());
  const int m = *nend - *nstart;

  // Set-up.  Nothing is drawn before GetRNGstate().
  global_memory();
  mcar_detail::NeighbourReport report;
  mcar_detail::load_neighbours(&report);
  if (!report.ok) {
    // Release the model state before the R error leaves the call.
    mcar_detail::release_state();
    Rf_error("%s", report.error);
  }
  start_vals(Y10, Y20, Y30, N10, N20, N30, beta0, phi10, phi20, phi30, lamda0,
             eta0, theta0, eigen10);

  // The work vectors start null: run_sweeps allocates them.
  Sweeps s = {};
  s.beta_f = beta_f;
  s.phi1_f = phi1_f;
  s.phi2_f = phi2_f;
  s.phi3_f = phi3_f;
  s.alpha_f = alpha_f;
  s.lamda_f = lamda_f;
  s.nstart = *nstart;
  s.nend = *nend;
  s.count1 = count1;
  s.count2 = count2;
  s.count3 = count3;
  s.count4 = count4;
  s.count5 = count5;
  s.count6 = count6;
  s.betascale = betascale;
  s.phi1scale = phi1scale;
  s.phi2scale = phi2scale;
  s.phi3scale = phi3scale;
  s.lamscale1 = lamscale1;
  s.lamscale2 = lamscale2;
  s.etascale = etascale;
  s.thetascale = thetascale;
  s.token = token;
  R_UnwindProtect(run_sweeps, &s, release_on_unwind, &s, token);
  UNPROTECT(1);
  const double sumlnF = s.sumlnF;

  // Wind-down.
  release_work(&s);
  release_vector(eigen1);
  release_vector(eta);
  release_vector(theta);
  release_vector(alpha);
  freematd(C, NREGION, NREGION);
  C = NULL;
  freematd(D, NREGION, NREGION);
  D = NULL;

  summarise(m, sumlnF, beta_f, phi1_f, phi2_f, phi3_f, alpha_f, lamda_f,
            beta_m, phi1_m, phi2_m, phi3_m, alpha_m, lamda_m, p1_m, p2_m, p3_m,
            Dbar, Dtheta);

  double **rest[] = {&Y1, &Y2, &Y3, &N1, &N2, &N3, &phi1, &phi2, &phi3};
  for (double **v : rest)
    release_vector(*v);

  PutRNGstate();

  // A short neighbour file is reported once everything is released, so that
  // a warning turned into an error (options(warn = 2)) leaks nothing.
  for (int w = 0; w < report.nwarnings; w++)
    Rf_warning("%s", report.warning[w]);
}

} // extern "C"
