# Input checks: every bad argument is refused before anything runs, with an
# error of class "mcar_input_error" that names the argument; every accepted
# form of the data, the map and the covariates gives the fit it describes.

base_args <- function() {
  d <- toy_data()
  list(counts = d$Y, expected = d$E, W = d$W, n_sample = 20, burnin = 10,
       chains = 1, seed = 1, progress = FALSE)
}

with_arg <- function(args, ...) {
  mods <- list(...)
  for (n in names(mods)) args[n] <- list(mods[[n]])
  args
}

refuse <- function(args, arg, pattern = NULL) {
  expect_input_error(do.call(mcar_fit, args), arg, pattern)
}

tiny_fit <- function(args) do.call(fit_quietly, args[names(args) != "progress"])

test_that("bad counts are refused with the reason", {
  a <- base_args()
  Y <- a$counts
  refuse(with_arg(a, counts = replace(Y, 5, -1)), "counts",
         "non-negative; unit 5, outcome 1")
  refuse(with_arg(a, counts = replace(Y, 30, 2.5)), "counts",
         "whole numbers.*unit 5, outcome 2")
  refuse(with_arg(a, counts = replace(Y, 5, Inf)), "counts", "infinite")
  refuse(with_arg(a, counts = replace(Y, 5, NaN)), "counts", "NaN")
  refuse(with_arg(a, counts = cbind(Y[, 1], 0)), "counts",
         "no events at all for outcome\\(s\\) 2")
  refuse(with_arg(a, counts = Y[-1, ], expected = a$expected[-1, ]),
         "counts", "24 rows but `W` describes 25")
  refuse(with_arg(a, counts = "Y1"), "counts", "no `data`")
  df <- data.frame(Y1 = Y[, 1], Y2 = as.character(Y[, 2]))
  refuse(with_arg(a, counts = df), "counts", "non-numeric column\\(s\\): Y2")
  refuse(with_arg(a, counts = c("Y1", "Y9"), data = data.frame(Y1 = Y[, 1])),
         "counts", "not found in `data`: Y9")
  refuse(with_arg(a, counts = matrix("1", 25, 2)), "counts", "numeric")
  refuse(with_arg(a, counts = list(1, 2)), "counts", "matrix or data frame")
  refuse(with_arg(a, counts = NULL), "counts")
  refuse(a[names(a) != "counts"], "counts", "missing")
})

test_that("missing counts are allowed and all-missing outcomes are not", {
  a <- base_args()
  Y <- a$counts
  Y[c(2, 7, 40)] <- NA
  fit <- tiny_fit(with_arg(a, counts = Y))
  expect_identical(is.na(unname(fit$counts)), is.na(Y))
  Y[, 2] <- NA
  refuse(with_arg(a, counts = Y), "counts",
         "no observed count for outcome\\(s\\) 2: every count is missing")
})

test_that("bad expected counts are refused with the reason", {
  a <- base_args()
  E <- a$expected
  refuse(with_arg(a, expected = E[, 1]), "expected",
         "same shape as `counts` \\(25 x 2\\), not 25 x 1")
  refuse(with_arg(a, expected = E[-1, ]), "expected", "not 24 x 2")
  # Also when the rows are then matched by name.
  nm <- paste0("u", 1:25)
  refuse(with_arg(a, counts = `rownames<-`(a$counts, nm),
                  W = `dimnames<-`(a$W, list(nm, nm)), expected = E[-1, ]),
         "expected", "not 24 x 2")
  refuse(with_arg(a, expected = replace(E, 8, NA)), "expected",
         "missing values \\(first at unit 8, outcome 1\\)")
  refuse(with_arg(a, expected = replace(E, 8, -1)), "expected",
         "non-negative; unit 8")
  refuse(with_arg(a, expected = replace(E, 8, Inf)), "expected", "infinite")
  Y <- a$counts
  Y[8] <- 3
  refuse(with_arg(a, counts = Y, expected = replace(E, 8, 0)), "expected",
         "0 where `counts` is positive \\(unit 8, outcome 1\\)")
  # A zero expected count is fine where the count is 0 or missing, and an
  # expected count is needed where the count is missing.
  Y[8] <- 0
  Y[9] <- NA
  fit <- tiny_fit(with_arg(a, counts = Y, expected = replace(E, 8:9, 0)))
  expect_s3_class(fit, "mcar_fit")
  refuse(with_arg(a, counts = Y, expected = replace(E, 9, NA)), "expected",
         "also where the count is missing")
})

