# Continuing fits: update() and mcar_fit(until = ) give the chains of one
# longer run, to the bit.

test_that("update() continues the chains as one longer run would", {
  d <- toy_data()
  args <- list(d$Y, d$E, d$W, covariates = cbind(x = d$x), burnin = 150,
               chains = 2, seed = 3, thin = 3, keep = Inf)
  short <- do.call(fit_quietly, c(args, n_sample = 450))
  long <- do.call(fit_quietly, c(args, n_sample = 750))
  more <- suppressWarnings(update(short, sweeps = 300, progress = FALSE))
  expect_identical(more$draws, long$draws)
  expect_identical(more$summaries, long$summaries)
  expect_identical(more$last_state, long$last_state)
  expect_equal(more$acceptance, long$acceptance, tolerance = 1e-12)
  expect_equal(more$settings$n_sample, 750)
  expect_identical(more$unit_rows, long$unit_rows)
  expect_equal(more$dic, long$dic)
  # Twice in smaller steps, on a different number of threads, is the same.
  twice <- suppressWarnings(update(update(short, sweeps = 100,
                                          progress = FALSE),
                                   sweeps = 200, progress = FALSE,
                                   threads = 2))
  expect_identical(twice$draws, long$draws)
  expect_input_error(update(short, progress = FALSE), "sweeps", "missing")
  expect_input_error(update(short, sweeps = 0, progress = FALSE), "sweeps")
})

test_that("until runs until the chains agree, and equals a run of that length", {
  d <- toy_data(K = 1)
  until <- mcar_until(ess = 150, rhat = 1.05, max_sweeps = 20000)
  expect_message(
    fit <- mcar_fit(d$Y[, 1], d$E[, 1], d$W, n_sample = 300, burnin = 200,
                    chains = 2, seed = 5, until = until, progress = FALSE),
    "smallest bulk ESS")
  expect_true(fit$until$met)
  st <- asNamespace("mcar")$.until_status(fit, until)
  expect_gte(st$ess, 150)
  expect_lte(st$rhat, 1.05)
  once <- fit_quietly(d$Y[, 1], d$E[, 1], d$W, n_sample = fit$settings$n_sample,
                      burnin = 200, chains = 2, seed = 5)
  expect_identical(fit$draws, once$draws)
  # A budget too small to reach the targets stops the run and says so.
  expect_message(
    small <- suppressWarnings(mcar_fit(
      d$Y[, 1], d$E[, 1], d$W, n_sample = 300, burnin = 200, chains = 2,
      seed = 5, progress = FALSE,
      until = mcar_until(ess = 1e6, max_sweeps = 700))),
    "budget is spent")
  expect_false(small$until$met)
  expect_lte(small$settings$n_sample, 700)
  expect_input_error(mcar_until(ess = -1), "ess")
  expect_input_error(
    mcar_fit(d$Y[, 1], d$E[, 1], d$W, n_sample = 100, until = "yes",
             progress = FALSE), "until")
})

test_that("threads default to the cores a chain can use, and never change the draws", {
  rt <- asNamespace("mcar")$.resolve_threads
  withr::local_options(mcar.threads = NULL)
  future::plan("sequential")
  # Small maps have no threaded loop.
  expect_identical(rt(NULL, 100, 3, 4), 1L)
  cores <- as.integer(future::availableCores())
  expect_identical(rt(NULL, 3000, 3, 4), as.integer(min(cores, 64L)))
  expect_identical(rt(3, 3000, 3, 4), 3L)
  withr::local_options(mcar.threads = "four")
  expect_input_error(rt(getOption("mcar.threads"), 3000, 3, 4), "threads",
                     "options\\(mcar.threads")
})
