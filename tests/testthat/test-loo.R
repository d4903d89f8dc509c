# Model comparison: DIC and logLik on the full scale of the family, LOO and
# WAIC from the pointwise log-likelihood.

test_that("DIC and logLik are on the full Poisson scale", {
  fit <- toy_fit()
  all_draws <- function(el) do.call(rbind, lapply(fit$draws, `[[`, el))
  # DIC on the full Poisson scale.
  y <- as.vector(fit$counts); e <- as.vector(fit$expected)
  obs <- !is.na(y)
  rr <- colMeans(rr_by_hand(fit))
  dtheta <- -2 * sum(dpois(y[obs], e[obs] * rr[obs], log = TRUE))
  dbar <- mean(all_draws("deviance"))
  expect_equal(fit$dic[["Dtheta"]], dtheta, tolerance = 1e-10)
  expect_equal(fit$dic[["Dbar"]], dbar, tolerance = 1e-12)
  expect_equal(fit$dic[["pD"]], dbar - dtheta, tolerance = 1e-10)
  expect_equal(fit$dic[["DIC"]], 2 * dbar - dtheta, tolerance = 1e-10)
  ll <- logLik(fit)
  expect_s3_class(ll, "logLik")
  expect_equal(as.numeric(ll), -dtheta / 2, tolerance = 1e-10)
  expect_equal(attr(ll, "df"), fit$dic[["pD"]])
  expect_identical(attr(ll, "nobs"), 48L)
  expect_equal(AIC(fit), dtheta + 2 * fit$dic[["pD"]], tolerance = 1e-10)
})

test_that("loo and waic work on the pointwise log-likelihood", {
  skip_if_not_installed("loo")
  fit <- toy_fit()
  # Few draws: Pareto k warnings are expected.
  l <- suppressWarnings(loo::loo(fit))
  expect_s3_class(l, "loo")
  expect_s3_class(l, "psis_loo")
  expect_identical(nrow(l$pointwise), 48L)
  w <- suppressWarnings(loo::waic(fit))
  expect_s3_class(w, "waic")
  expect_s3_class(w, "loo")
  ll <- draws_matrix(fit, "log_lik")
  lpd <- sum(log(colMeans(exp(ll))))
  expect_equal(w$estimates["elpd_waic", "Estimate"],
               lpd - sum(apply(ll, 2, var)), tolerance = 1e-8)
})

test_that("the compiled log-likelihood is dpois, dbinom and dnbinom to the bit", {
  ll <- function(family, y, e, risk, size = NULL, threads = 1L) {
    .Call(asNamespace("mcar")$mcar_count_log_lik, family, as.double(y),
          as.double(e), risk, size, as.integer(threads))
  }
  # Counts from 0 to far beyond the tables of small counts, means from
  # vanishing to huge (and 0: an exposure of 0).
  y <- c(0, 1, 2, 7, 15, 16, 17, 40, 81, 501, 1e4, 1e6)
  e <- c(1, 0.5, 3, 10, 20, 0, 15, 30, 100, 400, 1e4, 2e6)
  risk <- outer(c(1e-300, 1e-12, 1e-3, 0.2, 0.9, 1, 1.1, 3, 50, 1e4, 1e12),
                seq(0.5, 1.6, length.out = length(y)))
  Y <- rep(y, each = nrow(risk)); E <- rep(e, each = nrow(risk))
  want <- matrix(dpois(Y, E * as.vector(risk), log = TRUE), nrow(risk))
  expect_identical(ll(0L, y, e, risk), want)
  expect_identical(ll(0L, y, e, risk, threads = 2L), want)
  # Binomial: probabilities at and near 0 and 1, trials equal to the count.
  N <- c(0, 1, 5, 7, 30, 16, 17, 40, 100, 501, 2e4, 1e6)
  p <- outer(c(0, 1e-300, 1e-12, 1e-3, 0.2, 0.5, 0.9, 1 - 1e-12, 1),
             seq(0.2, 1, length.out = length(y)))
  y_b <- pmin(y, N)
  want <- matrix(dbinom(rep(y_b, each = nrow(p)), rep(N, each = nrow(p)),
                        as.vector(p), log = TRUE), nrow(p))
  expect_identical(ll(1L, y_b, N, p), want)
  # Negative binomial at each draw's own size, from nearly geometric-free
  # to nearly Poisson.
  size <- outer(c(1e-3, 0.5, 1, 5, 50, 1e4, 1e10, 1e15, 2, 3, 7),
                rep(1, length(y)))
  want <- matrix(dnbinom(Y, size = as.vector(size),
                         mu = E * as.vector(risk), log = TRUE), nrow(risk))
  expect_identical(ll(2L, y, e, risk, size), want)
})

test_that("the pointwise log-likelihood covers the observed counts only", {
  fit <- toy_fit()
  ns <- asNamespace("mcar")
  ll <- ns$.log_lik_matrix(fit)
  y <- as.vector(fit$counts); e <- as.vector(fit$expected)
  obs <- which(!is.na(y))
  rr <- rr_by_hand(fit)[, obs]
  S <- nrow(rr)
  expect_identical(dim(ll), c(S, 48L))
  want <- matrix(dpois(rep(y[obs], each = S), rep(e[obs], each = S) *
                         as.vector(rr), log = TRUE), S)
  expect_equal(unname(ll), want, tolerance = 1e-12)
})

