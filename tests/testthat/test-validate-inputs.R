# Every bad input is refused before anything runs, with an error that names
# the argument.

base_args <- function() {
  d <- fit_data()
  list(counts = d$Y, expected = d$N, W = d$W, n_sample = 20, burnin = 10,
       progress = FALSE)
}

with_arg <- function(args, ...) {
  mods <- list(...)
  for (n in names(mods)) args[n] <- list(mods[[n]])
  args
}

expect_input_error <- function(args, arg, pattern = NULL) {
  err <- tryCatch(do.call(mcar_fit, args), error = function(e) e)
  expect_s3_class(err, "mcar_input_error")
  expect_identical(err$argument, arg)
  expect_true(startsWith(conditionMessage(err), paste0("`", arg, "` ")),
              label = conditionMessage(err))
  if (!is.null(pattern)) expect_match(conditionMessage(err), pattern)
  invisible(err)
}

test_that("bad counts are refused with the reason", {
  a <- base_args()
  Y <- a$counts
  expect_input_error(with_arg(a, counts = as.vector(Y)), "counts", "87 x 3")
  expect_input_error(with_arg(a, counts = Y[-1, ]), "counts", "86 x 3")
  expect_input_error(with_arg(a, counts = cbind(Y, 1)), "counts", "87 x 4")
  expect_input_error(with_arg(a, counts = replace(Y, 5, NA)), "counts",
                     "missing")
  expect_input_error(with_arg(a, counts = replace(Y, 5, Inf)), "counts",
                     "infinite")
  expect_input_error(with_arg(a, counts = replace(Y, 5, -1)), "counts",
                     "non-negative")
  expect_input_error(with_arg(a, counts = replace(Y, 5, 2.5)), "counts",
                     "whole")
  Y0 <- Y
  Y0[, 2] <- 0
  expect_input_error(with_arg(a, counts = Y0), "counts", "no events")
  df <- as.data.frame(Y)
  df$Y2 <- as.character(df$Y2)
  expect_input_error(with_arg(a, counts = df), "counts", "non-numeric")
  expect_input_error(with_arg(a, counts = matrix("1", 87, 3)), "counts",
                     "numeric")
  expect_input_error(with_arg(a, counts = c("Y1", "Y2", "Y3")), "counts",
                     "no `data`")
  expect_input_error(with_arg(a, counts = c("Y1", "Y2", "Y9"),
                              data = fit_data()$sim), "counts", "Y9")
  expect_input_error(with_arg(a, counts = c("Y1", "Y2"),
                              data = fit_data()$sim), "counts", "3 columns")
})

test_that("bad expected counts are refused with the reason", {
  a <- base_args()
  N <- a$expected
  expect_input_error(with_arg(a, expected = N[, 1:2]), "expected", "87 x 2")
  expect_input_error(with_arg(a, expected = replace(N, 7, NA)), "expected",
                     "missing")
  expect_input_error(with_arg(a, expected = replace(N, 7, Inf)), "expected",
                     "infinite")
  expect_input_error(with_arg(a, expected = replace(N, 7, -0.5)), "expected",
                     "non-negative")
  expect_input_error(with_arg(a, expected = replace(N, 7, 0)), "expected",
                     "positive count")
  # A zero expected count is fine where nothing was observed.
  Y <- a$counts
  Y[7] <- 0
  N[7] <- 0
  expect_s3_class(do.call(mcar_fit, with_arg(a, counts = Y, expected = N)),
                  "mcar_fit")
})

test_that("bad maps are refused with the reason", {
  a <- base_args()
  W <- unname(a$W)
  expect_input_error(with_arg(a, W = W[, -1]), "W", "square")
  expect_input_error(with_arg(a, W = W[-1, -1]), "W", "87 x 87")
  asym <- W
  asym[1, 2] <- 1 - asym[1, 2]
  expect_input_error(with_arg(a, W = asym), "W", "symmetric")
  neg <- W
  neg[2, 1] <- neg[1, 2] <- -1
  expect_input_error(with_arg(a, W = neg), "W", "negative")
  na <- W
  na[3, 4] <- na[4, 3] <- NA
  expect_input_error(with_arg(a, W = na), "W", "missing")
  self <- W
  self[5, 5] <- 1
  expect_input_error(with_arg(a, W = self), "W", "diagonal")
  lonely <- W
  lonely[10, ] <- lonely[, 10] <- 0
  expect_input_error(with_arg(a, W = lonely), "W",
                     "unit\\(s\\) 10 without neighbours")
  expect_input_error(with_arg(a, W = "adjacency"), "W", "adjacency matrix")
  expect_input_error(with_arg(a, W = NULL), "W")
  nb <- structure(lapply(1:86, function(i) 1L), class = "nb")
  expect_input_error(with_arg(a, W = nb), "W", "87 areal units")
})