test_that("bad maps are refused with the reason", {
  a <- base_args()
  W <- a$W
  refuse(with_arg(a, W = W[, -1]), "W", "square matrix, not 25 x 24")
  refuse(with_arg(a, W = W[1:2, 1:2]), "W", "at least 3")
  asym <- W
  asym[1, 2] <- 2
  refuse(with_arg(a, W = asym), "W", "symmetric; W\\[2, 1\\] = 1 but W\\[1, 2\\] = 2")
  neg <- W
  neg[1, 2] <- neg[2, 1] <- -1
  refuse(with_arg(a, W = neg), "W", "negative entries; W\\[2, 1\\] is -1")
  self <- W
  self[4, 4] <- 1
  refuse(with_arg(a, W = self), "W", "zero diagonal.*unit 4 is not")
  na <- W
  na[1, 2] <- na[2, 1] <- NA
  refuse(with_arg(a, W = na), "W", "missing values")
  refuse(with_arg(a, W = "adjacency"), "W", "adjacency matrix")
  refuse(with_arg(a, W = NULL), "W", "not NULL")
  refuse(a[names(a) != "W"], "W", "missing")
})

test_that("dense, sparse and weighted maps give the fit they describe", {
  a <- base_args()
  a$chains <- 2
  dense <- tiny_fit(a)
  ij <- which(a$W > 0, arr.ind = TRUE)
  # A pattern matrix and a symmetric sparse matrix.
  pattern <- Matrix::sparseMatrix(i = ij[, 1], j = ij[, 2], dims = c(25, 25))
  expect_identical(tiny_fit(with_arg(a, W = pattern))$draws, dense$draws)
  symm <- Matrix::Matrix(a$W, sparse = TRUE)
  expect_identical(tiny_fit(with_arg(a, W = symm))$draws, dense$draws)
  # Weights enter the prior: another fit, the same dense or sparse.
  Ww <- a$W * (1 + outer(1:25, 1:25, "+") %% 3)
  wd <- tiny_fit(with_arg(a, W = Ww))
  expect_false(identical(wd$draws, dense$draws))
  expect_equal(wd$map$d, rowSums(Ww))
  expect_identical(tiny_fit(with_arg(a, W = Matrix::Matrix(Ww)))$draws,
                   wd$draws)
})

test_that("spdep neighbour lists and symmetric weights are maps", {
  skip_if_not_installed("spdep")
  a <- base_args()
  dense <- tiny_fit(a)
  nb <- spdep::cell2nb(5, 5)
  expect_identical(tiny_fit(with_arg(a, W = nb))$draws, dense$draws)
  expect_identical(tiny_fit(with_arg(a, W = spdep::nb2listw(nb, style = "B")))$draws,
                   dense$draws)
  Ww <- a$W * (1 + outer(1:25, 1:25, "+") %% 3)
  lw <- spdep::mat2listw(Ww, style = "B")
  expect_identical(tiny_fit(with_arg(a, W = lw))$draws,
                   tiny_fit(with_arg(a, W = Ww))$draws)
  # Row-standardised weights are not symmetric.
  refuse(with_arg(a, W = spdep::nb2listw(nb, style = "W")), "W", "symmetric")
  bad <- nb
  bad[[3]] <- c(2L, 99L)
  refuse(with_arg(a, W = bad), "W", "invalid neighbour indices for unit 3")
})

test_that("sf polygons are a map by shared boundaries and keep the geometry", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  nc <- sf::st_read(system.file("shape/nc.shp", package = "sf"), quiet = TRUE)
  local_test_seed(3)
  n <- nrow(nc)
  E <- matrix(runif(2 * n, 5, 20), n, 2)
  Y <- matrix(rpois(2 * n, E), n, 2)
  args <- list(Y, E, n_sample = 20, burnin = 10, chains = 1, seed = 2)
  expect_no_message(fit <- do.call(fit_quietly, c(list(W = nc), args)))
  queen <- spdep::poly2nb(nc)
  expect_identical(fit$draws,
                   do.call(fit_quietly, c(list(W = queen), args))$draws)
  expect_length(fit$geometry, n)
  expect_s3_class(fit$geometry, "sfc")
  # Rook neighbours: corners alone do not count.
  rook <- do.call(fit_quietly, c(list(W = nc, queen = FALSE), args))
  expect_equal(sum(rook$map$d), sum(spdep::card(spdep::poly2nb(nc, queen = FALSE))))
  expect_lt(sum(rook$map$d), sum(fit$map$d))
  refuse(c(list(counts = Y, expected = E, W = sf::st_centroid(sf::st_geometry(nc))),
           args[-(1:2)]), "W", "polygons")
})

