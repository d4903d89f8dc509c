# The "mcar_fit" object and its methods.

fit2 <- local({
  cached <- NULL
  function() {
    if (is.null(cached)) {
      cached <<- small_fit(chains = 2, n_sample = 400, burnin = 150,
                           thin = 2, seed = 7)
    }
    cached
  }
})

test_that("the fit holds draws of the documented shapes", {
  fit <- fit2()
  expect_s3_class(fit, "mcar_fit")
  expect_named(fit$samples, c("chain1", "chain2"))
  s <- fit$samples$chain2
  expect_identical(dim(s$gbeta), c(125L, 3L))
  expect_identical(colnames(s$lamda), paste0("lamda", 1:6))
  expect_identical(dim(s$phi), c(125L, 87L, 3L))
  expect_identical(dimnames(s$phi)[[2]], minnesota_counties())
  expect_length(s$deviance, 125L)
  expect_false(anyNA(unlist(fit$samples)))
  expect_true(all(s$lamda[, c(1, 4, 6)] > 0))
  expect_identical(fit$units, minnesota_counties())
  expect_identical(fit$outcomes, c("Y1", "Y2", "Y3"))
})

test_that("relative risks, fitted values and DIC agree with the draws", {
  fit <- fit2()
  ns <- asNamespace("mcar")
  rr <- do.call(rbind, lapply(fit$samples, function(s) {
    matrix(exp(ns$.linear_predictor(s)), nrow(s$gbeta))
  }))
  rr_mean <- matrix(colMeans(rr), 87, 3)
  expect_equal(unname(fitted(fit)), rr_mean, tolerance = 1e-12)
  expect_equal(unname(fitted(fit, type = "count")),
               rr_mean * unname(fit_data()$N), tolerance = 1e-12)
  tab <- relative_risk(fit, level = 0.9)
  expect_identical(nrow(tab), 261L)
  expect_equal(tab$mean, as.vector(rr_mean), tolerance = 1e-12)
  expect_equal(tab$lower, unname(apply(rr, 2, quantile, 0.05)),
               tolerance = 1e-12)
  expect_equal(tab$prob_gt1, colMeans(rr > 1))
  expect_identical(tab$unit[88], minnesota_counties()[1])
  expect_identical(tab$outcome[88], "Y2")
  expect_true(all(tab$lower <= tab$median & tab$median <= tab$upper))
  dev <- unlist(lapply(fit$samples, `[[`, "deviance"))
  expect_equal(fit$dic[["Dbar"]], mean(dev))
  expect_equal(fit$dic[["DIC"]], fit$dic[["Dbar"]] + fit$dic[["pD"]])
  expect_gt(fit$dic[["pD"]], 0)
})

test_that("summary gives intervals and convergence diagnostics per parameter", {
  fit <- fit2()
  s <- summary(fit, level = 0.8)
  p <- s$parameters
  expect_identical(rownames(p), c(paste0("gbeta", 1:3), paste0("lamda", 1:6),
                                  paste0("alpha", 1:6)))
  x <- cbind(fit$samples$chain1$lamda[, "lamda2"],
             fit$samples$chain2$lamda[, "lamda2"])
  expect_equal(p["lamda2", "mean"], mean(x))
  expect_equal(p["lamda2", "upper"], unname(quantile(x, 0.9)))
  skip_if_not_installed("posterior")
  expect_equal(p["lamda2", "rhat"], posterior::rhat(x))
  expect_equal(p["lamda2", "ess_tail"], posterior::ess_tail(x))
  out <- capture.output(print(s))
  expect_true(any(grepl("2 chains x 125 kept draws", out)))
  expect_true(any(grepl("^DIC = ", out)))
  expect_true(any(grepl("lamda_off", out)))
  out <- capture.output(print(fit))
  expect_true(any(grepl("2 chains x 125 kept draws", out)))
  expect_true(any(grepl("^alpha6 ", out)))
  expect_named(coef(fit), rownames(p))
})

test_that("the split R-hat used without posterior flags chains that disagree", {
  ns <- asNamespace("mcar")
  set.seed(1)
  same <- matrix(rnorm(2000), 1000, 2)
  apart <- cbind(rnorm(1000), rnorm(1000, 1))
  # For independent draws from one distribution split R-hat is 1 within
  # about 1 / sqrt(draws); chains a standard deviation apart are far above.
  expect_lt(abs(ns$.split_rhat(same) - 1), 0.01)
  expect_gt(ns$.split_rhat(apart), 1.1)
})

test_that("draws convert to coda and posterior formats unchanged", {
  fit <- fit2()
  m <- as.mcmc(fit, pars = c("gbeta", "lamda3", "rr2[minnesota,anoka]",
                             "deviance"))
  expect_s3_class(m, "mcmc.list")
  expect_length(m, 2L)
  expect_identical(coda::varnames(m), c("gbeta1", "gbeta2", "gbeta3",
                                        "lamda3", "rr2[minnesota,anoka]",
                                        "deviance"))
  expect_identical(unname(as.matrix(m[[2]])[, "lamda3"]),
                   unname(fit$samples$chain2$lamda[, "lamda3"]))
  rr <- relative_risk(fit)
  expect_equal(mean(as.matrix(m)[, "rr2[minnesota,anoka]"]),
               rr$mean[rr$outcome == "Y2" & rr$unit == "minnesota,anoka"])
  expect_identical(coda::thin(m), 2)
  expect_identical(start(m), 152)
  expect_error(as.mcmc(fit, pars = "lamda9"), class = "mcar_input_error")
  skip_if_not_installed("posterior")
  d <- posterior::as_draws(fit, pars = c("alpha", "phi"))
  expect_s3_class(d, "draws_array")
  expect_identical(posterior::nchains(d), 2L)
  expect_identical(posterior::ndraws(d), 250L)
  expect_identical(posterior::variables(d)[7], "phi1[minnesota,aitkin]")
  expect_identical(unname(posterior::extract_variable_matrix(d, "alpha4")),
                   unname(cbind(fit$samples$chain1$alpha[, 4],
                                fit$samples$chain2$alpha[, 4])))
  df <- posterior::as_draws_df(fit)
  expect_identical(nrow(df), 250L)
})

test_that("plots draw traces, densities and maps", {
  fit <- fit2()
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off(), add = TRUE)
  expect_identical(plot(fit, pars = c("gbeta", "deviance")),
                   c(paste0("gbeta", 1:3), "deviance"))
  expect_length(plot(fit, type = "density", pars = "phi", per_page = 30),
                261L)
  skip_if_not_installed("maps")
  m <- plot(fit, type = "map")
  expect_equal(m$values, fit$risk$mean)
  # Colour classes are symmetric about 1 on the log scale.
  expect_equal(log(m$breaks), -rev(log(m$breaks)), tolerance = 1e-8)
  p <- plot(fit, type = "map", stat = "prob_gt1", outcomes = "Y3")
  expect_identical(colnames(p$values), "Y3")
  expect_error(plot(fit, type = "map", outcomes = 4),
               class = "mcar_input_error")
  skip_if_not_installed("sf")
  shapes <- sf::st_as_sf(maps::map("county", "minnesota", plot = FALSE,
                                   fill = TRUE))
  expect_silent(plot(fit, type = "map", map = shapes, outcomes = 1:2))
  expect_error(plot(fit, type = "map", map = shapes[-1, ]),
               class = "mcar_input_error")
})
