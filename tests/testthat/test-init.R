# Starting values: the ones refused, and the ones used.

test_that("bad starting values are refused", {
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

test_that("starting coefficients are dispersed on the scale of the covariates", {
  ns <- asNamespace("mcar")
  d <- toy_data()
  init <- list(beta = matrix(0, 2, 2), phi = matrix(0, 25, 2),
               Lambda = diag(0.5, 2), eta = c(0.6, 0.3), theta = 0,
               psi = numeric())
  X <- cbind(1, x = d$x)
  Xbig <- cbind(1, x = 3e4 + 1000 * d$x)  # the same covariate in other units
  lp <- function(X) {
    local_test_seed(9)
    b <- ns$.disperse_init(init, c(-1, 0.99), X)$beta
    X %*% b
  }
  # The linear predictors move alike whatever the units of the covariate,
  # and by about 0.1 per coefficient.
  expect_equal(lp(Xbig), lp(X), tolerance = 1e-8)
  expect_lt(max(abs(lp(Xbig))), 1)
  # Every chain of such a fit starts, and stays, where the counts are possible.
  a <- with_arg(base_args(), covariates = cbind(x = 3e4 + 1000 * d$x),
                chains = 3, n_sample = 40, burnin = 20)
  fit <- tiny_fit(a)
  expect_true(all(vapply(fit$draws, function(dr) all(is.finite(dr$deviance)),
                         logical(1))))
})

test_that("a chain that never left an impossible state is named plainly", {
  fit <- toy_fit()
  fit$draws$chain2$deviance[] <- Inf
  w <- character()
  withCallingHandlers(asNamespace("mcar")$.warn_untrustworthy(fit),
                      warning = function(x) {
                        w <<- c(w, conditionMessage(x))
                        invokeRestart("muffleWarning")
                      })
  expect_true(any(grepl("^chain2 never left an impossible state", w)))
})
