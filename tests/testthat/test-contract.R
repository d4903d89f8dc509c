# The compiled engine through .Call: a chain may be cut into calls anywhere
# without changing a draw, the engine returns what its interface documents,
# bad inputs are R errors, and a threaded call stopped by R leaves no
# thread behind.

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
  expect_identical(unname(dims), c(p * K, n * K, 3L, 3L, K, 1L, 0L, 1L, 0L))
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
  # The angle's move with the fields turned runs with its scales and counts
  # its acceptances; without them (the scales of a fit made before it) it
  # does not run and reports no rate, rather than a rate of 0.
  e$scales$rotation <- 0.05
  r1 <- engine_run(e$data, e$state, e$scales, 12)
  expect_identical(length(r1$accept$rotation), 1L)
  expect_true(r1$accept$rotation > 0)
  e$scales$rotation <- NULL
  r0 <- engine_run(e$data, e$state, e$scales, 12)
  expect_identical(length(r0$accept$rotation), 0L)
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

test_that("a threaded run stopped by R leaves no thread behind", {
  skip_if_not(dir.exists("/proc/self/task"))
  local_test_seed(9)
  W <- grid_adjacency(40, 50)
  n <- nrow(W)
  E <- matrix(runif(n * 2, 10, 30), n)
  Y <- matrix(rpois(n * 2, E), n)
  e <- engine_inputs(Y, E, matrix(1, n, 1), W)
  run <- function(sweeps, threads) {
    .Call(asNamespace("mcar")$mcar_engine_run, e$data, e$state, e$scales,
          list(sweeps = as.integer(sweeps), thin = 1L, offset = 0L,
               unit_thin = 1L, accumulate = TRUE, threads = threads))
  }
  before <- threads_now()
  # Far more sweeps than fit in the limit: R stops the call between sweeps,
  # with the pool's workers started.
  cond <- tryCatch({
    setTimeLimit(elapsed = 0.5, transient = TRUE)
    .Call(asNamespace("mcar")$mcar_engine_run, e$data, e$state, e$scales,
          list(sweeps = 1000000L, thin = 1000000L, offset = 0L,
               unit_thin = 1L, accumulate = FALSE, threads = 2L))
  }, error = function(e) e, finally = setTimeLimit())
  expect_s3_class(cond, "error")
  expect_match(conditionMessage(cond), "elapsed time limit")
  expect_identical(settled_threads(before), before)
  # The runs after it are whole, and the same on any number of threads.
  two <- run(5, 2L)
  expect_identical(settled_threads(before), before)
  expect_identical(two, run(5, 1L))
})

test_that("chains run side by side are the chains run alone, and stop together", {
  skip_if_not(dir.exists("/proc/self/task"))
  ns <- asNamespace("mcar")
  local_test_seed(10)
  W <- grid_adjacency(30, 30)
  n <- nrow(W)
  E <- matrix(runif(n * 2, 10, 30), n)
  Y <- matrix(rpois(n * 2, E), n)
  inputs <- lapply(1:3, function(seed)
    engine_inputs(Y, E, matrix(1, n, 1), W, seed = seed))
  e <- inputs[[1]]
  states <- lapply(inputs, `[[`, "state")
  scales <- lapply(inputs, `[[`, "scales")
  control <- function(sweeps, threads = 1L)
    list(sweeps = as.integer(sweeps), thin = 1L, offset = 0L,
         unit_thin = 1L, accumulate = TRUE, threads = threads)
  side <- function(sweeps, workers, threads = 1L, st = states) {
    .Call(ns$mcar_engine_run_chains, e$data, st, scales,
          rep(list(control(sweeps, threads)), length(st)), as.integer(workers))
  }
  before <- threads_now()
  alone <- lapply(1:3, function(k)
    .Call(ns$mcar_engine_run, e$data, states[[k]], scales[[k]], control(6)))
  expect_identical(side(6, 2L), alone)
  expect_identical(side(6, 3L, threads = 2L), alone)
  expect_identical(side(6, 1L), alone)
  expect_identical(settled_threads(before), before)

  # A time limit stops every chain, and the call, at the chains' next look.
  started <- proc.time()[["elapsed"]]
  cond <- tryCatch({
    setTimeLimit(elapsed = 0.5, transient = TRUE)
    side(1000000L, 2L)
  }, error = function(e) e, finally = setTimeLimit())
  expect_s3_class(cond, "error")
  expect_match(conditionMessage(cond), "elapsed time limit")
  expect_lt(proc.time()[["elapsed"]] - started, 5)
  expect_identical(settled_threads(before), before)

  # A chain whose inputs are wrong stops the call before any chain runs.
  bad <- states
  bad[[2]]$rng <- as.raw(rep(0, 32))
  expect_error(side(6, 2L, st = bad), "all-zero state")
  expect_error(.Call(ns$mcar_engine_run_chains, e$data, states, scales[1:2],
                     rep(list(control(6)), 3), 2L), "lists of one length")
  expect_error(side(6, 0L), "`workers`")
  expect_identical(side(6, 2L), alone)
})

test_that("the lists R sends and reads are those of the engine's contract", {
  ns <- asNamespace("mcar")
  ct <- ns$.contract()
  task <- chain_task(40, 20, tune = FALSE)
  # Every name R writes is one the engine reads, and every name the engine
  # needs is written.
  same <- function(have, want) {
    expect_true(all(have %in% want), label = paste(have, collapse = " "))
    expect_true(all(setdiff(want, attr(want, "optional")) %in% have),
                label = paste(want, collapse = " "))
  }
  same(names(task$data), ct$data)
  st <- ns$.engine_state(task$init, task$rng)
  same(names(st), ct$state)
  same(names(ns$.engine_scales(task$scales)), ct$scales)
  same(names(ns$.engine_control(10, 1, 0, 1, TRUE, 2L)), ct$control)
  run <- ns$.engine_call(task$data, st, ns$.engine_scales(task$scales),
                         ns$.engine_control(10, 1, 0, 1, TRUE))
  same(names(run$draws), ct$draws)
  same(names(run$accept), ct$accept)
  # Every family the engine knows has its R side, and no other.
  expect_setequal(rownames(ns$.FAMILY_TABLE), names(ct$families))
  expect_identical(ns$.family_code("binomial"), ct$families[["binomial"]])
  # The most outcomes: one limit on both sides.
  d <- toy_data()
  Y <- matrix(1L, 25, ct$max_k + 1L)
  expect_input_error(mcar_fit(Y, Y + 1, d$W, progress = FALSE), "counts",
                     paste0("1 to ", ct$max_k, " columns"))
})

test_that("the draws' eigenvalues are ordered within every draw, ties and no draws included", {
  fd <- asNamespace("mcar")$.fit_draws
  local_test_seed(9)
  for (K in 2:4) for (S in c(0, 1, 50)) {
    eta <- matrix(round(runif(S * K, -1, 1), 1), S, K)
    d <- list(beta = matrix(0, S, K), phi = matrix(0, S, 2 * K),
              Lambda = matrix(0, S, K * (K + 1) / 2),
              A = matrix(0, S, K * (K + 1) / 2), eta = eta,
              theta = matrix(0, S, K * (K - 1) / 2),
              psi = matrix(0, S, 0), alpha = matrix(0, S, 0),
              deviance = matrix(0, S, 1))
    got <- fd(d, 2L, K, 1L)$eta
    want <- if (S) matrix(t(apply(eta, 1L, sort, decreasing = TRUE)), S)
      else eta
    expect_identical(unname(got), want)
    expect_identical(colnames(got), paste0("eta[", 1:K, "]"))
  }
})