test_that("an spdep neighbour list is taken as the adjacency it describes", {
  a <- base_args()
  W <- unname(a$W)
  nb <- structure(lapply(seq_len(87), function(i) {
    j <- which(W[i, ] > 0)
    if (length(j)) as.integer(j) else 0L
  }), class = "nb")
  fit_nb <- do.call(mcar_fit, with_arg(a, W = nb, seed = 2))
  fit_w <- do.call(mcar_fit, with_arg(a, W = W, seed = 2))
  expect_identical(fit_nb$samples, fit_w$samples)
  # ... and an nb list that leaves a unit alone is refused like the matrix.
  nb[[3]] <- 0L
  nb[-3] <- lapply(nb[-3], function(j) {
    j <- setdiff(j, 3L)
    if (length(j)) j else 0L
  })
  expect_input_error(with_arg(a, W = nb), "W", "without neighbours")
})

test_that("bad run sizes are refused with the reason", {
  a <- base_args()
  expect_input_error(with_arg(a, burnin = 20), "burnin", "smaller")
  expect_input_error(with_arg(a, burnin = 30), "burnin", "smaller")
  expect_input_error(with_arg(a, burnin = -1), "burnin", "at least 0")
  expect_input_error(with_arg(a, n_sample = 20.5), "n_sample", "whole")
  expect_input_error(with_arg(a, n_sample = NA), "n_sample")
  expect_input_error(with_arg(a, n_sample = "100"), "n_sample")
  expect_input_error(with_arg(a, n_sample = 3e9), "n_sample", "at most")
  # 87 x the stored sweeps must fit the sampler's int positions.
  expect_input_error(with_arg(a, n_sample = 25e6, burnin = 0), "n_sample",
                     "2147483647")
  expect_input_error(with_arg(a, thin = 0), "thin")
  expect_input_error(with_arg(a, thin = 11), "thin", "no draw")
  expect_input_error(with_arg(a, chains = 0), "chains")
  expect_input_error(with_arg(a, chains = 1.5), "chains")
  expect_input_error(with_arg(a, seed = "a"), "seed")
  expect_input_error(with_arg(a, seed = NA_real_), "seed")
  expect_input_error(with_arg(a, seed = 1.5), "seed")
  expect_input_error(with_arg(a, tune = NA), "tune")
  expect_input_error(with_arg(a, verbose = "yes"), "verbose")
  expect_input_error(with_arg(a, progress = 1), "progress")
  expect_input_error(with_arg(a, data = list(1)), "data")
  expect_input_error(with_arg(a, units = letters), "units")
  expect_input_error(with_arg(a, units = rep("a", 87)), "units", "unique")
  expect_input_error(
    with_arg(a, log_file = file.path(tempfile(), "no-such-dir", "log.txt")),
    "log_file", "does not exist")
  expect_input_error(with_arg(a, log_file = tempdir()), "log_file",
                     "directory")
})

