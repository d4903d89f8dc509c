# Correlations between outcomes.

test_that("outcome correlations: the model's and the fitted surfaces'", {
  fit <- toy_fit()
  oc <- outcome_correlation(fit, type = "both")
  expect_identical(oc$type, c("surfaces", "implied"))
  # The answer by default is the surfaces' correlation alone.
  expect_identical(outcome_correlation(fit), oc[1, ])
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
  expect_equal(oc$mean[2], mean(implied), tolerance = 1e-8)
  expect_equal(oc$upper[2], quantile(implied, 0.975, names = FALSE),
               tolerance = 1e-8)
  lr <- log(rr_by_hand(fit))
  surf <- apply(lr, 1, function(r) cor(r[1:n], r[n + 1:n]))
  expect_equal(oc$mean[1], mean(surf), tolerance = 1e-10)
  expect_equal(oc$lower[1], quantile(surf, 0.025, names = FALSE),
               tolerance = 1e-10)
  expect_input_error(outcome_correlation(fit, level = 2), "level")
  expect_error(outcome_correlation(fit, type = "model"), "should be one of")
})

test_that("the implied correlation on maps above 2,000 units comes from sparse solves", {
  maps <- test_path("..", "..", "bench", "synthetic_map.R")
  skip_if_not(file.exists(maps), "the synthetic maps are not in this copy")
  source(maps, local = TRUE)
  W <- synthetic_map(2100)
  d <- bench_data(W)
  fit <- fit_quietly(d$Y, d$E, W, n_sample = 40, burnin = 20, chains = 2,
                     seed = 4)
  oc <- outcome_correlation(fit, type = "implied")
  expect_identical(oc$type, rep("implied", 3))
  expect_true(all(oc$lower <= oc$mean & oc$mean <= oc$upper))
  expect_true(all(abs(oc$mean) < 1))
  # The map's part against its exact value from every eigenpair, on a
  # smaller map where the eigenvectors are cheap, over the support of eta:
  # the probes' error, which shrinks as maps grow, is a few percent of the
  # trace here even at eta = 0.99, and cancels in part in a correlation.
  small <- fit_quietly(d$Y[1:400, ], d$E[1:400, ], W[1:400, 1:400],
                       n_sample = 20, burnin = 10, chains = 1, seed = 4)
  tr <- asNamespace("mcar")$.map_trace
  eta <- seq(-0.9, 0.99, length.out = 15)
  exact <- tr(small, eta, sparse = FALSE)(eta)
  est <- tr(small, eta, sparse = TRUE)(eta)
  expect_lt(max(abs(est / exact - 1)), 0.05)
  expect_lt(median(abs(est / exact - 1)), 0.01)
  # The same on every run, whatever the caller's generator.
  set.seed(1); a <- tr(small, eta, sparse = TRUE)(eta); r1 <- runif(1)
  set.seed(1); b <- tr(small, eta, sparse = TRUE)(eta); r2 <- runif(1)
  expect_identical(a, b)
  expect_identical(r1, r2)
})