test_that("the compiled linear predictors give the draws' log-likelihood for every family", {
  ns <- asNamespace("mcar")
  for (fit in list(toy_fit(), binomial_fit(), negbin_fit())) {
    for (d in fit$draws) {
      # The same sums in the same order: equal to rounding (to the bit with
      # the reference BLAS).
      expect_equal(ns$.log_lik_chain(fit, d), ns$.log_lik_draws(fit, d),
                   tolerance = 1e-13)
    }
  }
})

# loo's own PSIS-LOO of the pointwise log-likelihood of a fit, with our
# relative efficiencies.
loo_by_loo <- function(fit) {
  ns <- asNamespace("mcar")
  ll <- ns$.log_lik_matrix(fit)
  r_eff <- stats::setNames(ns$.relative_eff(ll, length(fit$draws)),
                           colnames(ll))
  dimnames(ll) <- NULL
  suppressWarnings(loo::loo.matrix(ll, r_eff = r_eff))
}

test_that("loo() is loo's PSIS-LOO of the log-likelihood for every family", {
  skip_if_not_installed("loo")
  for (fit in list(toy_fit(), binomial_fit(), negbin_fit())) {
    label <- if (is.null(fit$family)) "poisson" else fit$family
    want <- loo_by_loo(fit)
    got <- suppressWarnings(loo::loo(fit))
    expect_identical(class(got), class(want))
    expect_identical(names(got), names(want))
    expect_identical(attributes(got$pointwise), attributes(want$pointwise))
    expect_equal(got, want, tolerance = 1e-12, label = label)
    expect_equal(loo::pareto_k_table(got), loo::pareto_k_table(want),
                 label = label)
    # A second fit's comparison, and the usual printout.
    cmp <- loo::loo_compare(got, want)
    expect_equal(unname(cmp[, "elpd_diff"]), c(0, 0), tolerance = 1e-10)
    expect_output(print(got), "Pareto k diagnostic values")
  }
  # Saving the importance sampling object goes through loo.
  s <- suppressWarnings(loo::loo(toy_fit(), save_psis = TRUE))
  expect_s3_class(s$psis_object, "psis")
})

test_that("the importance sampling is loo's on light, heavy, short and constant tails", {
  skip_if_not_installed("loo")
  psis_loo <- asNamespace("mcar")$.psis_loo
  local_test_seed(11)
  S <- 1000
  ll <- cbind(
    matrix(rnorm(S * 3, -1, 0.2), S),             # light tails
    -2 + 3 * rt(S, df = 2) / 10,                   # heavy: k above 0.7
    log(rexp(S)) - 0.5 * log(rexp(S)),
    c(rep(-3, S - 60), rep(-1, 60)))               # a constant tail
  r_eff <- c(0.9, 1, 0.3, 0.7, 0.5, 1)
  capture <- function(expr) {
    w <- character()
    v <- withCallingHandlers(expr, warning = function(x) {
      w <<- c(w, conditionMessage(x)); invokeRestart("muffleWarning")
    })
    list(value = v, warnings = w)
  }
  want <- capture(loo::loo.matrix(ll, r_eff = r_eff))
  for (threads in 1:2) {
    got <- capture(psis_loo(ll, r_eff, threads))
    expect_equal(got$value, want$value, tolerance = 1e-12)
    expect_setequal(got$warnings, want$warnings)
  }
  expect_gt(max(want$value$diagnostics$pareto_k[1:5]), 0.7)
  expect_identical(want$value$diagnostics$pareto_k[6], Inf)
  # Tails shorter than 5 draws are left unsmoothed (k = Inf).
  short <- ll[1:20, 1:3]
  want <- capture(loo::loo.matrix(short, r_eff = c(1, 1, 1)))
  got <- capture(psis_loo(short, c(1, 1, 1)))
  expect_equal(got$value, want$value, tolerance = 1e-12)
  expect_setequal(got$warnings, want$warnings)
  expect_true(all(is.infinite(got$value$diagnostics$pareto_k)))
  # A log-likelihood that is not finite is left to loo, which refuses it.
  ll[5, 2] <- -Inf
  expect_null(psis_loo(ll, r_eff))
})

test_that("relative efficiencies are loo's at any number of draws, constant likelihoods included", {
  skip_if_not_installed("loo")
  re <- asNamespace("mcar")$.relative_eff
  local_test_seed(5)
  # 100 draws per chain pad to an FFT of their own size, 77 to one of 80.
  for (S in c(100, 77, 3)) for (C in c(1, 3)) {
    ll <- vapply(1:5, function(v) {
      unlist(lapply(seq_len(C), function(k) {
        log(0.2 + 0.1 * v) + 0.3 * as.numeric(
          stats::arima.sim(list(ar = 0.2 * v - 0.3), S))
      }))
    }, numeric(S * C))
    ll[, 4] <- -1.5                   # constant: left to loo
    want <- loo::relative_eff(exp(array(ll, c(S, C, 5))))
    expect_equal(re(ll, C), want, tolerance = 1e-12,
                 label = paste("S =", S, "C =", C))
  }
})
