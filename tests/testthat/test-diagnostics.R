# The warning about chains that cannot be trusted yet.

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
  # A gap in mean deviance within the draws' own spread is not a poorer
  # mode: the chain is not named.
  noise <- apart(four, 3, 3, 0.8)
  expect_warning(w <- warn(noise), "R-hat above 1.05")
  expect_false(any(grepl("alone differs", w)))
  # Two chains: R-hat cannot tell which of them strays.
  pair <- four
  pair$draws <- four$draws[1:2]
  pair <- apart(pair, 2, 3, 80)
  expect_warning(w <- warn(pair), "R-hat above 1.05")
  expect_false(any(grepl("alone differs", w)))
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
