# The compiled engine through .Call, and the chain runner built on it: a
# chain may be cut into calls anywhere without changing a draw, bad inputs
# are R errors, and tuning touches the burn-in only.

draw_names <- c("beta", "phi", "Lambda", "A", "eta", "theta", "psi",
                "deviance")
state_names <- c("beta", "phi", "Lambda", "eta", "theta", "psi", "lp", "rng")
accept_names <- c("beta", "phi", "lambda", "eta", "theta", "scale", "shear",
                  "psi")

# Two outcomes, one covariate and two missing counts on the 5 x 5 grid.
engine_case <- function(seed = 5) {
  d <- toy_data()
  Y <- d$Y
  Y[c(4, 30)] <- NA
  c(engine_inputs(Y, d$E, cbind(1, d$x), d$W, seed = seed), list(Y = Y))
}

test_that("a chain run in pieces equals the chain run in one call", {
  e <- engine_case()
  for (thin in c(1L, 3L)) {
    one <- engine_run(e$data, e$state, e$scales, 100, thin = thin)
    a <- engine_run(e$data, e$state, e$scales, 30, thin = thin)
    b <- engine_run(e$data, a$state, e$scales, 70, thin = thin, offset = 30)
    expect_identical(nrow(one$draws$beta), 100L %/% thin)
    expect_identical(nrow(a$draws$beta), 30L %/% thin)
    for (el in draw_names) {
      expect_identical(one$draws[[el]],
                       unname(rbind(a$draws[[el]], b$draws[[el]])),
                       label = paste("draws", el, "thin", thin))
    }
    expect_identical(one$state, b$state)
    for (el in accept_names) {
      expect_identical(one$accept[[el]], a$accept[[el]] + b$accept[[el]])
    }
  }
  # Three pieces whose boundaries fall between kept sweeps.
  p1 <- engine_run(e$data, e$state, e$scales, 7, thin = 4)
  p2 <- engine_run(e$data, p1$state, e$scales, 50, thin = 4, offset = 7)
  p3 <- engine_run(e$data, p2$state, e$scales, 43, thin = 4, offset = 57)
  one <- engine_run(e$data, e$state, e$scales, 100, thin = 4)
  expect_identical(one$draws$phi,
                   rbind(p1$draws$phi, p2$draws$phi, p3$draws$phi))
  expect_identical(one$state, p3$state)
})

test_that("the engine returns what its interface documents", {
  e <- engine_case()
  n <- 25L; K <- 2L; p <- 2L
  r <- engine_run(e$data, e$state, e$scales, 12, thin = 5, offset = 3)
  # Sweeps 2, 7 and 12 of this call are sweeps 5, 10 and 15 overall.
  expect_identical(nrow(r$draws$beta), 3L)
  expect_identical(names(r), c("draws", "state", "accept", "summaries"))
  expect_null(r$summaries)
  expect_identical(names(r$draws), draw_names)
  expect_identical(names(r$state), state_names)
  expect_identical(names(r$accept), accept_names)
  dims <- vapply(r$draws[draw_names], ncol, integer(1))
  expect_identical(unname(dims), c(p * K, n * K, 3L, 3L, K, 1L, 0L, 1L))
  expect_identical(dim(r$state$lp), c(n, K))
  expect_identical(length(r$state$rng), 32L)
  expect_true(all(r$accept$phi >= 0 & r$accept$phi <= 12))
  # The carried linear predictor is X beta + phi Lambda'.
  X <- e$data$X
  lp <- X %*% r$state$beta + r$state$phi %*% t(r$state$Lambda)
  expect_equal(r$state$lp, lp, tolerance = 1e-12)
  # No sweep: no draws, the state and the generator as they were.
  z <- engine_run(e$data, e$state, e$scales, 0)
  expect_identical(nrow(z$draws$phi), 0L)
  expect_identical(as.vector(z$state$phi), e$state$phi)
  expect_identical(z$state$rng, e$state$rng)
})

