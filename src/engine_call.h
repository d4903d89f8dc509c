// .Call routines of the general sampler (registered in mcar_main.cpp).
#ifndef MCAR_ENGINE_CALL_H
#define MCAR_ENGINE_CALL_H

#include <Rinternals.h>

#ifdef __cplusplus
extern "C" {
#endif

SEXP mcar_engine_run(SEXP data, SEXP state, SEXP scales, SEXP control);
SEXP mcar_engine_seed(SEXP seed);

#ifdef __cplusplus
}
#endif

#endif
