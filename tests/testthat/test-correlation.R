# Correlations between outcomes.

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
