# mcar_fit() as a whole: reproducible chains under any future plan, the
# caller's generator left alone, run settings, logs, restarts, recovery of
# known parameters and agreement with the fixed-size entry.

toy_run <- function(..., chains = 2, n_sample = 60, burnin = 20, seed = 4) {
  d <- toy_data()
  fit_quietly(d$Y, d$E, d$W, covariates = cbind(x = d$x), chains = chains,
              n_sample = n_sample, burnin = burnin, seed = seed, ...)
}

test_that("the same seed gives the same draws sequentially and on two workers", {
  skip_on_cran()
  withr::defer(future::plan("sequential"))
  future::plan("sequential")
  seq1 <- toy_run(chains = 1)
  seq3 <- toy_run(chains = 3)
  expect_identical(toy_run(chains = 3)$draws, seq3$draws)
  # A chain does not depend on how many run beside it; the chains differ.
  expect_identical(seq3$draws$chain1, seq1$draws$chain1)
  expect_false(identical(seq3$draws$chain1$phi, seq3$draws$chain2$phi))
  expect_false(identical(seq3$init$chain2, seq3$init$chain3))
  expect_false(identical(toy_run(chains = 1, seed = 5)$draws, seq1$draws))
  future::plan("multisession", workers = 2)
  par3 <- toy_run(chains = 3)
  par1 <- toy_run(chains = 1)
  for (el in c("draws", "scales", "tuning", "init", "last_state", "dic")) {
    expect_identical(par3[[el]], seq3[[el]], label = el)
    expect_identical(par1[[el]], seq1[[el]], label = el)
  }
})

test_that("with a seed the caller's generator is left as it was", {
  withr::local_seed(1)
  RNGkind("Knuth-TAOCP-2002", "Box-Muller", "Rejection")
  withr::defer(RNGkind("default", "default", "default"))
  set.seed(17)
  kinds <- RNGkind()
  before <- .Random.seed
  a <- toy_run()
  expect_identical(.Random.seed, before)
  expect_identical(RNGkind(), kinds)
  # The generator kinds do not enter the draws.
  RNGkind("default", "default", "default")
  expect_identical(toy_run()$draws, a$draws)
  # A session without a generator state is left without one.
  withr::with_preserve_seed({
    rm(".Random.seed", envir = globalenv())
    toy_run(chains = 1)
    expect_false(exists(".Random.seed", envir = globalenv(), inherits = FALSE))
  })
})

test_that("without a seed one is drawn from R's generator", {
  withr::local_seed(1)
  set.seed(5)
  a <- toy_run(seed = NULL)
  set.seed(5)
  b <- toy_run(seed = NULL)
  expect_identical(a$draws, b$draws)
  expect_true(is.numeric(a$seed) && a$seed == round(a$seed))
  expect_identical(toy_run(seed = a$seed)$draws, a$draws)
  set.seed(6)
  expect_false(identical(toy_run(seed = NULL)$draws, a$draws))
})

test_that("thinning keeps every thin-th sweep of the same chain", {
  full <- toy_run(chains = 1, n_sample = 100, burnin = 40)
  thinned <- toy_run(chains = 1, n_sample = 100, burnin = 40, thin = 7)
  keep <- seq(7, 60, by = 7)
  for (el in c("beta", "phi", "Lambda", "A", "eta", "theta", "deviance")) {
    expect_identical(thinned$draws$chain1[[el]],
                     full$draws$chain1[[el]][keep, , drop = FALSE], label = el)
  }
  expect_identical(thinned$last_state, full$last_state)
  m <- coda::as.mcmc(thinned, variables = "beta")
  expect_equal(stats::start(m[[1]]), 47)
  expect_equal(coda::thin(m), 7)
  expect_equal(stats::end(m[[1]]), 96)
})

