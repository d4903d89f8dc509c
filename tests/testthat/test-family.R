# Binomial and negative binomial fits: draws named by family, the pointwise
# log-likelihood and the deviance against dbinom and dnbinom, the checks of
# trials and of the priors, everything derived from a fit (fitted counts,
# residuals, predictions, replicates, relative risks) under each family, and
# recovery of known values from data simulated from each family.

size_by_hand <- function(fit) {
  n <- length(fit$units)
  psi <- do.call(rbind, lapply(fit$draws, `[[`, "dispersion"))
  psi[, rep(seq_len(ncol(psi)), each = n)]
}

all_draws <- function(fit, el) do.call(rbind, lapply(fit$draws, `[[`, el))

# Draws of the chosen variables through posterior, draws x variables.
draws_of <- function(fit, variables) {
  a <- posterior::as_draws_array(fit, variables = variables)
  matrix(unclass(a), prod(dim(a)[1:2]), dimnames = list(NULL, dimnames(a)[[3]]))
}

test_that("binomial fits hold probabilities, negative binomial fits sizes", {
  b <- binomial_fit()
  vb <- posterior::variables(posterior::as_draws_array(b))
  expect_true(all(sprintf("prob[%d,%d]", 1:25, 1) %in% vb))
  expect_false(any(grepl("^(rr|dispersion)\\[", vb)))
  expect_identical(dimnames(posterior::as_draws_array(b, "prob"))[[3]],
                   sprintf("prob[%d,%d]", rep(1:25, 2), rep(1:2, each = 25)))
  expect_input_error(posterior::as_draws_array(b, variables = "rr"),
                     "variables", "binomial fit does not have.*prob\\[i,r\\]")
  expect_identical(coda::varnames(coda::as.mcmc(b, variables = "prob[4,2]")),
                   "prob[4,2]")
  nb <- negbin_fit()
  vn <- posterior::variables(posterior::as_draws_df(nb))
  # The sizes come after the angles, before the fields.
  expect_identical(vn[grep("^theta|^dispersion|^phi\\[1,1\\]", vn)],
                   c("theta[1]", "dispersion[1]", "dispersion[2]", "phi[1,1]"))
  expect_true("rr[1,1]" %in% vn)
  expect_false(any(grepl("^prob\\[", vn)))
  psi <- posterior::as_draws_array(nb, variables = "dispersion")
  expect_identical(as.vector(psi[, 2, "dispersion[2]"]),
                   unname(nb$draws$chain2$dispersion[, 2]))
  expect_true(all(psi > 0))
  # Sizes are reported beside the coefficients and loadings.
  expect_identical(tail(rownames(summary(nb)$parameters), 2),
                   c("dispersion[1]", "dispersion[2]"))
  expect_identical(rownames(confint(nb))[11:12],
                   c("dispersion[1]", "dispersion[2]"))
  expect_input_error(posterior::as_draws_array(toy_fit(), "dispersion"),
                     "variables", "Poisson fit does not have")
})

