# Proposal tuning during burn-in.

test_that("tuned acceptance rates land in their bands on the bundled data", {
  # Started far off: every scale 20 times too large or too small.
  s0 <- asNamespace("mcar")$.default_scales()
  for (scales in list(lapply(s0, `*`, 20), lapply(s0, `/`, 20))) {
    fit <- small_fit(n_sample = 10000, burnin = 5000, seed = 101,
                     scales = scales)
    acc <- fit$acceptance$chain1
    # 5000 kept sweeps: a rate's binomial standard error is at most 0.007,
    # so a rate tuned to 0.35 (single coordinates) or 0.27 (blocks) stays
    # well inside its band unless the tuning missed.  (The angle block's
    # rate swings between about 0.05 and 0.5 over stretches of a few hundred
    # sweeps as the eigenvalues move, so it needs runs of this length to
    # settle.)
    expect_true(all(acc$gbeta > 0.2 & acc$gbeta < 0.5))
    expect_true(all(acc$phi > 0.2 & acc$phi < 0.5))
    for (b in c("lamda_diag", "lamda_off", "eta", "theta")) {
      expect_true(acc[[b]] > 0.15 && acc[[b]] < 0.4, label = b)
    }
    # On average over the 261 spatial effects the target is met closely.
    expect_equal(mean(acc$phi), 0.35, tolerance = 0.03 / 0.35)
    tun <- fit$tuning$chain1
    expect_identical(nrow(tun), 20L)
    expect_true(abs(tun$phi[1] - 0.35) > 0.2)    # far off at first ...
    expect_lt(abs(mean(tun$phi[11:20]) - 0.35), 0.03)   # ... not at the end
  }
})

test_that("the kept sweeps run with the final scales from the burn-in state", {
  ns <- asNamespace("mcar")
  task <- chain_task(n_sample = 600, burnin = 300, tune = TRUE, seed = 4)
  tuned <- ns$.run_chain(task)
  expect_false(identical(tuned$scales, task$scales))
  end <- tuned$checkpoints$burnin_end
  expect_identical(end$scales, tuned$scales)
  # Restarted from the end of burn-in with the final scales held fixed, the
  # sampler gives exactly the kept draws: nothing adapts after burn-in.
  rest <- task
  rest$scales <- tuned$scales
  one <- single_call(rest, 0L, 300L, state = end$state, seed = end$seed)
  expect_identical(tuned$draws$gbeta, one$gbeta)
  expect_identical(tuned$draws$phi, one$phi)
  expect_identical(tuned$draws$lamda, one$lamda)
})

test_that("without tuning the given scales are used and reported", {
  scales <- list(gbeta = 0.01, phi = c(0.2, 0.3, 0.4), lamda_diag = 0.05,
                 lamda_off = 0.04, eta = 0.2, theta = 0.25)
  fit <- small_fit(scales = scales, tune = FALSE, chains = 2)
  expect_null(fit$tuning$chain1)
  for (s in fit$scales) {
    expect_identical(s$gbeta, rep(0.01, 3))
    expect_identical(s$phi, matrix(rep(c(0.2, 0.3, 0.4), each = 87), 87, 3))
    expect_identical(s$theta, rep(0.25, 3))
  }
  # A fit's tuned scales can be handed back, one set per chain.
  tuned <- small_fit(chains = 2)
  again <- small_fit(chains = 2, scales = tuned$scales, tune = FALSE)
  expect_identical(again$scales, tuned$scales)
  expect_warning(small_fit(burnin = 0), "no burn-in")
})
