# Fitted values, predictions with their predictive intervals (also at new
# covariate values and expected counts), residuals and replicated counts,
# against what the kept draws give when computed here.

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

test_that("new data pass through the fitted terms and are matched by row name", {
  d <- toy_data()
  df <- data.frame(y1 = d$Y[, 1], e1 = d$E[, 1], x = d$x + 5)
  # scale() and poly() keep the centring and scaling learnt from the data,
  # so new values give the risks of the linear predictor at those values.
  for (f in list(~ scale(x), ~ poly(x, 2))) {
    ff <- fit_quietly("y1", "e1", d$W, covariates = f, data = df,
                      n_sample = 60, burnin = 20, chains = 1, seed = 3)
    shifted <- transform(df, x = x + 10)
    Xn <- model.matrix(delete.response(terms(model.frame(f, df))), shifted)
    dr <- ff$draws$chain1
    mu <- dr$beta %*% t(Xn) + dr$Lambda[, 1] * dr$phi
    p <- predict(ff, newdata = shifted, type = "risk")
    expect_equal(p$mean, unname(colMeans(exp(mu))), tolerance = 1e-10)
    expect_equal(predict(ff, newdata = df, type = "risk"),
                 predict(ff, type = "risk"), tolerance = 1e-12)
  }
  # The units of a fit whose inputs carried no names are "1".."n": rows of
  # new data named by them are matched by name, not taken by position.
  ff <- fit_quietly("y1", "e1", d$W, covariates = ~ x, data = df,
                    n_sample = 60, burnin = 20, chains = 1, seed = 3)
  shifted <- transform(df, x = x + seq_len(25) / 10)
  expect_equal(predict(ff, newdata = shifted[25:1, ], type = "risk"),
               predict(ff, newdata = shifted, type = "risk"),
               tolerance = 1e-12)
  expect_input_error(predict(ff, newdata = `rownames<-`(df, paste0("v", 1:25))),
                     "newdata", "do not match those of the fit's units")
  # A variable of the formula missing from `newdata` is an error, even when
  # one of that name is at hand where the formula was written.
  x <- d$x
  expect_input_error(predict(ff, newdata = data.frame(z = d$x)), "newdata",
                     "lacks the covariate variable\\(s\\) `x`")
})

test_that("a fit storing a share of its draws says so, and pp_check caps its draws", {
  args <- with_arg(base_args(), n_sample = 40, burnin = 20, keep = 7)
  msgs <- character()
  fit <- withCallingHandlers(tiny_fit(args), message = function(m) {
    msgs <<- c(msgs, conditionMessage(m))
    invokeRestart("muffleMessage")
  })
  stored <- grep("Storing", msgs, value = TRUE)
  expect_match(stored, "every 3rd")
  expect_match(stored, "`keep = 7`")
  expect_message(predict(fit), "Intervals: from the 6 stored draws")
  expect_identical(mcar:::.ordinal(c(1, 2, 3, 4, 11, 12, 13, 21, 22, 23, 101,
                                     111, 112)),
                   c("1st", "2nd", "3rd", "4th", "11th", "12th", "13th",
                     "21st", "22nd", "23rd", "101st", "111th", "112th"))
  skip_if_not_installed("bayesplot")
  small <- tiny_fit(with_arg(base_args(), n_sample = 30, burnin = 10))
  expect_s3_class(suppressMessages(bayesplot::pp_check(small)), "ggplot")
})

test_that("a predictive quantile confirmed from the probability of the count below is the mixture's", {
  q <- asNamespace("mcar")$.predictive_quantiles
  # Guesses right and wrong by one, zero means, and a draw whose mean
  # overflowed to Inf (no mass on any count).
  lam <- cbind(rep(3, 100), c(rep(3, 99), Inf), c(rep(0, 50), rep(0.2, 50)),
               rep(c(0.5, 40), 50))
  enum <- function(l, p) {
    y <- 0:200
    y[which(vapply(y, function(k) mean(ppois(k, l)), numeric(1)) >= p)[1]]
  }
  for (p in c(0.025, 0.5, 0.975)) {
    # (qpois() warns of the Inf mean's bound.)
    expect_equal(suppressWarnings(q(lam, p)), apply(lam, 2, enum, p = p),
                 label = paste(p))
  }
})