test_that("stored fields thin evenly and the running summaries see every kept sweep", {
  e <- engine_case()
  n <- 25L; K <- 2L
  all <- engine_run(e$data, e$state, e$scales, 40, thin = 2, offset = 4,
                    accumulate = TRUE)
  part <- engine_run(e$data, e$state, e$scales, 40, thin = 2, offset = 4,
                     unit_thin = 3L, accumulate = TRUE)
  # Kept draws 3..22 overall; those whose number is a multiple of 3 store
  # the fields.
  rows <- which((3:22) %% 3L == 0L)
  expect_identical(part$draws$phi, all$draws$phi[rows, , drop = FALSE])
  expect_identical(part$draws$beta, all$draws$beta)
  expect_identical(part$summaries, all$summaries)
  expect_identical(part$state, all$state)
  # The deviance comes out of the summaries' pass, the same to the bit.
  plain <- engine_run(e$data, e$state, e$scales, 40, thin = 2, offset = 4)
  expect_identical(all$draws$deviance, plain$draws$deviance)
  # The summaries against the kept draws themselves.
  mu <- t(vapply(seq_len(nrow(all$draws$beta)), function(k) {
    beta <- matrix(all$draws$beta[k, ], 2L)
    L <- asNamespace("mcar")$.unpack(all$draws$Lambda[k, ], K)
    as.vector(e$data$X %*% beta + matrix(all$draws$phi[k, ], n) %*% t(L))
  }, numeric(n * K)))
  sm <- all$summaries
  expect_equal(sm$draws, 20)
  expect_equal(as.vector(sm$rr_mean), colMeans(exp(mu)), tolerance = 1e-12)
  expect_equal(as.vector(sm$rr_m2) / 19, apply(exp(mu), 2L, var),
               tolerance = 1e-10)
  expect_identical(as.vector(sm$rr_gt1), colSums(mu > 0) + 0)
  y <- as.vector(e$data$Y); E <- as.vector(e$data$E)
  ll <- t(apply(mu, 1L, function(m) dpois(y, E * exp(m), log = TRUE)))
  expect_equal(as.vector(sm$ll_mean), colMeans(ll), tolerance = 1e-10)
  expect_equal(as.vector(sm$ll_m2) / 19, apply(ll, 2L, var), tolerance = 1e-9)
  lse <- as.vector(sm$ll_max) + log(as.vector(sm$ll_sum))
  expect_equal(lse, apply(ll, 2L, function(v) max(v) + log(sum(exp(v - max(v))))),
               tolerance = 1e-10)
  # Summaries carried into the next call continue where they stopped.
  s1 <- engine_run(e$data, e$state, e$scales, 20, thin = 2, offset = 4,
                   accumulate = TRUE)
  st <- s1$state
  st["summaries"] <- list(s1$summaries)
  s2 <- engine_run(e$data, st, e$scales, 20, thin = 2, offset = 24,
                   accumulate = TRUE)
  expect_equal(s2$summaries, all$summaries, tolerance = 1e-12)
})

test_that("seeds make distinct generator states and bad seeds are errors", {
  seed <- asNamespace("mcar")$mcar_engine_seed
  a <- .Call(seed, c(0, 1))
  expect_type(a, "raw")
  expect_length(a, 32L)
  expect_identical(.Call(seed, c(0, 1)), a)
  expect_false(identical(.Call(seed, c(0, 2)), a))
  expect_false(identical(.Call(seed, c(1, 1)), a))
  expect_error(.Call(seed, 1), "two doubles")
  expect_error(.Call(seed, c(-1, 0)), "two doubles")
  expect_error(.Call(seed, c(0, 2^32)), "two doubles")
  expect_error(.Call(seed, c(NA, 0)), "two doubles")
  expect_error(.Call(seed, 1:2), "two doubles")
  # A chain's engine generator is seeded from the chain's own stream, and
  # the caller's generator is left alone.
  ns <- asNamespace("mcar")
  rng_of <- function(stream) {
    restore <- ns$.use_stream(stream)
    on.exit(restore())
    ns$.engine_rng()
  }
  set.seed(1)
  before <- .Random.seed
  s <- ns$.chain_streams(9, 2)
  expect_identical(rng_of(s[[2]]), rng_of(s[[2]]))
  expect_false(identical(rng_of(s[[1]]), rng_of(s[[2]])))
  expect_identical(.Random.seed, before)
})

