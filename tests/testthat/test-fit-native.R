# How the R layer drives the compiled sampler: the map it hands over, the
# association matrix convention, and a chain run in pieces continuing exactly
# as one call.

test_that("the map handed to the sampler is the bundled one", {
  ns <- asNamespace("mcar")
  map <- ns$.check_map(minnesota_adjacency())
  ext <- function(f) system.file("extdata", f, package = "mcar")
  expect_equal(map$eigen, scan(ext("eigen.txt"), quiet = TRUE),
               tolerance = 1e-12)
  dir <- withr::local_tempdir()
  ns$.write_neighbour_files(dir, map$D, map$C)
  for (f in c("neighbor1.txt", "neighbor2.txt")) {
    expect_identical(scan(file.path(dir, f), quiet = TRUE),
                     scan(ext(f), quiet = TRUE))
  }
})

test_that("the association matrix follows the sampler's convention", {
  ns <- asNamespace("mcar")
  # With tiny eigenvalue and angle steps the first stored alpha is the
  # starting association matrix, whatever is accepted.
  task <- chain_task()
  task$init$eta <- c(0.8, -0.3, 0.45)
  task$init$theta <- c(0.3, -0.6, 0.2)
  task$scales$eta <- task$scales$theta <- rep(1e-13, 3)
  run <- single_call(task, 0L, 1L)
  expect_equal(run$alpha[1, ],
               ns$.association(task$init$eta, task$init$theta),
               tolerance = 1e-10)
  # ... and the truth file agrees with the same convention.
  truth <- minnesota_truth()
  expect_equal(ns$.association(truth[paste0("eta", 1:3)],
                               truth[paste0("theta", 1:3)]),
               unname(truth[paste0("alpha", 1:6)]), tolerance = 1e-12)
})

test_that("eigenvalues and angles are recovered across every kind of move", {
  ns <- asNamespace("mcar")
  set.seed(20)
  scales <- list(eta = rep(0.3, 3), theta = rep(0.3, 3))
  step <- function(x, lo, hi, s) {
    l <- log((x - lo) / (hi - x)) + s * rnorm(3)
    (hi * exp(l) + lo) / (exp(l) + 1)
  }
  for (i in 1:200) {
    rep <- list(eta = runif(3, -1.1, 0.95), theta = runif(3, -0.95, 0.95))
    kind <- i %% 3
    new <- rep
    if (kind != 1) new$eta <- step(rep$eta, -1.19, 0.99, 0.3)
    if (kind != 2) new$theta <- step(rep$theta, -1, 1, 0.3)
    got <- ns$.step_association(ns$.association(new$eta, new$theta), rep,
                                scales)
    if (kind == 0) {
      # Both moved: the most probable representation is the true one
      # except in rare cases; it always gives the same matrix.
      expect_equal(ns$.association(got$eta, got$theta),
                   ns$.association(new$eta, new$theta), tolerance = 1e-12)
    } else {
      expect_equal(got, new, tolerance = 1e-10)
    }
  }
})

test_that("a chain run in pieces continues exactly as one call", {
  task <- chain_task(n_sample = 1500, burnin = 300, seed = 5)
  task$init$eta <- c(0.7, 0.3, -0.2)
  pieces <- asNamespace("mcar")$.run_chain(task)
  one <- single_call(task, 300L, 1500L)
  expect_identical(pieces$draws$gbeta, one$gbeta)
  expect_identical(pieces$draws$lamda, one$lamda)
  expect_identical(pieces$draws$phi, one$phi)
  # eta and theta, which the sampler does not return, are carried from piece
  # to piece exactly.
  expect_identical(pieces$draws$alpha, one$alpha)
  expect_equal(lapply(pieces$acceptance, function(x) x * 1200),
               lapply(one$counts, function(x) x * 1), tolerance = 1e-12)
})

test_that("deviance, DIC and relative risks match the sampler's own", {
  ns <- asNamespace("mcar")
  task <- chain_task(n_sample = 400, burnin = 100)
  one <- single_call(task, 100L, 400L)
  lp <- ns$.linear_predictor(one)
  dev <- ns$.deviance_draws(lp, task$Y, task$N)
  expect_equal(mean(dev), one$native$Dbar, tolerance = 1e-12)
  rr <- apply(exp(lp), c(2, 3), mean)
  expect_equal(rr, one$native$p_m, tolerance = 1e-12)
  expect_equal(ns$.deviance_at(rr, task$Y, task$N), one$native$Dtheta,
               tolerance = 1e-12)
  # The fit reports the same quantities for the same chain.
  d <- fit_data()
  fit <- mcar_fit(d$Y, d$N, d$W, n_sample = 400, burnin = 100, seed = 3,
                  tune = FALSE, progress = FALSE)
  one_fit <- single_call(chain_task(400, 100, seed = 3), 100L, 400L)
  expect_equal(unname(fit$dic[c("Dbar", "Dtheta")]),
               c(one_fit$native$Dbar, one_fit$native$Dtheta),
               tolerance = 1e-10)
  expect_equal(unname(fit$dic["pD"]),
               one_fit$native$Dbar - one_fit$native$Dtheta, tolerance = 1e-8)
  expect_equal(unname(fitted(fit)), one_fit$native$p_m, tolerance = 1e-12)
})

test_that("kept draws are every thin-th stored sweep", {
  task <- chain_task(n_sample = 250, burnin = 50, thin = 7, seed = 8)
  task$init$eta <- c(0.7, 0.3, -0.2)
  pieces <- asNamespace("mcar")$.run_chain(task)
  one <- single_call(task, 50L, 250L)
  keep <- seq(7, 200, by = 7)
  expect_identical(pieces$draws$gbeta, one$gbeta[keep, ])
  expect_identical(pieces$draws$phi, one$phi[keep, , ])
})
