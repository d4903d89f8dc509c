# Covariates: the forms they come in, the ones refused, and the warning
# about coefficients the counts cannot hold.

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

test_that("offsets and single-level factors are refused, naming the argument", {
  a <- base_args()
  d <- toy_data()
  df <- data.frame(x = d$x, z = runif(25), f = factor(rep("a", 25)))
  refuse(with_arg(a, covariates = ~ x + offset(z), data = df), "covariates",
         "offset\\(\\).*multiply `expected` by exp\\(offset\\)")
  refuse(with_arg(a, covariates = ~ x + f, data = df), "covariates",
         "`f`, a factor with a single level")
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

test_that("binomial counts equal to their trials are separation too", {
  ns <- asNamespace("mcar")
  local_test_seed(4)
  z <- rep(0, 25)
  z[c(3, 9, 14)] <- 1
  N <- matrix(round(runif(50, 10, 40)), 25, 2)
  Y <- matrix(rbinom(50, N, 0.3), 25, 2)
  Y[c(3, 9, 14), 2] <- N[c(3, 9, 14), 2]   # every trial an event where z = 1
  expect_warning(ns$.warn_separation(Y, cbind(1, z = z), c(Inf, Inf),
                                     c("a", "b"), trials = N),
                 paste0("beta\\[2,2\\] \\(z\\) towards \\+Inf for outcome b ",
                        "\\(counts equal to the trials\\).*whose count equals"))
  # Without trials (a Poisson fit) such counts are nothing special.
  expect_no_warning(ns$.warn_separation(Y, cbind(1, z = z), c(Inf, Inf),
                                        c("a", "b")))
  # Through a fit: every cell full where z = 1.
  d <- toy_data()
  expect_warning(
    fit_quietly(Y, W = d$W, family = "binomial", trials = N,
                covariates = cbind(z = z), n_sample = 20, burnin = 10,
                chains = 1, seed = 1),
    "beta\\[2,2\\] \\(z\\) towards \\+Inf for outcome outcome2")
})