test_that("the log-likelihood and the deviance are those of dbinom and dnbinom", {
  b <- binomial_fit()
  mu <- mu_by_hand(b)
  S <- nrow(mu)
  y <- as.vector(b$counts); N <- as.vector(b$trials)
  obs <- !is.na(y)
  expect_identical(N[3], 0)   # NA trials of a missing count
  prob <- plogis(mu)
  expect_equal(unname(draws_of(b, "prob")), prob, tolerance = 1e-12)
  ll <- matrix(dbinom(rep(y[obs], each = S), rep(N[obs], each = S),
                      prob[, obs], log = TRUE), S)
  expect_equal(unname(draws_of(b, "log_lik")), ll, tolerance = 1e-10)
  # The sampler's deviance: -2 log-likelihood, every constant included.
  expect_equal(as.vector(all_draws(b, "deviance")), -2 * rowSums(ll),
               tolerance = 1e-8)
  # DIC at the posterior mean probabilities.
  dtheta <- -2 * sum(dbinom(y[obs], N[obs], colMeans(prob)[obs], log = TRUE))
  expect_equal(b$dic[["Dtheta"]], dtheta, tolerance = 1e-9)
  expect_equal(as.numeric(logLik(b)), -dtheta / 2, tolerance = 1e-9)

  nb <- negbin_fit()
  mu <- mu_by_hand(nb)
  y <- as.vector(nb$counts); E <- as.vector(nb$expected)
  psi <- size_by_hand(nb)
  m <- exp(mu) * rep(E, each = S)
  ll <- matrix(dnbinom(rep(y[obs], each = S), size = psi[, obs],
                       mu = m[, obs], log = TRUE), S)
  expect_equal(unname(draws_of(nb, "log_lik")), ll, tolerance = 1e-10)
  # Each draw's deviance at its own size.
  expect_equal(as.vector(all_draws(nb, "deviance")), -2 * rowSums(ll),
               tolerance = 1e-8)
  psi_bar <- colMeans(all_draws(nb, "dispersion"))
  dtheta <- -2 * sum(dnbinom(y[obs], size = rep(psi_bar, each = 25)[obs],
                             mu = (colMeans(exp(mu)) * E)[obs], log = TRUE))
  expect_equal(nb$dic[["Dtheta"]], dtheta, tolerance = 1e-9)
  # WAIC from the sampler's running sums agrees with the stored draws.
  skip_if_not_installed("loo")
  w <- suppressWarnings(loo::waic(nb))
  expect_equal(w$estimates["elpd_waic", "Estimate"],
               sum(log(colMeans(exp(ll)))) - sum(apply(ll, 2, var)),
               tolerance = 1e-8)
  l <- suppressWarnings(loo::loo(b))
  expect_identical(nrow(l$pointwise), 48L)
})

test_that("trials are checked, and the errors name the argument", {
  d <- family_data("binomial")
  fit_b <- function(...) {
    fit_quietly(d$Y, W = d$W, family = "binomial", n_sample = 20,
                chains = 1, seed = 1, ...)
  }
  N <- d$N
  N[5] <- N[5] + 0.5
  expect_input_error(fit_b(trials = N), "trials",
                     "whole numbers; unit 5, outcome 1")
  N <- d$N
  N[30] <- d$Y[30] - 1
  expect_input_error(fit_b(trials = N), "trials",
                     "at least the counts; unit 5, outcome 2 has")
  N <- d$N
  N[4] <- NA
  expect_input_error(fit_b(trials = N), "trials",
                     "missing where the count is not \\(unit 4, outcome 1\\)")
  N <- d$N
  N[7] <- -1
  expect_input_error(fit_b(trials = N), "trials", "non-negative")
  expect_input_error(fit_b(trials = d$N[1:20, ]), "trials", "same shape")
  expect_input_error(fit_b(), "trials", "is needed by the binomial family")
  expect_input_error(fit_b(trials = d$N, expected = d$N), "expected",
                     "not used by the binomial family")
  e <- toy_data()
  expect_input_error(
    mcar_fit(e$Y, e$E, e$W, trials = d$N, n_sample = 20, progress = FALSE),
    "trials", "only for family = \"binomial\"")
  expect_input_error(
    mcar_fit(e$Y, e$E, e$W, family = "gaussian", progress = FALSE),
    "family", "not \"gaussian\"")
  # NA trials where the count is missing are allowed.
  f <- fit_b(trials = d$N)
  expect_identical(f$trials[3], 0)
  expect_null(f$expected)
})

test_that("the priors of the sizes and the association are set and checked", {
  p <- mcar_prior(dispersion_scale = 0.5, eta_upper = 0.9)
  r <- asNamespace("mcar")$.resolve_prior(p, 2, 2)
  expect_identical(r$dispersion_scale, 0.5)
  expect_identical(r$eta_upper, 0.9)
  def <- asNamespace("mcar")$.resolve_prior(mcar_prior(), 2, 2)
  expect_identical(def$dispersion_scale, 1)
  expect_identical(def$eta_upper, 0.99)
  for (bad in list(0, -1, Inf, NA_real_, c(1, 2), "1")) {
    expect_input_error(mcar_prior(dispersion_scale = bad), "dispersion_scale")
  }
  for (bad in list(0, 1, 1.2, -0.5, NA_real_, c(0.5, 0.6))) {
    expect_input_error(mcar_prior(eta_upper = bad), "eta_upper")
  }
  expect_output(print(p), "half-normal\\(scale = 0.5\\).*eta < 0.9")
  # The engine is given the scale of the sizes' prior.
  ns <- asNamespace("mcar")
  d <- family_data("negbinomial")
  mp <- ns$.prepare_map(ns$.check_map(d$W), quiet = TRUE)
  dat <- ns$.engine_data(d$Y, d$E, cbind(1, d$x), mp, r, "negbinomial")
  expect_identical(dat$psi_scale, 0.5)
})

