# Counts over units and periods: the three forms of the data give the same
# rows (unit fastest within period, in the map's order), missing rows and
# NA counts become missing cells, and every refusal names its argument.

period_input <- function(...) mcar:::.period_input(...)

# Five units (map order A..E), two outcomes, three years; a covariate that
# changes with the year and a factor that does not.  The flu count of B in
# 2003 is NA; C has no row in 2002.
period_example <- function() {
  local_test_seed(11, envir = parent.frame())
  units <- c("A", "B", "C", "D", "E"); years <- 2001:2003
  outcomes <- c("flu", "covid")
  n <- 5; T <- 3
  E <- array(round(runif(n * 2 * T, 2, 9), 2), c(n, 2, T),
             list(units, outcomes, years))
  Y <- array(rpois(n * 2 * T, E) + 1, dim(E), dimnames(E))
  Y["B", "flu", "2003"] <- NA
  x <- matrix(round(rnorm(n * T), 3), n, T, dimnames = list(units, years))
  region <- factor(c("north", "south", "north", "east", "south"))
  grid <- expand.grid(i = 1:n, t = 1:T)
  wide <- data.frame(district = units[grid$i], year = years[grid$t],
                     flu = Y[cbind(grid$i, 1, grid$t)],
                     covid = Y[cbind(grid$i, 2, grid$t)],
                     E_flu = E[cbind(grid$i, 1, grid$t)],
                     E_covid = E[cbind(grid$i, 2, grid$t)],
                     x = x[cbind(grid$i, grid$t)], region = region[grid$i],
                     stringsAsFactors = FALSE)
  absent <- which(wide$district == "C" & wide$year == 2002)
  long <- rbind(
    data.frame(wide[c("district", "year", "x", "region")],
               disease = "flu", cases = wide$flu, E = wide$E_flu),
    data.frame(wide[c("district", "year", "x", "region")],
               disease = "covid", cases = wide$covid, E = wide$E_covid))
  long$disease <- factor(long$disease, levels = outcomes)
  list(Y = Y, E = E, x = x, region = region, units = units, years = years,
       outcomes = outcomes, wide = wide, long = long, absent = absent,
       map = units)
}

shuffle <- function(d) d[sample(nrow(d)), , drop = FALSE]

test_that("the three forms give the same rows, missing cells included", {
  ex <- period_example()
  wide <- shuffle(ex$wide[-ex$absent, ])
  long <- shuffle(ex$long[ex$long$district != "C" | ex$long$year != 2002, ])
  Ya <- ex$Y; Ea <- ex$E
  Ya["C", , "2002"] <- NA; Ea["C", , "2002"] <- NA
  # The arrays with units and years out of order: matched by name, sorted.
  perm <- c(3, 1, 5, 2, 4)
  a <- period_input(Ya[perm, , 3:1], Ea[perm, , 3:1], map_names = ex$map)
  w <- period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = wide,
                    unit = "district", time = "year", map_names = ex$map)
  l <- period_input("cases", "E", data = long, unit = "district",
                    time = "year", outcome = "disease", map_names = ex$map)
  # By hand: row i + 5 (t - 1), Y NA where the count is missing, E too
  # where the row is (an NA count keeps the expected count given with it).
  Y <- rbind(ex$Y[, , 1], ex$Y[, , 2], ex$Y[, , 3])
  E <- rbind(ex$E[, , 1], ex$E[, , 2], ex$E[, , 3])
  Y[5 + 3, ] <- NA; Y[10 + 2, "flu"] <- NA
  E[5 + 3, ] <- NA
  dimnames(Y) <- dimnames(E) <- list(NULL, ex$outcomes)
  for (r in list(a, w, l)) {
    expect_identical(r$Y, Y)
    expect_identical(r$E, E)
    expect_identical(r$X, matrix(1, 15, 1, dimnames = list(NULL,
                                                           "(Intercept)")))
    expect_identical(r$units, ex$units)
    expect_equal(r$periods, ex$years)
    expect_identical(c(r$T, r$K), c(3L, 2L))
    expect_identical(r$outcomes, ex$outcomes)
    expect_identical(r$rows$unit, rep(ex$units, 3))
    expect_equal(r$rows$period, rep(ex$years, each = 5))
  }
  # Without names on the map, units come in order of first appearance.
  w0 <- period_input(c("flu", "covid"), c("E_flu", "E_covid"),
                     data = wide, unit = "district", time = "year", n = 5)
  expect_identical(w0$units, unique(wide$district))
  o <- match(w0$rows$unit, ex$units) + 5 * (match(w0$rows$period, ex$years) - 1)
  expect_identical(w0$Y, Y[o, ])
})