test_that("covariates come as a matrix, a data frame or a formula", {
  a <- base_args()
  d <- toy_data()
  g <- factor(rep(c("a", "b", "c"), length.out = 25))
  df <- data.frame(x = d$x, g = g, z = round(sin(1:25), 3))
  m <- tiny_fit(with_arg(a, covariates = as.matrix(df[c("x", "z")])))
  expect_identical(unname(m$X), unname(cbind(1, d$x, df$z)))
  expect_identical(m$covariates, c("(Intercept)", "x", "z"))
  expect_identical(tiny_fit(with_arg(a, covariates = df[c("x", "z")]))$draws,
                   m$draws)
  # A single unnamed covariate.
  expect_identical(tiny_fit(with_arg(a, covariates = d$x))$covariates,
                   c("(Intercept)", "x1"))
  # A formula expands factors as model.matrix() does.
  f <- tiny_fit(with_arg(a, covariates = ~ x + g, data = df))
  mm <- stats::model.matrix(~ x + g, df)
  expect_identical(f$covariates, colnames(mm))
  expect_equal(unname(f$X), matrix(mm, nrow(mm)))
  expect_identical(dim(f$draws$chain1$beta), c(10L, 4L * 2L))
  # No intercept in the formula: one is added all the same.
  f0 <- tiny_fit(with_arg(a, covariates = ~ 0 + x, data = df))
  expect_identical(f0$covariates, c("(Intercept)", "x"))
})

test_that("bad covariates are refused with the reason", {
  a <- base_args()
  x <- toy_data()$x
  refuse(with_arg(a, covariates = cbind(a = x, b = 2 * x)), "covariates",
         "collinear.*: b")
  refuse(with_arg(a, covariates = cbind(one = rep(1, 25))), "covariates",
         "collinear.*: one")
  g <- factor(rep(c("a", "b"), length.out = 25))
  refuse(with_arg(a, covariates = ~ g + h,
                  data = data.frame(g = g, h = g == "b")),
         "covariates", "collinear")
  refuse(with_arg(a, covariates = replace(x, 4, NA)), "covariates",
         "missing or infinite values \\(unit\\(s\\) 4\\)")
  refuse(with_arg(a, covariates = x[-1]), "covariates", "24 rows for 25 units")
  refuse(with_arg(a, covariates = data.frame(g = g)), "covariates",
         "non-numeric column\\(s\\) g")
  refuse(with_arg(a, covariates = ~ x), "covariates", "no `data`")
  refuse(with_arg(a, covariates = y ~ x, data = data.frame(x = x, y = x)),
         "covariates", "one-sided")
  refuse(with_arg(a, covariates = ~ nothere, data = data.frame(x = x)),
         "covariates", "cannot be evaluated")
  refuse(with_arg(a, covariates = "x"), "covariates")
})

test_that("one to eight outcomes are fitted and nine are refused", {
  for (K in 1:8) {
    d <- toy_data(nr = 3, K = K)
    fit <- fit_quietly(d$Y, d$E, d$W, n_sample = 8, burnin = 4, chains = 1,
                       seed = K)
    dr <- fit$draws$chain1
    expect_equal(ncol(dr$Lambda), K * (K + 1) / 2)
    expect_equal(ncol(dr$theta), K * (K - 1) / 2)
    expect_equal(ncol(dr$phi), 9 * K)
    expect_true(all(is.finite(dr$deviance)))
  }
  refuse(with_arg(base_args(), counts = cbind(d$Y, d$Y[, 1]),
                  expected = cbind(d$E, d$E[, 1]), W = d$W),
         "counts", "1 to 8 columns.*not 9")
})

