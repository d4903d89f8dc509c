# Methods for fits: the draws under the names posterior and coda expect,
# derived quantities computed independently here from the kept draws, the
# handling of missing counts, DIC, LOO/WAIC and the warning about chains
# that cannot be trusted.

# Names of the draws of a fit with n units, K outcomes, p coefficients and
# the observed cells `obs` (logical, n x K).
expected_names <- function(n, K, p, obs) {
  cell <- function(name, a, b) {
    sprintf("%s[%d,%d]", name, rep(seq_len(a), b), rep(seq_len(b), each = a))
  }
  upper <- function(name) {
    ij <- which(upper.tri(diag(K), diag = TRUE), arr.ind = TRUE)
    ij <- ij[order(ij[, 1], ij[, 2]), , drop = FALSE]
    sprintf("%s[%d,%d]", name, ij[, 1], ij[, 2])
  }
  c(cell("beta", p, K), upper("Lambda"), upper("A"),
    sprintf("eta[%d]", seq_len(K)),
    if (K > 1) sprintf("theta[%d]", seq_len(K * (K - 1) / 2)),
    cell("phi", n, K), cell("rr", n, K), cell("log_lik", n, K)[as.vector(obs)],
    "deviance")
}

# Relative risks of every kept draw, from beta, phi and Lambda: draws x (n K).
rr_by_hand <- function(fit) exp(mu_by_hand(fit))

# All kept draws as a plain matrix, draws (chain by chain) x variables.
draws_matrix <- function(fit, variables = NULL) {
  a <- if (is.null(variables)) posterior::as_draws_array(fit) else
    posterior::as_draws_array(fit, variables = variables)
  matrix(unclass(a), prod(dim(a)[1:2]), dimnames = list(NULL, dimnames(a)[[3]]))
}

# Posterior caps the ESS of very short chains with a warning of its own.
without_capped_ess <- function(expr) {
  withCallingHandlers(expr, warning = function(w) {
    if (grepl("ESS has been capped", conditionMessage(w))) {
      invokeRestart("muffleWarning")
    }
  })
}

test_that("the draws carry the names posterior and coda expect", {
  fit <- toy_fit()
  obs <- !is.na(fit$counts)
  want <- expected_names(25, 2, 2, obs)
  arr <- posterior::as_draws_array(fit)
  expect_s3_class(arr, "draws_array")
  expect_identical(posterior::variables(arr), want)
  expect_identical(posterior::nchains(arr), 2L)
  expect_identical(posterior::niterations(arr), 200L)
  df <- posterior::as_draws_df(fit)
  expect_s3_class(df, "draws_df")
  expect_identical(posterior::variables(df), want)
  expect_identical(posterior::ndraws(df), 400L)
  expect_identical(posterior::variables(posterior::as_draws(fit)), want)
  m <- coda::as.mcmc(fit)
  expect_s3_class(m, "mcmc.list")
  expect_length(m, 2L)
  expect_identical(coda::varnames(m), want)
  expect_equal(stats::start(m), 101)
  # The values under those names are the kept draws, chain by chain.
  expect_identical(as.vector(arr[, 2, "beta[2,1]"]),
                   unname(fit$draws$chain2$beta[, "beta[2,1]"]))
  expect_identical(as.vector(m[[1]][, "A[1,2]"]),
                   unname(fit$draws$chain1$A[, "A[1,2]"]))
  expect_identical(unname(df$`phi[7,2]`[df$.chain == 1]),
                   unname(fit$draws$chain1$phi[, "phi[7,2]"]))
  # Selections by group and by single name.
  sel <- posterior::as_draws_array(fit, variables = c("Lambda", "rr[3,1]"))
  expect_identical(posterior::variables(sel),
                   c("Lambda[1,1]", "Lambda[1,2]", "Lambda[2,2]", "rr[3,1]"))
  expect_input_error(posterior::as_draws_array(fit, variables = "gamma"),
                     "variables", "unknown name\\(s\\): gamma")
  expect_input_error(posterior::as_draws_array(fit, variables = "beta[9,1]"),
                     "variables", "unknown parameter\\(s\\): beta\\[9,1\\]")
})

