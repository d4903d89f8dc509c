# Proposal scales: the ones refused, and their tuning during burn-in.

test_that("bad proposal scales are refused", {
  a <- base_args()
  b <- with_arg(a, chains = 2)
  scales <- function(value, arg, pattern = NULL) {
    refuse(with_arg(a, scales = value), arg, pattern)
  }
  scales(list(phi = -1), "scales$phi", "non-negative")
  scales(list(eta = c(0.1, 0.2, 0.3)), "scales$eta", "one number or 2 numbers")
  scales(list(lambda = diag(3)), "scales$lambda", "2 x 2")
  scales(list(beta_shape = array(1, c(2, 2, 2))), "scales$beta_shape")
  scales(list(gamma = 1), "scales", "unknown element\\(s\\) gamma")
  scales("big", "scales")
  refuse(with_arg(b, scales = list(chain1 = list(), chain2 = list(), chain3 = list())),
         "scales", "3 per-chain lists for 2 chain")
})

test_that("a proposal scale of 0 is refused", {
  a <- base_args()
  refuse(with_arg(a, scales = list(beta = 0)), "scales$beta",
         "must be positive")
  refuse(with_arg(a, chains = 2, scales = list(list(), list(eta = 0))),
         "scales[[2]]$eta", "must be positive")
})

test_that("tuning brings poor proposal scales to useful acceptance rates", {
  d <- toy_data()
  poor <- list(phi = 20, beta = 10, lambda = 2, eta = 5, theta = 5, scale = 3,
               shear = 3)
  run <- function(tune) {
    fit_quietly(d$Y, d$E, d$W, covariates = cbind(x = d$x), n_sample = 2000,
                burnin = 1000, chains = 1, seed = 2, scales = poor,
                tune = tune)$acceptance$chain1
  }
  untuned <- run(FALSE)
  expect_lt(mean(untuned$phi), 0.15)
  expect_lt(mean(untuned$beta), 0.1)
  tuned <- run(TRUE)
  # Targets: 0.44 for one coordinate, 0.3 for a block (the two coefficients
  # of an outcome; the first row of the loadings).  1000 sweeps give rates
  # within a few hundredths.  The effects' Newton proposals, brought back
  # to their full size, are accepted almost always.
  expect_gt(mean(tuned$phi), 0.9)
  expect_equal(mean(tuned$beta), 0.3, tolerance = 0.1 / 0.3)
  expect_true(all(tuned$eta > 0.3 & tuned$eta < 0.6))
  expect_true(all(tuned$theta > 0.3 & tuned$theta < 0.6))
  expect_true(all(tuned$lambda > 0.2 & tuned$lambda < 0.6))
})

test_that("the tuning keeps the Newton scales of the effects between a floor and 1", {
  ns <- asNamespace("mcar")
  K <- 2L; n <- 3L
  scales <- list(beta = rep(1, K), phi = matrix(c(1, 0.5, 0.12, 1, 0.11, 0.3), n),
                 lambda = diag(0.1, K), eta = rep(0.5, K), scale = rep(0.1, K),
                 psi = numeric(), theta = 0.5, shear = 0.1)
  counts <- list(beta = rep(50, K),
                 phi = matrix(c(0, 0, 0, 100, 100, 100), n),
                 lambda = rep(30, K), eta = rep(44, K), scale = rep(44, K),
                 theta = 44, shear = 44)
  for (k in c(1L, 5L)) {
    out <- ns$.retune(scales, counts, 100, k, 1L, K)
    # Never accepted: shrunk, but not below the floor; always accepted:
    # grown, but not past the full step.
    expect_true(all(out$phi[, 1] < scales$phi[, 1] | out$phi[, 1] == ns$.NEWTON_MIN_SCALE))
    expect_true(all(out$phi >= ns$.NEWTON_MIN_SCALE))
    expect_equal(out$phi[3, 1], ns$.NEWTON_MIN_SCALE)
    expect_true(all(out$phi[, 2] > scales$phi[, 2] | out$phi[, 2] == 1))
    expect_true(all(out$phi <= 1))
    expect_equal(out$phi[1, 2], 1)
  }
})

test_that("loading rows are proposed with the correlations of the burn-in draws", {
  ns <- asNamespace("mcar")
  local_test_seed(8)
  K <- 2L
  # Packed draws Lambda[1,1], Lambda[1,2], Lambda[2,2]: the first row's
  # entries correlated at 0.8 (the diagonal on the log scale).
  z <- matrix(rnorm(3000), 1000)
  u <- 0.1 * z[, 1]
  v <- 0.2 * (0.8 * z[, 1] + 0.6 * z[, 2])
  draws <- cbind(exp(u - 1), 0.3 + v, exp(0.05 * z[, 3] - 1))
  lam <- matrix(c(0.1, 0, 0.05, 0.1), 2)
  out <- ns$.lambda_shape(lam, draws, K)
  # Within the row the sds follow the draws (0.1 against 0.2), their
  # geometric mean staying where the tuning put it.
  expect_equal(out$lambda[1, 2] / out$lambda[1, 1], 2, tolerance = 0.1)
  expect_equal(sqrt(out$lambda[1, 1] * out$lambda[1, 2]),
               sqrt(0.1 * 0.05), tolerance = 1e-12)
  R <- out$corr[, , 1]
  expect_equal(R[2, 1], 0.9 * 0.8, tolerance = 0.05)
  expect_equal(R[1, 1]^2, 1)
  expect_equal(R[2, 1]^2 + R[2, 2]^2, 1, tolerance = 1e-12)
  expect_identical(out$corr[, , 2], diag(K))
  # Too few draws: nothing changes.
  same <- ns$.lambda_shape(lam, draws[1:10, ], K)
  expect_identical(same$lambda, lam)
  expect_identical(same$corr, ns$.identity_corr(K))
})
