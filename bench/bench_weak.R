# A common outcome beside a rare one: how well the loadings and the
# association matrix mix when the second outcome has few events.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_weak.R [--rates 0.01,0.05,0.2,1]
#     [--sweeps 8000] [--lib DIR] [--seed 1]
#
# North Carolina's 100 counties: outcome 1 the sudden infant deaths of
# 1974-78 (SID74 against E74), outcome 2 Poisson counts drawn with mean
# rate x E74 (no spatial structure of their own), for each rate.  Default
# fit (Poisson, intercepts only), 4 chains of --sweeps (half burn-in), one
# after another.  Reported: the seconds, the smallest bulk ESS and largest
# R-hat over the coefficients, loadings and association matrix, the bulk
# ESS of Lambda[1,2] (the loading of the common outcome on the rare one's
# field, whose sign only the rare outcome's counts decide) and how often
# its sign changed along the chains.  --lib DIR adds the rows of the
# package installed in DIR (another build, for a before / after
# comparison).

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

if ("--child" %in% argv) {
  load_mcar()
  rate <- as.numeric(opt("--rate", 0.05))
  nc <- nc_sids(geometry = FALSE)
  set.seed(3)
  Y <- cbind(nc$SID74, rpois(nrow(nc), rate * nc$E74))
  E <- cbind(nc$E74, rate * nc$E74)
  t0 <- proc.time()[["elapsed"]]
  fit <- suppressWarnings(mcar_fit(
    Y, E, nc_adjacency(), seed = as.integer(opt("--seed", 1)),
    n_sample = as.integer(opt("--sweeps", 8000)), progress = FALSE,
    threads = 1))
  seconds <- proc.time()[["elapsed"]] - t0
  a <- posterior::as_draws_array(fit, variables = c("beta", "Lambda", "A"))
  s <- posterior::summarise_draws(a, "ess_bulk", "rhat")
  l12 <- unclass(a[, , "Lambda[1,2]"])
  changes <- sum(apply(l12, 2L, function(x) sum(diff(sign(x)) != 0)))
  cat(sprintf(paste("RESULT events=%d seconds=%.1f ess=%.0f rhat=%.3f",
                    "loading=%.0f changes=%d\n"), sum(Y[, 2]), seconds,
              min(s$ess_bulk), max(s$rhat),
              s$ess_bulk[s$variable == "Lambda[1,2]"], changes))
  quit(save = "no")
}

rates <- strsplit(opt("--rates", "0.01,0.05,0.2,1"), ",")[[1]]
lib <- opt("--lib", "")
cat(sprintf("North Carolina, SID74 and a rare outcome; 4 chains x %s sweeps, sequential\n",
            opt("--sweeps", "8000")))
cat(sprintf("%-12s %5s %7s %8s %8s %7s %12s %13s\n", "package", "rate",
            "events", "seconds", "min ESS", "R-hat", "ESS L[1,2]",
            "sign changes"))
for (rate in rates) {
  for (pkg in c(if (nzchar(lib)) lib, "this")) {
    v <- child_result(c(file.path(here, "bench_weak.R"), "--child", "--rate",
                        rate, "--sweeps", opt("--sweeps", "8000"), "--seed",
                        opt("--seed", "1"), if (pkg != "this") c("--lib", pkg)))
    if (is.null(v)) {
      cat(sprintf("%-12s %5s failed\n", basename(pkg), rate))
      next
    }
    cat(sprintf("%-12s %5s %7s %8s %8s %7s %12s %13s\n", basename(pkg), rate,
                v[["events"]], v[["seconds"]], v[["ess"]], v[["rhat"]],
                v[["loading"]], v[["changes"]]))
  }
}