test_that("derived draws follow the model from the kept draws", {
  fit <- toy_fit()
  arr <- draws_matrix(fit)
  y <- as.vector(fit$counts); e <- as.vector(fit$expected)
  obs <- !is.na(y)
  rr <- rr_by_hand(fit)
  expect_equal(unname(arr[, sprintf("rr[%d,%d]", rep(1:25, 2), rep(1:2, each = 25))]),
               rr, tolerance = 1e-12)
  ll <- matrix(dpois(rep(y[obs], each = nrow(rr)),
                     rr[, obs] * rep(e[obs], each = nrow(rr)), log = TRUE),
               nrow(rr))
  expect_equal(unname(arr[, grepl("^log_lik", colnames(arr))]), ll,
               tolerance = 1e-12)
  # The engine's deviance is -2 log-likelihood on the full Poisson scale,
  # over the observed counts only.
  expect_equal(as.vector(arr[, "deviance"]), -2 * rowSums(ll),
               tolerance = 1e-9)
  # The association matrix of every draw is P diag(eta) P'.
  for (s in c(1, 77, 400)) {
    A <- association_by_hand(arr[s, c("eta[1]", "eta[2]")], arr[s, "theta[1]"])
    expect_equal(unname(arr[s, c("A[1,1]", "A[1,2]", "A[2,2]")]),
                 A[c(1, 3, 4)], tolerance = 1e-12)
  }
})

test_that("missing counts are predicted and left out of the likelihood", {
  fit <- toy_fit()
  miss <- is.na(fit$counts)
  expect_identical(sum(miss), 2L)
  expect_identical(nobs(fit), 48L)
  mu <- fitted(fit)
  expect_identical(dimnames(mu), dimnames(fit$counts))
  expect_true(all(is.finite(mu)))
  rr <- rr_by_hand(fit)
  expect_equal(as.vector(mu), colMeans(rr) * as.vector(fit$expected),
               tolerance = 1e-12)
  expect_equal(as.vector(fitted(fit, type = "risk")), colMeans(rr),
               tolerance = 1e-12)
  pr <- predict(fit)
  expect_identical(nrow(pr), 50L)
  expect_identical(pr$unit, rep(fit$units, 2))
  expect_identical(is.na(pr$observed), as.vector(miss))
  expect_true(all(is.finite(as.matrix(pr[c("mean", "lower", "upper",
                                           "predict_lower", "predict_upper")]))))
  expect_true(all(pr$lower <= pr$mean & pr$mean <= pr$upper))
  # Predictive intervals hold the Poisson noise as well.
  expect_true(all(pr$predict_lower <= pr$lower + 1e-9))
  expect_true(all(pr$predict_upper >= floor(pr$upper)))
  expect_gt(mean(pr$predict_upper - pr$predict_lower), mean(pr$upper - pr$lower))
  risk <- predict(fit, type = "risk", level = 0.5)
  expect_false("predict_lower" %in% names(risk))
  expect_equal(risk$lower, apply(rr, 2, quantile, 0.25, names = FALSE))
  ll <- posterior::as_draws_array(fit, variables = "log_lik")
  expect_false(any(c("log_lik[3,1]", "log_lik[7,2]") %in%
                     posterior::variables(ll)))
  expect_identical(posterior::nvariables(ll), 48L)
  expect_true(all(is.na(residuals(fit)[miss])))
})

test_that("residuals are response, Pearson and deviance residuals", {
  fit <- toy_fit()
  y <- fit$counts
  mu <- fitted(fit)
  expect_equal(residuals(fit), y - mu)
  expect_equal(residuals(fit, type = "pearson"), (y - mu) / sqrt(mu))
  dev <- residuals(fit, type = "deviance")
  expect_identical(dimnames(dev), dimnames(y))
  expect_identical(sign(dev), sign(y - mu))
  # Squared deviance residuals add up to the deviance at the fitted means
  # less the saturated deviance.
  obs <- !is.na(y)
  saturated <- -2 * sum(dpois(y[obs], y[obs], log = TRUE))
  expect_equal(sum(dev[obs]^2), fit$dic[["Dtheta"]] - saturated,
               tolerance = 1e-10)
  expect_error(residuals(fit, type = "raw"), "should be one of")
})