test_that("burnin = 0 with tune = FALSE keeps every sweep from the start", {
  init <- list(beta = matrix(c(0.1, 0.2, 0.1, 0.2), 2), eta = c(0.5, 0.4))
  fit <- toy_run(chains = 1, n_sample = 25, burnin = 0, tune = FALSE,
                 init = init)
  expect_identical(nrow(fit$draws$chain1$beta), 25L)
  expect_null(fit$tuning$chain1)
  expect_identical(fit$init$chain1$beta, init$beta)
  expect_identical(fit$scales, fit$initial_scales)
})

test_that("a fit continues from an earlier fit's last state and scales", {
  first <- toy_run(n_sample = 200, burnin = 100)
  more <- toy_run(n_sample = 50, burnin = 0, tune = FALSE, seed = 9,
                  init = first$last_state, scales = first$scales)
  for (k in 1:2) {
    ls <- first$last_state[[k]]
    expect_identical(more$init[[k]][c("beta", "phi", "Lambda", "eta", "theta")],
                     ls[c("beta", "phi", "Lambda", "eta", "theta")])
  }
  expect_identical(more$scales, first$scales)
})

test_that("verbose lines, the log file and the progress bar leave the draws alone", {
  quiet <- toy_run()
  log <- withr::local_tempfile(fileext = ".log")
  msgs <- character()
  loud <- withCallingHandlers(
    toy_run(verbose = TRUE, log_file = log),
    message = function(m) {
      msgs <<- c(msgs, sub("\n$", "", conditionMessage(m)))
      invokeRestart("muffleMessage")
    })
  expect_identical(loud$draws, quiet$draws)
  # The messages come piece by piece, the chains' pieces side by side; the
  # log lists them chain by chain.
  expect_identical(msgs, loud$log[c(1, 3, 2, 4)])
  expect_identical(readLines(log), loud$log)
  # One line per piece: here one burn-in piece and one kept per chain.
  expect_length(loud$log, 4)
  expect_match(loud$log[3], "^chain 2: sweeps 1-20 of 60 \\(burn-in\\)")
  expect_match(loud$log[4], "^chain 2: sweeps 21-60 of 60 \\(kept\\)")
  expect_identical(quiet$log, loud$log)
  skip_if_not_installed("progressr")
  utils::capture.output(
    bar <- suppressMessages(toy_run(progress = TRUE)), type = "message")
  expect_identical(bar$draws, quiet$draws)
})

test_that("a log that cannot be written costs a warning, not the fit", {
  path <- file.path(withr::local_tempdir(), "gone", "log.txt")
  results <- list(list(lines = c("a", "b")))
  expect_warning(ok <- asNamespace("mcar")$.write_log(path, results),
                 "could not write `log_file`.*the fit is complete")
  expect_false(ok)
  good <- withr::local_tempfile()
  expect_true(asNamespace("mcar")$.write_log(good, rep(results, 2)))
  expect_identical(readLines(good), c("a", "b", "a", "b"))
})

test_that("parameters of data simulated from the model are recovered", {
  skip_on_cran()
  # A 10 x 10 rook grid (not the bundled map), two outcomes, an intercept
  # and one covariate, fields drawn exactly from the MCAR prior.
  W <- grid_adjacency(10)
  Lambda <- matrix(c(0.6, 0, 0.3, 0.4), 2)
  A <- association_by_hand(c(0.9, 0.5), 0.4)
  beta <- rbind(c(0.1, -0.2), c(0.3, -0.2))
  truth <- c(beta, Lambda[1, 1], Lambda[1, 2], Lambda[2, 2], A[1, 1],
             A[1, 2], A[2, 2])
  inside <- logical()
  rr_inside <- logical()
  for (rep in 1:2) {
    x <- local({
      local_test_seed(rep)
      round(rnorm(100), 3)
    })
    sim <- simulate_mcar(W, beta, Lambda, A, cbind(1, x), seed = 10 + rep)
    fit <- fit_quietly(sim$Y, sim$E, W, covariates = cbind(x = x),
                       n_sample = 8000, chains = 2, seed = rep)
    arr <- posterior::as_draws_array(fit, variables = c("beta", "Lambda", "A"))
    expect_identical(posterior::variables(arr),
                     c("beta[(Intercept),outcome1]", "beta[x,outcome1]",
                       "beta[(Intercept),outcome2]", "beta[x,outcome2]",
                       "Lambda[1,1]", "Lambda[1,2]", "Lambda[2,2]",
                       "A[1,1]", "A[1,2]", "A[2,2]"))
    s <- posterior::summarise_draws(arr, ~ quantile(.x, c(0.05, 0.95)),
                                    "rhat")
    expect_true(all(s$rhat < 1.1))
    inside <- c(inside, s$`5%` <= truth & truth <= s$`95%`)
    rr <- relative_risk(fit, level = 0.9)
    true_rr <- exp(as.vector(sim$mu))
    rr_inside <- c(rr_inside, rr$lower <= true_rr & true_rr <= rr$upper)
  }
  # 20 parameters at a nominal 90%: 14 or fewer inside has probability
  # below 0.5%.  The risks are many more cells, but correlated.
  expect_gte(mean(inside), 0.7)
  expect_gte(mean(rr_inside), 0.8)
})

