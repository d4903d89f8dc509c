# Forecasts of fits over periods: the innovations against their MCAR
# precision, the one-step forecast against a direct Monte Carlo of the
# model, the autoregression's limits alpha = 0 and 1, and the inputs.

# A fit-like object of n = 4 units in a row (a path) over two periods, K
# outcomes, whose S draws all hold the association matrix A, the
# coefficients alpha and the last fields phi_last (n x K).
fake_period_fit <- function(A, alpha, phi_last, S) {
  K <- nrow(A); n <- 4L; N <- 2L * n
  W <- matrix(0, n, n)
  W[cbind(1:3, 2:4)] <- W[cbind(2:4, 1:3)] <- 1
  Cs <- methods::as(methods::as(Matrix::Matrix(W, sparse = TRUE),
                                "generalMatrix"), "CsparseMatrix")
  phi <- matrix(0, n, 2L * K)
  phi[, 2L * seq_len(K)] <- phi_last       # period 2 of each field
  packed <- A[upper.tri(A, diag = TRUE)][order(
    row(A)[upper.tri(A, diag = TRUE)])]
  rep_row <- function(v) matrix(v, S, length(v), byrow = TRUE)
  list(periods = 1:2, units = paste0("u", seq_len(N)),
       map_units = paste0("u", seq_len(n)), outcomes = paste0("y", 1:K),
       map = list(row_ptr = Cs@p, col = Cs@i, w = Cs@x, d = rowSums(W)),
       prior = list(alpha = NULL),
       draws = list(chain1 = list(A = rep_row(packed),
                                  alpha = rep_row(alpha),
                                  phi = rep_row(as.vector(phi)),
                                  beta = rep_row(rep(0, K)),
                                  Lambda = rep_row(diag(K)[upper.tri(
                                    diag(K), diag = TRUE)]))),
       W = W)
}

test_that("two steps of the fields have the mean and covariance of the AR(1) with MCAR innovations", {
  local_test_seed(1)
  A <- matrix(c(0.7, 0.25, 0.25, 0.4), 2)
  alpha <- c(0.5, -0.8)
  phi_last <- matrix(c(1, -1, 0.5, 2, 0, 1, -2, 0.3), 4)
  S <- 6000L
  f <- fake_period_fit(A, alpha, phi_last, S)
  ph <- mcar:::.forecast_fields(f, H = 2L)$phi
  # Columns i + n (h - 1) + n H (c - 1): period 2 of both fields.
  at <- c(5:8, 13:16)
  x <- ph[, at]
  W <- f$W
  Sigma <- solve(kronecker(diag(2), diag(rowSums(W))) - kronecker(A, W))
  Da <- kronecker(diag(alpha), diag(4))
  target_mean <- as.vector(phi_last %*% diag(alpha^2))
  target <- Da %*% Sigma %*% Da + Sigma
  se_mean <- sqrt(diag(target) / S)
  expect_lt(max(abs(colMeans(x) - target_mean) / se_mean), 4.5)
  se_cov <- sqrt((outer(diag(target), diag(target)) + target^2) / S)
  expect_lt(max(abs(cov(x) - target) / se_cov), 4.5)
})

test_that("the one-step forecast matches a direct Monte Carlo of the model", {
  local_test_seed(2)
  W <- grid_adjacency(2, names = c("a", "b", "c", "d"))
  T <- 3L; n <- 4L
  E <- array(runif(n * T, 20, 40), c(n, 1, T), list(rownames(W), "y", 1:T))
  Y <- array(rpois(n * T, E * exp(rnorm(n * T, 0, 0.3))), dim(E), dimnames(E))
  fit <- fit_quietly(Y, E, W, n_sample = 3000, chains = 1, seed = 3)
  set.seed(4)
  fc <- predict(fit, horizon = 1)
  expect_identical(fc$period, rep(4L, n) + 0)
  lr <- log(attr(fc, "risk_draws"))
  # The same draws forward by hand, with a dense precision.
  d <- fit$draws$chain1
  set.seed(5)
  direct <- t(vapply(seq_len(nrow(d$beta)), function(s) {
    Q <- diag(rowSums(W)) - d$A[s, 1] * W
    e <- backsolve(chol(Q), rnorm(n))
    phi <- d$alpha[s, 1] * d$phi[s, (T - 1L) * n + seq_len(n)] + e
    d$beta[s, 1] + d$Lambda[s, 1] * phi
  }, numeric(n)))
  for (i in seq_len(n)) {
    # Both stratified over the same posterior draws: the test is
    # conservative.
    expect_gt(suppressWarnings(ks.test(lr[, i], direct[, i]))$p.value, 1e-3)
  }
  se <- sqrt((apply(lr, 2, var) + apply(direct, 2, var)) / nrow(lr))
  expect_lt(max(abs(colMeans(lr) - colMeans(direct)) / se), 4)
})

