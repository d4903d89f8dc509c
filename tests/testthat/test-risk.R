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

test_that("relative_risk over periods names the map unit and period, for the periods asked", {
  f <- periods_fit("change", K = 2)
  all <- relative_risk(f)
  expect_identical(nrow(all), 25L * 5L * 2L)
  expect_identical(names(all)[1:3], c("unit", "period", "outcome"))
  expect_identical(all$unit[26], "a01")
  expect_equal(all$period[c(1, 26, 126)], c(2001, 2002, 2001))
  some <- relative_risk(f, time = c(2004, 2002))
  expect_equal(sort(unique(some$period)), c(2002, 2004))
  expect_identical(some, {
    x <- all[all$period %in% c(2002, 2004), ]
    rownames(x) <- NULL
    x
  })
  # The fit's counts of a01 in 2004, outcome Y2.
  y <- f$counts["a01[2004]", "Y2"]
  expect_identical(some$observed[some$unit == "a01" & some$period == 2004 &
                                   some$outcome == "Y2"], y)
  expect_input_error(relative_risk(f, time = 2010), "time", "2010")
  expect_input_error(relative_risk(toy_fit(), time = 1), "time")
  expect_false("period" %in% names(relative_risk(toy_fit())))
})