test_that("bad starting values are refused with the reason", {
  a <- base_args()
  bad <- function(init, arg, pattern = NULL) {
    expect_input_error(with_arg(a, init = init), arg, pattern)
  }
  bad(list(lamda = c(0.5, 0, 0, 0, 0, 0.5)), "init$lamda", "positive diagonal")
  bad(list(lamda = c(-0.5, 0, 0, 0.5, 0, 0.5)), "init$lamda",
      "positive diagonal")
  L <- diag(c(0.5, 0.4, 0.3))
  bad(list(lamda = replace(L, 5, -1)), "init$lamda", "positive diagonal")
  bad(list(lamda = replace(L, 2, 0.1)), "init$lamda", "upper triangular")
  bad(list(lamda = c(0.5, 0.5)), "init$lamda", "length 6")
  bad(list(eta = c(0.5, 0.5, 0.99)), "init$eta", "\\(-1.19, 0.99\\)")
  bad(list(eta = c(-1.19, 0.5, 0.5)), "init$eta", "\\(-1.19, 0.99\\)")
  bad(list(eta = c(0.5, NA, 0.5)), "init$eta", "finite")
  bad(list(theta = c(0, 1, 0)), "init$theta", "\\(-1, 1\\)")
  bad(list(theta = c(-1.2, 0, 0)), "init$theta", "\\(-1, 1\\)")
  bad(list(gbeta = 1:2), "init$gbeta", "length 3")
  bad(list(phi = matrix(0, 87, 2)), "init$phi", "87 x 3")
  bad(list(phi = matrix(NaN, 87, 3)), "init$phi", "finite")
  bad(list(beta = c(0, 0, 0)), "init", "unknown element")
  bad(list(list(eta = c(0.5, 0.4, 0.3)), list(eta = c(2, 0, 0))),
      "init", "2 per-chain lists for 1 chain")
  bad(function(k) list(theta = c(k, 0, 0)), "init(1)$theta")
  a$chains <- 2
  bad(list(list(eta = c(0.5, 0.4, 0.3)), list(eta = c(2, 0, 0))),
      "init[[2]]$eta")
})

test_that("starting eigenvalues must keep the prior proper on the given map", {
  a <- with_arg(base_args(), W = path_adjacency())
  # The path is bipartite: its smallest eigenvalue is -1, so eta = -1.1 is
  # inside (-1.19, 0.99) but makes 1 - eta * lambda negative.
  expect_input_error(with_arg(a, init = list(eta = c(-1.1, 0.2, 0.3))),
                     "init$eta", "1 - eta\\[1\\] \\* lambda")
  fit <- do.call(mcar_fit, with_arg(a, init = list(eta = c(-0.9, 0.2, 0.3))))
  expect_s3_class(fit, "mcar_fit")
  expect_equal(min(fit$eigen), -1, tolerance = 1e-12)
})

test_that("bad proposal scales are refused with the reason", {
  a <- base_args()
  bad <- function(scales, arg, pattern = NULL) {
    expect_input_error(with_arg(a, scales = scales), arg, pattern)
  }
  bad(list(gbeta = c(0.1, 0, 0.1)), "scales$gbeta", "positive")
  bad(list(phi = -1), "scales$phi", "positive")
  bad(list(phi = matrix(0.2, 87, 2)), "scales$phi", "87 x 3")
  bad(list(eta = c(0.1, 0.2)), "scales$eta", "3 numbers")
  bad(list(theta = NA_real_), "scales$theta", "positive")
  bad(list(lamda = 0.1), "scales", "unknown element")
  bad("big", "scales")
})

test_that("a refused call writes nothing and leaves the session as it was", {
  a <- base_args()
  log <- tempfile(fileext = ".log")
  calls <- list(
    with_arg(a, counts = replace(a$counts, 1, -1), log_file = log),
    with_arg(a, W = a$W[-1, -1], log_file = log),
    with_arg(a, init = list(eta = c(2, 0, 0)), log_file = log),
    with_arg(a, scales = list(phi = 0), log_file = log),
    with_arg(a, burnin = 50, log_file = log))
  set.seed(99)
  before <- session_state()
  files <- file_snapshot()
  for (args in calls) {
    expect_error(do.call(mcar_fit, args), class = "mcar_input_error")
  }
  expect_identical(session_state(), before)
  expect_identical(file_snapshot(), files)
  expect_false(file.exists(log))
})

test_that("spdep neighbour lists and weights become the adjacency matrix", {
  skip_if_not_installed("spdep")
  W <- minnesota_adjacency()
  nb <- spdep::mat2listw(unname(W), style = "B")$neighbours
  expect_equal(unname(mcar:::.adjacency_matrix(nb)), unname(W))
  lw <- spdep::nb2listw(nb, style = "W")
  rw <- mcar:::.adjacency_matrix(lw)
  expect_equal(unname(rowSums(rw)), rep(1, 87))
  expect_equal(unname(rw > 0), unname(W > 0))
  bad <- nb
  bad[[3]] <- c(1L, 99L)
  expect_input_error(with_arg(base_args(), W = bad), "W",
                     "invalid neighbour indices for unit 3")
})
