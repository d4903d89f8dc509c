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

test_that("effects that rarely accept their proposals are named", {
  fit <- toy_fit()
  warn <- asNamespace("mcar")$.warn_untrustworthy
  # Reported parameters drawn independently, alike in both chains, so that
  # only the acceptance rates can raise a warning.
  local_test_seed(12)
  base <- fit
  for (k in 1:2) {
    for (el in c("beta", "Lambda", "A")) {
      base$draws[[k]][[el]][] <- rnorm(length(base$draws[[k]][[el]]))
    }
    base$acceptance[[k]]$phi[] <- 0.45
  }
  expect_no_warning(warn(base))
  # One effect (unit 17, outcome 2) stuck in chain 2.
  one <- base
  one$acceptance[[2]]$phi[17, 2] <- 0.01
  expect_warning(w <- warn(one), paste0(
    "effects of unit '17', outcome outcome2: acceptance 0.01 in chain 2"),
    fixed = TRUE)
  expect_false(any(grepl("more effect", w)))
  # The worst three are named with every chain that falls short, the rest
  # counted; a mean rate of the block still within bounds says nothing.
  many <- base
  many$acceptance[[1]]$phi[c(3, 4, 5, 6, 7), 1] <- c(0.04, 0.001, 0.2, 0.03, 0)
  many$acceptance[[2]]$phi[c(4, 8), 1:2] <- c(0.02, 0.049, 0.3, 0.3)
  expect_warning(w <- warn(many), paste0(
    "effects of unit '7', outcome outcome1: acceptance 0 in chain 1; ",
    "effects of unit '4', outcome outcome1: acceptance 0.001 in chain 1, ",
    "0.02 in chain 2; effects of unit '6', outcome outcome1: acceptance ",
    "0.03 in chain 1; and 2 more effects under 0.05 in some chain"),
    fixed = TRUE)
  expect_false(any(grepl("acceptance rate", w)))
  # A lost chain leaves the others their numbers.
  lost <- one
  names(lost$acceptance) <- names(lost$draws) <- c("chain1", "chain4")
  expect_warning(warn(lost), "acceptance 0.01 in chain 4", fixed = TRUE)
  # In a fit: one effect whose proposal is 500 times as wide as its
  # conditional.
  d <- toy_data()
  sc <- list(phi = matrix(0.5, nrow(d$Y), ncol(d$Y)))
  sc$phi[9, 1] <- 500
  expect_warning(
    mcar_fit(d$Y, d$E, d$W, n_sample = 400, chains = 2, seed = 3,
             scales = sc, tune = FALSE, progress = FALSE),
    "effects of unit '9', outcome outcome1: acceptance [0-9.e-]+ in chain 1, [0-9.e-]+ in chain 2")
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

test_that("R-hat and ESS of many variables at once are posterior's", {
  local_test_seed(3)
  for (S in c(7, 100, 101)) for (C in c(1, 4)) {
    arr <- array(NA_real_, c(S, C, 6))
    for (v in 1:6) for (k in 1:C) {
      arr[, k, v] <- as.numeric(stats::arima.sim(list(ar = 0.15 * v), S)) +
        0.2 * k * (v == 3)
    }
    arr[, , 4] <- round(arr[, , 4])   # ties
    arr[, , 5] <- 2                   # constant
    arr[1, 1, 6] <- NA
    got <- asNamespace("mcar")$.convergence(arr)
    ref <- t(vapply(1:6, function(v) {
      x <- matrix(arr[, , v], S, C)
      suppressWarnings(c(posterior::rhat(x), posterior::ess_bulk(x),
                         posterior::ess_tail(x)))
    }, numeric(3)))
    expect_equal(unname(got), ref, tolerance = 1e-12,
                 label = paste("S =", S, "C =", C))
  }
})

test_that("slowly mixing chains (autocovariances past the direct sums) match posterior", {
  local_test_seed(5)
  S <- 4000; C <- 4
  arr <- array(NA_real_, c(S, C, 3))
  for (v in 1:3) for (k in 1:C) {
    arr[, k, v] <- as.numeric(stats::filter(rnorm(S), c(0.9, 0.995, 0.999)[v],
                                            method = "recursive"))
  }
  conv <- asNamespace("mcar")$.convergence
  got <- conv(arr)
  ref <- t(vapply(1:3, function(v) {
    x <- matrix(arr[, , v], S, C)
    c(posterior::rhat(x), posterior::ess_bulk(x), posterior::ess_tail(x))
  }, numeric(3)))
  expect_equal(unname(got), ref, tolerance = 1e-9)
  # Without the tails: the same R-hat and bulk ESS, the tail ESS left out.
  bulk <- conv(arr, tails = FALSE)
  expect_identical(bulk[, 1:2], got[, 1:2])
  expect_true(all(is.na(bulk[, "ess_tail"])))
})

test_that("quantiles of the variables of a draws array are matrixStats' type 7", {
  q7 <- asNamespace("mcar")$.type7_quantiles
  local_test_seed(4)
  for (S in c(1, 2, 7, 200)) {
    arr <- array(rnorm(S * 3 * 5), c(S, 3, 5))
    arr[, , 2] <- round(arr[, , 2])   # ties
    arr[, , 3] <- 1                   # constant
    probs <- c(0.025, 0.5, 0.975)
    want <- matrixStats::colQuantiles(matrix(arr, 3 * S), probs = probs,
                                      type = 7, drop = FALSE)
    expect_identical(q7(arr, 3 * S, probs), unname(want))
    arr[1, 1, 4] <- NA                # as matrixStats treats it
    want <- matrixStats::colQuantiles(matrix(arr, 3 * S), probs = probs,
                                      type = 7, drop = FALSE)
    expect_identical(unname(q7(arr, 3 * S, probs)), unname(want))
  }
})
