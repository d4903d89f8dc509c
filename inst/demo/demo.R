# Fits the bundled simulated data set (three outcomes on the 87 Minnesota
# counties) with two chains and compares the fit with the values the data
# were simulated from.
#
#     R_LIBS=build/lib Rscript inst/demo/demo.R
#
# Output files (the sampler's log, maps and trace plots) go to the directory
# named by the environment variable MCAR_DEMO_OUT, or else to a new directory
# under the system's temporary directory that outlives this R session; their
# paths are printed.  The run itself happens in a
# temporary working directory, so nothing is written where the script is
# started from.

suppressPackageStartupMessages(library(mcar))

out_dir <- Sys.getenv("MCAR_DEMO_OUT", "")
if (!nzchar(out_dir)) {
  # Not under tempdir(): R removes that when the session ends.
  tmp <- Sys.getenv("TMPDIR", "/tmp")
  out_dir <- file.path(tmp, paste0("mcar-demo-", format(Sys.time(), "%Y%m%d-%H%M%S")))
}
dir.create(out_dir, recursive = TRUE, showWarnings = FALSE)
out_dir <- normalizePath(out_dir)

work_dir <- tempfile("mcar-demo-work-")
dir.create(work_dir)
old_wd <- setwd(work_dir)

workers <- min(2L, future::availableCores())
old_plan <- if (workers >= 2L) {
  future::plan("multisession", workers = 2L)
} else {
  future::plan("sequential")
}

demo <- function() {
  started <- proc.time()[["elapsed"]]
  sim <- minnesota_simulated()
  truth <- minnesota_truth()
  W <- minnesota_adjacency()

  cat("mcar demo: simulated counts of 3 outcomes on the", nrow(W),
      "counties of Minnesota\n")
  cat(sprintf("chains run %s\n\n", if (workers >= 2L)
    "in parallel on 2 worker processes" else "one after the other"))

  log_file <- file.path(out_dir, "sampler.log")
  fit <- mcar_fit(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"), W, data = sim,
                  n_sample = 60000, burnin = 20000, thin = 20, chains = 2,
                  seed = 2024, progress = FALSE, log_file = log_file)
  s <- summary(fit)
  cat(sprintf("2 chains x %d sweeps (burn-in %d, tuned), every %dth kept: ",
              fit$settings$n_sample, fit$settings$burnin,
              fit$settings$thin),
      sprintf("%.1f s\n", fit$seconds), sep = "")
  cat("sampler output (3 lines per sweep):", log_file, "\n\n")

  # ---- parameters against the truth ----
  p <- s$parameters
  tab <- data.frame(true = truth[rownames(p)], mean = p$mean,
                    lower = p$lower, upper = p$upper,
                    covered = ifelse(truth[rownames(p)] >= p$lower &
                                       truth[rownames(p)] <= p$upper,
                                     "yes", "no"),
                    rhat = p$rhat, ess_bulk = round(p$ess_bulk),
                    row.names = rownames(p))
  num <- c("true", "mean", "lower", "upper", "rhat")
  tab[num] <- lapply(tab[num], function(x) sprintf("%.3f", x))
  names(tab)[3:4] <- c("2.5%", "97.5%")
  cat("Intercepts (gbeta), loadings (lamda) and association matrix",
      "(alpha: A11 A12 A13 A22 A23 A33):\n")
  print(tab, right = TRUE)

  # ---- sampler ----
  cat("\nAcceptance rates of the kept sweeps (per chain; range over the",
      "coordinates of each block):\n")
  acc <- s$acceptance
  acc$rate <- ifelse(acc$min == acc$max, sprintf("%.3f", acc$mean),
                     sprintf("%.3f (%.3f-%.3f)", acc$mean, acc$min, acc$max))
  wide <- reshape(acc[c("chain", "block", "rate")], idvar = "block",
                  timevar = "chain", direction = "wide")
  names(wide) <- c("block", paste("chain", unique(acc$chain)))
  print(wide, row.names = FALSE, right = FALSE)

  d <- fit$dic
  cat(sprintf(paste0("\nDeviance (-2 x Poisson log-likelihood kernel): ",
                     "Dbar = %.2f, Dtheta = %.2f, pD = %.2f, DIC = %.2f\n"),
              d[["Dbar"]], d[["Dtheta"]], d[["pD"]], d[["DIC"]]))

  # ---- relative risks against the truth ----
  rr <- relative_risk(fit)
  cat("\nPosterior-mean relative risks against the true ones",
      "(87 counties per outcome):\n")
  rows <- lapply(1:3, function(r) {
    est <- rr[rr$outcome == paste0("Y", r), ]
    true <- sim[[paste0("RR", r)]]
    smr <- est$smr
    data.frame(
      outcome = paste0("Y", r),
      correlation = cor(est$mean, true),
      mae = mean(abs(est$mean - true)),
      mae_smr = mean(abs(smr - true)),
      coverage = mean(true >= est$lower & true <= est$upper),
      width = mean(est$upper - est$lower))
  })
  cmp <- do.call(rbind, rows)
  all_true <- unlist(sim[paste0("RR", 1:3)])
  cmp <- rbind(cmp, data.frame(
    outcome = "all",
    correlation = cor(rr$mean, all_true),
    mae = mean(abs(rr$mean - all_true)),
    mae_smr = mean(abs(rr$smr - all_true)),
    coverage = mean(all_true >= rr$lower & all_true <= rr$upper),
    width = mean(rr$upper - rr$lower)))
  cmp[-1] <- lapply(cmp[-1], function(x) sprintf("%.3f", x))
  names(cmp) <- c("outcome", "correlation", "mean abs error",
                  "(raw SMR)", "95% coverage", "mean width")
  print(cmp, row.names = FALSE, right = TRUE)

  # ---- pictures ----
  png_file <- function(name, width, height) {
    path <- file.path(out_dir, name)
    grDevices::png(path, width = width, height = height, res = 110,
                   type = if (capabilities("cairo")) "cairo" else NULL)
    path
  }
  files <- character()
  files["maps of posterior mean relative risk"] <-
    png_file("rr_maps.png", 1500, 560)
  plot(fit, type = "map")
  grDevices::dev.off()
  files["maps of P(RR > 1)"] <- png_file("exceedance_maps.png", 1500, 560)
  plot(fit, type = "map", stat = "prob_gt1")
  grDevices::dev.off()
  files["trace plots"] <- png_file("trace.png", 1500, 1100)
  plot(fit, type = "trace", pars = c("gbeta", "lamda", "alpha", "deviance"))
  grDevices::dev.off()
  cat("\nPictures:\n")
  for (k in names(files)) cat(sprintf("  %-38s %s\n", k, files[[k]]))
  cat(sprintf("\ndemo finished in %.1f s\n",
              proc.time()[["elapsed"]] - started))
}

tryCatch(demo(), finally = {
  future::plan(old_plan)
  setwd(old_wd)
  unlink(work_dir, recursive = TRUE)
})
