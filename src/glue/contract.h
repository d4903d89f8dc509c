// The .Call contract of the general sampler, written once: the element
// names of the lists mcar_engine_run reads (data, state, scales, control)
// and returns (result, and in it draws, state, accept and summaries), and
// of the list mcar_map_prepare returns.  Each list is an X-macro of
// ITEM(name, presence):
//
//   REQUIRED  the element must be there
//   NULLABLE  the element must be there and may be NULL
//   OPTIONAL  the element may be absent
//
// The code that reads and writes the lists names their elements by the
// constants made here (contract::data::Y, ...), and mcar_engine_contract()
// hands the lists to R.  Shapes and meanings are in run.cpp and map_call.cpp.
#ifndef MCAR_CONTRACT_H
#define MCAR_CONTRACT_H

// data: the counts, the covariates, the map and the prior.
#define MCAR_DATA_LIST(ITEM)                                                   \
  ITEM(family, REQUIRED)                                                       \
  ITEM(Y, REQUIRED)                                                            \
  ITEM(E, REQUIRED)                                                            \
  ITEM(X, REQUIRED)                                                            \
  ITEM(row_ptr, REQUIRED)                                                      \
  ITEM(col, REQUIRED)                                                          \
  ITEM(w, REQUIRED)                                                            \
  ITEM(logdet, REQUIRED)                                                       \
  ITEM(eta_lo, REQUIRED)                                                       \
  ITEM(eta_hi, REQUIRED)                                                       \
  ITEM(beta_prec, REQUIRED)                                                    \
  ITEM(iw_df, REQUIRED)                                                        \
  ITEM(iw_scale, REQUIRED)                                                     \
  ITEM(ref_lp, REQUIRED)                                                       \
  ITEM(psi_scale, REQUIRED)                                                    \
  ITEM(rounds, REQUIRED)                                                       \
  ITEM(newton, REQUIRED)                                                       \
  ITEM(periods, OPTIONAL)                                                      \
  ITEM(alpha_fixed, OPTIONAL)

// state: a chain's state; the one returned (result$state) has every element
// but summaries, which the result carries apart.
#define MCAR_STATE_LIST(ITEM)                                                  \
  ITEM(beta, REQUIRED)                                                         \
  ITEM(phi, REQUIRED)                                                          \
  ITEM(Lambda, REQUIRED)                                                       \
  ITEM(eta, REQUIRED)                                                          \
  ITEM(theta, REQUIRED)                                                        \
  ITEM(psi, REQUIRED)                                                          \
  ITEM(alpha, OPTIONAL)                                                        \
  ITEM(lp, NULLABLE)                                                           \
  ITEM(rng, REQUIRED)                                                          \
  ITEM(summaries, NULLABLE)

// scales: the proposal scales.
#define MCAR_SCALES_LIST(ITEM)                                                 \
  ITEM(beta, REQUIRED)                                                         \
  ITEM(beta_chol, REQUIRED)                                                    \
  ITEM(phi, REQUIRED)                                                          \
  ITEM(lambda, REQUIRED)                                                       \
  ITEM(eta, REQUIRED)                                                          \
  ITEM(theta, REQUIRED)                                                        \
  ITEM(scale, REQUIRED)                                                        \
  ITEM(shear, REQUIRED)                                                        \
  ITEM(rotation, OPTIONAL)                                                     \
  ITEM(psi, REQUIRED)                                                          \
  ITEM(ridge, REQUIRED)                                                        \
  ITEM(lambda_corr, REQUIRED)                                                  \
  ITEM(alpha, OPTIONAL)

// control: the run (see engine/chain.h) and its threads.
#define MCAR_CONTROL_LIST(ITEM)                                                \
  ITEM(sweeps, REQUIRED)                                                       \
  ITEM(thin, REQUIRED)                                                         \
  ITEM(offset, REQUIRED)                                                       \
  ITEM(unit_thin, REQUIRED)                                                    \
  ITEM(accumulate, REQUIRED)                                                   \
  ITEM(threads, OPTIONAL)                                                      \
  ITEM(batches, OPTIONAL)

// The result of mcar_engine_run; summaries is NULL without accumulate.
#define MCAR_RESULT_LIST(ITEM)                                                 \
  ITEM(draws, REQUIRED)                                                        \
  ITEM(state, REQUIRED)                                                        \
  ITEM(accept, REQUIRED)                                                       \
  ITEM(summaries, NULLABLE)