test_that("covariates vary by period and factors expand alike in every form", {
  ex <- period_example()
  # For covariates every unit-period row must be there: C in 2002 is a row
  # of NA counts in the wide form, a single NA covid row in the long form.
  wide <- ex$wide
  wide[ex$absent, c("flu", "covid", "E_flu", "E_covid")] <- NA
  long <- ex$long
  long <- long[!(long$district == "C" & long$year == 2002 &
                   long$disease == "flu"), ]
  long[long$district == "C" & long$year == 2002, c("cases", "E")] <- NA
  f <- ~ x + region
  w <- period_input(c("flu", "covid"), c("E_flu", "E_covid"),
                    data = shuffle(wide), unit = "district", time = "year",
                    covariates = f, map_names = ex$map)
  l <- period_input("cases", "E", data = shuffle(long), unit = "district",
                    time = "year", outcome = "disease", covariates = f,
                    map_names = ex$map)
  Ya <- ex$Y; Ya["C", , "2002"] <- NA
  Ea <- ex$E; Ea["C", , "2002"] <- NA
  cov <- shuffle(ex$wide[c("district", "year", "x", "region")])
  a <- period_input(Ya, Ea, data = cov, unit = "district", time = "year",
                    covariates = f, map_names = ex$map)
  X <- cbind(1, x = c(ex$x), regionnorth = rep(ex$region == "north", 3),
             regionsouth = rep(ex$region == "south", 3))
  colnames(X)[1] <- "(Intercept)"
  for (r in list(w, l, a)) {
    expect_identical(r$X, X)
    expect_identical(r$Y, w$Y)
    expect_identical(r$E, w$E)
  }
  expect_identical(sum(is.na(w$Y)), 3L)
  # Arrays with covariates already in row order.
  rowwise <- ex$wide[c("x", "region")]
  expect_identical(period_input(Ya, Ea, data = rowwise, covariates = f)$X, X)
  refuse_p <- function(..., arg, pattern)
    expect_input_error(period_input(...), arg, pattern)
  refuse_p(Ya, ex$E, data = rowwise[-1, ], covariates = f, arg = "data",
           pattern = "14 rows")
  # Rows that are absent altogether leave the covariates unknown.
  refuse_p(c("flu", "covid"), c("E_flu", "E_covid"),
           data = ex$wide[-c(ex$absent, 1), ], unit = "district",
           time = "year", covariates = f, map_names = ex$map, arg = "data",
           pattern = "no row for unit-period pair\\(s\\) A\\[2001\\], C\\[2002\\] .*NA counts")
  # A missing map unit is then refused too.
  expect_message(
    refuse_p(c("flu", "covid"), c("E_flu", "E_covid"),
             data = ex$wide[ex$wide$district != "E", ], unit = "district",
             time = "year", covariates = f, map_names = ex$map,
             arg = "data", pattern = "E\\[2001\\], E\\[2002\\], E\\[2003\\]"),
    "1 of the 5 units")
  # ... but not when the formula needs no variable.
  expect_identical(
    period_input(c("flu", "covid"), c("E_flu", "E_covid"),
                 data = ex$wide[-ex$absent, ], unit = "district",
                 time = "year", covariates = ~ 1)$X[, 1], rep(1, 15))
  bad <- long
  bad$x[bad$district == "D" & bad$year == 2003 & bad$disease == "covid"] <- 0
  refuse_p("cases", "E", data = bad, unit = "district", time = "year",
           outcome = "disease", covariates = f, arg = "covariates",
           pattern = "`x` differing .* unit-period D\\[2003\\].*shared")
})

