// Random variate generators drawing from R's normal generator.  The caller
// brackets their use with GetRNGstate()/PutRNGstate().
#ifndef MCAR_GENERATOR_H
#define MCAR_GENERATOR_H

#ifdef __cplusplus
extern "C" {
#endif

// One draw from N(mean, disp) into vector (dim doubles); disp is dim x dim.
void multinormal(double *vector, double *mean, double **disp, int dim);
// One draw from the Wishart distribution with m degrees of freedom and scale
// matrix V (dim x dim) into wishart.
void rwishart(double **wishart, double **V, int dim, int m);

#ifdef __cplusplus
}
#endif

#endif