test_that("named units are matched by name, whatever the row order", {
  a <- base_args()
  a$chains <- 2
  nm <- paste0("u", 1:25)
  W <- `dimnames<-`(a$W, list(nm, nm))
  Y <- `rownames<-`(a$counts, nm)
  E <- `rownames<-`(a$expected, nm)
  X <- cbind(x = toy_data()$x)
  rownames(X) <- nm
  ref <- tiny_fit(with_arg(a, counts = Y, expected = E, W = W, covariates = X))
  expect_identical(ref$units, nm)
  local_test_seed(10)
  o1 <- sample(25); o2 <- sample(25); o3 <- sample(25)
  shuffled <- tiny_fit(with_arg(a, counts = Y[o1, ], expected = E[o2, ],
                                W = W, covariates = X[o3, , drop = FALSE]))
  expect_identical(shuffled$draws, ref$draws)
  expect_identical(shuffled$counts, ref$counts)
  # Counts, expected counts and covariates from the columns of a data frame
  # whose row names are the units.
  df <- data.frame(y1 = Y[, 1], y2 = Y[, 2], e1 = E[, 1], e2 = E[, 2],
                   x = X[, 1], row.names = nm)[o1, ]
  from_df <- tiny_fit(with_arg(a, counts = c("y1", "y2"),
                               expected = c("e1", "e2"), covariates = ~ x,
                               data = df, W = W))
  expect_identical(from_df$draws, ref$draws)
  # Named expected counts and covariates follow the map's names also when
  # the counts carry none.
  partly <- tiny_fit(with_arg(a, counts = unname(Y), expected = E[o2, ],
                              W = W, covariates = X[o3, , drop = FALSE]))
  expect_identical(partly$draws, ref$draws)
  # Without names on the map, rows are taken in their order.
  expect_identical(tiny_fit(with_arg(a, counts = Y, expected = E,
                                     W = unname(W), covariates = X))$draws,
                   ref$draws)
})

test_that("different unit names are refused, saying which", {
  a <- base_args()
  nm <- paste0("u", 1:25)
  W <- `dimnames<-`(a$W, list(nm, nm))
  Y <- `rownames<-`(a$counts, nm)
  E <- `rownames<-`(a$expected, nm)
  other <- replace(nm, c(2, 5), c("x2", "x5"))
  refuse(with_arg(a, counts = `rownames<-`(Y, other), expected = E, W = W),
         "counts", "missing: u2, u5; not on the map: x2, x5")
  refuse(with_arg(a, counts = Y, expected = `rownames<-`(E, other), W = W),
         "expected", "missing: u2, u5")
  X <- matrix(toy_data()$x, dimnames = list(other, "x"))
  refuse(with_arg(a, counts = Y, expected = E, W = W, covariates = X),
         "covariates", "not on the map: x2, x5")
  refuse(with_arg(a, units = nm[-1]), "units", "25 distinct")
  refuse(with_arg(a, units = rep("a", 25)), "units", "25 distinct")
  expect_identical(tiny_fit(with_arg(a, units = rev(nm)))$units, rev(nm))
})

test_that("bad run settings are refused, each naming its argument", {
  a <- base_args()
  refuse(with_arg(a, n_sample = 0), "n_sample", "at least 1")
  refuse(with_arg(a, n_sample = 20.5), "n_sample", "whole number")
  refuse(with_arg(a, n_sample = "20"), "n_sample", "single number")
  refuse(with_arg(a, n_sample = 3e9), "n_sample", "at most")
  refuse(with_arg(a, n_sample = 2e9, burnin = 0, thin = 1), "n_sample",
         "too many; raise `thin`")
  refuse(with_arg(a, burnin = 20), "burnin", "smaller than `n_sample`")
  refuse(with_arg(a, burnin = -1), "burnin", "at least 0")
  refuse(with_arg(a, thin = 0), "thin", "at least 1")
  refuse(with_arg(a, thin = 11), "thin", "no draw would be kept")
  refuse(with_arg(a, chains = 0), "chains")
  refuse(with_arg(a, chains = NA), "chains")
  refuse(with_arg(a, seed = "a"), "seed")
  refuse(with_arg(a, seed = 1.5), "seed")
  refuse(with_arg(a, seed = c(1, 2)), "seed")
  refuse(with_arg(a, tune = NA), "tune", "TRUE or FALSE")
  refuse(with_arg(a, progress = 1), "progress")
  refuse(with_arg(a, verbose = "yes"), "verbose")
  refuse(with_arg(a, data = list(1)), "data", "data frame")
  refuse(with_arg(a, map = "polygons"), "map", "sf")
  refuse(with_arg(a, log_file = c("a", "b")), "log_file", "single file path")
  refuse(with_arg(a, log_file = file.path(tempfile(), "log.txt")),
         "log_file", "does not exist")
  refuse(with_arg(a, log_file = tempdir()), "log_file", "is a directory")
})

