# Risks over periods: the periods named by value, and the posterior change
# of each unit's risk between two of them.

test_that("risk_change is the posterior of the ratio of the risks of two periods", {
  f <- periods_fit("change", K = 2)
  rc <- risk_change(f, from = 2002, to = 2005, level = 0.9)
  expect_identical(nrow(rc), 50L)
  expect_named(rc, c("unit", "outcome", "from", "to", "mean", "median",
                     "lower", "upper", "prob_increase"))
  expect_identical(rc$unit[1:3], c("a01", "a02", "a03"))
  expect_identical(unique(rc$outcome), c("Y1", "Y2"))
  expect_equal(unique(rc$from), 2002)
  expect_equal(unique(rc$to), 2005)
  # By hand from the draws of rr[i,r,t], for unit a07 of outcome Y2.
  rr <- posterior::as_draws_matrix(posterior::subset_draws(
    posterior::as_draws_array(f), variable = "rr"))
  ratio <- rr[, "rr[7,2,5]"] / rr[, "rr[7,2,2]"]
  row <- rc[rc$unit == "a07" & rc$outcome == "Y2", ]
  expect_equal(row$mean, mean(ratio))
  expect_equal(row$median, median(ratio))
  expect_equal(c(row$lower, row$upper),
               unname(quantile(ratio, c(0.05, 0.95))))
  expect_equal(row$prob_increase, mean(ratio > 1))
  # The other way round: the reciprocal ratio (the median of an even
  # number of draws averages two, hence the tolerance).
  back <- risk_change(f, from = 2005, to = 2002, level = 0.9)
  expect_equal(back$median, 1 / rc$median, tolerance = 1e-4)
  expect_equal(back$lower, 1 / rc$upper, tolerance = 1e-4)
  expect_equal(back$prob_increase, 1 - rc$prob_increase)
  same <- risk_change(f, 2003, 2003)
  expect_true(all(same$mean == 1 & same$prob_increase == 0))
})

test_that("risk_change names the period it cannot find", {
  f <- periods_fit("change", K = 2)
  expect_input_error(risk_change(f, from = 1999, to = 2005), "from", "1999")
  expect_input_error(risk_change(f, from = 2001, to = "2010"), "to", "2010")
  expect_input_error(risk_change(f, from = 2001:2002, to = 2005), "from")
  expect_input_error(risk_change(f, to = 2005), "from")
  expect_input_error(risk_change(toy_fit(), 1, 2), "fit", "single period")
})
