// The .Call contract that mcar_engine_contract() reports, against the
// routine it describes: the input lists an R caller writes hold exactly the
// contract's elements, mcar_engine_run requires every element the contract
// calls required (naming it when it lacks one), runs without the optional
// ones and with the nullable ones NULL, and returns lists named as the
// contract says, in its order.

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "calls.h"
#include "engine.h"

namespace {

std::vector<std::string> strings(SEXP x) {
  std::vector<std::string> out;
  if (TYPEOF(x) == STRSXP)
    for (R_xlen_t k = 0; k < XLENGTH(x); k++)
      out.push_back(CHAR(STRING_ELT(x, k)));
  return out;
}

std::vector<std::string> names(SEXP x) { return strings(Rf_getAttrib(x, R_NamesSymbol)); }

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

SEXP get(SEXP list, const std::string &name) {
  const std::vector<std::string> n = names(list);
  for (size_t k = 0; k < n.size(); k++)
    if (n[k] == name)
      return VECTOR_ELT(list, (R_xlen_t)k);
  return R_NilValue;
}

std::vector<std::string> attribute(SEXP x, const char *name) {
  return strings(Rf_getAttrib(x, Rf_install(name)));
}

// mcar_engine_run on the lists of `args` (data, state, scales, control);
// the result (unprotected), or null when it raised an R error.
SEXP run(SEXP args) {
  SEXP out = nullptr;
  console_clear();
  const bool ok = r_toplevel([&] {
    out = mcar_engine_run(get(args, "data"), get(args, "state"), get(args, "scales"),
                          get(args, "control"));
  });
  return ok ? out : nullptr;
}

// A ring of six units, two outcomes, an intercept and a covariate, written
// as an R caller writes the inputs (every optional element given: one
// period, so that each may be left out); .ct_args(list, drop, null) is the four
// lists with element `drop` of `list` left out or element `null` set to NULL.
const char *INPUTS = R"(
.ct_args <- function(list = NULL, drop = NULL, null = NULL) {
  a <- .ct_in
  if (!is.null(drop)) a[[list]] <- a[[list]][names(a[[list]]) != drop]
  if (!is.null(null)) a[[list]][null] <- list(NULL)
  a
}
.ct_in <- local({
  n <- 6L; K <- 2L; p <- 2L; T <- 1L; N <- n * T
  mp <- .ct_map
  set.seed(3)
  E <- matrix(runif(N * K, 5, 10), N, K)
  list(
    data = list(family = 0L, Y = matrix(as.double(rpois(N * K, E)), N, K),
                E = E, X = cbind(1, seq(-1, 1, length.out = N)),
                row_ptr = .ct_row_ptr, col = .ct_col, w = .ct_w,
                logdet = mp$logdet, eta_lo = mp$eta_lo, eta_hi = mp$eta_hi,
                beta_prec = matrix(0.01, p, K), iw_df = K + 2, iw_scale = diag(K),
                ref_lp = numeric(K), psi_scale = 1, rounds = 1L, newton = 0L,
                periods = T, alpha_fixed = FALSE),
    state = list(beta = matrix(0, p, K), phi = matrix(0, N, K),
                 Lambda = diag(0.5, K), eta = rep(0.5, K), theta = 0,
                 psi = numeric(), alpha = numeric(), lp = NULL,
                 rng = as.raw(1:32), summaries = NULL),
    scales = list(beta = rep(0.1, K), beta_chol = as.double(rep(diag(p), K)),
                  phi = matrix(0.5, N, K), lambda = matrix(0.1, K, K),
                  eta = rep(0.5, K), theta = 0.5, scale = rep(0.1, K),
                  shear = 0.1, rotation = 0.5, psi = numeric(), ridge = numeric(),
                  lambda_corr = as.double(rep(diag(K), K)), alpha = numeric()),
    control = list(sweeps = 20L, thin = 2L, offset = 0L, unit_thin = 2L,
                   accumulate = TRUE, threads = 1L, batches = 4L))
})
)";

} // namespace