test_that("bad priors are refused, each naming its argument", {
  a <- base_args()
  expect_input_error(mcar_prior(beta_sd = 0), "beta_sd")
  expect_input_error(mcar_prior(beta_sd = NA), "beta_sd")
  expect_input_error(mcar_prior(iw_df = -1), "iw_df")
  expect_input_error(mcar_prior(iw_df = c(3, 4)), "iw_df")
  expect_input_error(mcar_prior(iw_scale = 0), "iw_scale")
  expect_input_error(mcar_prior(iw_scale = NA), "iw_scale")
  refuse(with_arg(a, prior = list(beta_sd = 1)), "prior", "mcar_prior")
  refuse(with_arg(a, prior = mcar_prior(beta_sd = c(1, 2, 3))), "prior",
         "3 coefficient sd\\(s\\) for 1 coefficients")
  refuse(with_arg(a, prior = mcar_prior(iw_scale = diag(3))), "prior",
         "2 x 2")
  expect_input_error(mcar_prior(iw_scale = matrix(c(1, 2, 2, 1), 2)),
                     "iw_scale", "positive definite")
  # A per-coefficient sd, intercept first.
  p <- asNamespace("mcar")$.resolve_prior(mcar_prior(beta_sd = c(Inf, 2)), 3, 2)
  expect_identical(p$beta_prec, matrix(c(0, 0.25), 2, 3))
})

test_that("bad starting values and proposal scales are refused", {
  a <- base_args()
  init <- function(value, arg, pattern = NULL) {
    refuse(with_arg(a, init = value), arg, pattern)
  }
  init(list(Lambda = matrix(c(0.5, 0.1, 0, 0.5), 2)), "init$Lambda",
       "upper triangular")
  init(list(Lambda = diag(c(0.5, 0))), "init$Lambda", "positive diagonal")
  init(list(Lambda = diag(3)), "init$Lambda", "4 element")
  init(list(eta = c(0.5, 0.995)), "init$eta", "must lie in \\(-0.99, 0.99\\)")
  init(list(eta = c(0.5, -0.995)), "init$eta", "must lie in")
  init(list(theta = 1), "init$theta", "\\(-1, 1\\)")
  init(list(phi = matrix(NaN, 25, 2)), "init$phi", "finite")
  init(list(beta = 1:3), "init$beta", "2 element")
  init(list(gbeta = 1), "init", "unknown element\\(s\\) gbeta")
  init(list(list(eta = c(0.5, 0.4)), list(eta = c(0.5, 0.4))), "init",
       "2 per-chain lists for 1 chain")
  init(function(k) list(theta = 2), "init(1)$theta")
  init("start", "init")
  b <- with_arg(a, chains = 2)
  refuse(with_arg(b, init = list(list(), list(eta = c(2, 0)))),
         "init[[2]]$eta")
  scales <- function(value, arg, pattern = NULL) {
    refuse(with_arg(a, scales = value), arg, pattern)
  }
  scales(list(phi = -1), "scales$phi", "non-negative")
  scales(list(eta = c(0.1, 0.2, 0.3)), "scales$eta", "one number or 2 numbers")
  scales(list(lambda = diag(3)), "scales$lambda", "2 x 2")
  scales(list(beta_shape = array(1, c(2, 2, 2))), "scales$beta_shape")
  scales(list(gamma = 1), "scales", "unknown element\\(s\\) gamma")
  scales("big", "scales")
  refuse(with_arg(b, scales = list(chain1 = list(), chain2 = list(), chain3 = list())),
         "scales", "3 per-chain lists for 2 chain")
})

test_that("starting values within the range allowed on the map are used", {
  a <- base_args()
  # On a grid (bipartite) the smallest eigenvalue is -1, so the eigenvalues
  # of the association matrix must stay above -0.99 rather than -1.19.
  fit <- tiny_fit(with_arg(a, init = list(eta = c(-0.95, 0.3), theta = 0.2,
                                          Lambda = diag(c(0.4, 0.3)))))
  expect_equal(fit$map$lambda_min, -1, tolerance = 1e-12)
  expect_equal(fit$map$eta_lo, -0.99, tolerance = 1e-12)
  expect_identical(fit$init$chain1$eta, c(-0.95, 0.3))
  expect_identical(fit$init$chain1$Lambda, diag(c(0.4, 0.3)))
})