// result$draws: the kept sweeps (see engine/chain.h).
#define MCAR_DRAWS_LIST(ITEM)                                                  \
  ITEM(beta, REQUIRED)                                                         \
  ITEM(phi, REQUIRED)                                                          \
  ITEM(Lambda, REQUIRED)                                                       \
  ITEM(A, REQUIRED)                                                            \
  ITEM(eta, REQUIRED)                                                          \
  ITEM(theta, REQUIRED)                                                        \
  ITEM(psi, REQUIRED)                                                          \
  ITEM(deviance, REQUIRED)                                                     \
  ITEM(alpha, REQUIRED)

// result$accept: the accepted proposals of the run.
#define MCAR_ACCEPT_LIST(ITEM)                                                 \
  ITEM(beta, REQUIRED)                                                         \
  ITEM(phi, REQUIRED)                                                          \
  ITEM(lambda, REQUIRED)                                                       \
  ITEM(eta, REQUIRED)                                                          \
  ITEM(theta, REQUIRED)                                                        \
  ITEM(scale, REQUIRED)                                                        \
  ITEM(shear, REQUIRED)                                                        \
  ITEM(rotation, REQUIRED)                                                     \
  ITEM(psi, REQUIRED)                                                          \
  ITEM(ridge, REQUIRED)                                                        \
  ITEM(alpha, REQUIRED)

// The running summaries (result$summaries, and state$summaries of a later
// call): the number of sweeps added, then the per-cell summaries (n x K
// each), named as the members of mcar_engine::Summaries, and with batch
// means (control batches, or summaries that carry them), batch: (slots,
// batch size, sweeps in the current batch, batches closed), origin (n x K)
// and batch_sum, batch_sq ((n K) x slots).
#define MCAR_SUMMARIES_LIST(ITEM)                                              \
  ITEM(draws, REQUIRED)                                                        \
  MCAR_SUMMARY_CELLS_LIST(ITEM)                                                \
  ITEM(batch, OPTIONAL)                                                        \
  ITEM(origin, OPTIONAL)                                                       \
  ITEM(batch_sum, OPTIONAL)                                                    \
  ITEM(batch_sq, OPTIONAL)
#define MCAR_SUMMARY_CELLS_LIST(ITEM)                                          \
  ITEM(rr_mean, REQUIRED)                                                      \
  ITEM(rr_m2, REQUIRED)                                                        \
  ITEM(rr_gt1, REQUIRED)                                                       \
  ITEM(ll_mean, REQUIRED)                                                      \
  ITEM(ll_m2, REQUIRED)                                                        \
  ITEM(ll_max, REQUIRED)                                                       \
  ITEM(ll_sum, REQUIRED)

// The result of mcar_map_prepare.
#define MCAR_MAP_LIST(ITEM)                                                    \
  ITEM(components, REQUIRED)                                                   \
  ITEM(lambda_min, REQUIRED)                                                   \
  ITEM(eta_lo, REQUIRED)                                                       \
  ITEM(eta_hi, REQUIRED)                                                       \
  ITEM(logdet, REQUIRED)                                                       \
  ITEM(factorisations, REQUIRED)

// Every list by its name in mcar_engine_contract(), in the order given there.
#define MCAR_CONTRACT_LISTS(LIST)                                              \
  LIST(data, MCAR_DATA_LIST)                                                   \
  LIST(state, MCAR_STATE_LIST)                                                 \
  LIST(scales, MCAR_SCALES_LIST)                                               \
  LIST(control, MCAR_CONTROL_LIST)                                             \
  LIST(result, MCAR_RESULT_LIST)                                               \
  LIST(draws, MCAR_DRAWS_LIST)                                                 \
  LIST(accept, MCAR_ACCEPT_LIST)                                               \
  LIST(summaries, MCAR_SUMMARIES_LIST)                                         \
  LIST(map, MCAR_MAP_LIST)

namespace contract {

enum Presence { REQUIRED, NULLABLE, OPTIONAL };

struct Element {
  const char *name;
  Presence presence;
};

// For each list a namespace holding one constant per element, named and
// spelled as the element (contract::data::Y is "Y"), and `elements`, the
// list in order.
#define MCAR_CONTRACT_NAME(name, presence) constexpr char name[] = #name;
#define MCAR_CONTRACT_ELEMENT(name, presence) Element{name, presence},
#define MCAR_CONTRACT_NAMESPACE(list, items)                                   \
  namespace list {                                                             \
  items(MCAR_CONTRACT_NAME)                                                    \
  constexpr Element elements[] = {items(MCAR_CONTRACT_ELEMENT)};               \
  }
MCAR_CONTRACT_LISTS(MCAR_CONTRACT_NAMESPACE)
#undef MCAR_CONTRACT_NAMESPACE
#undef MCAR_CONTRACT_ELEMENT
#undef MCAR_CONTRACT_NAME

} // namespace contract

#endif
