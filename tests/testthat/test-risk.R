# Relative risks of every unit and outcome.

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