test_that("coef, logLik and DIC summarise the posterior", {
  fit <- toy_fit()
  cf <- coef(fit)
  expect_type(cf, "list")
  expect_named(cf, c("beta", "Lambda", "A"))
  all_draws <- function(el) do.call(rbind, lapply(fit$draws, `[[`, el))
  expect_identical(dimnames(cf$beta), list(c("(Intercept)", "x"), fit$outcomes))
  expect_equal(as.vector(cf$beta), unname(colMeans(all_draws("beta"))))
  expect_equal(cf$Lambda[1, 2], mean(all_draws("Lambda")[, "Lambda[1,2]"]))
  expect_identical(cf$Lambda[2, 1], 0)
  expect_true(isSymmetric(unname(cf$A)))
  expect_equal(cf$A[2, 1], mean(all_draws("A")[, "A[1,2]"]))
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

test_that("relative_risk reports the posterior of every cell", {
  fit <- toy_fit()
  rr <- rr_by_hand(fit)
  out <- relative_risk(fit, threshold = 1.2)
  expect_identical(nrow(out), 50L)
  expect_identical(out$outcome, rep(fit$outcomes, each = 25))
  expect_equal(out$prob_gt, colMeans(rr > 1.2))
  expect_equal(out$mean, colMeans(rr), tolerance = 1e-12)
  expect_equal(out$upper, apply(rr, 2, quantile, 0.975, names = FALSE),
               tolerance = 1e-12)
  expect_equal(out$smr, as.vector(fit$counts / fit$expected))
  expect_true(is.na(out$smr[3]) && is.na(out$observed[3]))
  expect_equal(relative_risk(fit, threshold = 0.5)$prob_gt, colMeans(rr > 0.5))
  expect_input_error(relative_risk(fit, threshold = -1), "threshold")
  expect_input_error(relative_risk(fit, level = 1), "level")
  expect_input_error(relative_risk(list()), "object")
})

test_that("print and summary show the parameters, DIC and acceptance", {
  fit <- toy_fit()
  out <- utils::capture.output(res <- print(fit))
  expect_identical(res, fit)
  expect_match(out[1], "2 outcomes .* on 25 areal units, 2 missing count")
  expect_true(any(grepl("^Covariates: x", out)))
  expect_true(any(grepl("^Lambda\\[1,2\\]", out)))
  expect_true(any(grepl(sprintf("DIC = %.1f", fit$dic[["DIC"]]), out,
                        fixed = TRUE)))
  expect_true(any(grepl("^Acceptance rates: beta", out)))
  s <- summary(fit, level = 0.9, variables = c("beta", "eta[2]"))
  expect_identical(rownames(s$parameters),
                   c("beta[1,1]", "beta[2,1]", "beta[1,2]", "beta[2,2]",
                     "eta[2]"))
  eta2 <- unlist(lapply(fit$draws, function(d) d$eta[, 2]))
  expect_equal(s$parameters["eta[2]", "upper"],
               quantile(eta2, 0.95, names = FALSE))
  out <- utils::capture.output(print(s))
  expect_true(any(grepl("90% credible intervals", out, fixed = TRUE)))
  expect_true(any(grepl("interval > 1", out, fixed = TRUE)))
  expect_input_error(summary(fit, level = 2), "level")
})

test_that("one outcome without covariates works end to end", {
  d <- toy_data()
  fit <- fit_quietly(d$Y[, 1], d$E[, 1], d$W, n_sample = 200, chains = 2,
                     seed = 3)
  expect_identical(fit$outcomes, "outcome1")
  want <- expected_names(25, 1, 1, matrix(TRUE, 25, 1))
  expect_identical(posterior::variables(posterior::as_draws_df(fit)), want)
  # With one field the association matrix is its eigenvalue.
  expect_identical(fit$draws$chain1$A[, 1], fit$draws$chain1$eta[, 1])
  expect_identical(dim(coef(fit)$Lambda), c(1L, 1L))
  expect_identical(dim(fitted(fit)), c(25L, 1L))
  expect_identical(nrow(predict(fit)), 25L)
  expect_equal(as.vector(fitted(fit, type = "risk")), colMeans(rr_by_hand(fit)),
               tolerance = 1e-12)
  expect_output(print(fit), "1 outcome \\(outcome1\\)")
})

test_that("short chains are flagged as not to be trusted, long ones are not", {
  d <- toy_data()
  expect_warning(without_capped_ess(
    mcar_fit(d$Y, d$E, d$W, n_sample = 40, burnin = 20, chains = 2,
             seed = 1, progress = FALSE)),
    "not to be trusted yet: .*bulk ESS below 100.*Run longer chains")
  # One chain: no R-hat, the effective sample size still counts.
  expect_warning(without_capped_ess(
    mcar_fit(d$Y[, 1], d$E[, 1], d$W, n_sample = 60, chains = 1, seed = 1,
             progress = FALSE)),
    "bulk ESS below 100")
  # One outcome, intercept only: 2 x 2000 kept sweeps are plenty here.
  expect_no_warning(
    mcar_fit(d$Y[, 1], d$E[, 1], d$W, n_sample = 4000, chains = 2, seed = 1,
             progress = FALSE))
})

test_that("a chain that alone disagrees with the others is named", {
  # Four chains of independent draws of every reported parameter, alike
  # but for what each case shifts.
  fit <- toy_fit()
  local_test_seed(11)
  four <- fit
  four$draws <- rep(fit$draws, 2L)
  names(four$draws) <- paste0("chain", 1:4)
  for (k in 1:4) {
    for (el in c("beta", "Lambda", "A")) {
      four$draws[[k]][[el]][] <- rnorm(length(four$draws[[k]][[el]]))
    }
    four$draws[[k]]$deviance[] <- rnorm(length(four$draws[[k]]$deviance), 500)
  }
  apart <- function(x, k, by, dev) {
    x$draws[[k]]$Lambda[, 1] <- x$draws[[k]]$Lambda[, 1] + by
    x$draws[[k]]$deviance <- x$draws[[k]]$deviance + dev
    x
  }
  warn <- asNamespace("mcar")$.warn_untrustworthy
  one <- apart(four, 3, 3, 80)
  expect_warning(warn(one), paste0(
    "R-hat above 1.05 for Lambda\\[1,1\\] \\(largest [0-9.]+\\); chain 3 ",
    "alone differs \\(the others agree without it\\), its mean deviance ",
    "8[0-9]\\.[0-9] above theirs"))
  # With chain 2 lost, the chains keep their numbers.
  lost <- one
  lost$draws <- c(one$draws[-2], list(chain5 = four$draws[[2]]))
  expect_warning(warn(lost), "chain 3 alone differs")
  # Two chains apart, on different sides: no one chain is to blame.
  two <- apart(one, 4, -3, 0)
  expect_warning(w <- warn(two), "R-hat above 1.05")
  expect_false(any(grepl("alone differs", w)))
  # Two chains: R-hat cannot tell which of them strays.
  pair <- four
  pair$draws <- four$draws[1:2]
  pair <- apart(pair, 2, 3, 80)
  expect_warning(w <- warn(pair), "R-hat above 1.05")
  expect_false(any(grepl("alone differs", w)))
})

test_that("every posterior draw format keeps only the variables asked for", {
  fit <- toy_fit()
  ref <- draws_matrix(fit, c("Lambda", "beta[2,1]"))
  m <- posterior::as_draws_matrix(fit, variables = c("Lambda", "beta[2,1]"))
  expect_identical(posterior::variables(m), colnames(ref))
  expect_equal(unname(unclass(m)[, ]), unname(ref), ignore_attr = TRUE)
  l <- posterior::as_draws_list(fit, variables = "beta")
  expect_identical(posterior::variables(l), sprintf("beta[%d,%d]", c(1, 2, 1, 2),
                                                    c(1, 1, 2, 2)))
  expect_identical(posterior::nchains(l), 2L)
  r <- posterior::as_draws_rvars(fit, variables = "eta")
  expect_identical(posterior::variables(r), "eta")
  expect_equal(as.vector(posterior::draws_of(r$eta)[, 2]),
               as.vector(draws_matrix(fit, "eta")[, 2]))
  # Variables come in the order asked.
  expect_identical(posterior::variables(
    posterior::as_draws_df(fit, variables = c("deviance", "eta"))),
    c("deviance", "eta[1]", "eta[2]"))
})

test_that("too few kept draws are flagged, and what needs more says so", {
  d <- toy_data()
  expect_warning(fit <- without_capped_ess(
    mcar_fit(d$Y, d$E, d$W, n_sample = 40, burnin = 20, thin = 20, chains = 1,
             seed = 1, progress = FALSE)),
    "only 1 kept draw per chain, too few to estimate R-hat or ESS")
  skip_if_not_installed("loo")
  expect_input_error(loo::loo(fit), "x", "1 kept draw per chain; LOO needs")
  expect_input_error(loo::waic(fit), "x", "WAIC needs at least 2")
})

test_that("predictive quantiles are those of the Poisson mixture at any size", {
  q <- asNamespace("mcar")$.predictive_quantiles
  local_test_seed(21)
  lam <- matrix(rgamma(400 * 6, shape = 4, rate = 4 / c(0.3, 2, 9, 40, 150, 700)),
                400, byrow = TRUE)
  # By enumeration of the mixture's distribution function.
  enum <- function(l, p) {
    y <- 0:(qpois(p, max(l)) + 1)
    cdf <- vapply(y, function(k) mean(ppois(k, l)), numeric(1))
    y[which(cdf >= p)[1]]
  }
  for (p in c(0.025, 0.5, 0.975)) {
    expect_equal(q(lam, p), apply(lam, 2, enum, p = p))
  }
  # Counts in the millions with 8000 draws: the support is not enumerated.
  big <- matrix(rgamma(8000 * 4, shape = 50, rate = 50 / 2e6), 8000)
  took <- system.time(hi <- q(big, 0.975))[["elapsed"]]
  expect_lt(took, 10)
  # Near the 97.5% point of the mixture, whose spread is mostly the means'.
  expect_equal(hi, apply(big, 2, quantile, 0.975, names = FALSE),
               tolerance = 0.02)
})

test_that("predictive quantiles are those of binomial and negative binomial mixtures", {
  q <- asNamespace("mcar")$.predictive_quantiles
  local_test_seed(22)
  S <- 300
  # Binomial: probabilities per draw, trials per cell (one with none).
  N <- c(0, 1, 12, 80, 5000, 2e6)
  p <- matrix(plogis(rnorm(S * 6, rep(c(-1, 0, -2, 1, -4, -6), each = S),
                           0.4)), S)
  # Negative binomial: means and sizes per draw, sizes from nearly Poisson
  # to very overdispersed.
  m <- matrix(rgamma(S * 6, 5, 5 / rep(c(0.5, 3, 20, 150, 4000, 1e5),
                                       each = S)), S)
  psi <- matrix(exp(rnorm(S * 6, rep(c(4, 0, 2, -1, 8, 1), each = S), 0.5)),
                S)
  enum <- function(cdf, p, top) {
    while (cdf(top) < p) top <- 2 * top
    y <- 0:top
    y[which(vapply(y, cdf, numeric(1)) >= p)[1]]
  }
  for (pr in c(0.025, 0.5, 0.975)) {
    want_b <- vapply(1:4, function(j) enum(function(k) {
      mean(pbinom(k, N[j], p[, j]))
    }, pr, N[j]), numeric(1))
    expect_equal(q(p, pr, "binomial", N)[1:4], want_b)
    want_n <- vapply(1:3, function(j) enum(function(k) {
      mean(pnbinom(k, size = psi[, j], mu = m[, j]))
    }, pr, 10), numeric(1))
    expect_equal(q(m, pr, "negbinomial", psi)[1:3], want_n)
  }
  # Large counts without enumerating the support: the mixture's
  # distribution function just reaches the level at the quantile.
  for (pr in c(0.05, 0.95)) {
    hb <- q(p, pr, "binomial", N)
    fb <- vapply(5:6, function(j) mean(pbinom(hb[j], N[j], p[, j])), 0)
    gb <- vapply(5:6, function(j) mean(pbinom(hb[j] - 1, N[j], p[, j])), 0)
    expect_true(all(fb >= pr & gb < pr))
    hn <- q(m, pr, "negbinomial", psi)
    fn <- vapply(4:6, function(j) {
      mean(pnbinom(hn[j], size = psi[, j], mu = m[, j]))
    }, 0)
    gn <- vapply(4:6, function(j) {
      mean(pnbinom(hn[j] - 1, size = psi[, j], mu = m[, j]))
    }, 0)
    expect_true(all(fn >= pr & gn < pr))
  }
  expect_identical(q(p, 0.975, "binomial", N)[1], 0)
})

test_that("predict takes new covariate values and expected counts of the units", {
  fit <- toy_fit()
  d <- toy_data()
  rr <- rr_by_hand(fit)
  bx <- draws_matrix(fit, c("beta[2,1]", "beta[2,2]"))
  base <- predict(fit, type = "risk")
  same <- predict(fit, newdata = data.frame(x = d$x), type = "risk")
  expect_equal(same, base, tolerance = 1e-12)
  up <- predict(fit, newdata = cbind(x = d$x + 1), type = "risk")
  by_hand <- rr * exp(bx[, rep(1:2, each = 25)])
  expect_equal(up$mean, unname(colMeans(by_hand)), tolerance = 1e-10)
  expect_equal(up$upper, apply(unname(by_hand), 2, quantile, 0.975,
                               names = FALSE), tolerance = 1e-10)
  twice <- predict(fit, expected = 2 * fit$expected)
  expect_equal(twice$mean, 2 * predict(fit)$mean, tolerance = 1e-12)
  expect_input_error(predict(fit, newdata = data.frame(x = d$x[1:5])),
                     "newdata", "5 rows for the fit's 25 units")
  expect_input_error(predict(fit, newdata = data.frame(z = d$x)), "newdata",
                     "covariates x")
  expect_input_error(predict(fit, expected = fit$expected[1:3, ]), "expected")
  # A formula fit: the formula is evaluated in `newdata`, whose named rows
  # are matched to the units.
  nm <- paste0("u", 1:25)
  df <- data.frame(y1 = d$Y[, 1], e1 = d$E[, 1], x = d$x, row.names = nm)
  W <- `dimnames<-`(d$W, list(nm, nm))
  ff <- fit_quietly("y1", "e1", W, covariates = ~ x, data = df,
                    n_sample = 60, burnin = 20, chains = 1, seed = 3)
  shifted <- transform(df, x = x - 2)[25:1, ]
  p <- predict(ff, newdata = shifted, type = "risk")
  dr <- ff$draws$chain1
  mu <- dr$beta %*% t(cbind(1, d$x - 2)) + dr$Lambda[, 1] * dr$phi
  expect_equal(p$mean, unname(colMeans(exp(mu))), tolerance = 1e-10)
  expect_input_error(predict(ff, newdata = `rownames<-`(df, paste0("v", 1:25))),
                     "newdata", "do not match those of the fit's units")
})

test_that("confint, vcov and as.data.frame summarise the kept draws", {
  fit <- toy_fit()
  m <- draws_matrix(fit, c("beta", "Lambda", "A"))
  ci <- confint(fit, level = 0.9)
  expect_identical(rownames(ci), colnames(m))
  expect_identical(colnames(ci), c("5 %", "95 %"))
  expect_equal(ci[, 1], apply(m, 2, quantile, 0.05), ignore_attr = TRUE)
  expect_equal(confint(fit, "eta[2]")[1, 2],
               quantile(draws_matrix(fit, "eta")[, 2], 0.975),
               ignore_attr = TRUE)
  expect_equal(vcov(fit), cov(draws_matrix(fit, "beta")))
  df <- as.data.frame(fit, variables = c("Lambda", "deviance"))
  expect_identical(names(df), c("Lambda[1,1]", "Lambda[1,2]", "Lambda[2,2]",
                                "deviance", ".chain", ".iteration", ".draw"))
  expect_equal(as.matrix(df[1:4]),
               draws_matrix(fit, c("Lambda", "deviance")), ignore_attr = TRUE)
  expect_identical(df$.chain, rep(1:2, each = 200))
})

test_that("replicated counts follow the posterior predictive distribution", {
  fit <- toy_fit()
  yrep <- posterior_predict(fit, seed = 5)
  expect_identical(dim(yrep), c(400L, 50L))
  expect_identical(yrep, posterior_predict(fit, seed = 5))
  # Mean and variance of the replicates: E[y] = E[lambda] and
  # Var[y] = E[lambda] + Var[lambda], within Monte Carlo error.
  lam <- rr_by_hand(fit) * rep(as.vector(fit$expected), each = 400)
  m <- colMeans(lam)
  z <- (colMeans(yrep) - m) / sqrt((m + apply(lam, 2, var)) / 400)
  expect_lt(max(abs(z)), 4.5)
  expect_lt(abs(mean(z)), 4 / sqrt(50))
  expect_identical(nrow(posterior_predict(fit, ndraws = 10)), 10L)
  withr::local_seed(3)
  before <- .Random.seed
  s <- simulate(fit, nsim = 300, seed = 9)
  expect_identical(.Random.seed, before)
  expect_identical(dim(s), c(50L, 300L))
  z2 <- (rowMeans(s) - m) / sqrt((m + apply(lam, 2, var)) / 300)
  expect_lt(max(abs(z2)), 4.5)
  skip_if_not_installed("bayesplot")
  expect_s3_class(bayesplot::pp_check(fit, ndraws = 20), "ggplot")
})

test_that("outcome correlations: the model's and the fitted surfaces'", {
  fit <- toy_fit()
  oc <- outcome_correlation(fit)
  expect_identical(oc$type, c("implied", "surfaces"))
  d <- toy_data()
  W <- d$W
  n <- 25
  a <- draws_matrix(fit, c("A", "Lambda"))
  # The fields' prior covariance from the dense precision, its blocks
  # averaged over the units, carried through the loadings.
  implied <- vapply(seq_len(nrow(a)), function(s) {
    A <- matrix(a[s, c("A[1,1]", "A[1,2]", "A[1,2]", "A[2,2]")], 2)
    L <- matrix(c(a[s, "Lambda[1,1]"], 0, a[s, "Lambda[1,2]"],
                  a[s, "Lambda[2,2]"]), 2)
    V <- solve(kronecker(diag(2), diag(rowSums(W))) - kronecker(A, W))
    B <- matrix(c(mean(diag(V)[1:n]), mean(diag(V[1:n, n + 1:n])),
                  mean(diag(V[1:n, n + 1:n])), mean(diag(V)[n + 1:n])), 2)
    cov2cor(L %*% B %*% t(L))[1, 2]
  }, numeric(1))
  expect_equal(oc$mean[1], mean(implied), tolerance = 1e-8)
  expect_equal(oc$upper[1], quantile(implied, 0.975, names = FALSE),
               tolerance = 1e-8)
  lr <- log(rr_by_hand(fit))
  surf <- apply(lr, 1, function(r) cor(r[1:n], r[n + 1:n]))
  expect_equal(oc$mean[2], mean(surf), tolerance = 1e-10)
  expect_equal(oc$lower[2], quantile(surf, 0.025, names = FALSE),
               tolerance = 1e-10)
  expect_input_error(outcome_correlation(fit, level = 2), "level")
})

test_that("summary says what its columns mean", {
  out <- paste(capture.output(print(summary(toy_fit()))), collapse = " ")
  expect_match(out, "interval > 1 / < 1: the number of units whose 95%\\s+credible")
  expect_match(out, "rhat: potential scale reduction")
})
