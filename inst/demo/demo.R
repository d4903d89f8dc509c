# Four studies with mcar, start to finish:
#
#   1. the simulated data set on the 87 Minnesota counties (three outcomes),
#      where the values the counts were drawn from are known, so that the
#      posterior can be held against them;
#   2. sudden infant deaths in the 100 North Carolina counties in 1974-78
#      and 1979-84 (one outcome over two periods), with the share of
#      non-white births as a covariate;
#   3. the same deaths as a binomial outcome: deaths among the births of
#      each county and period, the probability of a death mapped;
#   4. influenza in the 140 districts of Bavaria and Baden-Wuerttemberg by
#      year, 2001-2008: one outcome over eight periods, with the temporal
#      correlation of its fields.
#
#     R_LIBS=build/lib Rscript inst/demo/demo.R      (or: make demo)
#
# Output files (the sampler's log, maps, trace and density plots) go to the
# directory named by the environment variable MCAR_DEMO_OUT, or else to a new
# directory under the system's temporary directory that outlives this R
# session; their paths are printed at the end.  The run itself happens in a
# temporary working directory, so nothing is written where the script is
# started from.  The chains run on two worker processes when two cores are
# available.

suppressPackageStartupMessages(library(mcar))

out_dir <- Sys.getenv("MCAR_DEMO_OUT", "")
if (!nzchar(out_dir)) {
  # Not under tempdir(): R removes that when the session ends.
  tmp <- Sys.getenv("TMPDIR", "/tmp")
  out_dir <- file.path(tmp, paste0("mcar-demo-",
                                   format(Sys.time(), "%Y%m%d-%H%M%S")))
}
dir.create(out_dir, recursive = TRUE, showWarnings = FALSE)
out_dir <- normalizePath(out_dir)

# The workers start before the move to the temporary working directory, so
# that none of them is left in it when it is removed at the end.
workers <- min(2L, future::availableCores())
old_plan <- if (workers >= 2L) {
  future::plan("multisession", workers = 2L)
} else {
  future::plan("sequential")
}

work_dir <- tempfile("mcar-demo-work-")
dir.create(work_dir)
old_wd <- setwd(work_dir)

# ---- helpers ----------------------------------------------------------------

rule <- function(title) {
  cat("\n", strrep("=", 78), "\n", title, "\n", strrep("=", 78), "\n",
      sep = "")
}

section <- function(title) cat("\n---- ", title, " ----\n", sep = "")