test_that("fitted counts, residuals and predictions follow the family", {
  b <- binomial_fit()
  prob <- plogis(mu_by_hand(b))
  N <- b$trials; y <- b$counts
  obs <- !is.na(y)
  mu <- fitted(b)
  # Cell 3 has neither count nor trials: its count is not predicted.
  known <- replace(as.vector(N), 3, NA)
  expect_equal(as.vector(mu), colMeans(prob) * known, tolerance = 1e-10)
  expect_equal(as.vector(fitted(b, type = "risk")), colMeans(prob),
               tolerance = 1e-10)
  expect_equal(residuals(b, type = "pearson"),
               (y - mu) / sqrt(mu * (1 - mu / N)))
  # Squared deviance residuals add up to the deviance at the fitted
  # probabilities less the saturated deviance.
  dev <- residuals(b, type = "deviance")
  expect_identical(sign(dev[obs]), sign((y - mu)[obs]))
  saturated <- -2 * sum(dbinom(y[obs], N[obs], y[obs] / N[obs], log = TRUE))
  expect_equal(sum(dev[obs]^2), b$dic[["Dtheta"]] - saturated,
               tolerance = 1e-9)
  pr <- predict(b)
  expect_true(all(pr$predict_lower <= pr$observed & pr$observed <= N,
                  na.rm = TRUE))
  expect_true(all(pr$predict_upper <= as.vector(N), na.rm = TRUE))
  # The missing count with no trials predicts nothing; the one with trials
  # is predicted.
  expect_identical(unlist(pr[3, c("mean", "predict_lower", "predict_upper")]),
                   c(mean = NA_real_, predict_lower = NA, predict_upper = NA))
  expect_gt(pr$predict_upper[32], 0)
  risk <- predict(b, type = "risk")
  expect_true(all(risk$upper < 1 & risk$lower > 0))
  twice <- predict(b, trials = 2 * N)
  expect_equal(twice$mean[-3], 2 * pr$mean[-3], tolerance = 1e-12)
  expect_true(all(twice$predict_upper >= pr$predict_upper, na.rm = TRUE))
  expect_input_error(predict(b, trials = N + 0.5), "trials", "whole")
  expect_input_error(predict(b, expected = N), "expected",
                     "binomial fit.*`trials`")
  up <- predict(b, newdata = cbind(x = family_data("binomial")$x + 1),
                type = "risk")
  bx <- draws_of(b, c("beta[2,1]", "beta[2,2]"))[, rep(1:2, each = 25)]
  expect_equal(up$mean, unname(colMeans(plogis(mu_by_hand(b) + bx))),
               tolerance = 1e-10)

  nb <- negbin_fit()
  psi <- colMeans(all_draws(nb, "dispersion"))
  expect_equal(unname(coef(nb)$dispersion), unname(psi))
  expect_named(coef(nb)$dispersion, nb$outcomes)
  y <- nb$counts; mu <- fitted(nb)
  v <- mu + mu^2 / rep(psi, each = 25)
  expect_equal(residuals(nb, type = "pearson"), (y - mu) / sqrt(v))
  dev <- residuals(nb, type = "deviance")
  saturated <- -2 * sum(dnbinom(y[obs], size = rep(psi, each = 25)[obs],
                                mu = y[obs], log = TRUE))
  expect_equal(sum(dev[obs]^2), nb$dic[["Dtheta"]] - saturated,
               tolerance = 1e-9)
  expect_input_error(predict(nb, trials = nb$expected), "trials",
                     "only for binomial fits")
  # Predictive intervals hold the negative binomial noise: wider than a
  # Poisson mixture at the same means.
  pr <- predict(nb, level = 0.9)
  q <- asNamespace("mcar")$.predictive_quantiles
  m <- exp(mu_by_hand(nb)) * rep(as.vector(nb$expected), each = 400)
  expect_true(all(pr$predict_upper >= q(m, 0.95)))
  expect_gt(sum(pr$predict_upper - pr$predict_lower),
            sum(q(m, 0.95) - q(m, 0.05)))
})

