# One chain: the runner's pieces make the chain of one call, the kept sweeps
# and stored per-unit draws follow one rule, and tuning touches the burn-in
# only.

test_that("the chain runner's pieces make one chain", {
  ns <- asNamespace("mcar")
  task <- chain_task(n_sample = 1700, burnin = 500, tune = FALSE, thin = 7L)
  # The runner calls the engine piece by piece (several pieces of each
  # phase), yet makes the chain of one call for the burn-in and one for
  # the rest.
  plan <- ns$.segment_plan(500, 1700)
  expect_gt(sum(plan$phase == "burnin"), 1)
  expect_gt(sum(plan$phase == "sample"), 1)
  expect_identical(sum(plan$length[plan$phase == "burnin"]), 500L)
  expect_identical(sum(plan$length), 1700L)
  chain <- ns$.run_chain(task)
  sc <- ns$.engine_scales(task$scales)
  burn <- engine_run(task$data, ns$.engine_state(task$init, task$rng), sc,
                     500, thin = 501)
  kept <- engine_run(task$data, burn$state, sc, 1200, thin = 7)
  for (el in draw_names) {
    expect_identical(unname(chain$draws[[el]]), kept$draws[[el]], label = el)
  }
  expect_identical(chain$last_state$rng, kept$state$rng)
  expect_identical(chain$last_state$phi, kept$state$phi)
  expect_equal(chain$acceptance$phi, kept$accept$phi / 1200)
  # One log line and one progress report a piece.
  ends <- cumsum(plan$length)
  expect_length(chain$lines, nrow(plan))
  expect_match(chain$lines[1], sprintf("^chain 1: sweeps 1-%d of 1700 \\(burn-in\\)",
                                       ends[1]))
  expect_match(chain$lines[nrow(plan)],
               sprintf("sweeps %d-1700 of 1700 \\(kept\\)",
                       ends[nrow(plan) - 1] + 1))
  steps <- integer()
  invisible(ns$.run_chain(task, progress = function(n) steps <<- c(steps, n)))
  expect_identical(steps, plan$length)
})

test_that("draws are stacked as rbind() stacks them", {
  stack <- asNamespace("mcar")$.rbind_draws
  a <- matrix(rnorm(6), 2, dimnames = list(NULL, c("x", "y", "z")))
  b <- matrix(rnorm(9), 3)
  none <- a[0, , drop = FALSE]
  expect_identical(stack(list(a, b)), rbind(a, b))
  expect_identical(stack(list(none, a, none, b)), rbind(none, a, none, b))
  expect_identical(stack(list(none, none)), rbind(none, none))
  expect_identical(stack(list(b)), rbind(b))
  expect_identical(stack(list(b[, 0])), rbind(b[, 0]))
  expect_error(stack(list(a, matrix(0, 2, 2))), "columns")
})

test_that("the kept sweeps and the stored per-unit draws follow one rule", {
  ns <- asNamespace("mcar")
  task <- chain_task(n_sample = 1300L, burnin = 200L, tune = FALSE, thin = 3L)
  task$unit_thin <- 4L
  th <- ns$.thinning(task, which = TRUE)
  chain <- ns$.run_chain(task)
  # The same chain in one call after the burn-in that keeps every sweep and
  # stores every per-unit draw: the runner keeps the sweeps .thinning()
  # names, and stores the per-unit draws of the kept draws it names.
  sc <- ns$.engine_scales(task$scales)
  burn <- engine_run(task$data, ns$.engine_state(task$init, task$rng), sc,
                     200, thin = 201)
  every <- engine_run(task$data, burn$state, sc, 1100)
  after <- th$sweeps - 200L
  expect_identical(length(after), nrow(chain$draws$beta))
  for (el in c("beta", "Lambda", "deviance")) {
    expect_identical(unname(chain$draws[[el]]),
                     every$draws[[el]][after, , drop = FALSE], label = el)
  }
  expect_identical(nrow(chain$draws$phi), th$stored)
  expect_identical(unname(chain$draws$phi),
                   every$draws$phi[after[th$unit_rows], , drop = FALSE])
  expect_identical(chain$last_state$rng, every$state$rng)
})