# Runs `expr`, holding its warnings back and printing them afterwards as
# notes, so that they appear next to the output they are about.
with_notes <- function(expr) {
  notes <- character()
  value <- withCallingHandlers(expr, warning = function(w) {
    notes <<- c(notes, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  list(value = value, notes = notes)
}

print_notes <- function(notes) {
  for (msg in unique(trimws(notes))) {
    cat(strwrap(paste("note:", msg), width = 78, exdent = 6), sep = "\n")
  }
}

# WAIC and LOO over the observed counts, through the methods for loo's
# generics.
print_ic <- function(fit) {
  w <- with_notes(loo::waic(fit))
  l <- with_notes(loo::loo(fit))
  est <- rbind(w$value$estimates, l$value$estimates)
  est <- data.frame(estimate = sprintf("%.1f", est[, "Estimate"]),
                    se = sprintf("%.1f", est[, "SE"]),
                    row.names = rownames(est))
  d <- fit$dic
  cat(sprintf("DIC %.1f (pD %.1f)\n", d[["DIC"]], d[["pD"]]))
  print(est, right = TRUE)
  k <- l$value$diagnostics$pareto_k
  cat(sprintf(paste0("Pareto k of the %d LOO points: %d at most 0.5, %d in ",
                     "(0.5, 0.7], %d above 0.7\n"),
              length(k), sum(k <= 0.5), sum(k > 0.5 & k <= 0.7),
              sum(k > 0.7)))
  if (any(k > 0.7)) {
    cat(strwrap(paste(
      "(each county has its own random effect, so leaving one of its counts",
      "out moves the posterior a lot: many large k are usual in disease",
      "mapping, and the LOO estimate is then rough; WAIC and LOO are best",
      "read as relative measures between models fitted to the same counts)"),
      width = 78), sep = "\n")
  }
  invisible(list(waic = w$value, loo = l$value))
}

# The `top` units with the highest posterior mean relative risk of each
# outcome, with P(RR > 1).
print_top <- function(fit, top = 5, rename = identity) {
  rr <- relative_risk(fit)
  rr$unit <- rename(rr$unit)
  # Over periods, each county once per period: "Anson 1974".
  if (!is.null(rr$period)) rr$unit <- paste(rr$unit, rr$period)
  for (o in fit$outcomes) {
    r <- rr[rr$outcome == o, ]
    r <- r[order(-r$mean), ][seq_len(top), ]
    tab <- data.frame(r$unit, r$observed, sprintf("%.1f", r$expected),
                      sprintf("%.2f", r$smr), sprintf("%.2f", r$mean),
                      sprintf("%.2f-%.2f", r$lower, r$upper),
                      sprintf("%.3f", r$prob_gt))
    names(tab) <- c("county", "observed", "expected", "SMR", "RR",
                    "95% interval", "P(RR > 1)")
    cat(sprintf("%s: the %d counties of highest posterior mean risk\n", o,
                top))
    print(tab, row.names = FALSE, right = TRUE)
  }
}

files <- character()
picture <- function(label, name, width, height, draw) {
  path <- file.path(out_dir, name)
  grDevices::png(path, width = width, height = height, res = 110,
                 type = if (capabilities("cairo")) "cairo" else NULL)
  ok <- FALSE
  on.exit(if (!ok) grDevices::dev.off())
  draw()
  grDevices::dev.off()
  ok <- TRUE
  files[label] <<- path
  invisible(path)
}

# ---- 1. simulated counts on the Minnesota map ------------------------------

minnesota <- function() {
  rule("1. Simulated counts of three outcomes on the 87 Minnesota counties")
  sim <- minnesota_simulated()
  truth <- minnesota_truth()
  W <- minnesota_adjacency()
  cat(sprintf(paste0("%d counties, %d neighbour pairs; observed counts ",
                     "%d, %d and %d, expected %.0f, %.0f and %.0f\n"),
              nrow(W), sum(W) / 2, sum(sim$Y1), sum(sim$Y2), sum(sim$Y3),
              sum(sim$N1), sum(sim$N2), sum(sim$N3)))
  cat(sprintf("chains run %s\n", if (workers >= 2L)
    "in parallel on 2 worker processes" else "one after the other"))

  log_file <- file.path(out_dir, "minnesota_sampler.log")
  fit <- mcar_fit(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"), W, data = sim,
                  n_sample = 10000, chains = 2, seed = 2024,
                  map = minnesota_map(), progress = FALSE,
                  log_file = log_file)
  cat(sprintf("fitted in %.1f s; the sampler's log: %s\n", fit$seconds,
              log_file))

  section("summary(fit)")
  print(summary(fit))

  # The true values, named as the fit names its parameters: intercepts
  # gbeta_r -> beta[(Intercept),r]; the loadings lamda1..6 and the
  # association matrix alpha1..6 are upper triangles taken row by row (11,
  # 12, 13, 22, 23, 33).
  section("posterior against the values the data were simulated from")
  K <- 3L
  rowwise <- which(upper.tri(diag(K), diag = TRUE), arr.ind = TRUE)
  rowwise <- rowwise[order(rowwise[, "row"], rowwise[, "col"]), ]
  ij <- sprintf("%d,%d", rowwise[, "row"], rowwise[, "col"])
  key <- c(setNames(sprintf("beta[(Intercept),%s]", fit$outcomes),
                    paste0("gbeta", 1:K)),
           setNames(sprintf("Lambda[%s]", ij), paste0("lamda", 1:6)),
           setNames(sprintf("A[%s]", ij), paste0("alpha", 1:6)))
  p <- summary(fit)$parameters[key, ]
  true <- truth[names(key)]
  covered <- true >= p$lower & true <= p$upper
  tab <- data.frame(truth = names(key), true = sprintf("%.3f", true),
                    mean = sprintf("%.3f", p$mean),
                    `2.5%` = sprintf("%.3f", p$lower),
                    `97.5%` = sprintf("%.3f", p$upper),
                    covered = ifelse(covered, "yes", "NO"),
                    rhat = sprintf("%.3f", p$rhat),
                    ess_bulk = sprintf("%.0f", p$ess_bulk),
                    row.names = key, check.names = FALSE)
  print(tab, right = TRUE)
  cat(sprintf("%d of %d true values inside their 95%% intervals\n",
              sum(covered), length(covered)))

  rr <- relative_risk(fit)
  true_rr <- unlist(sim[paste0("RR", 1:K)])
  cmp <- do.call(rbind, lapply(c(fit$outcomes, "all"), function(o) {
    k <- if (o == "all") rep(TRUE, nrow(rr)) else rr$outcome == o
    t <- true_rr[k]; r <- rr[k, ]
    data.frame(outcome = o, correlation = cor(r$mean, t),
               mae = mean(abs(r$mean - t)), mae_smr = mean(abs(r$smr - t)),
               coverage = mean(t >= r$lower & t <= r$upper),
               width = mean(r$upper - r$lower))
  }))
  cmp[-1] <- lapply(cmp[-1], function(x) sprintf("%.3f", x))
  names(cmp) <- c("outcome", "correlation", "mean abs error", "(raw SMR)",
                  "95% coverage", "mean width")
  cat("\nPosterior mean relative risks against the true ones:\n")
  print(cmp, row.names = FALSE, right = TRUE)

  section("WAIC and LOO")
  print_ic(fit)

  section("highest risks")
  print_top(fit, top = 3, rename = function(u) sub("^minnesota,", "", u))

  picture("Minnesota: maps of posterior mean relative risk",
          "minnesota_rr_maps.png", 1500, 700,
          function() plot(fit, type = "map"))
  picture("Minnesota: maps of P(RR > 1)", "minnesota_prob_maps.png",
          1500, 700, function() plot(fit, type = "map", stat = "prob_gt"))
  chain_pictures(fit, "Minnesota", "minnesota", 1200)
  invisible(fit)
}

# Trace plots and posterior densities of the reported parameters.
chain_pictures <- function(fit, study, prefix, height) {
  vars <- c("beta", "Lambda", "A", if (!is.null(fit$periods)) "alpha",
            "deviance")
  picture(paste0(study, ": trace plots"), paste0(prefix, "_trace.png"), 1600,
          height, function() plot(fit, type = "trace", variables = vars))
  picture(paste0(study, ": posterior densities"),
          paste0(prefix, "_density.png"), 1600, height,
          function() plot(fit, type = "density", variables = vars))
}

# ---- 2. sudden infant deaths in North Carolina -------------------------------

north_carolina <- function() {
  rule("2. Sudden infant deaths in the 100 North Carolina counties")
  nc <- nc_sids()
  cat(sprintf(paste0("%d counties; %d deaths in %d births in 1974-78, %d in ",
                     "%d in 1979-84; non-white share of births %.0f%% to ",
                     "%.0f%%\n"),
              nrow(nc), sum(nc$SID74), sum(nc$BIR74), sum(nc$SID79),
              sum(nc$BIR79), 100 * min(nc$nonwhite), 100 * max(nc$nonwhite)))

  # One outcome over two periods: a row per county and period, named by
  # the year the period starts.
  deaths <- data.frame(
    county = rep(nc$county, 2), period = rep(c(1974L, 1979L), each = nrow(nc)),
    deaths = c(nc$SID74, nc$SID79), expected = c(nc$E74, nc$E79),
    nonwhite = rep(nc$nonwhite, 2))
  # W as sf polygons: neighbours share a boundary point, and the polygons
  # are kept in the fit for its maps.
  fit <- mcar_fit("deaths", "expected", W = nc, data = deaths,
                  unit = "county", time = "period", covariates = ~ nonwhite,
                  n_sample = 20000, thin = 2, chains = 2, seed = 1974,
                  progress = FALSE)
  cat(sprintf("fitted in %.1f s\n", fit$seconds))

  section("summary(fit)")
  print(summary(fit))
  a <- summary(fit)$parameters["alpha[1]", ]
  cat(strwrap(sprintf(paste(
    "The field of 1979-84 follows that of 1974-78 with coefficient %.2f",
    "(95%% interval %.2f to %.2f)%s"), a$mean, a$lower, a$upper,
    if (a$lower > 0) ": the counties' excess risks persist into the next period." else
      paste(": with two periods of 100 counties the data say little about",
            "how far a county's excess risk carries over."))), sep = "\n")

  print_covariate(fit, "relative risk")

  section("WAIC and LOO")
  print_ic(fit)

  section("highest risks")
  print_top(fit, top = 5)
  chain_pictures(fit, "North Carolina", "nc", 1100)
  invisible(fit)
}

# The effect of 10 percentage points more non-white births on `what` (the
# relative risk, or the odds), with its 95% interval, per outcome.
print_covariate <- function(fit, what) {
  section("the covariate")
  p <- summary(fit)$parameters
  for (r in seq_along(fit$outcomes)) {
    b <- p[sprintf("beta[%s,%s]", fit$covariates[2], fit$outcomes[r]), ]
    cat(sprintf(paste0("%s: %s x %.2f (95%% interval %.2f-%.2f) per 10 ",
                       "percentage points more non-white births\n"),
                fit$outcomes[r], what, exp(0.1 * b$mean), exp(0.1 * b$lower),
                exp(0.1 * b$upper)))
  }
}

# ---- 3. the same deaths among births: a binomial fit --------------------------

north_carolina_binomial <- function() {
  rule("3. Sudden infant deaths among births: a binomial fit")
  nc <- nc_sids()
  # Deaths among births: Y ~ Binomial(births, prob), logit(prob) = mu.
  # `trials` takes the place of `expected`.
  fit <- mcar_fit(c("SID74", "SID79"), trials = c("BIR74", "BIR79"),
                  family = "binomial", W = nc, covariates = ~ nonwhite,
                  data = nc, n_sample = 20000, thin = 2, chains = 2,
                  seed = 1974, progress = FALSE)
  cat(sprintf("fitted in %.1f s\n", fit$seconds))

  section("summary(fit)")
  print(summary(fit))

  print_covariate(fit, "odds of a death")

  section("WAIC and LOO")
  print_ic(fit)

  section("highest probabilities")
  rr <- relative_risk(fit)
  for (o in fit$outcomes) {
    r <- rr[rr$outcome == o, ]
    r <- r[order(-r$mean), ][1:5, ]
    tab <- data.frame(r$unit, r$observed, r$trials,
                      sprintf("%.2f", 1000 * r$proportion),
                      sprintf("%.2f", 1000 * r$mean),
                      sprintf("%.2f-%.2f", 1000 * r$lower, 1000 * r$upper),
                      sprintf("%.2f", r$ratio), sprintf("%.3f", r$prob_gt))
    names(tab) <- c("county", "deaths", "births", "raw", "smoothed",
                    "95% interval", "ratio", "P(> overall)")
    cat(sprintf(paste0("%s (overall %.2f deaths per 1000 births): the 5 ",
                       "counties of highest posterior mean probability\n"),
                o, 1000 * r$overall[1]))
    print(tab, row.names = FALSE, right = TRUE)
  }
  cat(strwrap(paste(
    "(raw: deaths per 1000 births; smoothed: the posterior mean probability",
    "per 1000 births, with its 95% interval; ratio: smoothed over the",
    "overall proportion; P(> overall): the posterior probability that the",
    "county's probability exceeds the overall proportion)"), width = 78),
    sep = "\n")

  picture("North Carolina, binomial: maps of the probability of a death",
          "nc_binomial_prob_maps.png", 1600, 560,
          function() plot(fit, type = "map", shared_scale = TRUE))
  picture("North Carolina, binomial: maps of P(prob > overall)",
          "nc_binomial_exceedance_maps.png", 1600, 560,
          function() plot(fit, type = "map", stat = "prob_gt"))
  invisible(fit)
}

# ---- 4. influenza by district and year ----------------------------------------

influenza <- function() {
  rule("4. Influenza in Bavaria and Baden-Wuerttemberg, 2001-2008, by year")
  flu <- flu_bybw()
  W <- flu_bybw_adjacency()
  totals <- tapply(flu$cases, flu$year, sum)
  cat(sprintf("%d districts, %d years; cases per year %s\n",
              nrow(W), length(totals), paste(totals, collapse = ", ")))
  cat(strwrap(paste(
    "Expected cases: each district's share of the population times the",
    "year's total, so that a relative risk compares a district with the",
    "two states in the same year.")), sep = "\n")

  # Sampled until every parameter and risk has R-hat at most 1.01 and bulk
  # ESS at least 400.
  fit <- mcar_fit("cases", "expected", W = W, data = flu, unit = "district",
                  time = "year", map = flu_bybw_map(), chains = 2,
                  seed = 2001, until = TRUE, progress = FALSE)
  cat(sprintf("fitted in %.1f s (%d sweeps per chain)\n", fit$seconds,
              fit$settings$n_sample))

  section("summary(fit)")
  print(summary(fit))
  p <- summary(fit)$parameters
  a <- p["alpha[1]", ]
  cat(strwrap(sprintf(paste(
    "Temporal correlation: a district's field in one year carries over to",
    "the next with coefficient %.2f (95%% interval %.2f to %.2f); A[1,1] =",
    "%.2f says how strongly neighbouring districts share it within a",
    "year."), a$mean, a$lower, a$upper, p["A[1,1]", "mean"])), sep = "\n")

  section("WAIC and LOO")
  print_ic(fit)

  section("highest risks in 2008")
  names <- unique(flu[c("district", "name")])
  district <- function(id) names$name[match(id, names$district)]
  r <- relative_risk(fit, time = 2008)
  r <- r[order(-r$mean), ][1:5, ]
  tab <- data.frame(district(r$unit), r$observed, sprintf("%.1f", r$expected),
                    sprintf("%.2f", r$mean),
                    sprintf("%.2f-%.2f", r$lower, r$upper))
  names(tab) <- c("district", "cases", "expected", "RR", "95% interval")
  print(tab, row.names = FALSE, right = TRUE)

  section("change of risk from 2007 to 2008")
  # The largest rises among the districts whose risk rose with posterior
  # probability at least 0.99.
  ch <- risk_change(fit, from = 2007, to = 2008)
  cat(sum(ch$prob_increase >= 0.99), "of", nrow(ch), "districts rose with",
      "probability at least 0.99,", sum(ch$prob_increase <= 0.01),
      "fell with probability at least 0.99; the largest rises:\n")
  ch <- ch[ch$prob_increase >= 0.99, ]
  ch <- ch[order(-ch$median), ][seq_len(min(5, nrow(ch))), ]
  tab <- data.frame(district(ch$unit), sprintf("%.2f", ch$median),
                    sprintf("%.2f-%.2f", ch$lower, ch$upper),
                    sprintf("%.3f", ch$prob_increase))
  names(tab) <- c("district", "RR 2008 / RR 2007", "95% interval",
                  "P(increase)")
  print(tab, row.names = FALSE, right = TRUE)

  section("forecast of 2009 and 2010")
  set.seed(2009)
  fc <- predict(fit, horizon = 2)
  top <- ch$unit[1:3]
  f <- fc[fc$unit %in% top, ]
  tab <- data.frame(district(f$unit), f$period, sprintf("%.2f", f$risk_median),
                    sprintf("%.2f-%.2f", f$risk_lower, f$risk_upper),
                    sprintf("%.0f", f$count_mean),
                    sprintf("%d-%d", as.integer(f$count_lower),
                            as.integer(f$count_upper)))
  names(tab) <- c("district", "year", "median RR", "95% interval",
                  "mean cases", "95% predictive")
  print(tab, row.names = FALSE, right = TRUE)
  cat(strwrap(paste(
    "(the fields carried forward by their autoregression with new",
    "innovations drawn from their MCAR prior: the intervals widen with",
    "the horizon as far as alpha lets the present carry over)")), sep = "\n")

  picture("Influenza: relative risk by year", "flu_rr_maps.png", 1800, 760,
          function() plot(fit, type = "map", time = c(2003, 2005, 2007, 2008)))
  picture("Influenza: risk of three districts over time, with a forecast",
          "flu_series.png", 1100, 600,
          function() plot(fit, type = "series", units = top, forecast = fc))
  invisible(fit)
}

demo <- function() {
  started <- proc.time()[["elapsed"]]
  minnesota()
  north_carolina()
  north_carolina_binomial()
  influenza()
  rule("Pictures")
  for (k in names(files)) cat(sprintf("  %-52s %s\n", k, files[[k]]))
  cat(sprintf("\ndemo finished in %.1f s\n",
              proc.time()[["elapsed"]] - started))
}

tryCatch(demo(), finally = {
  future::plan(old_plan)
  setwd(old_wd)
  unlink(work_dir, recursive = TRUE)
})