test_that("alpha = 0 returns to the covariates; alpha = 1 widens with the horizon", {
  s <- periods_long()
  f0 <- periods_fit("forecast0", alpha = 0, covariates = ~ x)
  nd <- data.frame(district = rep(rownames(s$W), 3),
                   year = rep(2006:2008, each = 25),
                   x = seq(-1.5, 1.5, length.out = 75))
  set.seed(6)
  expect_message(fc <- predict(f0, horizon = 3, newdata = nd),
                       "expected counts of the forecast periods")
  expect_equal(unique(fc$period), 2006:2008)
  lr <- log(attr(fc, "risk_draws"))
  b <- do.call(rbind, lapply(f0$draws, `[[`, "beta"))
  xb <- b[, 1] + outer(b[, 2], nd$x)
  dev <- lr - xb
  z <- colMeans(dev) / (apply(dev, 2, sd) / sqrt(nrow(dev)))
  expect_lt(max(abs(z)), 4.5)
  # Stationary from the first step: the spread does not grow.
  v <- tapply(apply(dev, 2, var), rep(1:3, each = 25), mean)
  expect_lt(abs(v[3] / v[1] - 1), 0.15)

  f1 <- periods_fit("forecast1", alpha = 1, K = 2)
  set.seed(7)
  fc1 <- suppressMessages(predict(f1, horizon = 3))
  lr1 <- log(attr(fc1, "risk_draws"))
  v1 <- tapply(apply(lr1, 2, var), paste(fc1$outcome, fc1$period), mean)
  for (o in c("Y1", "Y2")) {
    vo <- v1[paste(o, 2006:2008)]
    expect_true(all(diff(vo) > 0), label = paste("variance grows,", o))
    # A random walk: each step adds the same innovation variance.
    expect_lt(abs((vo[3] - vo[2]) / (vo[2] - vo[1]) - 1), 0.35)
  }
  sd1 <- tapply(fc1$risk_sd, fc1$period, mean)
  expect_true(all(diff(sd1) > 0))
})

test_that("forecasts repeat after set.seed, and take the future exposures and covariates", {
  s <- periods_long()
  f <- periods_fit("forecastx", covariates = ~ x)
  nd <- data.frame(district = rep(rownames(s$W), 2), year = rep(2006:2007,
                   each = 25), x = 0, E1 = 10)
  set.seed(8); a <- predict(f, horizon = 2, newdata = nd)
  set.seed(8); b <- predict(f, horizon = 2, newdata = nd[nrow(nd):1, ])
  expect_identical(a, b)
  set.seed(9); d <- predict(f, horizon = 2, newdata = nd)
  expect_false(identical(a$risk_mean, d$risk_mean))
  expect_named(a, c("unit", "period", "outcome", "expected", "risk_mean",
                    "risk_sd", "risk_median", "risk_lower", "risk_upper", "count_mean",
                    "count_lower", "count_upper"))
  expect_equal(a$expected, rep(10, 50))
  expect_equal(a$count_mean, a$risk_mean * 10)
  expect_true(all(a$count_lower <= a$count_mean & a$count_mean <= a$count_upper))
  expect_true(all(a$risk_lower < a$risk_mean & a$risk_mean < a$risk_upper))
  r <- attr(a, "risk_draws")
  expect_equal(a$risk_median, unname(apply(r, 2, stats::median)))
  # Rows in order without the unit and period columns.
  set.seed(8)
  e <- predict(f, horizon = 2, newdata = nd[c("x", "E1")])
  expect_identical(e, a)
  # Column names passed through variables are the fit's too: the shuffled
  # rows are matched, and the future exposures read.
  ucol <- "district"; tcol <- "year"; ecol <- "E1"
  g <- suppressWarnings(mcar_fit("Y1", ecol, s$W, covariates = ~ x,
                                 data = s$data, unit = ucol, time = tcol,
                                 n_sample = 1200, chains = 2, seed = 5,
                                 progress = FALSE))
  expect_identical(g$draws, f$draws)
  nd$E1 <- 12
  set.seed(8)
  h <- expect_silent(predict(g, horizon = 2, newdata = nd[nrow(nd):1, ]))
  expect_equal(h$expected, rep(12, 50))
  expect_equal(h$risk_mean, a$risk_mean)
  nd$E1 <- 10
  expect_input_error(predict(f, horizon = 2), "newdata", "`x`")
  expect_input_error(predict(f, horizon = 3, newdata = nd), "newdata",
                     "a01\\[2008\\]")
  expect_input_error(predict(f, horizon = 2, newdata = nd[1:10, c("x", "E1")]),
                     "newdata", "50")
  expect_input_error(predict(f, horizon = 0), "horizon")
  expect_input_error(predict(toy_fit(), horizon = 1), "horizon", "one")
  # Ordinary predictions of the fit over periods are untouched.
  expect_identical(nrow(predict(f)), 125L)
})

