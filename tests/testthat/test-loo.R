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
