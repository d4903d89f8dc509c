# Checks of the data and run settings: every bad argument is refused before
# anything runs, with an error of class "mcar_input_error" that names the
# argument; inputs that carry unit names are matched by name.

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

test_that("outcomes are named one by one or not at all", {
  a <- base_args()
  d <- toy_data()
  refuse(with_arg(a, counts = `colnames<-`(d$Y, c("a", NA))), "counts",
         "outcome column\\(s\\) 2 without a name \\(NA\\)")
  refuse(with_arg(a, counts = `colnames<-`(d$Y, c("a", "a"))), "counts",
         "repeated outcome names: a")
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

test_that("a bad choice names its argument and the choices", {
  fit <- toy_fit()
  expect_input_error(predict(fit, type = "probability"), "type",
                     "\"count\", \"risk\", not \"probability\"")
  expect_input_error(fitted(fit, type = 2), "type", "\"count\", \"risk\"")
  expect_input_error(residuals(fit, type = "raw"), "type",
                     "\"response\", \"pearson\", \"deviance\"")
  expect_input_error(plot(fit, type = "histogram"), "type",
                     "\"trace\", \"density\", \"map\"")
  expect_input_error(plot(fit, type = "map", stat = "mode"), "stat",
                     "\"mean\"")
  expect_identical(mcar:::.match_choice("pear", c("response", "pearson"),
                                        "type"), "pearson")
})

test_that("a bad thread count from the option names the option", {
  withr::local_options(mcar.threads = "four")
  err <- expect_input_error(do.call(mcar_fit, base_args()), "threads",
                            "options\\(mcar.threads = \"four\"\\)")
  expect_match(conditionMessage(err), "must be a single number")
  expect_input_error(do.call(mcar_fit, with_arg(base_args(), threads = 0)),
                     "threads", "at least 1")
})

test_that("names that cannot place the rows on the map are refused", {
  a <- base_args()
  d <- toy_data()
  local_test_seed(12)
  o <- sample(25)
  # A data frame reordered after it was read, beside an unnamed map.
  df <- data.frame(y1 = d$Y[, 1], y2 = d$Y[, 2], e1 = d$E[, 1],
                   e2 = d$E[, 2])[o, ]
  refuse(with_arg(a, counts = c("y1", "y2"), expected = c("e1", "e2"),
                  data = df), "counts", "reordering of 1..25.*`W` names no")
  # In the map's order with the row names dropped, it runs.
  rownames(df) <- NULL
  expect_s3_class(tiny_fit(with_arg(a, counts = c("y1", "y2"),
                                    expected = c("e1", "e2"), data = df)),
                  "mcar_fit")
  # `units` that rename the units of a named map are refused; repeating
  # them is allowed.
  nm <- paste0("u", 1:25)
  W <- `dimnames<-`(a$W, list(nm, nm))
  refuse(with_arg(a, W = W, units = rev(nm)), "units",
         "contradicts.*unit 1 is 'u25' in `units` but 'u1'")
  expect_identical(tiny_fit(with_arg(a, W = W, units = nm))$units, nm)
  # Names that differ by white space are shown in quotes.
  Y <- `rownames<-`(a$counts, replace(nm, 1, "u1 "))
  refuse(with_arg(a, W = W, counts = Y), "counts",
         "missing: 'u1'; not on the map: 'u1 '")
})