test_that("relative risks of a binomial fit are probabilities against the overall proportion", {
  b <- binomial_fit()
  prob <- plogis(mu_by_hand(b))
  y <- b$counts; N <- b$trials
  obs <- !is.na(y)
  overall <- colSums(y * obs, na.rm = TRUE) / colSums(N * obs)
  ref <- rep(overall, each = 25)
  rr <- relative_risk(b, threshold = 1.3, level = 0.9)
  expect_false(any(c("expected", "smr") %in% names(rr)))
  expect_equal(rr$overall, unname(ref))
  expect_equal(rr$proportion[-3], (as.vector(y) / as.vector(N))[-3])
  expect_true(is.na(rr$proportion[3]))
  expect_equal(rr$mean, colMeans(prob), tolerance = 1e-10)
  expect_equal(rr$lower, apply(prob, 2, quantile, 0.05, names = FALSE),
               tolerance = 1e-10)
  expect_equal(rr$ratio, unname(colMeans(prob) / ref), tolerance = 1e-10)
  expect_equal(rr$ratio_upper, unname(apply(prob, 2, quantile, 0.95,
                                            names = FALSE) / ref),
               tolerance = 1e-10)
  expect_equal(rr$prob_gt, colMeans(sweep(prob, 2, 1.3 * ref, `>`)))
  # At threshold 1 from the sampler's running counts, over the same draws.
  expect_equal(relative_risk(b)$prob_gt, colMeans(sweep(prob, 2, ref, `>`)))
  out <- capture.output(print(summary(b)))
  expect_true(any(grepl("^Probabilities", out)))
  expect_true(any(grepl("interval > overall", out, fixed = TRUE)))
  expect_match(capture.output(print(b))[2],
               "^Likelihood: binomial, logit\\(prob")
  expect_match(capture.output(print(negbin_fit()))[2],
               "^Likelihood: negative binomial")
  expect_match(capture.output(print(toy_fit()))[2], "^Likelihood: Poisson")
})

test_that("the sizes are reported by their median and interval", {
  # A size's posterior can reach towards the Poisson limit: a few enormous
  # draws make its mean meaningless while its quantiles stay put.
  nb <- negbin_fit()
  far <- nb
  far$draws$chain1$dispersion[1:3, 1] <- c(3e8, 1e9, 5e7)
  psi <- all_draws(far, "dispersion")
  tab <- summary(far)$parameters
  sizes <- c("dispersion[1]", "dispersion[2]")
  expect_true(all(is.na(tab[sizes, c("mean", "sd")])))
  expect_equal(tab[sizes, "median"], unname(apply(psi, 2, median)))
  expect_equal(tab[sizes, "lower"],
               unname(apply(psi, 2, quantile, 0.025, names = FALSE)))
  expect_equal(tab[sizes, "upper"],
               unname(apply(psi, 2, quantile, 0.975, names = FALSE)))
  # Everything else keeps its mean.
  expect_false(anyNA(tab[setdiff(rownames(tab), sizes), "mean"]))
  for (out in list(capture.output(print(far)),
                   capture.output(print(summary(far))))) {
    at <- grep("^Negative binomial sizes", out)
    expect_length(at, 1L)
    rows <- out[grepl("^dispersion\\[", out)]
    expect_length(rows, 2L)
    expect_true(all(grep("^dispersion\\[", out) > at))
    # The median heads the row; no mean of the order of the far draws.
    med <- as.numeric(strsplit(trimws(rows[1]), " +")[[1]][2])
    expect_equal(med, median(psi[, 1]), tolerance = 1e-2)
    expect_false(any(grepl("e\\+0[6-9]", rows)))
  }
  expect_false(any(grepl("^Negative binomial sizes",
                         capture.output(print(toy_fit())))))
})

