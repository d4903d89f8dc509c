// Registration of every routine of the package: the .C entry with the types
// of its 47 arguments, and the .Call routines of the general sampler and of
// the map.

#include <R.h>
#include <R_ext/Rdynload.h>
#include <Rinternals.h>

#include "calls.h"
#include "mcar_main.h"

namespace {

R_NativePrimitiveArgType mcar_types[47] = {
    REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, // chains
    REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, // counts
    REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP,
    REALSXP,                                              // starting values
    INTSXP,  INTSXP,                                      // nstart, nend
    INTSXP,  INTSXP,  INTSXP,  INTSXP,  INTSXP,  INTSXP,  // counters
    REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP,
    REALSXP,                                              // scales
    REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP, REALSXP,
    REALSXP,                                              // means
    REALSXP, REALSXP};                                    // Dbar, Dtheta

const R_CMethodDef c_methods[] = {{"mcar", (DL_FUNC)&mcar, 47, mcar_types},
                                  {NULL, NULL, 0, NULL}};

const R_CallMethodDef call_methods[] = {
    {"mcar_engine_run", (DL_FUNC)&mcar_engine_run, 4},
    {"mcar_engine_run_chains", (DL_FUNC)&mcar_engine_run_chains, 5},
    {"mcar_engine_seed", (DL_FUNC)&mcar_engine_seed, 1},
    {"mcar_rbind_draws", (DL_FUNC)&mcar_rbind_draws, 2},
    {"mcar_engine_contract", (DL_FUNC)&mcar_engine_contract, 0},
    {"mcar_map_prepare", (DL_FUNC)&mcar_map_prepare, 4},
    {"mcar_map_lambda_min", (DL_FUNC)&mcar_map_lambda_min, 3},
    {"mcar_map_logdet", (DL_FUNC)&mcar_map_logdet, 4},
    {"mcar_logdet_eval", (DL_FUNC)&mcar_logdet_eval, 2},
    {"mcar_convergence", (DL_FUNC)&mcar_convergence, 2},
    {"mcar_relative_eff", (DL_FUNC)&mcar_relative_eff, 2},
    {"mcar_col_order_stats", (DL_FUNC)&mcar_col_order_stats, 3},
    {"mcar_count_log_lik", (DL_FUNC)&mcar_count_log_lik, 6},
    {"mcar_log_lik_lp", (DL_FUNC)&mcar_log_lik_lp, 11},
    {"mcar_psis_loo", (DL_FUNC)&mcar_psis_loo, 5},
    {NULL, NULL, 0}};

} // namespace

extern "C" void R_init_mcar(DllInfo *dll) {
  R_registerRoutines(dll, c_methods, call_methods, NULL, NULL);
  // Every toolkit, generator and model function stays reachable by name for
  // other compiled code.
  R_useDynamicSymbols(dll, TRUE);
}
