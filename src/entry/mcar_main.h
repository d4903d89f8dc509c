// The sampler entry called from R through .C: one call runs the whole chain
// and writes chains, change counters, posterior means, posterior-mean
// relative risks and the two deviance quantities into the caller's vectors.
#ifndef MCAR_MCAR_MAIN_H
#define MCAR_MCAR_MAIN_H

#ifdef __cplusplus
extern "C" {
#endif

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
          double *p3_m, double *Dbar, double *Dtheta);

#ifdef __cplusplus
}
#endif

#endif