test_that("replicated counts follow the family's distribution", {
  b <- binomial_fit()
  prob <- plogis(mu_by_hand(b))
  N <- rep(as.vector(b$trials), each = 400)
  yrep <- posterior_predict(b, seed = 2)
  expect_true(all(yrep <= N, na.rm = TRUE))
  expect_true(all(is.na(yrep[, 3])))
  yrep[, 3] <- 0
  # E[y] = N E[p], Var[y] = N E[p (1 - p)] + N^2 Var[p].
  m <- colMeans(N * prob)
  v <- colMeans(N * prob * (1 - prob)) + apply(N * prob, 2, var)
  ok <- v > 0
  z <- ((colMeans(yrep) - m) / sqrt(v / 400))[ok]
  expect_lt(max(abs(z)), 4.5)
  # The replicates' variance, within the sampling error of a variance.
  expect_lt(abs(log(mean(apply(yrep, 2, var)[ok]) / mean(v[ok]))), 0.1)
  s <- simulate(b, nsim = 200, seed = 3)
  expect_true(all(is.na(s[3, ])))

  nb <- negbin_fit()
  lam <- exp(mu_by_hand(nb)) * rep(as.vector(nb$expected), each = 400)
  psi <- size_by_hand(nb)
  yrep <- posterior_predict(nb, seed = 2)
  # Var[y] = E[lam + lam^2 / psi] + Var[lam].
  m <- colMeans(lam)
  v <- colMeans(lam + lam^2 / psi) + apply(lam, 2, var)
  z <- (colMeans(yrep) - m) / sqrt(v / 400)
  expect_lt(max(abs(z)), 4.5)
  expect_lt(abs(mean(z)), 4 / sqrt(50))
  # Poisson replicates would have the smaller variance m + Var[lam].
  pois <- mean(m + apply(lam, 2, var))
  expect_lt(abs(log(mean(apply(yrep, 2, var)) / mean(v))), 0.1)
  expect_gt(mean(v), 1.2 * pois)
  skip_if_not_installed("bayesplot")
  expect_s3_class(bayesplot::pp_check(nb, fun = "bars", ndraws = 10), "ggplot")
})

test_that("chains whose sizes disagree are flagged", {
  nb <- negbin_fit()
  # Independent draws of every reported parameter, the same in both chains
  # but for the sizes, ten times larger in the second.
  local_test_seed(4)
  bad <- nb
  for (k in 1:2) for (el in c("beta", "Lambda", "A", "dispersion")) {
    x <- bad$draws[[k]][[el]]
    bad$draws[[k]][[el]][] <- if (el == "dispersion") {
      exp(rnorm(length(x), 2)) * if (k == 2) 10 else 1
    } else rnorm(length(x))
  }
  expect_warning(asNamespace("mcar")$.warn_untrustworthy(bad),
                 "R-hat above 1.05 for dispersion\\[1\\], dispersion\\[2\\]")
})

# Data of each family simulated from the model on the map W (fields drawn
# exactly from the MCAR prior): binomial counts of 20 to 80 trials with
# logit(prob) = mu, or negative binomial counts of mean E exp(mu) and sizes
# psi.
simulate_family <- function(W, family, beta, Lambda, A, x, psi, seed) {
  sim <- simulate_mcar(W, beta, Lambda, A, cbind(1, x), seed = seed)
  local_test_seed(seed + 1000)
  n <- nrow(W); K <- ncol(Lambda)
  if (family == "binomial") {
    N <- matrix(round(runif(n * K, 20, 80)), n, K)
    list(Y = matrix(rbinom(n * K, N, plogis(sim$mu)), n, K), N = N,
         risk = plogis(sim$mu))
  } else {
    list(Y = matrix(rnbinom(n * K, size = rep(psi, each = n),
                            mu = sim$E * exp(sim$mu)), n, K),
         E = sim$E, risk = exp(sim$mu))
  }
}