TEST(EngineContract, IsWhatTheRunReadsAndReturns) {
  SEXP contract = PROTECT(mcar_engine_contract());

  // The families by name with the codes of family.h, and the most outcomes.
  SEXP fam = get(contract, "families");
  ASSERT_EQ(TYPEOF(fam), INTSXP);
  EXPECT_EQ(names(fam), (std::vector<std::string>{"poisson", "binomial", "negbinomial"}));
  const int codes[] = {mcar_engine::POISSON, mcar_engine::BINOMIAL, mcar_engine::NEGBINOMIAL};
  for (int k = 0; k < 3; k++)
    EXPECT_EQ(INTEGER(fam)[k], codes[k]);
  SEXP max_k = get(contract, "max_k");
  ASSERT_EQ(TYPEOF(max_k), INTSXP);
  EXPECT_EQ(INTEGER(max_k)[0], mcar_engine::MAX_K);
  EXPECT_EQ(mcar_engine::MAX_K, 8); // R's .MAX_OUTCOMES

  // The inputs on a ring of six units, its map prepared by mcar_map_prepare.
  r_eval(".ct_row_ptr <- c(0L, 2L * (1:6)); "
         ".ct_col <- as.integer(unlist(lapply(0:5, function(i) sort(c((i + 1) %% 6, (i + 5) %% 6))))); "
         ".ct_w <- rep(1, 12)");
  SEXP map = PROTECT(mcar_map_prepare(r_eval(".ct_row_ptr"), r_eval(".ct_col"),
                                      r_eval(".ct_w"), r_eval("c(-1.19, 0.99, 0.99)")));
  EXPECT_EQ(names(map), strings(get(contract, "map")));
  Rf_defineVar(Rf_install(".ct_map"), map, R_GlobalEnv);
  r_eval(INPUTS);
  SEXP in = PROTECT(r_eval(".ct_args()"));

  // The lists an R caller writes hold the contract's elements, and the run
  // returns lists named in the contract's order (its state: all of the
  // input's elements but the summaries, which the result carries).
  const char *inputs[] = {"data", "state", "scales", "control"};
  for (const char *list : inputs)
    EXPECT_EQ(sorted(names(get(in, list))), sorted(strings(get(contract, list)))) << list;
  SEXP out = run(in);
  ASSERT_NE(out, nullptr) << console_err();
  PROTECT(out);
  EXPECT_EQ(names(out), strings(get(contract, "result")));
  for (const char *list : {"draws", "accept", "summaries"})
    EXPECT_EQ(names(get(out, list)), strings(get(contract, list))) << list;
  std::vector<std::string> state = strings(get(contract, "state"));
  state.erase(std::remove(state.begin(), state.end(), "summaries"), state.end());
  EXPECT_EQ(names(get(out, "state")), state);
  UNPROTECT(1);

  // Each element left out: the run names it unless it is optional; each
  // nullable element NULL: the run goes.
  for (const char *list : inputs) {
    SEXP names_of = get(contract, list);
    const std::vector<std::string> optional = attribute(names_of, "optional");
    const std::vector<std::string> nullable = attribute(names_of, "nullable");
    for (const std::string &el : strings(names_of)) {
      const bool is_optional =
          std::find(optional.begin(), optional.end(), el) != optional.end();
      SEXP args = PROTECT(r_eval(std::string(".ct_args('") + list + "', drop = '" + el + "')"));
      SEXP res = run(args);
      if (is_optional) {
        EXPECT_NE(res, nullptr) << list << "$" << el << " left out: " << console_err();
      } else {
        EXPECT_EQ(res, nullptr) << list << "$" << el << " left out";
        EXPECT_NE(console_err().find("lacks `" + el + "`"), std::string::npos)
            << list << "$" << el << ": " << console_err();
      }
      UNPROTECT(1);
    }
    for (const std::string &el : nullable) {
      SEXP args = PROTECT(r_eval(std::string(".ct_args('") + list + "', null = '" + el + "')"));
      EXPECT_NE(run(args), nullptr) << list << "$" << el << " NULL: " << console_err();
      UNPROTECT(1);
    }
  }
  EXPECT_EQ(attribute(get(contract, "control"), "optional"),
            (std::vector<std::string>{"threads", "batches"}));

  // Without accumulate the result's summaries are NULL, as it may be.
  r_eval(".ct_in$control$accumulate <- FALSE");
  SEXP res = run(PROTECT(r_eval(".ct_args()")));
  ASSERT_NE(res, nullptr) << console_err();
  PROTECT(res);
  EXPECT_EQ(get(res, "summaries"), R_NilValue);
  const std::vector<std::string> result_nullable =
      attribute(get(contract, "result"), "nullable");
  EXPECT_NE(std::find(result_nullable.begin(), result_nullable.end(), "summaries"),
            result_nullable.end());
  r_eval("rm(list = c('.ct_args', '.ct_in', '.ct_map', '.ct_row_ptr', '.ct_col', '.ct_w'))");
  UNPROTECT(5);
}