test_that("periods keep their class and must be equally spaced", {
  ex <- period_example()
  wide <- ex$wide
  run <- function(d, ...) {
    period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = d,
                 unit = "district", time = "year", map_names = ex$units, ...)
  }
  refuse_p <- function(d, pattern, arg = "time")
    expect_input_error(run(d), arg, pattern)
  # Dates: quarterly (uneven in days, even in months), or every 7 days.
  q <- as.Date(c("2020-01-01", "2020-04-01", "2020-07-01"))
  d <- transform(wide, year = q[year - 2000])
  r <- run(shuffle(d))
  expect_s3_class(r$periods, "Date")
  expect_identical(r$periods, q)
  expect_identical(mcar:::.period_labels(r$units, r$periods)[c(1, 15)],
                   c("A[2020-01-01]", "E[2020-07-01]"))
  wk <- as.Date("2021-03-01") + c(0, 7, 14)
  expect_identical(run(transform(wide, year = wk[year - 2000]))$periods, wk)
  q4 <- c(q, as.Date("2021-01-01"))
  refuse_p(transform(wide, year = q4[c(1, 2, 4)][year - 2000]),
           "skips 2020-07-01, 2020-10-01: periods must be equally spaced")
  # Ordered factors keep their levels, including a level without data.
  lv <- c("winter", "spring", "summer", "autumn")
  f <- transform(wide, year = factor(lv[year - 2000], levels = lv,
                                     ordered = TRUE))
  expect_message(r <- run(f), "autumn")
  expect_identical(r$periods, factor(lv, lv, ordered = TRUE))
  expect_identical(r$T, 4L)
  expect_true(all(is.na(r$Y[16:20, ])))
  # Numbers: a gap names the missing periods; uneven steps are refused.
  g <- transform(wide, year = c(2002, 2004, 2006)[year - 2000])
  expect_identical(run(g)$periods, c(2002, 2004, 2006))
  refuse_p(transform(wide, year = c(2002, 2006, 2008)[year - 2000]),
           "skips 2004: periods must be equally spaced; add rows for those periods with NA counts")
  h <- rbind(wide, transform(wide[1:5, ], year = 2007))
  refuse_p(h, "skips 2004, 2005, 2006")
  refuse_p(transform(wide, year = c(2001, 2002, 2003.5)[year - 2000]),
           "not equally spaced: it steps by 1 .* and by 1.5")
  refuse_p(transform(wide, year = paste0("y", year)), "numbers, Dates")
  refuse_p(replace(wide, "year", replace(wide$year, 4, NA)), "row\\(s\\) 4")
  expect_identical(run(transform(wide, year = as.character(year)))$periods,
                   c(2001, 2002, 2003))
})

test_that("the array form reads names from its dimnames", {
  ex <- period_example()
  Y <- ex$Y; E <- ex$E
  dimnames(Y)[[3]] <- dimnames(E)[[3]] <- c("q1", "q2", "q3")
  r <- period_input(Y, E)
  expect_identical(r$periods, c("q1", "q2", "q3"))
  expect_identical(r$units, ex$units)
  expect_identical(r$rows$period, rep(c("q1", "q2", "q3"), each = 5))
  Y0 <- unname(ex$Y); E0 <- unname(ex$E)
  r <- period_input(Y0, E0)
  expect_identical(r$periods, 1:3)
  expect_identical(r$units, as.character(1:5))
  expect_identical(r$outcomes, c("outcome1", "outcome2"))
  refuse_p <- function(..., arg, pattern)
    expect_input_error(period_input(...), arg, pattern)
  refuse_p(ex$Y, ex$E[, , 1:2], arg = "expected", pattern = "5 x 2 x 3")
  E2 <- ex$E; dimnames(E2)[[2]] <- c("covid", "flu")
  refuse_p(ex$Y, E2, arg = "expected", pattern = "outcome names")
  refuse_p(ex$Y, ex$E, map_names = c(ex$units[-2], "Q"), arg = "counts",
           pattern = "not on the map: B")
  refuse_p(Y0, E0, n = 6, arg = "counts", pattern = "5 distinct units .* 6")
  Yg <- ex$Y; dimnames(Yg)[[3]] <- c(2001, 2002, 2004)
  refuse_p(Yg, E0, arg = "counts", pattern = "skips 2003.*slices")
  refuse_p(unname(ex$Y[, 1, ]), E0, arg = "counts", pattern = "array")
})

