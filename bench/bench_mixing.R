# How well the chains mix: minimum bulk ESS per second over the
# coefficients, the loadings, the association matrix and every relative risk,
# with the largest R-hat beside it (over beta, Lambda and A, and over the
# risks apart), 4 chains under a sequential plan.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_mixing.R [--sizes 1000,3000]
#     [--sweeps 4000] [--chains 4] [--bundled yes] [--keep N] [--threads 0]
#
# Data: the bundled Minnesota simulation (K = 3), North Carolina (K = 2,
# covariate nonwhite, Poisson), and the synthetic maps of bench_maps.R
# (bench/synthetic_map.R) with K = 3 and a covariate that varies smoothly
# over the map.  Each row is one fresh R process.  On large maps the fits
# store a thinned share of the per-unit draws (`keep`, by default within
# the fit's memory budget; --keep N stores N per chain); the risks' ESS is
# then that of the stored draws.  --threads sets the threads per chain of
# the effects sweep (maps of 500 units or more; the draws do not depend on
# it), the chains then one after another; 0 (the default) runs the
# package's default (as many chains side by side as there are cores).

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

if ("--child" %in% argv) {
  suppressPackageStartupMessages(library(mcar))
  future::plan("sequential")
  what <- opt("--data", "minnesota")
  sweeps <- as.integer(opt("--sweeps", 4000))
  chains <- as.integer(opt("--chains", 4))
  keep <- opt("--keep", "")
  keep <- if (nzchar(keep)) as.numeric(keep) else NULL
  threads <- as.integer(opt("--threads", 0))
  run <- function(...) suppressWarnings(suppressMessages(mcar_fit(
    ..., n_sample = sweeps, chains = chains, seed = 1, progress = FALSE,
    keep = keep, threads = if (threads > 0L) threads)))
  t0 <- proc.time()[["elapsed"]]
  if (what == "minnesota") {
    sim <- minnesota_simulated()
    fit <- run(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
               minnesota_adjacency())
  } else if (what == "nc") {
    nc <- nc_sids(geometry = FALSE)
    fit <- run(c("SID74", "SID79"), c("E74", "E79"), nc_adjacency(),
               covariates = ~ nonwhite, data = nc)
  } else {
    W <- synthetic_map(as.integer(what))
    d <- bench_data(W)
    fit <- run(d$Y, d$E, W, covariates = cbind(x = d$x))
  }
  seconds <- proc.time()[["elapsed"]] - t0
  ess <- function(group) {
    a <- suppressMessages(posterior::as_draws_array(fit, variables = group))
    s <- posterior::summarise_draws(a, "ess_bulk", "rhat")
    c(min(s$ess_bulk, na.rm = TRUE), max(s$rhat, na.rm = TRUE))
  }
  g <- sapply(c("beta", "Lambda", "A", "rr"), ess)
  cat(sprintf(paste("RESULT data=%s n=%d seconds=%.1f beta=%.0f Lambda=%.0f",
                    "A=%.0f rr=%.0f rhat=%.3f rhat_rr=%.3f\n"),
              what, length(fit$units), seconds, g[1, "beta"], g[1, "Lambda"],
              g[1, "A"], g[1, "rr"], max(g[2, c("beta", "Lambda", "A")]),
              g[2, "rr"]))
  quit(save = "no")
}

sizes <- strsplit(opt("--sizes", "1000,3000"), ",")[[1]]
data_sets <- c(if (opt("--bundled", "yes") == "yes") c("minnesota", "nc"),
               sizes[nzchar(sizes)])
sweeps <- opt("--sweeps", "4000")
chains <- opt("--chains", "4")
keep <- opt("--keep", "")
threads <- opt("--threads", "0")
cat(sprintf("%s chains x %s sweeps (half burn-in), sequential plan, %s\n",
            chains, sweeps, if (threads == "0") "the default threads" else
              paste(threads, "thread(s) a chain, one chain after another")))
cat(sprintf("%10s %7s %8s %7s %7s %7s %7s %9s %7s %7s\n", "data", "units",
            "seconds", "beta", "Lambda", "A", "rr", "ESS/s", "R-hat", "(rr)"))
for (what in data_sets) {
  v <- child_result(c(file.path(here, "bench_mixing.R"), "--child", "--data",
                      what, "--sweeps", sweeps, "--chains", chains,
                      "--threads", threads,
                      if (nzchar(keep)) c("--keep", keep)))
  if (is.null(v)) {
    cat(sprintf("%10s failed\n", what))
    next
  }
  num <- function(k) as.numeric(v[[k]])
  m <- min(num("beta"), num("Lambda"), num("A"), num("rr"))
  cat(sprintf("%10s %7s %8s %7s %7s %7s %7s %9.2f %7s %7s\n", v[["data"]],
              v[["n"]], v[["seconds"]], v[["beta"]], v[["Lambda"]], v[["A"]],
              v[["rr"]], m / num("seconds"), v[["rhat"]], v[["rhat_rr"]]))
}
cat("\nrerun: cd bench && R_LIBS=../build/lib Rscript bench_mixing.R --sizes",
    paste(sizes, collapse = ","), "--sweeps", sweeps, "--chains", chains,
    "--threads", threads, if (nzchar(keep)) c("--keep", keep), "\n")