test_that("inputs that carry names are matched by name, whatever the names", {
  a <- base_args()
  d <- toy_data()
  X <- cbind(x = d$x)
  ref <- tiny_fit(with_arg(a, covariates = X))
  local_test_seed(11)
  o <- sample(25)
  ids <- as.character(1:25)
  # Whole-number ids are names: the map's units in a shuffled order, the
  # data's rows in the order 1..n, and the other way round.
  Wo <- `dimnames<-`(unname(d$W)[o, o], list(o, o))
  Y1 <- `rownames<-`(d$Y, ids); E1 <- `rownames<-`(d$E, ids)
  X1 <- `rownames<-`(X, ids)
  f <- tiny_fit(with_arg(a, counts = Y1, expected = E1, W = Wo,
                         covariates = X1))
  expect_identical(f$units, as.character(o))
  expect_equal(unname(f$counts), unname(d$Y[o, ]))
  expect_equal(unname(f$expected), unname(d$E[o, ]))
  expect_equal(unname(f$X[, 2]), d$x[o])
  W1 <- `dimnames<-`(d$W, list(ids, ids))
  back <- tiny_fit(with_arg(a, counts = Y1[o, ], expected = E1[o, ], W = W1,
                            covariates = X1[o, , drop = FALSE]))
  expect_identical(back$draws, ref$draws)
  # A map without names: the named inputs follow the counts' names.
  nm <- paste0("u", 1:25)
  Yn <- `rownames<-`(d$Y, nm); En <- `rownames<-`(d$E, nm)
  Xn <- `rownames<-`(X, nm)
  rev_e <- tiny_fit(with_arg(a, counts = Yn, expected = En[25:1, ],
                             covariates = Xn[o, , drop = FALSE]))
  expect_identical(rev_e$draws, ref$draws)
  expect_identical(rev_e$units, nm)
  refuse(with_arg(a, counts = Yn, expected = `rownames<-`(En, paste0("v", 1:25))),
         "expected", "do not match those of `counts`; missing: u1, u2")
  refuse(with_arg(a, counts = Yn, covariates = `rownames<-`(X, paste0("v", 1:25))),
         "covariates", "not in `counts`: v1, v2")
  # Repeated or missing names are errors, not a reason to stop matching.
  refuse(with_arg(a, counts = `rownames<-`(d$Y, rep(nm[1:5], 5))), "counts",
         "repeated unit names: u1, u2")
  refuse(with_arg(a, expected = `rownames<-`(d$E, replace(nm, 3, NA))),
         "expected", "missing or empty unit names")
  refuse(with_arg(a, W = `dimnames<-`(d$W, list(nm, rev(nm)))), "W",
         "column names that differ from its row names")
  # Data frames with automatic row names carry no names.
  df <- data.frame(y1 = d$Y[, 1], y2 = d$Y[, 2], e1 = d$E[, 1],
                   e2 = d$E[, 2], x = d$x)
  from_df <- tiny_fit(with_arg(a, counts = c("y1", "y2"),
                               expected = c("e1", "e2"), covariates = ~ x,
                               data = df, W = Wo))
  expect_equal(unname(from_df$counts), unname(d$Y))
})

test_that("spdep's default ids match only data that use the same ids", {
  skip_if_not_installed("spdep")
  a <- base_args()
  d <- toy_data()
  nb <- spdep::mat2listw(d$W, style = "B")$neighbours
  attr(nb, "region.id") <- as.character(1:25)
  ref <- tiny_fit(with_arg(a, W = nb))
  nm <- paste0("u", 1:25)
  named <- tiny_fit(with_arg(a, W = nb, counts = `rownames<-`(d$Y, nm)))
  expect_identical(named$draws, ref$draws)
  local_test_seed(12)
  o <- sample(25)
  ids <- as.character(1:25)
  by_id <- tiny_fit(with_arg(a, W = nb, counts = `rownames<-`(d$Y, ids)[o, ],
                             expected = `rownames<-`(d$E, ids)[o, ]))
  expect_identical(by_id$draws, ref$draws)
})

test_that("what the model cannot use is refused, naming the argument", {
  a <- base_args()
  d <- toy_data()
  df <- data.frame(x = d$x, z = runif(25), f = factor(rep("a", 25)))
  refuse(with_arg(a, covariates = ~ x + offset(z), data = df), "covariates",
         "offset\\(\\).*multiply `expected` by exp\\(offset\\)")
  refuse(with_arg(a, covariates = ~ x + f, data = df), "covariates",
         "`f`, a factor with a single level")
  refuse(with_arg(a, snap = "a"), "snap", "non-negative distance")
  refuse(with_arg(a, snap = -1), "snap", "non-negative distance, not -1")
  refuse(with_arg(a, queen = NA), "queen", "TRUE or FALSE")
  refuse(with_arg(a, counts = `colnames<-`(d$Y, c("a", NA))), "counts",
         "outcome column\\(s\\) 2 without a name \\(NA\\)")
  refuse(with_arg(a, counts = `colnames<-`(d$Y, c("a", "a"))), "counts",
         "repeated outcome names: a")
  refuse(with_arg(a, scales = list(beta = 0)), "scales$beta",
         "must be positive")
  refuse(with_arg(a, chains = 2, scales = list(list(), list(eta = 0))),
         "scales[[2]]$eta", "must be positive")
  # The inverse-Wishart of K x K matrices is proper only for df > K - 1.
  refuse(with_arg(a, prior = mcar_prior(iw_df = 0.5)), "prior",
         "iw_df = 0.5.*2 outcomes.*only for iw_df > 1")
  expect_s3_class(tiny_fit(with_arg(a, prior = mcar_prior(iw_df = 1.5))),
                  "mcar_fit")
  expect_input_error(mcar_prior(iw_df = 1, iw_scale = diag(2)), "iw_df",
                     "must exceed 1")
  expect_input_error(mcar_prior(iw_scale = matrix(1, 2, 3)), "iw_scale",
                     "square matrix, not 2 x 3")
  # A 1 x 1 matrix is the number s of the scale s I.
  one <- mcar_prior(iw_scale = matrix(2))
  expect_identical(asNamespace("mcar")$.resolve_prior(one, 3, 1)$iw_scale,
                   diag(2, 3))
})