# Ten data sets of the family on a 10 x 10 rook grid (not the bundled map),
# two outcomes, an intercept and one covariate, each fitted with two chains
# of 4000 sweeps.  Returns, per data set, the share of the cells' true
# risks inside their 90% intervals, and whether each of beta, the loadings
# and the sizes is inside its 90% interval.
recovery <- function(family) {
  W <- grid_adjacency(10)
  Lambda <- matrix(c(0.6, 0, 0.3, 0.4), 2)
  A <- association_by_hand(c(0.9, 0.5), 0.4)
  beta <- if (family == "binomial") rbind(c(-1.2, -0.6), c(0.3, -0.2)) else
    rbind(c(0.1, -0.2), c(0.3, -0.2))
  psi <- c(6, 20)
  truth <- c(beta, Lambda[1, 1], Lambda[1, 2], Lambda[2, 2])
  out <- list(risk = numeric(), params = logical(), psi = logical())
  for (rep in 1:10) {
    x <- local({
      local_test_seed(rep)
      round(rnorm(100), 3)
    })
    s <- simulate_family(W, family, beta, Lambda, A, x, psi, seed = 10 + rep)
    fit <- if (family == "binomial") {
      fit_quietly(s$Y, W = W, covariates = cbind(x = x), family = family,
                  trials = s$N, n_sample = 4000, chains = 2, seed = rep)
    } else {
      fit_quietly(s$Y, s$E, W, covariates = cbind(x = x), family = family,
                  n_sample = 4000, chains = 2, seed = rep)
    }
    rr <- relative_risk(fit, level = 0.9)
    out$risk <- c(out$risk, mean(rr$lower <= s$risk & s$risk <= rr$upper))
    ci <- confint(fit, c("beta", "Lambda"), level = 0.9)
    out$params <- c(out$params, ci[, 1] <= truth & truth <= ci[, 2])
    if (family == "negbinomial") {
      ci <- confint(fit, "dispersion", level = 0.9)
      out$psi <- c(out$psi, ci[, 1] <= psi & psi <= ci[, 2])
    }
  }
  out
}

# The tolerances: the 200 cells of a data set are correlated, and the share
# of them inside their intervals varies by about 0.02 to 0.03 between data
# sets, so the mean over ten data sets is within about 0.01 of its
# expectation; it must lie in (0.82, 0.96).  Of 70 parameters at a nominal
# 90% (mean 63, sd 2.5), 55 or fewer inside has probability below 0.3%; of
# 20 sizes, 13 or fewer has probability 0.24%.
test_that("binomial data simulated from the model are recovered", {
  skip_on_cran()
  rec <- recovery("binomial")
  expect_gt(mean(rec$risk), 0.82)
  expect_lt(mean(rec$risk), 0.96)
  expect_gte(sum(rec$params), 56)
})

test_that("negative binomial data simulated from the model are recovered", {
  skip_on_cran()
  rec <- recovery("negbinomial")
  expect_gt(mean(rec$risk), 0.82)
  expect_lt(mean(rec$risk), 0.96)
  expect_gte(sum(rec$params), 56)
  expect_gte(sum(rec$psi), 14)
})

test_that("trials without the binomial family point to `family`", {
  e <- toy_data()
  expect_input_error(
    mcar_fit(e$Y, W = e$W, trials = e$Y + 5, n_sample = 20, progress = FALSE),
    "trials", "family = \"binomial\"")
})

test_that("a binomial cell without count or trials has no predicted count", {
  b <- binomial_fit()  # cell 3: count and trials missing; cell 32: count only
  p <- predict(b)
  expect_true(all(is.na(p[3, c("mean", "lower", "upper", "predict_lower",
                               "predict_upper")])))
  expect_true(all(!is.na(p[32, c("mean", "predict_upper")])))
  expect_true(is.na(fitted(b)[3]))
  expect_false(is.na(fitted(b, type = "risk")[3]))
  expect_true(is.na(relative_risk(b)$trials[3]))
  yrep <- posterior_predict(b, ndraws = 5)
  expect_true(all(is.na(yrep[, 3])) && !anyNA(yrep[, -3]))
  expect_true(all(is.na(simulate(b, nsim = 2, seed = 1)[3, ])))
  # Trials given for it make its count predictable.
  N <- b$trials
  N[3] <- 40
  p2 <- predict(b, trials = unclass(N)[, ])
  expect_false(anyNA(p2$mean))
  expect_equal(p2$mean[3], 40 * fitted(b, type = "risk")[3], tolerance = 1e-12)
})