# The fixed-size .C entry on the bundled data, in a temporary working
# directory holding its neighbour files.  Returns the kept draws of the
# intercepts, loadings and association matrix, one matrix per chain.
entry_chains <- function(seeds, burnin, kept, scales) {
  ext <- system.file("extdata", package = "mcar")
  dir <- withr::local_tempdir("mcar-entry-")
  file.copy(file.path(ext, c("neighbor1.txt", "neighbor2.txt")), dir)
  withr::local_dir(dir)
  d <- utils::read.csv(file.path(ext, "simulated.csv"))
  eig <- scan(file.path(ext, "eigen.txt"), quiet = TRUE)
  z <- function(n) double(n)
  lapply(seeds, function(seed) {
    args <- list(z(3 * kept), z(87 * kept), z(87 * kept), z(87 * kept),
      z(6 * kept), z(6 * kept),
      as.double(d$Y1), d$N1, as.double(d$Y2), d$N2, as.double(d$Y3), d$N3,
      c(0, 0, 0), z(87), z(87), z(87), c(0.5, 0, 0, 0.5, 0, 0.5),
      c(0.5, 0.5, 0.5), c(0, 0, 0), eig, as.integer(burnin),
      as.integer(burnin + kept),
      integer(3), integer(87), integer(87), integer(87), integer(2),
      integer(2), rep(scales$beta, 3), rep(scales$phi, 87),
      rep(scales$phi, 87), rep(scales$phi, 87), rep(scales$lambda_diag, 3),
      rep(scales$lambda_off, 3), rep(scales$eta, 3), rep(scales$theta, 3),
      z(3), z(87), z(87), z(87), z(6), z(6), z(87), z(87), z(87), 0, 0)
    local_test_seed(seed)
    # Three lines a sweep on the console: sent to the null device.
    sink(nullfile())
    res <- tryCatch(do.call(.C, c(list("mcar"), args, PACKAGE = "mcar")),
                    finally = sink())
    cbind(matrix(res[[1]], kept), matrix(res[[6]], kept),
          matrix(res[[5]], kept))
  })
}