test_that("spdep and sp maps that cannot serve are refused with the remedy", {
  skip_if_not_installed("spdep")
  skip_if_not_installed("sf")
  a <- base_args()
  d <- toy_data()
  lw <- spdep::mat2listw(d$W, style = "W")
  refuse(with_arg(a, W = lw), "W",
         "style \"W\".*not symmetric.*`W\\$neighbours`.*style \"B\"")
  squares <- sf::st_sf(id = 1:25, geometry = sf::st_make_grid(
    sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0, xmax = 5, ymax = 5))),
    n = c(5, 5)))
  ref <- tiny_fit(with_arg(a, W = squares))
  # An sp object is read through sf.
  skip_if_not_installed("sp")
  from_sp <- tiny_fit(with_arg(a, W = sf::as_Spatial(squares)))
  expect_identical(from_sp$draws, ref$draws)
  empty <- squares
  sf::st_geometry(empty)[7] <- sf::st_polygon()
  refuse(with_arg(a, W = empty), "W", "empty polygons for unit\\(s\\) 7")
  sf::st_geometry(empty)[7] <- sf::st_multipolygon()
  refuse(with_arg(a, W = empty), "W", "empty polygons for unit\\(s\\) 7")
  # A self-crossing ring on the sphere: the unit and the remedy are named.
  ll <- sf::st_set_crs(squares, 4326)
  bow <- sf::st_polygon(list(rbind(c(1, 1), c(2, 2), c(2, 1), c(1, 2),
                                   c(1, 1))))
  sf::st_geometry(ll)[7] <- sf::st_sfc(bow, crs = 4326)
  refuse(with_arg(a, W = ll), "W",
         "unit\\(s\\) 7.* are not valid polygons.*st_make_valid\\(\\)")
})

test_that("a covariate the counts cannot hold is named with the reason", {
  a <- base_args()
  d <- toy_data()
  Y <- d$Y
  z <- rep(0, 25)
  z[c(3, 9, 14)] <- 1
  Y[c(3, 9, 14), 1] <- 0      # outcome 1 never seen where z = 1
  args <- with_arg(a, counts = Y, covariates = cbind(z = z))
  expect_warning(tiny_fit(args),
                 "beta\\[2,1\\] \\(z\\) towards -Inf for outcome outcome1.*improper")
  # A normal prior holds the coefficient; so does a zero count elsewhere.
  expect_no_warning(asNamespace("mcar")$.warn_separation(
    Y, cbind(1, z = z), c(Inf, 5), c("a", "b")))
  Y[c(3, 9), 1] <- 2
  expect_no_warning(asNamespace("mcar")$.warn_separation(
    Y, cbind(1, z = z), c(Inf, Inf), c("a", "b")))
  # A covariate equal to one on every seen unit (the intercept's partner).
  z2 <- 1 - z
  Y[c(3, 9), 1] <- 0
  expect_warning(asNamespace("mcar")$.warn_separation(
    Y, cbind(1, z = z2), c(Inf, Inf), c("a", "b")),
    "beta\\[1,1\\].*-Inf and beta\\[2,1\\] \\(z\\) towards \\+Inf")
})

