# The draws of a fit under the names posterior and coda expect, in every
# format, and the derived draws computed independently here from the kept
# draws.

test_that("the draws carry the names posterior and coda expect", {
  fit <- toy_fit()
  obs <- !is.na(fit$counts)
  want <- expected_names(25, 2, 2, obs)
  arr <- posterior::as_draws_array(fit)
  expect_s3_class(arr, "draws_array")
  expect_identical(posterior::variables(arr), want)
  expect_identical(posterior::nchains(arr), 2L)
  expect_identical(posterior::niterations(arr), 200L)
  df <- posterior::as_draws_df(fit)
  expect_s3_class(df, "draws_df")
  expect_identical(posterior::variables(df), want)
  expect_identical(posterior::ndraws(df), 400L)
  expect_identical(df, posterior::as_draws_df(arr))
  expect_identical(posterior::variables(posterior::as_draws(fit)), want)
  m <- coda::as.mcmc(fit)
  expect_s3_class(m, "mcmc.list")
  expect_length(m, 2L)
  expect_identical(coda::varnames(m), want)
  expect_equal(stats::start(m), 101)
  # The values under those names are the kept draws, chain by chain.
  expect_identical(as.vector(arr[, 2, "beta[x,outcome1]"]),
                   unname(fit$draws$chain2$beta[, "beta[2,1]"]))
  # Coefficients are named by covariate and outcome; by number, beta[j,r]
  # still selects them.
  expect_identical(posterior::variables(posterior::as_draws_array(
    fit, variables = c("beta[2,1]", "beta[(Intercept),outcome2]"))),
    c("beta[x,outcome1]", "beta[(Intercept),outcome2]"))
  expect_identical(dimnames(posterior::draws_of(posterior::as_draws_rvars(
    fit, variables = "beta")$beta))[2:3],
    list(c("(Intercept)", "x"), c("outcome1", "outcome2")))
  expect_identical(as.vector(m[[1]][, "A[1,2]"]),
                   unname(fit$draws$chain1$A[, "A[1,2]"]))
  expect_identical(unname(df$`phi[7,2]`[df$.chain == 1]),
                   unname(fit$draws$chain1$phi[, "phi[7,2]"]))
  # Selections by group and by single name.
  sel <- posterior::as_draws_array(fit, variables = c("Lambda", "rr[3,1]"))
  expect_identical(posterior::variables(sel),
                   c("Lambda[1,1]", "Lambda[1,2]", "Lambda[2,2]", "rr[3,1]"))
  expect_input_error(posterior::as_draws_array(fit, variables = "gamma"),
                     "variables", "unknown name\\(s\\): gamma")
  expect_input_error(posterior::as_draws_array(fit, variables = "beta[9,1]"),
                     "variables", "unknown parameter\\(s\\): beta\\[9,1\\]")
})

test_that("every posterior draw format keeps only the variables asked for", {
  fit <- toy_fit()
  ref <- draws_matrix(fit, c("Lambda", "beta[2,1]"))
  m <- posterior::as_draws_matrix(fit, variables = c("Lambda", "beta[2,1]"))
  expect_identical(posterior::variables(m), colnames(ref))
  expect_equal(unname(unclass(m)[, ]), unname(ref), ignore_attr = TRUE)
  l <- posterior::as_draws_list(fit, variables = "beta")
  expect_identical(posterior::variables(l),
                   sprintf("beta[%s,%s]", c("(Intercept)", "x"),
                           rep(c("outcome1", "outcome2"), each = 2)))
  expect_identical(posterior::nchains(l), 2L)
  r <- posterior::as_draws_rvars(fit, variables = "eta")
  expect_identical(posterior::variables(r), "eta")
  expect_equal(as.vector(posterior::draws_of(r$eta)[, 2]),
               as.vector(draws_matrix(fit, "eta")[, 2]))
  # Variables come in the order asked.
  expect_identical(posterior::variables(
    posterior::as_draws_df(fit, variables = c("deviance", "eta"))),
    c("deviance", "eta[1]", "eta[2]"))
})