test_that("the engine and the fixed-size entry agree on the bundled data", {
  skip_on_cran()
  sim <- minnesota_simulated()
  fit <- fit_quietly(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"),
                     minnesota_adjacency(), data = sim, n_sample = 12000,
                     burnin = 2000, chains = 2, seed = 1)
  # The entry's lamda1..6 and alpha1..6 are the upper triangles row by row,
  # its gbeta the intercepts.
  vars <- c(sprintf("beta[1,%d]", 1:3),
            sprintf("Lambda[%d,%d]", c(1, 1, 1, 2, 2, 3), c(1, 2, 3, 2, 3, 3)),
            sprintf("A[%d,%d]", c(1, 1, 1, 2, 2, 3), c(1, 2, 3, 2, 3, 3)))
  eng <- posterior::as_draws_array(fit, variables = vars)
  expect_identical(posterior::variables(eng),
                   c(sprintf("beta[(Intercept),Y%d]", 1:3), vars[-(1:3)]))
  # The entry's random walks mix slowly: long chains, with proposal scales
  # that give acceptance rates of 0.3 to 0.5.
  ent <- entry_chains(c(101, 102), burnin = 5000, kept = 30000,
                      scales = list(beta = 0.05, phi = 0.6, lambda_diag = 0.1,
                                    lambda_off = 0.04, eta = 0.6, theta = 0.6))
  for (j in seq_along(vars)) {
    e <- matrix(eng[, , j], ncol = 2)
    o <- sapply(ent, function(ch) ch[, j])
    se <- sqrt(posterior::mcse_mean(e)^2 + posterior::mcse_mean(o)^2)
    expect_lt(abs(mean(e) - mean(o)), 4 * se, label = vars[j])
  }
})

test_that("a map with islands and two components recovers its truth", {
  skip_on_cran()
  # A 9 x 9 rook grid cut into two parts (columns 1-3 and 4-9) with three
  # islands; the islands' fields are N(0, I) a priori.
  W <- grid_adjacency(9)
  left <- seq_len(27)
  W[left, -left] <- 0; W[-left, left] <- 0
  isl <- c(5L, 41L, 77L)
  W[isl, ] <- 0; W[, isl] <- 0
  Lambda <- matrix(c(0.6, 0, 0.3, 0.4), 2)
  A <- association_by_hand(c(0.9, 0.5), 0.4)
  beta <- rbind(c(0.1, -0.2), c(0.3, -0.2))
  truth <- c(beta, Lambda[1, 1], Lambda[1, 2], Lambda[2, 2])
  inside <- logical()
  rr_inside <- logical()
  for (rep in 1:2) {
    x <- local({
      local_test_seed(20 + rep)
      round(rnorm(81), 3)
    })
    sim <- simulate_mcar(W, beta, Lambda, A, cbind(1, x), seed = 30 + rep)
    expect_message(
      fit <- suppressWarnings(mcar_fit(sim$Y, sim$E, W,
                                       covariates = cbind(x = x),
                                       n_sample = 6000, chains = 2,
                                       seed = rep, progress = FALSE)),
      "2 connected components of linked units; 3 units without neighbours")
    arr <- posterior::as_draws_array(fit, variables = c("beta", "Lambda"))
    s <- posterior::summarise_draws(arr, ~ quantile(.x, c(0.05, 0.95)),
                                    "rhat")
    expect_true(all(s$rhat < 1.1))
    inside <- c(inside, s$`5%` <= truth & truth <= s$`95%`)
    rr <- suppressMessages(relative_risk(fit, level = 0.9))
    true_rr <- exp(as.vector(sim$mu))
    rr_inside <- c(rr_inside, rr$lower <= true_rr & true_rr <= rr$upper)
    # The islands' risks move with their own fields: not pulled to the
    # intercept alone.
    expect_true(all(is.finite(rr$mean[c(isl, 81L + isl)])))
  }
  # 14 parameters at a nominal 90%: 9 or fewer inside has probability
  # below 1%.
  expect_gte(mean(inside), 0.7)
  expect_gte(mean(rr_inside), 0.8)
})