test_that("units, keys and duplicates are checked against the map", {
  ex <- period_example()
  wide <- ex$wide; long <- ex$long
  w <- function(d = wide, ...) {
    period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = d,
                 unit = "district", time = "year", ...)
  }
  refuse_p <- function(expr, arg, pattern) expect_input_error(expr, arg,
                                                              pattern)
  refuse_p(w(map_names = c("A", "B", "C", "D", "Q R")), "unit",
           "not on the map: E\\.")
  expect_message(r <- w(wide[wide$district != "B", ],
                        map_names = c(ex$units, "F")),
                 "2 of the 6 units of the map \\(B, F\\)")
  expect_true(all(is.na(r$Y[c(2, 6, 8, 12, 14, 18), ])))
  refuse_p(w(wide[wide$district != "B", ], n = 5), "unit",
           "4 distinct units but the map has 5")
  refuse_p(period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = wide,
                        unit = "area", time = "year"), "unit",
           "no column of `data`: area")
  refuse_p(period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = wide,
                        unit = "district"), "time", "is needed")
  refuse_p(period_input("cases", "E", data = long, unit = "district",
                        time = "year", outcome = "illness"), "outcome",
           "no column of `data`: illness")
  refuse_p(w(rbind(wide, wide[c(7, 2), ])), "data",
           "more than one row for B\\[2002\\] \\(rows 7, 16\\); B\\[2001\\] \\(rows 2, 17\\)")
  refuse_p(period_input("cases", "E", data = rbind(long, long[20, ]),
                        unit = "district", time = "year", outcome = "disease"),
           "data", "covid .*rows 20, 31")
  refuse_p(period_input(c("flu", "covid"), c("E_flu", "E_covid"),
                        data = wide, unit = "district", time = "year",
                        outcome = "region"), "counts", "one column")
  refuse_p(period_input(c("flu", "covid"), c("E_flu", "E_covid")), "counts",
           "array")
})

test_that("counts, expected counts and trials are checked cell by cell", {
  ex <- period_example()
  wide <- ex$wide
  w <- function(d = wide, ...) {
    period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = d,
                 unit = "district", time = "year", map_names = ex$units, ...)
  }
  refuse_p <- function(expr, arg, pattern) expect_input_error(expr, arg,
                                                              pattern)
  d <- wide; d$covid[d$district == "D" & d$year == 2002] <- -1
  refuse_p(w(d), "counts", "non-negative; unit D\\[2002\\], outcome covid")
  d <- wide; d$flu <- NA
  refuse_p(w(d), "counts", "no observed count for outcome\\(s\\) flu")
  d <- wide; d$E_flu[d$district == "A" & d$year == 2003] <- NA
  refuse_p(w(d), "expected", "missing where the count is not \\(unit A\\[2003\\], outcome flu")
  d <- wide; d$E_covid[1] <- 0
  refuse_p(w(d), "expected", "is 0 where `counts` is positive \\(unit A\\[2001\\], outcome covid")
  # An expected count where the count is NA may be missing (the cell's
  # count is then not predicted); given, it is kept.
  d <- wide; d$E_flu[d$district == "B" & d$year == 2003] <- NA
  e <- w()$E
  expect_false(is.na(e[12, "flu"]))
  e[12, "flu"] <- NA
  expect_identical(w(d)$E, e)
  # Binomial: trials at least the counts, rounded; NA only with NA counts.
  b <- transform(wide, N_flu = flu + 3, N_covid = covid + 1)
  r <- period_input(c("flu", "covid"), trials = c("N_flu", "N_covid"),
                    data = b, unit = "district", time = "year",
                    family = "binomial", map_names = ex$units)
  expect_identical(r$E - r$Y, matrix(rep(c(3, 1), each = 15), 15, 2,
                                     dimnames = list(NULL, ex$outcomes)) +
                     0 * r$Y)
  b$N_covid[3] <- b$covid[3] - 1
  refuse_p(period_input(c("flu", "covid"), trials = c("N_flu", "N_covid"),
                        data = b, unit = "district", time = "year",
                        family = "binomial", map_names = ex$units),
           "trials", "at least the counts; unit C\\[2001\\], outcome covid")
  refuse_p(period_input(c("flu", "covid"), c("E_flu", "E_covid"), data = b,
                        unit = "district", time = "year",
                        family = "binomial"), "expected", "not used")
  refuse_p(period_input(c("flu", "covid"), data = b, unit = "district",
                        time = "year"), "expected", "missing")
})

