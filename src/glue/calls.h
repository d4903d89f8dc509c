// The .Call routines of the general sampler, of the map and of the
// diagnostics (registered in init.cpp): run.cpp, map_call.cpp, contract.cpp,
// ../diagnostics/convergence.cpp and ../diagnostics/loo.cpp.
#ifndef MCAR_CALLS_H
#define MCAR_CALLS_H

#include <Rinternals.h>

#ifdef __cplusplus
extern "C" {
#endif

SEXP mcar_engine_run(SEXP data, SEXP state, SEXP scales, SEXP control);
SEXP mcar_engine_run_chains(SEXP data, SEXP states, SEXP scales,
                            SEXP controls, SEXP workers);
SEXP mcar_engine_seed(SEXP seed);
SEXP mcar_rbind_draws(SEXP mats, SEXP dimnames);
SEXP mcar_engine_contract(void);
SEXP mcar_map_prepare(SEXP row_ptr, SEXP col, SEXP w, SEXP bounds);
SEXP mcar_map_lambda_min(SEXP row_ptr, SEXP col, SEXP w);
SEXP mcar_map_logdet(SEXP row_ptr, SEXP col, SEXP w, SEXP eta);
SEXP mcar_logdet_eval(SEXP logdet, SEXP eta);
SEXP mcar_convergence(SEXP draws, SEXP tails);
SEXP mcar_relative_eff(SEXP ll, SEXP chains);
SEXP mcar_col_order_stats(SEXP x, SEXP rows, SEXP pos);
SEXP mcar_count_log_lik(SEXP family, SEXP y, SEXP e, SEXP risk, SEXP size,
                        SEXP threads);
SEXP mcar_log_lik_lp(SEXP family, SEXP y, SEXP e, SEXP beta, SEXP X,
                     SEXP Lambda, SEXP lambda_col, SEXP phi, SEXP size,
                     SEXP cells, SEXP threads);
SEXP mcar_psis_loo(SEXP ll, SEXP r_eff, SEXP tail_len, SEXP zn, SEXP threads);

#ifdef __cplusplus
}
#endif

#endif