test_that("the stored per-unit draws are spaced for the budget, or for a longer run", {
  # A run with `until` is spaced for twice its first block, and its stored
  # draws are capped by the budget as it goes on: 12,500 values in 4 chains
  # leave 500 draws a chain, every 2nd of 1000 kept, every 4th when 2000 are
  # expected.  An explicit `keep` is kept, and is the cap.
  thinning <- asNamespace("mcar")$.unit_thinning
  size <- list(n_sample = 2000, burnin = 1000, thin = 1, chains = 4)
  expect_message(u <- thinning(NULL, size, 12500), "500 of")
  expect_identical(as.vector(u), 2L)
  expect_identical(attr(u, "cap"), 500)
  expect_message(u <- thinning(NULL, size, 12500, 2000), "250 of")
  expect_identical(as.vector(u), 4L)
  u <- suppressMessages(thinning(300, size, 12500, 2000))
  expect_identical(as.vector(u), 4L)
  expect_identical(attr(u, "cap"), 300)
  expect_identical(attr(thinning(Inf, size, 12500), "cap"), Inf)
})

test_that("tuning ends with the burn-in: the kept sweeps use fixed scales", {
  ns <- asNamespace("mcar")
  short <- ns$.run_chain(chain_task(n_sample = 500, burnin = 400, tune = TRUE))
  long <- ns$.run_chain(chain_task(n_sample = 1000, burnin = 400, tune = TRUE))
  expect_identical(long$scales, short$scales)
  expect_identical(long$tuning, short$tuning)
  expect_identical(nrow(short$tuning),
                   sum(ns$.segment_plan(400, 500)$phase == "burnin"))
  expect_false(identical(short$scales, short$initial_scales))
  for (el in draw_names) {
    expect_identical(long$draws[[el]][1:100, , drop = FALSE], short$draws[[el]],
                     label = el)
  }
})

test_that("chains run side by side tune and keep as each alone", {
  ns <- asNamespace("mcar")
  tasks <- lapply(1:3, function(k) {
    task <- chain_task(n_sample = 600, burnin = 300, tune = TRUE, seed = k)
    task$chain <- k
    task
  })
  steps <- integer()
  together <- ns$.run_chain_group(tasks, function(n) steps <<- c(steps, n),
                                  workers = 2L)
  plan <- ns$.segment_plan(300, 600)
  expect_identical(steps, 3L * plan$length)
  for (k in 1:3) {
    alone <- ns$.run_chain(tasks[[k]])
    for (el in c("chain", "draws", "acceptance", "scales", "tuning",
                 "last_state", "summaries", "lines")) {
      expect_identical(together[[k]][[el]], alone[[el]],
                       label = paste("chain", k, el))
    }
  }
  # Each chain's seconds are its share of the call's.
  expect_length(unique(vapply(together, `[[`, 0, "seconds")), 1L)
})

test_that("tuning without a burn-in is turned off, with a warning if asked", {
  d <- toy_data()
  args <- list(d$Y, d$E, d$W, n_sample = 30, burnin = 0, chains = 1,
               seed = 1)
  expect_warning(fit <- do.call(fit_quietly, c(args, tune = TRUE)),
                 "no burn-in to tune")
  expect_false(fit$settings$tune)
  expect_identical(fit$scales, fit$initial_scales)
  expect_no_warning(quiet <- do.call(fit_quietly, args))
  expect_identical(quiet$draws, fit$draws)
  plain <- do.call(fit_quietly, c(args, tune = FALSE))
  expect_identical(plain$draws, fit$draws)
  expect_identical(nrow(plain$draws$chain1$beta), 30L)
})