# ---- fits over periods -------------------------------------------------------

# The toy data of helper-mcar.R with named units, as a data frame of one
# row per unit (wide) and the same rows in one period (long).
one_period_frames <- function() {
  d <- toy_data()
  units <- sprintf("u%02d", seq_len(nrow(d$Y)))
  W <- d$W
  dimnames(W) <- list(units, units)
  wide <- data.frame(Y1 = d$Y[, 1], Y2 = d$Y[, 2], E1 = d$E[, 1],
                     E2 = d$E[, 2], x = d$x, row.names = units)
  wide$Y1[3] <- NA
  long <- data.frame(district = units, year = 2020L, wide, row.names = NULL)
  list(W = W, wide = wide, long = long[sample(nrow(long)), ])
}

test_that("one period given by unit and time is the fit of the data by unit, to the bit", {
  local_test_seed(3)
  f <- one_period_frames()
  args <- list(c("Y1", "Y2"), c("E1", "E2"), f$W, covariates = ~ x,
               n_sample = 200, burnin = 100, chains = 2, seed = 9)
  a <- do.call(fit_quietly, c(args, list(data = f$wide)))
  b <- do.call(fit_quietly, c(args, list(data = f$long, unit = "district",
                                          time = "year")))
  expect_identical(unclass(posterior::as_draws_array(a)),
                   unclass(posterior::as_draws_array(b)))
  expect_identical(b$units, paste0(rownames(f$wide), "[2020]"))
  expect_null(b$draws$chain1$alpha)
})

# Fields over T periods drawn from the model: each an AR(1) in time with
# MCAR innovations on the 7 x 7 grid, K = 2.
simulate_periods <- function(T = 6, alpha = c(0.8, 0.2), seed = 21) {
  local_test_seed(seed)
  W <- grid_adjacency(7, names = sprintf("a%02d", 1:49))
  n <- nrow(W); K <- 2
  A <- diag(c(0.85, 0.6))
  Lambda <- matrix(c(0.5, 0, 0.25, 0.4), 2)
  Q <- kronecker(diag(K), diag(rowSums(W))) - kronecker(A, W)
  R <- chol(Q)
  phi <- array(0, c(n, K, T))
  for (t in seq_len(T)) {
    e <- matrix(backsolve(R, rnorm(n * K)), n, K)
    phi[, , t] <- if (t == 1) e else sweep(phi[, , t - 1], 2, alpha, `*`) + e
  }
  E <- array(runif(n * K * T, 5, 25), c(n, K, T),
             list(rownames(W), c("flu", "rsv"), 2011:(2010 + T)))
  rr <- array(0, dim(E), dimnames(E))
  for (t in seq_len(T)) rr[, , t] <- exp(0.1 + phi[, , t] %*% t(Lambda))
  Y <- array(rpois(length(E), E * rr), dim(E), dimnames(E))
  list(W = W, Y = Y, E = E, rr = rr, alpha = alpha, Lambda = Lambda, A = A)
}

