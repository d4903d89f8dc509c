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

test_that("loo() is loo's PSIS-LOO of the log-likelihood array with loo's relative efficiencies", {
  skip_if_not_installed("loo")
  fit <- toy_fit()
  ns <- asNamespace("mcar")
  ll <- ns$.log_lik_array(fit)
  want <- suppressWarnings(loo::loo(ll, r_eff = loo::relative_eff(exp(ll))))
  got <- suppressWarnings(loo::loo(fit))
  # The same smoothing and estimates; the relative efficiencies (and the
  # Monte Carlo errors and effective sizes from them) sum their
  # autocovariances directly rather than by FFT.
  expect_identical(got$diagnostics$pareto_k, want$diagnostics$pareto_k)
  expect_identical(got$pointwise[, "elpd_loo"], want$pointwise[, "elpd_loo"])
  expect_equal(got, want, tolerance = 1e-12)
  expect_identical(dimnames(got$pointwise), dimnames(want$pointwise))
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