test_that("future periods continue the spacing of the fit's", {
  fp <- mcar:::.future_periods
  expect_identical(fp(c(2001, 2003, 2005), 2), c(2007, 2009))
  expect_identical(fp(as.Date(c("2020-01-01", "2020-02-01", "2020-03-01")), 2),
                   as.Date(c("2020-04-01", "2020-05-01")))
  expect_identical(fp(as.Date(c("2020-01-01", "2020-01-08")), 2),
                   as.Date(c("2020-01-15", "2020-01-22")))
  expect_identical(fp(factor(c("spring", "summer")), 2),
                   c("summer+1", "summer+2"))
})

test_that("one row per unit, period and outcome gives each outcome its exposure", {
  s <- periods_long(K = 2, years = 2001:2003)
  d <- s$data
  long <- rbind(
    data.frame(d[c("district", "year", "x")], disease = "flu", Y = d$Y1,
               E = d$E1),
    data.frame(d[c("district", "year", "x")], disease = "rsv", Y = d$Y2,
               E = d$E2))
  # a03's count of rsv is missing in the last year, with its expected count;
  # a04's with none.
  long$Y[long$district == "a03" & long$year == 2003 & long$disease == "rsv"] <-
    NA
  a04 <- long$district == "a04" & long$year == 2003 & long$disease == "rsv"
  long$Y[a04] <- long$E[a04] <- NA
  f <- fit_quietly("Y", "E", s$W, data = long, unit = "district",
                   time = "year", outcome = "disease", covariates = ~ x,
                   n_sample = 300, chains = 1, seed = 2)
  nd <- data.frame(district = rep(rownames(s$W), 2), year = 2004,
                   disease = rep(c("flu", "rsv"), each = 25), x = 0,
                   E = rep(c(5, 7), each = 25))
  set.seed(1)
  fc <- predict(f, horizon = 1, newdata = nd[sample(50), ])
  expect_equal(fc$expected, rep(c(5, 7), each = 25))
  expect_equal(fc$count_mean, fc$risk_mean * fc$expected)
  # Without the exposures: each cell's latest known one.
  expect_message(fc2 <- predict(f, horizon = 1, newdata = nd["x"][1:25, ,
                                drop = FALSE]), "latest known")
  last <- long[long$year == 2003, ]
  prev <- long[long$year == 2002 & long$district == "a04" &
                 long$disease == "rsv", "E"]
  want <- c(last$E[last$disease == "flu"], last$E[last$disease == "rsv"])
  want[25 + 4] <- prev
  expect_false(is.na(want[25 + 3]))
  expect_equal(fc2$expected, want)
})

test_that("binomial and negative binomial fits forecast counts within their bounds", {
  local_test_seed(12)
  W <- grid_adjacency(3, names = letters[1:9])
  T <- 3L; n <- 9L
  N <- array(rpois(n * T, 40), c(n, 1, T), list(letters[1:9], "y", 1:T))
  Y <- array(rbinom(n * T, N, 0.2), dim(N), dimnames(N))
  fb <- fit_quietly(Y, family = "binomial", trials = N, W = W,
                    n_sample = 400, chains = 1, seed = 1)
  set.seed(1)
  expect_message(fc <- predict(fb, horizon = 2), "trials")
  expect_identical(fc$period, rep(c(4, 5), each = n))
  expect_equal(fc$trials, unname(rep(N[, 1, T], 2)))
  expect_true(all(fc$risk_upper < 1 & fc$risk_lower > 0))
  expect_true(all(fc$count_upper <= fc$trials & fc$count_lower >= 0))
  expect_equal(fc$count_mean, fc$risk_mean * fc$trials)

  E <- array(20, dim(N), dimnames(N))
  Yn <- array(rnbinom(n * T, size = 3, mu = 20), dim(N), dimnames(N))
  fn <- fit_quietly(Yn, E, W, family = "negbinomial", n_sample = 400,
                    chains = 1, seed = 1)
  set.seed(1)
  fcn <- suppressMessages(predict(fn, horizon = 1, level = 0.8))
  # The interval's ends are the 10% and 90% quantiles of each count's
  # predictive distribution, the mixture over the forecast's draws of
  # negative binomials: F(lower - 1) < 0.1 <= F(lower), F(upper - 1) < 0.9
  # <= F(upper), so it holds at least 80% of it.
  rd <- attr(fcn, "risk_draws")
  psi <- fn$draws$chain1$dispersion[, 1]
  cdf <- function(k) {
    vapply(seq_along(k), function(j)
      mean(pnbinom(k[j], size = psi, mu = 20 * rd[, j])), numeric(1))
  }
  lo <- fcn$count_lower; hi <- fcn$count_upper
  expect_true(all(cdf(lo - 1) < 0.1 & cdf(lo) >= 0.1))
  expect_true(all(cdf(hi - 1) < 0.9 & cdf(hi) >= 0.9))
  expect_true(all(cdf(hi) - cdf(lo - 1) >= 0.8))
})