test_that("invalid engine inputs are R errors, not crashes", {
  e <- engine_case()
  run <- function(data = e$data, state = e$state, scales = e$scales,
                  control = list(sweeps = 2L, thin = 1L, offset = 0L,
                                 unit_thin = 1L, accumulate = TRUE)) {
    .Call(asNamespace("mcar")$mcar_engine_run, data, state, scales, control)
  }
  set <- function(x, el, value) {
    x[el] <- list(value)
    x
  }
  d <- e$data
  expect_error(run(data = NULL), "must be a list")
  expect_error(run(data = unname(d)), "named lists")
  expect_error(run(data = d[names(d) != "w"]), "lacks `w`")
  expect_error(run(data = set(d, "Y", as.vector(d$Y))), "matrices")
  Yi <- d$Y
  storage.mode(Yi) <- "integer"
  expect_error(run(data = set(d, "Y", Yi)), "`Y` must be a double vector")
  expect_error(run(data = set(d, "E", d$E[-1])), "`E` must be a double")
  expect_error(run(data = set(d, "X", d$X[-1, ])), "sizes do not agree")
  expect_error(run(data = set(d, "row_ptr", as.double(d$row_ptr))),
               "`row_ptr` must be an integer vector")
  expect_error(run(data = set(d, "row_ptr", rev(d$row_ptr))), "malformed")
  expect_error(run(data = set(d, "col", replace(d$col, 1, 25L))),
               "out of range")
  expect_error(run(data = set(d, "col", replace(d$col, 1, -1L))),
               "out of range")
  expect_error(run(data = set(d, "logdet", d$logdet[-1, ])), "`logdet`")
  expect_error(run(data = set(d, "logdet", d$logdet[, 2:1])), "`logdet`")
  expect_error(run(data = set(d, "iw_df", 1:2)), "`iw_df`")
  expect_error(run(data = set(d, "iw_scale", diag(3))), "`iw_scale`")
  s <- e$state
  expect_error(run(state = set(s, "phi", s$phi[-1])), "`phi`")
  expect_error(run(state = set(s, "theta", numeric())), "`theta`")
  expect_error(run(state = set(s, "lp", 1:3)), "`lp`")
  expect_error(run(state = set(s, "rng", raw(31))), "32 raw bytes")
  expect_error(run(state = set(s, "rng", raw(32))), "all-zero")
  expect_error(run(state = s[names(s) != "rng"]), "lacks `rng`")
  sc <- e$scales
  expect_error(run(scales = set(sc, "beta_chol", sc$beta_chol[-1])),
               "`beta_chol`")
  expect_error(run(scales = set(sc, "phi", "0.1")), "`phi`")
  expect_error(run(control = list(sweeps = -1L, thin = 1L, offset = 0L, unit_thin = 1L, accumulate = FALSE)),
               "out of range")
  expect_error(run(control = list(sweeps = 1L, thin = 0L, offset = 0L, unit_thin = 1L, accumulate = FALSE)),
               "out of range")
  expect_error(run(control = list(sweeps = 1L, thin = 1L, offset = -2L, unit_thin = 1L, accumulate = FALSE)),
               "out of range")
  expect_error(run(control = list(sweeps = 2, thin = 1L, offset = 0L)),
               "`sweeps` must be an integer")
  expect_error(run(control = list(sweeps = 2L, thin = 1L)), "lacks `offset`")
  # Nothing was left half-done: a valid call afterwards is as before.
  expect_identical(run(), run())
})

# A task for the chain runner, as mcar_fit() builds it.
chain_task <- function(n_sample, burnin, tune, thin = 1L, seed = 5) {
  d <- toy_data()
  ns <- asNamespace("mcar")
  X <- cbind(1, d$x)
  mp <- ns$.prepare_map(ns$.check_map(d$W), quiet = TRUE)
  prior <- ns$.resolve_prior(mcar_prior(), 2L, 2L)
  list(chain = 1L, data = ns$.engine_data(d$Y, d$E, X, mp, prior),
       init = ns$.default_init(d$Y, d$E, X, mp),
       rng = .Call(ns$mcar_engine_seed, c(0, seed)),
       scales = ns$.default_scales(d$Y, X, mp), n_sample = n_sample,
       burnin = burnin, thin = thin, unit_thin = 1L, tune = tune,
       verbose = FALSE)
}

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

