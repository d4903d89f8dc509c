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
  # The chains one after another (threads given) are those run side by side.
  one <- do.call(fit_quietly, c(args, n_sample = 450, threads = 1))
  expect_identical(one$settings$side_by_side, 1L)
  expect_identical(one$draws, short$draws)
  expect_identical(one$summaries, short$summaries)
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
  expect_gte(fit$until$status$ess, 150)
  expect_lte(fit$until$status$rhat, 1.05)
  # The batch means served the checks and are not kept.
  expect_null(fit$summaries[[1L]]$batch_sum)
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
  # Without n_sample the first block is 1500 sweeps, 500 of them burn-in
  # (a fixed-length fit's default is 4000, half burn-in); burnin given is
  # kept, and with n_sample given the burn-in is half of it.
  first <- suppressMessages(suppressWarnings(mcar_fit(
    d$Y[, 1], d$E[, 1], d$W, chains = 1, seed = 5, progress = FALSE,
    until = mcar_until(ess = 1, rhat = 10))))
  expect_equal(first$settings[c("n_sample", "burnin")],
               list(n_sample = 1500, burnin = 500))
  given <- suppressMessages(suppressWarnings(mcar_fit(
    d$Y[, 1], d$E[, 1], d$W, burnin = 300, chains = 1, seed = 5,
    progress = FALSE, until = mcar_until(ess = 1, rhat = 10))))
  expect_equal(given$settings[c("n_sample", "burnin")],
               list(n_sample = 1500, burnin = 300))
  sized <- suppressMessages(suppressWarnings(mcar_fit(
    d$Y[, 1], d$E[, 1], d$W, n_sample = 800, chains = 1, seed = 5,
    progress = FALSE, until = mcar_until(ess = 1, rhat = 10))))
  expect_equal(sized$settings[c("n_sample", "burnin")],
               list(n_sample = 800, burnin = 400))
  expect_input_error(mcar_until(ess = -1), "ess")
  expect_input_error(
    mcar_fit(d$Y[, 1], d$E[, 1], d$W, n_sample = 100, until = "yes",
             progress = FALSE), "until")
})

test_that("until keeps the stored unit-level draws within keep as the run grows", {
  d <- toy_data(K = 1)
  args <- list(d$Y[, 1], d$E[, 1], d$W, burnin = 100, chains = 2, seed = 5)
  # Targets out of reach: the run goes on to its budget of sweeps.
  expect_message(
    fit <- suppressWarnings(do.call(mcar_fit, c(args, list(
      n_sample = 300, keep = 100, progress = FALSE,
      until = mcar_until(ess = 1e6, max_sweeps = 1500))))),
    "from here on")
  stored <- nrow(fit$draws[[1L]]$phi)
  expect_lte(stored, 100)
  expect_gt(fit$settings$unit_thin, 2L)
  expect_identical(fit$unit_rows, fit$settings$unit_thin * seq_len(stored))
  # The stored draws are those of one run of that length at their sweeps.
  once <- suppressMessages(do.call(fit_quietly, c(args, list(
    n_sample = fit$settings$n_sample, keep = Inf))))
  for (k in names(fit$draws)) {
    expect_identical(fit$draws[[k]]$phi,
                     once$draws[[k]]$phi[fit$unit_rows, , drop = FALSE])
    expect_identical(fit$draws[[k]]$beta, once$draws[[k]]$beta)
  }
  expect_equal(fit$summaries, once$summaries)
})

test_that("until stops when the chains stay apart, and only then", {
  stalled <- asNamespace("mcar")$.until_stalled
  d <- toy_data()
  fit <- fit_quietly(d$Y, d$E, d$W, n_sample = 1000, burnin = 300,
                     chains = 4, seed = 3)
  ck <- function(...) lapply(list(...), function(x)
    c(kept = x[1], rhat = x[2]))
  # R-hat falling with the draws, or near 1, or a block too short to tell.
  expect_null(stalled(fit, ck(c(1000, 1.3), c(2000, 1.14))))
  expect_null(stalled(fit, ck(c(1000, 1.09), c(2000, 1.09))))
  expect_null(stalled(fit, ck(c(1000, 1.3), c(1200, 1.3))))
  expect_null(stalled(fit, ck(c(1000, NA), c(2000, 1.3))))
  # Stuck once, with no chain apart: one more block.
  expect_null(stalled(fit, ck(c(1000, 1.3), c(2000, 1.28))))
  # Stuck twice in a row.
  expect_match(stalled(fit, ck(c(500, 1.35), c(1000, 1.3), c(2000, 1.28))),
               "do not come together \\(R-hat 1.280 after 2,000 kept .*1.300 after 1,000\\)")
  # One chain alone apart, fitting worse: once is enough, and it is named.
  apart <- fit
  apart$draws$chain3$beta[, 1] <- apart$draws$chain3$beta[, 1] + 1
  apart$draws$chain3$deviance <- apart$draws$chain3$deviance + 500
  msg <- stalled(apart, ck(c(1000, 1.3), c(2000, 1.28)))
  expect_match(msg, "chain 3 alone differs .*deviance [0-9.]+ above theirs")
  gap <- as.numeric(sub(".*deviance ([0-9.]+) above.*", "\\1", msg))
  expect_equal(gap, 500, tolerance = 0.01)
})

