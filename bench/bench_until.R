# Time to a trustworthy fit at the defaults: mcar_fit(until = TRUE) runs
# 4 chains (as many at a time as there are cores) until every coefficient,
# loading, entry of the association matrix, size and risk has bulk ESS >=
# 400 and R-hat <= 1.01 (or its budget is spent), and this reports the
# seconds of sampling that took, the sweeps per chain, where the run stood
# at the end, the lowest acceptance of any effect in any chain, how the
# chains used the cores (chains at once x threads each), and the peak
# memory of the R process.  Each case runs in a fresh R process.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_until.R
#     [--cases minnesota,nc_poisson,nc_binomial,nc_negbinomial,3000,10000,30000]
#     [--threads N] [--seconds 1200]
#
# The synthetic maps (synthetic_map.R) carry K = 3 outcomes, a smooth
# covariate and a dozen units with 300 times the others' expected counts.
# --threads sets the threads per chain, the chains one after another
# (default: the package's, the cores shared among chains side by side).

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

if ("--child" %in% argv) {
  suppressPackageStartupMessages(library(mcar))
  future::plan("sequential")
  what <- opt("--data", "minnesota")
  threads <- opt("--threads", "")
  threads <- if (nzchar(threads)) as.integer(threads) else NULL
  until <- mcar_until(max_seconds = as.numeric(opt("--seconds", 1200)))
  run <- function(...) suppressWarnings(mcar_fit(
    ..., seed = 1, progress = FALSE, threads = threads, until = until))
  nc <- nc_sids(geometry = FALSE)
  t0 <- proc.time()[["elapsed"]]
  fit <- switch(what,
    minnesota = {
      sim <- minnesota_simulated()
      run(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
          minnesota_adjacency())
    },
    nc_poisson = run(c("SID74", "SID79"), c("E74", "E79"), nc_adjacency(),
                     covariates = ~ nonwhite, data = nc),
    nc_negbinomial = run(c("SID74", "SID79"), c("E74", "E79"),
                         nc_adjacency(), covariates = ~ nonwhite, data = nc,
                         family = "negbinomial"),
    nc_binomial = run(c("SID74", "SID79"), trials = c("BIR74", "BIR79"),
                      W = nc_adjacency(), covariates = ~ nonwhite, data = nc,
                      family = "binomial"),
    {
      W <- synthetic_map(as.integer(what))
      d <- bench_data(W, hot = 12L, factor = 300)
      run(d$Y, d$E, W, covariates = cbind(x = d$x))
    })
  wall <- proc.time()[["elapsed"]] - t0
  st <- fit$until$status
  acc <- min(vapply(fit$acceptance, function(a) min(a$phi), numeric(1)))
  cat(sprintf(paste("RESULT data=%s n=%d sampling=%.1f wall=%.1f sweeps=%d",
                    "met=%s ess=%.0f ess_at=%s rhat=%.4f rhat_at=%s",
                    "min_phi_acceptance=%.3f threads=%d side=%d",
                    "peak_mb=%.0f\n"),
              what, length(fit$units), sum(fit$chain_seconds), wall,
              as.integer(fit$settings$n_sample), fit$until$met, st$ess,
              st$ess_name, st$rhat, st$rhat_name, acc,
              as.integer(fit$settings$threads),
              as.integer(fit$settings$side_by_side), peak_mb()))
  quit(save = "no")
}

cases <- strsplit(opt("--cases", paste(
  "minnesota,nc_poisson,nc_binomial,nc_negbinomial,3000,10000,30000")),
  ",")[[1]]
cat("| data | units | sampling s | wall s | sweeps per chain | met | min bulk ESS | largest R-hat | min effect acceptance | chains at once x threads | peak MB |\n")
cat("|---|---|---|---|---|---|---|---|---|---|---|\n")
for (what in cases) {
  r <- child_result(c(file.path(here, "bench_until.R"), "--child",
                      "--data", what, argv))
  if (is.null(r)) {
    cat("|", what, "| failed |\n")
    next
  }
  cat(sprintf("| %s | %s | %s | %s | %s | %s | %s (%s) | %s (%s) | %s | %s x %s | %s |\n",
              r[["data"]], r[["n"]], r[["sampling"]], r[["wall"]],
              r[["sweeps"]], r[["met"]], r[["ess"]], r[["ess_at"]],
              r[["rhat"]], r[["rhat_at"]], r[["min_phi_acceptance"]],
              r[["side"]], r[["threads"]], r[["peak_mb"]]))
}