test_that("a memory budget thins the stored unit draws, not the summaries", {
  d <- toy_data()
  run <- function(keep) {
    mcar_fit(d$Y, d$E, d$W, covariates = cbind(x = d$x), n_sample = 500,
             burnin = 200, chains = 2, seed = 4, keep = keep,
             progress = FALSE)
  }
  full <- suppressWarnings(run(Inf))
  expect_message(part <- suppressWarnings(run(40)),
                 "Storing 37 of the 300 kept draws per chain .* every 8th")
  # The same chains: every scalar draw, the state and the summaries.
  expect_identical(part$draws$chain1$beta, full$draws$chain1$beta)
  expect_identical(part$last_state, full$last_state)
  expect_identical(part$summaries, full$summaries)
  expect_identical(part$dic, full$dic)
  expect_identical(part$unit_rows, 8L * (1:37))
  expect_identical(part$draws$chain2$phi,
                   full$draws$chain2$phi[8L * (1:37), , drop = FALSE])
  # Means, sds and P(RR > 1) from every draw equal those of the full draws;
  # intervals come from the stored ones and say so.
  rf <- relative_risk(full)
  expect_message(rp <- relative_risk(part), "74 stored draws.*of 600 kept")
  expect_equal(rp$mean, rf$mean, tolerance = 1e-12)
  expect_equal(rp$sd, rf$sd, tolerance = 1e-10)
  expect_equal(rp$prob_gt, rf$prob_gt)
  rr <- posterior::as_draws_matrix(full, variables = "rr")
  expect_equal(rf$mean, unname(colMeans(rr)), tolerance = 1e-12)
  expect_equal(rf$sd, unname(apply(rr, 2L, sd)), tolerance = 1e-10)
  expect_equal(rf$prob_gt, unname(colMeans(rr > 1)))
  # WAIC from the running sums equals loo's from the full draws.
  skip_if_not_installed("loo")
  w_full <- suppressWarnings(loo::waic(full))
  w_ref <- suppressWarnings(loo::waic(
    posterior::as_draws_matrix(full, variables = "log_lik")))
  expect_equal(w_full$estimates, w_ref$estimates, tolerance = 1e-8)
  expect_equal(suppressWarnings(loo::waic(part))$estimates, w_ref$estimates,
               tolerance = 1e-8)
  # Draws of the fields come with the scalars of the same sweeps.
  a <- posterior::as_draws_array(part, variables = c("beta[1,1]", "phi[1,1]"))
  expect_identical(dim(a), c(37L, 2L, 2L))
  expect_identical(as.vector(a[, 1, 1]),
                   full$draws$chain1$beta[8L * (1:37), "beta[1,1]"])
  expect_input_error(run(0), "keep", "whole number")
})

test_that("eta_upper bounds the eigenvalues, and a posterior piling against it warns", {
  # Fields drawn with eta = 0.98 on a 12 x 12 grid, large expected counts:
  # the posterior of eta presses against an upper bound of 0.3.
  W <- grid_adjacency(12)
  sim <- simulate_mcar(W, beta = matrix(0.1, 1, 1), Lambda = matrix(0.8),
                       A = matrix(0.98), X = matrix(1, 144, 1),
                       E_range = c(50, 100), seed = 7)
  expect_warning(
    fit <- suppressMessages(mcar_fit(sim$Y, sim$E, W, n_sample = 1000,
                                     chains = 1, seed = 2, progress = FALSE,
                                     prior = mcar_prior(eta_upper = 0.3))),
    "eigenvalue of the association matrix A presses against its upper bound 0.3")
  expect_identical(fit$map$eta_hi, 0.3)
  expect_true(all(fit$draws$chain1$eta < 0.3))
  expect_input_error(
    mcar_fit(sim$Y, sim$E, W, n_sample = 100, chains = 1, progress = FALSE,
             prior = mcar_prior(eta_upper = 0.3), init = list(eta = 0.5)),
    "init$eta", "must lie in \\(-0.99, 0.3\\)")
  # The criterion: over a quarter of the draws within 1% of the width, and
  # more there than in the next 1%: the density rises into the bound.  The
  # draws hold the eigenvalues in decreasing order.
  fake <- list(map = list(eta_lo = -1, eta_hi = 0.99),
               draws = list(list(eta = cbind(c(rep(0.985, 30), rep(0.5, 70)),
                                             c(rep(-0.99, 20), rep(0, 80))))))
  expect_warning(msgs <- asNamespace("mcar")$.warn_bounds(fake),
                 "The largest eigenvalue .* presses against its upper bound")
  expect_length(msgs, 1L)
  expect_match(msgs, "Raising mcar_prior\\(eta_upper = \\)")
  fake$draws[[1]]$eta[1:30, 2] <- -0.995
  expect_warning(msgs <- asNamespace("mcar")$.warn_bounds(fake),
                 "The smallest eigenvalue .* presses against its lower bound")
  expect_length(msgs, 2L)
  expect_match(msgs[2], "no setting moves that bound")
  # Mass near the bound from a hump below it: the density falls towards the
  # bound, which is not where the posterior wants to go.
  hump <- list(map = list(eta_lo = -1, eta_hi = 0.99),
               draws = list(list(eta = cbind(c(rep(0.982, 26), rep(0.965, 40),
                                               rep(0.9, 34)),
                                             rep(0, 100)))))
  expect_no_warning(asNamespace("mcar")$.warn_bounds(hump))
  # Already at the highest bound there is nothing to raise.
  top <- fake
  top$map$eta_hi <- 0.999
  top$draws[[1]]$eta[1:30, 1] <- 0.9985
  expect_warning(msgs <- asNamespace("mcar")$.warn_bounds(top),
                 "as smooth as the model allows")
})