test_that("fields over periods are recovered, with the autoregression", {
  sim <- simulate_periods()
  fit <- fit_quietly(sim$Y, sim$E, sim$W, n_sample = 3000, chains = 2,
                     seed = 4)
  T <- 6L; n <- 49L
  # rr[i,r,t] in the order of the rows: unit fastest, then outcome, period.
  dr <- posterior::as_draws_matrix(posterior::subset_draws(
    posterior::as_draws_array(fit), variable = "rr"))
  expect_identical(colnames(dr)[c(1, n + 1, n * T + 1)],
                   c("rr[1,1,1]", "rr[1,1,2]", "rr[1,2,1]"))
  truth <- as.vector(aperm(sim$rr, c(1, 3, 2)))
  lo <- apply(dr, 2, quantile, 0.05); hi <- apply(dr, 2, quantile, 0.95)
  cover <- mean(truth >= lo & truth <= hi)
  # 588 cells, strongly dependent: a 90% interval's coverage well inside
  # (0.8, 0.98).
  expect_gt(cover, 0.8)
  expect_lt(cover, 0.98)
  a <- posterior::as_draws_matrix(posterior::subset_draws(
    posterior::as_draws_array(fit), variable = "alpha"))
  for (c in 1:2) {
    q <- quantile(a[, c], c(0.01, 0.99))
    expect_true(sim$alpha[c] > q[1] && sim$alpha[c] < q[2],
                label = paste("alpha", c, "inside its 98% interval"))
  }
  tab <- summary(fit)$parameters
  expect_true(all(c("alpha[1]", "alpha[2]") %in% rownames(tab)))
  out <- capture.output(print(fit))
  expect_match(out[1], "49 areal units over 6 periods")
  rr <- relative_risk(fit)
  expect_identical(nrow(rr), n * T * 2L)
  expect_identical(rr$unit[n + 1], "a01")
  expect_equal(rr$period[n + 1], 2012)
  expect_identical(dim(suppressWarnings(loo::loo(fit))$pointwise)[1], n * T * 2L)
})

test_that("autoregressive coefficients held by the prior stay where they are", {
  sim <- simulate_periods(T = 3)
  fit <- fit_quietly(sim$Y, sim$E, sim$W, n_sample = 200, burnin = 100,
                     chains = 1, seed = 2, prior = mcar_prior(alpha = 1))
  expect_true(all(fit$draws$chain1$alpha == 1))
  expect_false("alpha[1]" %in% rownames(summary(fit)$parameters))
  expect_input_error(mcar_prior(alpha = 1.5), "alpha")
})

test_that("unit and outcome without time are refused", {
  f <- one_period_frames()
  expect_input_error(mcar_fit(c("Y1", "Y2"), c("E1", "E2"), f$W,
                              data = f$long, unit = "district"), "unit")
})

test_that("a fit over periods continued by update() is the longer fit, to the bit", {
  sim <- simulate_periods(T = 3)
  args <- list(sim$Y, sim$E, sim$W, burnin = 50, chains = 2, seed = 5)
  long <- do.call(fit_quietly, c(args, list(n_sample = 150)))
  short <- do.call(fit_quietly, c(args, list(n_sample = 100)))
  more <- suppressWarnings(update(short, sweeps = 50))
  expect_identical(more$draws, long$draws)
})

test_that("an outcome reported over fewer periods is said, its cells missing", {
  d <- expand.grid(unit = c("a", "b", "c"), year = 2001:2004,
                   disease = c("x", "y"), stringsAsFactors = FALSE)
  d$cases <- seq_len(nrow(d)); d$E <- 5
  d <- d[!(d$disease == "y" & d$year > 2002), ]
  expect_message(r <- period_input("cases", "E", data = d, unit = "unit",
                                   time = "year", outcome = "disease",
                                   map_names = c("a", "b", "c")),
                 "outcome 'y' has no count in period\\(s\\) 2003, 2004")
  expect_true(all(is.na(r$Y[7:12, "y"])))
  expect_false(anyNA(r$Y[, "x"]))
})

test_that("a missing count with its expected count given is predicted; a missing row is not", {
  ex <- period_example()
  W <- matrix(0, 5, 5, dimnames = list(ex$units, ex$units))
  W[cbind(1:4, 2:5)] <- W[cbind(2:5, 1:4)] <- 1
  fit <- suppressWarnings(mcar_fit(
    c("flu", "covid"), c("E_flu", "E_covid"), W, data = ex$wide[-ex$absent, ],
    unit = "district", time = "year", n_sample = 200, chains = 1, seed = 3,
    progress = FALSE))
  m <- fitted(fit)
  # B's flu count in 2003 is NA with its expected count; C has no 2002 row.
  expect_false(is.na(m["B[2003]", "flu"]))
  expect_equal(m["B[2003]", "flu"],
               fitted(fit, type = "risk")["B[2003]", "flu"] *
                 ex$E["B", "flu", "2003"])
  expect_true(all(is.na(m["C[2002]", ])))
  expect_false(anyNA(m[setdiff(rownames(m), "C[2002]"), ]))
})