test_that("tuning brings poor proposal scales to useful acceptance rates", {
  d <- toy_data()
  poor <- list(phi = 4, beta = 10, lambda = 2, eta = 5, theta = 5, scale = 3,
               shear = 3)
  run <- function(tune) {
    fit_quietly(d$Y, d$E, d$W, covariates = cbind(x = d$x), n_sample = 2000,
                burnin = 1000, chains = 1, seed = 2, scales = poor,
                tune = tune)$acceptance$chain1
  }
  untuned <- run(FALSE)
  expect_lt(mean(untuned$phi), 0.15)
  expect_lt(mean(untuned$beta), 0.1)
  tuned <- run(TRUE)
  # Targets: 0.44 for one coordinate, 0.3 for a block (the two coefficients
  # of an outcome; the first row of the loadings).  1000 sweeps give rates
  # within a few hundredths.
  expect_equal(mean(tuned$phi), 0.44, tolerance = 0.08 / 0.44)
  expect_equal(mean(tuned$beta), 0.3, tolerance = 0.1 / 0.3)
  expect_true(all(tuned$eta > 0.3 & tuned$eta < 0.6))
  expect_true(all(tuned$theta > 0.3 & tuned$theta < 0.6))
  expect_true(all(tuned$lambda > 0.2 & tuned$lambda < 0.6))
})

test_that("large maps propose the effects by Newton steps and more rounds given mu", {
  # 600 units: past the size where the effects' Newton proposals take over.
  local_test_seed(7)
  W <- grid_adjacency(24, 25)
  n <- nrow(W)
  E <- matrix(runif(n * 2, 10, 30), n)
  Y <- matrix(rpois(n * 2, E), n)
  ns <- asNamespace("mcar")
  expect_identical(ns$.given_mu_rounds(n), 6L)
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
  big <- lapply(1:2, function(th) suppressWarnings(
    mcar_fit(Y2, E2, W2, n_sample = 40, chains = 1, seed = 5,
             progress = FALSE, threads = th)))
  expect_identical(big[[2]]$draws, big[[1]]$draws)
  expect_identical(big[[2]]$summaries, big[[1]]$summaries)
  for (bad in list(0, 1.5, NA, "2", c(1, 2)))
    expect_error(mcar_fit(Y, E, W, n_sample = 10, chains = 1, threads = bad),
                 "threads")
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

test_that("loading rows are proposed with the correlations of the burn-in draws", {
  ns <- asNamespace("mcar")
  local_test_seed(8)
  K <- 2L
  # Packed draws Lambda[1,1], Lambda[1,2], Lambda[2,2]: the first row's
  # entries correlated at 0.8 (the diagonal on the log scale).
  z <- matrix(rnorm(3000), 1000)
  u <- 0.1 * z[, 1]
  v <- 0.2 * (0.8 * z[, 1] + 0.6 * z[, 2])
  draws <- cbind(exp(u - 1), 0.3 + v, exp(0.05 * z[, 3] - 1))
  lam <- matrix(c(0.1, 0, 0.05, 0.1), 2)
  out <- ns$.lambda_shape(lam, draws, K)
  # Within the row the sds follow the draws (0.1 against 0.2), their
  # geometric mean staying where the tuning put it.
  expect_equal(out$lambda[1, 2] / out$lambda[1, 1], 2, tolerance = 0.1)
  expect_equal(sqrt(out$lambda[1, 1] * out$lambda[1, 2]),
               sqrt(0.1 * 0.05), tolerance = 1e-12)
  R <- out$corr[, , 1]
  expect_equal(R[2, 1], 0.9 * 0.8, tolerance = 0.05)
  expect_equal(R[1, 1]^2, 1)
  expect_equal(R[2, 1]^2 + R[2, 2]^2, 1, tolerance = 1e-12)
  expect_identical(out$corr[, , 2], diag(K))
  # Too few draws: nothing changes.
  same <- ns$.lambda_shape(lam, draws[1:10, ], K)
  expect_identical(same$lambda, lam)
  expect_identical(same$corr, ns$.identity_corr(K))
})