test_that("the cores go to chains side by side and their threads, the draws unchanged", {
  rt <- asNamespace("mcar")$.resolve_threads
  withr::local_options(mcar.threads = NULL)
  future::plan("sequential")
  cores <- as.integer(future::availableCores())
  side <- min(4L, cores)
  # Small maps have no threaded loop.
  expect_identical(rt(NULL, 100, 3, 4), list(threads = 1L, side_by_side = side))
  expect_identical(rt(NULL, 3000, 3, 4),
                   list(threads = max(1L, cores %/% side), side_by_side = side))
  expect_identical(rt(NULL, 3000, 3, 1),
                   list(threads = min(cores, 64L), side_by_side = 1L))
  # Threads given: that many a chain, the chains one after another.
  expect_identical(rt(3, 3000, 3, 4), list(threads = 3L, side_by_side = 1L))
  withr::local_options(mcar.threads = "four")
  expect_input_error(rt(getOption("mcar.threads"), 3000, 3, 4), "threads",
                     "options\\(mcar.threads")
})

test_that("batch means judge every kept sweep's linear predictors as the draws do", {
  ns <- asNamespace("mcar")
  K <- 2L
  runs <- lapply(c(5, 6), function(seed) {
    task <- chain_task(300, 60, tune = FALSE, seed = seed)
    task$batches <- 8L
    task$unit_thin <- 1L
    list(task = task, res = ns$.run_chain(task))
  })
  # The linear predictors of every kept sweep, from the draws.
  lp <- lapply(runs, function(x) {
    d <- x$res$draws; X <- x$task$data$X; n <- nrow(X); p <- ncol(X)
    out <- matrix(0, nrow(d$beta), n * K)
    packed <- function(r, c) (r - 1L) * K - (r - 1L) * (r - 2L) / 2 + c - r + 1L
    for (r in seq_len(K)) {
      mu <- d$beta[, (r - 1L) * p + seq_len(p), drop = FALSE] %*% t(X)
      for (c in r:K) {
        mu <- mu + d$Lambda[, packed(r, c)] * d$phi[, (c - 1L) * n + seq_len(n)]
      }
      out[, (r - 1L) * n + seq_len(n)] <- mu
    }
    out
  })
  # 240 kept sweeps into 8 slots: batches of 1 until 8 close, then merged
  # in pairs, the batch size doubled, whenever all 8 are full.
  size <- 1; fill <- 0; closed <- 0
  for (k in seq_len(240)) {
    fill <- fill + 1
    if (fill == size) {
      fill <- 0; closed <- closed + 1
      if (closed == 8) { closed <- 4; size <- size * 2 }
    }
  }
  b <- runs[[1L]]$res$summaries$batch
  expect_equal(as.vector(b), c(8, size, fill, closed))
  half <- closed %/% 2
  first <- closed - 2 * half + 1
  used <- ((first - 1) * size + 1):(closed * size)
  L <- half * size
  seqs <- unlist(lapply(lp, function(m) {
    list(m[used[seq_len(L)], ], m[used[L + seq_len(L)], ])
  }), recursive = FALSE)
  W <- rowMeans(sapply(seqs, function(s) apply(s, 2, var)))
  B <- apply(sapply(seqs, colMeans), 1, var)
  vp <- (L - 1) / L * W + B
  bm <- rowMeans(sapply(lp, function(m) {
    apply(m[used, ], 2, function(v) var(colMeans(matrix(v, size))))
  }))
  draws <- 2 * 2 * L
  want <- cbind(rhat = sqrt(vp / W),
                ess_bulk = pmin(draws * vp / (size * bm), draws * log10(draws)))
  got <- ns$.batch_convergence(lapply(runs, function(x) x$res$summaries))
  expect_equal(unname(got), unname(want), tolerance = 1e-10)
  # Carried from one call of the engine to the next, the batches are those
  # of one call.
  task <- runs[[1L]]$task
  st <- ns$.engine_state(task$init, task$rng)
  sc <- ns$.engine_scales(task$scales)
  one <- ns$.engine_call(task$data, st, sc,
                         ns$.engine_control(70, 1, 0, 1, TRUE, batches = 8L))
  a <- ns$.engine_call(task$data, st, sc,
                       ns$.engine_control(30, 1, 0, 1, TRUE, batches = 8L))
  two <- ns$.engine_call(task$data, a$state, sc,
                         ns$.engine_control(40, 1, 30, 1, TRUE))
  expect_identical(two$state$summaries, one$state$summaries)
  expect_null(ns$.batch_convergence(list(one$state$summaries, NULL)))
})
