# print(), summary() and the extractors: coef(), confint(), vcov() and
# as.data.frame().

test_that("print and summary show the parameters, DIC and acceptance", {
  fit <- toy_fit()
  out <- utils::capture.output(res <- print(fit))
  expect_identical(res, fit)
  expect_match(out[1], "2 outcomes .* on 25 areal units, 2 missing count")
  expect_true(any(grepl("^Covariates: x", out)))
  expect_true(any(grepl("^Lambda\\[1,2\\]", out)))
  expect_true(any(grepl("^beta\\[x,outcome1\\]", out)))
  expect_true(any(grepl(sprintf("DIC = %.1f", fit$dic[["DIC"]]), out,
                        fixed = TRUE)))
  expect_true(any(grepl("^Acceptance rates: beta", out)))
  s <- summary(fit, level = 0.9, variables = c("beta", "eta[2]"))
  expect_identical(rownames(s$parameters),
                   c("beta[(Intercept),outcome1]", "beta[x,outcome1]",
                     "beta[(Intercept),outcome2]", "beta[x,outcome2]",
                     "eta[2]"))
  # print() names the coefficients as summary() and the draws do.
  expect_true(any(grepl("^beta\\[x,outcome2\\]", out)))
  eta2 <- unlist(lapply(fit$draws, function(d) d$eta[, 2]))
  expect_equal(s$parameters["eta[2]", "upper"],
               quantile(eta2, 0.95, names = FALSE))
  out <- utils::capture.output(print(s))
  expect_true(any(grepl("90% credible intervals", out, fixed = TRUE)))
  expect_true(any(grepl("interval > 1", out, fixed = TRUE)))
  expect_input_error(summary(fit, level = 2), "level")
})

test_that("small coefficients print to significant digits", {
  fmt <- asNamespace("mcar")$.fmt_table
  tab <- data.frame(mean = c(0.002134, -1.5, 1234.5), sd = c(0.00412, 0.25, 10),
                    rhat = c(1.0012, 1.2, NA), ess_bulk = c(812.4, 40, NA))
  out <- fmt(tab, 3)
  expect_identical(out$mean, c("0.00213", "-1.50", "1230"))
  expect_identical(out$sd, c("0.00412", "0.250", "10.0"))
  expect_identical(out$rhat, c("1.001", "1.200", ""))
  expect_identical(out$ess_bulk, c("812", "40", ""))
})

test_that("summary says what its columns mean", {
  out <- paste(capture.output(print(summary(toy_fit()))), collapse = " ")
  expect_match(out, "interval > 1 / < 1: the number of units whose 95%\\s+credible")
  expect_match(out, "rhat: potential scale reduction")
})

test_that("coef gives the posterior means of the reported parameters", {
  fit <- toy_fit()
  cf <- coef(fit)
  expect_type(cf, "list")
  expect_named(cf, c("beta", "Lambda", "A"))
  all_draws <- function(el) do.call(rbind, lapply(fit$draws, `[[`, el))
  expect_identical(dimnames(cf$beta), list(c("(Intercept)", "x"), fit$outcomes))
  expect_equal(as.vector(cf$beta), unname(colMeans(all_draws("beta"))))
  expect_equal(cf$Lambda[1, 2], mean(all_draws("Lambda")[, "Lambda[1,2]"]))
  expect_identical(cf$Lambda[2, 1], 0)
  expect_true(isSymmetric(unname(cf$A)))
  expect_equal(cf$A[2, 1], mean(all_draws("A")[, "A[1,2]"]))
})

test_that("confint, vcov and as.data.frame summarise the kept draws", {
  fit <- toy_fit()
  m <- draws_matrix(fit, c("beta", "Lambda", "A"))
  ci <- confint(fit, level = 0.9)
  expect_identical(rownames(ci), colnames(m))
  expect_identical(colnames(ci), c("5 %", "95 %"))
  expect_equal(ci[, 1], apply(m, 2, quantile, 0.05), ignore_attr = TRUE)
  expect_equal(confint(fit, "eta[2]")[1, 2],
               quantile(draws_matrix(fit, "eta")[, 2], 0.975),
               ignore_attr = TRUE)
  expect_equal(vcov(fit), cov(draws_matrix(fit, "beta")))
  df <- as.data.frame(fit, variables = c("Lambda", "deviance"))
  expect_identical(names(df), c("Lambda[1,1]", "Lambda[1,2]", "Lambda[2,2]",
                                "deviance", ".chain", ".iteration", ".draw"))
  expect_equal(as.matrix(df[1:4]),
               draws_matrix(fit, c("Lambda", "deviance")), ignore_attr = TRUE)
  expect_identical(df$.chain, rep(1:2, each = 200))
})

test_that("one outcome without covariates works end to end", {
  d <- toy_data()
  fit <- fit_quietly(d$Y[, 1], d$E[, 1], d$W, n_sample = 200, chains = 2,
                     seed = 3)
  expect_identical(fit$outcomes, "outcome1")
  want <- expected_names(25, 1, 1, matrix(TRUE, 25, 1), "(Intercept)")
  expect_identical(posterior::variables(posterior::as_draws_df(fit)), want)
  # With one field the association matrix is its eigenvalue.
  expect_identical(fit$draws$chain1$A[, 1], fit$draws$chain1$eta[, 1])
  expect_identical(dim(coef(fit)$Lambda), c(1L, 1L))
  expect_identical(dim(fitted(fit)), c(25L, 1L))
  expect_identical(nrow(predict(fit)), 25L)
  expect_equal(as.vector(fitted(fit, type = "risk")), colMeans(rr_by_hand(fit)),
               tolerance = 1e-12)
  expect_output(print(fit), "1 outcome \\(outcome1\\)")
})

test_that("print and summary count the chains kept and name a lost one", {
  fit <- toy_fit()
  lost <- fit
  for (el in c("draws", "acceptance", "scales", "initial_scales", "tuning",
               "init", "last_state", "summaries")) {
    lost[[el]] <- fit[[el]][1L]
  }
  lost$lost_chains <- 2L
  out <- capture.output(print(lost))
  expect_true(any(startsWith(out, "1 chain x ")))
  expect_true("1 of 2 chains kept: chain 2 was lost with its worker" %in% out)
  out <- capture.output(print(suppressWarnings(summary(lost))))
  expect_true("1 of 2 chains kept: chain 2 was lost with its worker" %in% out)
  expect_false(any(grepl("lost", capture.output(print(fit)))))
})