test_that("the eigenvalues are drawn in decreasing order", {
  fit <- toy_fit()
  for (d in fit$draws) {
    expect_true(all(d$eta[, 1] >= d$eta[, 2]))
  }
})

test_that("a smooth covariate on 2,000 units: intervals cover at their nominal rate", {
  skip_on_cran()
  # A 40 x 50 rook grid, two outcomes, a covariate varying smoothly over the
  # map, fields drawn exactly from the MCAR prior by a sparse Cholesky.
  W <- Matrix::Matrix(grid_adjacency(40, 50), sparse = TRUE)
  n <- nrow(W); K <- 2L
  cx <- (seq_len(n) - 1L) %/% 40L; cy <- (seq_len(n) - 1L) %% 40L
  x <- sin(cx / 10) + cos(cy / 12)
  Lambda <- matrix(c(0.5, 0, 0.2, 0.4), 2)
  beta <- rbind(c(0.1, -0.1), c(0.3, -0.2))
  A <- association_by_hand(c(0.95, 0.6), 0.3)
  Q <- kronecker(diag(K), Matrix::Diagonal(x = Matrix::rowSums(W))) -
    kronecker(A, W)
  L <- Matrix::Cholesky(methods::as(Matrix::forceSymmetric(Q), "CsparseMatrix"),
                        perm = TRUE, LDL = FALSE)
  truth <- c(beta, Lambda[1, 1], Lambda[1, 2], Lambda[2, 2])
  inside <- logical(); rr_cover <- numeric()
  for (rep in 1:2) {
    local_test_seed(100 + rep)
    z <- rnorm(n * K)
    phi <- matrix(as.vector(Matrix::solve(L, Matrix::solve(L, z, system = "Lt"),
                                          system = "Pt")), n, K)
    mu <- cbind(1, x) %*% beta + phi %*% t(Lambda)
    E <- matrix(runif(n * K, 5, 20), n)
    Y <- matrix(rpois(n * K, E * exp(mu)), n)
    fit <- suppressWarnings(mcar_fit(Y, E, W, covariates = cbind(x = x),
                                     n_sample = 4000, chains = 2, seed = rep,
                                     progress = FALSE))
    s <- posterior::summarise_draws(
      posterior::as_draws_array(fit, variables = c("beta", "Lambda")),
      ~ quantile(.x, c(0.05, 0.95)))
    inside <- c(inside, s$`5%` <= truth & truth <= s$`95%`)
    rr <- relative_risk(fit, level = 0.9)
    true_rr <- exp(as.vector(mu))
    rr_cover <- c(rr_cover, mean(rr$lower <= true_rr & true_rr <= rr$upper))
  }
  # 4,000 correlated cells a data set at a nominal 90%; 14 parameters, of
  # which 9 or fewer inside has probability below 1%.
  expect_true(all(rr_cover > 0.85 & rr_cover < 0.95))
  expect_gte(sum(inside), 10L)
})