test_that("the effects go by Newton steps, and larger maps take more rounds given mu", {
  # 600 units: a map whose effects' sweep may take threads.
  local_test_seed(7)
  W <- grid_adjacency(24, 25)
  n <- nrow(W)
  E <- matrix(runif(n * 2, 10, 30), n)
  Y <- matrix(rpois(n * 2, E), n)
  ns <- asNamespace("mcar")
  expect_identical(ns$.given_mu_rounds(n), 12L)
  expect_identical(ns$.given_mu_rounds(n * 2L, periods = 2L), 12L)
  msgs <- character()
  fit <- withCallingHandlers(
    mcar_fit(Y, E, W, n_sample = 600, chains = 1, seed = 3, progress = FALSE,
             scales = list(phi = 3)),
    warning = function(w) {
      msgs <<- c(msgs, conditionMessage(w))
      invokeRestart("muffleWarning")
    })
  acc <- fit$acceptance$chain1
  # Nearly every Newton proposal is accepted; a random walk of these scales
  # would take a few in a hundred.  The oversized start shrinks to at most 1.
  expect_gt(mean(acc$phi), 0.9)
  expect_true(all(fit$scales$chain1$phi <= 1))
  expect_false(any(grepl("acceptance rate", msgs)))
  # The moves given mu report their rates per proposal, whatever the rounds.
  expect_true(all(acc$eta > 0.1 & acc$eta < 0.8))
  expect_true(all(acc$scale > 0.1 & acc$scale < 0.8))
  # Their units go colour by colour, on threads: the same chain on two.
  two <- suppressWarnings(
    mcar_fit(Y, E, W, n_sample = 600, chains = 1, seed = 3, progress = FALSE,
             scales = list(phi = 3), threads = 2))
  expect_identical(two$draws, fit$draws)
  expect_identical(two$acceptance, fit$acceptance)
  # Past a thousand units the sums over the map run in blocks on the
  # threads too, summed in the same order on any number of them.
  W2 <- grid_adjacency(40, 50)
  n2 <- nrow(W2)
  E2 <- matrix(runif(n2 * 2, 10, 30), n2)
  Y2 <- matrix(rpois(n2 * 2, E2), n2)
  big <- lapply(1:3, function(th) suppressWarnings(
    mcar_fit(Y2, E2, W2, n_sample = 40, chains = 1, seed = 5,
             progress = FALSE, threads = th)))
  expect_identical(big[[2]]$draws, big[[1]]$draws)
  expect_identical(big[[2]]$summaries, big[[1]]$summaries)
  # More threads than cores.
  expect_identical(big[[3]]$draws, big[[1]]$draws)
  expect_identical(big[[3]]$summaries, big[[1]]$summaries)
  for (bad in list(0, 1.5, NA, "2", c(1, 2)))
    expect_error(mcar_fit(Y, E, W, n_sample = 10, chains = 1, threads = bad),
                 "threads")
})

test_that("effects of units with very large counts keep moving under Newton proposals", {
  # 800 units (Newton proposals), three outcomes, a dozen units with 300
  # times the others' expected counts (counts of 3,000 to 20,000): far from
  # its mode such a unit's conditional is far from Gaussian, the full Newton
  # step overshoots, and the tuning shrinks the step until it is accepted.
  local_test_seed(21)
  nr <- 25; nc <- 32
  W <- grid_adjacency(nr, nc, names = paste0("u", seq_len(nr * nc)))
  n <- nrow(W); K <- 3
  row <- (seq_len(n) - 1) %% nr + 1; col <- (seq_len(n) - 1) %/% nr + 1
  mu <- sapply(seq_len(K), function(k) 0.4 * sin(col / (5 + 2 * k) + k) *
                 cos(row / (6 + k))) + matrix(rnorm(n * K, 0, 0.15), n)
  E <- matrix(runif(n * K, 10, 40), n)
  hot <- round(seq(30, n - 30, length.out = 12))
  E[hot, ] <- 300 * E[hot, ]
  Y <- matrix(rpois(n * K, E * exp(mu)), n)
  msgs <- character()
  fit <- withCallingHandlers(
    mcar_fit(Y, E, W, n_sample = 1000, chains = 4, seed = 2, progress = FALSE),
    warning = function(w) {
      msgs <<- c(msgs, conditionMessage(w))
      invokeRestart("muffleWarning")
    })
  rates <- sapply(fit$acceptance, function(a) as.vector(a$phi))
  expect_gt(min(rates), 0.05)
  expect_gt(min(rates[c(hot, hot + n, hot + 2 * n), ]), 0.5)
  expect_false(any(grepl("effects of unit", msgs)))
  # No tuned scale sits at the floor, and the hot units' risks mix as well
  # as the others': over 4 x 500 kept sweeps, R-hat near 1 and hundreds of
  # effective draws.
  expect_true(all(sapply(fit$scales, function(s) s$phi) >
                    asNamespace("mcar")$.NEWTON_MIN_SCALE))
  vars <- sprintf("rr[%d,%d]", rep(hot, K), rep(seq_len(K), each = length(hot)))
  s <- posterior::summarise_draws(posterior::as_draws_array(fit, variables = vars),
                                  "rhat", "ess_bulk")
  expect_lte(max(s$rhat), 1.05)
  expect_gte(min(s$ess_bulk), 100)
})