test_that("the map's eigenvalue bound and log-determinant match the dense ones", {
  ns <- asNamespace("mcar")
  sparse <- function(W) {
    M <- methods::as(methods::as(Matrix::Matrix(unname(as.matrix(W)),
                                                sparse = TRUE),
                                 "generalMatrix"), "dgCMatrix")
    list(row_ptr = as.integer(M@p), col = as.integer(M@i), w = as.double(M@x),
         W = as.matrix(M))
  }
  # The bundled maps, and a grid of 30 units with two islands and a cut
  # into two parts.
  g <- as.matrix(grid_adjacency(6, 5))
  g[c(7, 19), ] <- 0; g[, c(7, 19)] <- 0
  g[1:12, 13:30] <- 0; g[13:30, 1:12] <- 0
  maps <- list(minnesota = minnesota_adjacency(), nc = nc_adjacency(),
               cut = g)
  set.seed(3)
  for (nm in names(maps)) {
    m <- sparse(maps[[nm]])
    d <- rowSums(m$W); d[d == 0] <- 1
    lam <- eigen(m$W / sqrt(outer(d, d)), symmetric = TRUE,
                 only.values = TRUE)$values
    expect_equal(.Call(ns$mcar_map_lambda_min, m$row_ptr, m$col, m$w),
                 min(lam), tolerance = 1e-8, label = nm)
    mp <- suppressMessages(ns$.prepare_map(ns$.check_map(maps[[nm]])))
    expect_equal(mp$eta_lo, max(-1.19, 0.99 / min(lam)), tolerance = 1e-10,
                 label = nm)
    eta <- c(mp$eta_lo + c(1e-12, 1e-7), runif(100, mp$eta_lo, mp$eta_hi),
             mp$eta_hi - c(1e-7, 1e-12))
    exact <- .Call(ns$mcar_map_logdet, m$row_ptr, m$col, m$w, eta)
    dense <- vapply(eta, function(e) sum(log1p(-e * lam)), numeric(1))
    expect_equal(as.vector(exact), dense, tolerance = 1e-10, label = nm)
    interp <- .Call(ns$mcar_logdet_eval, mp$logdet, eta)
    expect_lt(max(abs(interp - exact)), 1e-6, label = nm)
  }
})

test_that("islands and several components are taken as they are and named", {
  g <- grid_adjacency(5, 5)
  g[13, ] <- 0; g[, 13] <- 0
  nm <- sprintf("area%02d", 1:25)
  dimnames(g) <- list(nm, nm)
  ns <- asNamespace("mcar")
  expect_message(mp <- ns$.prepare_map(ns$.check_map(g)),
                 "1 connected component of linked units; 1 unit without neighbours \\(area13\\)")
  expect_identical(mp$islands, 13L)
  expect_identical(mp$d[13], 1)
  # An spdep neighbour list marks an island by 0, a W by a zero row.
  nb <- lapply(seq_len(25), function(i) {
    j <- which(g[i, ] > 0)
    if (length(j)) as.integer(j) else 0L
  })
  class(nb) <- "nb"
  expect_message(mp2 <- ns$.prepare_map(ns$.check_map(nb)),
                 "without neighbours \\(13\\)")
  expect_identical(mp2$row_ptr, mp$row_ptr)
  # Two components: rows 1-2 of the grid apart from rows 3-5.
  h <- grid_adjacency(5, 5)
  top <- ((seq_len(25) - 1L) %/% 5L) < 2L
  h[top, !top] <- 0; h[!top, top] <- 0
  expect_message(mp3 <- ns$.prepare_map(ns$.check_map(h)),
                 "2 connected components")
  expect_identical(sort(unique(mp3$components)), 1:2)
})

test_that("islands = \"nearest\" links each island to its nearest polygon", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  sq <- function(x, y) sf::st_polygon(list(rbind(c(x, y), c(x + 1, y),
                                                  c(x + 1, y + 1), c(x, y + 1),
                                                  c(x, y))))
  polys <- c(lapply(0:8, function(k) sq(k %% 3, k %/% 3)),
             list(sq(5, 1.2), sq(-4, 0)))
  x <- sf::st_sf(id = 1:11, geometry = sf::st_sfc(polys))
  rownames(x) <- paste0("p", 1:11)
  ns <- asNamespace("mcar")
  mp <- ns$.check_map(x, islands = "independent")
  expect_identical(mp$islands, 10:11)
  mp <- ns$.check_map(x, islands = "nearest")
  expect_length(mp$islands, 0L)
  expect_identical(mp$links$to_unit, c("p6", "p1"))
  expect_message(ns$.prepare_map(mp), "2 islands linked to the unit with the nearest centroid \\(p10 -> p6, p11 -> p1\\)")
  expect_input_error(ns$.check_map(grid_adjacency(3, 3) * 0, islands = "nearest"),
                     "islands", "needs polygons")
  expect_input_error(ns$.check_islands("far"), "islands", "not \"far\"")
})