test_that("derived draws follow the model from the kept draws", {
  fit <- toy_fit()
  arr <- draws_matrix(fit)
  y <- as.vector(fit$counts); e <- as.vector(fit$expected)
  obs <- !is.na(y)
  rr <- rr_by_hand(fit)
  expect_equal(unname(arr[, sprintf("rr[%d,%d]", rep(1:25, 2), rep(1:2, each = 25))]),
               rr, tolerance = 1e-12)
  ll <- matrix(dpois(rep(y[obs], each = nrow(rr)),
                     rr[, obs] * rep(e[obs], each = nrow(rr)), log = TRUE),
               nrow(rr))
  expect_equal(unname(arr[, grepl("^log_lik", colnames(arr))]), ll,
               tolerance = 1e-12)
  # The engine's deviance is -2 log-likelihood on the full Poisson scale,
  # over the observed counts only.
  expect_equal(as.vector(arr[, "deviance"]), -2 * rowSums(ll),
               tolerance = 1e-9)
  # The eigenvalues of every draw's association matrix are its eta, in
  # decreasing order.
  for (s in c(1, 77, 400)) {
    a <- arr[s, c("A[1,1]", "A[1,2]", "A[2,2]")]
    A <- matrix(a[c(1, 2, 2, 3)], 2)
    expect_equal(eigen(A, symmetric = TRUE)$values,
                 unname(arr[s, c("eta[1]", "eta[2]")]), tolerance = 1e-12)
  }
})

test_that("the association matrix of every draw has the draw's eigenvalues, for any number of outcomes", {
  for (K in c(1, 3, 5, 8)) {
    d <- toy_data(nr = 3, K = K)
    fit <- fit_quietly(d$Y, d$E, d$W, n_sample = 8, burnin = 4, chains = 1,
                       seed = K)
    dr <- fit$draws$chain1
    for (s in c(1, 4)) {
      # Packed row by row: the upper triangle of A row by row is its lower
      # triangle column by column.
      A <- matrix(0, K, K)
      A[lower.tri(A, diag = TRUE)] <- dr$A[s, ]
      A <- A + t(A) - diag(diag(A), K)
      expect_equal(eigen(A, symmetric = TRUE)$values, unname(dr$eta[s, ]),
                   tolerance = 1e-12, label = paste("K =", K, "draw", s))
      expect_true(all(diff(dr$eta[s, ]) <= 0))
    }
    # The chain's last state, in the sampler's own order, gives A exactly.
    st <- fit$last_state$chain1
    A <- association_by_hand(st$eta, st$theta)
    expect_equal(unname(dr$A[nrow(dr$A), ]), A[lower.tri(A, diag = TRUE)],
                 tolerance = 1e-12, label = paste("K =", K))
  }
})

test_that("column order statistics are those of a partial sort", {
  os <- asNamespace("mcar")$.col_order_stats
  local_test_seed(6)
  m <- matrix(round(rnorm(301 * 20), 1), 301)   # ties
  m[, 3] <- -Inf
  for (pos in list(1L, c(8L, 8L, 151L, 294L), c(150L, 151L), 301L)) {
    want <- vapply(1:20, function(j) sort.int(m[, j], partial = pos)[pos],
                   numeric(length(pos)))
    expect_identical(os(m, 301L, pos), matrix(want, length(pos)))
  }
  # As an array read as rows x the rest, and with NaN left to R's partial
  # sort (which drops it).
  arr <- array(m, c(301, 4, 5))
  expect_identical(os(arr, 301L, c(2L, 300L)), os(m, 301L, c(2L, 300L)))
  m[5, 2] <- NaN
  pos <- c(7L, 300L)
  want <- vapply(1:20, function(j) sort.int(m[, j], partial = pos)[pos],
                 numeric(2))
  expect_identical(os(m, 301L, pos), want)
})
