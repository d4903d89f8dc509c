# Mixing of each likelihood family on the North Carolina data (100
# counties, two periods, the non-white share as covariate): the minimum
# bulk effective sample size per second of sampling over beta, Lambda, A,
# the cell risks (rr, or prob for the binomial) and the negative binomial
# sizes, with the largest R-hat beside it.
#
#   R_LIBS=build/lib Rscript bench/bench_families.R [--sweeps 10000] [--seeds 3]
#
# Each family is fitted with 4 chains one after the other (sequential
# plan), `sweeps` sweeps each, half of them burn-in, for each of `seeds`
# seeds; the table gives medians over the seeds.  Seconds are those of the
# chains themselves (fit$chain_seconds), not of the set-up or the summaries.
# About two minutes on a 2-core machine with the defaults.

suppressPackageStartupMessages({
  library(mcar)
  library(posterior)
})

args <- commandArgs(trailingOnly = TRUE)
arg <- function(name, default) {
  i <- match(paste0("--", name), args)
  if (is.na(i)) default else as.numeric(args[i + 1L])
}
sweeps <- arg("sweeps", 10000)
n_seeds <- arg("seeds", 3)

future::plan("sequential")
nc <- nc_sids()

fit_family <- function(family, seed) {
  common <- list(W = nc, covariates = ~ nonwhite, data = nc,
                 family = family, n_sample = sweeps, chains = 4,
                 seed = seed, progress = FALSE)
  fit <- if (family == "binomial") {
    do.call(mcar_fit, c(list(c("SID74", "SID79"),
                             trials = c("BIR74", "BIR79")), common))
  } else {
    do.call(mcar_fit, c(list(c("SID74", "SID79"), c("E74", "E79")), common))
  }
  fit
}

# Minimum bulk ESS and maximum R-hat of each group of a fit.
group_mixing <- function(fit) {
  groups <- c("beta", "Lambda", "A",
              if (fit$family == "binomial") "prob" else "rr",
              if (fit$family == "negbinomial") "dispersion")
  vapply(groups, function(g) {
    a <- as_draws_array(fit, variables = g)
    ess <- apply(unclass(a), 3L, ess_bulk)
    rhat <- apply(unclass(a), 3L, rhat)
    c(ess = min(ess), rhat = max(rhat))
  }, numeric(2))
}

rows <- list()
for (family in c("poisson", "binomial", "negbinomial")) {
  per_seed <- lapply(seq_len(n_seeds), function(s) {
    fit <- suppressWarnings(fit_family(family, 100 + s))
    m <- group_mixing(fit)
    secs <- sum(fit$chain_seconds)
    list(ess = m["ess", ], rhat = m["rhat", ], seconds = secs,
         ess_per_s = min(m["ess", ]) / secs)
  })
  med <- function(f) apply(sapply(per_seed, f), 1L, median)
  ess <- med(function(x) x$ess)
  rows[[family]] <- data.frame(
    family = family,
    seconds = median(sapply(per_seed, `[[`, "seconds")),
    beta = ess[["beta"]], Lambda = ess[["Lambda"]], A = ess[["A"]],
    risk = ess[[if (family == "binomial") "prob" else "rr"]],
    dispersion = if (family == "negbinomial") ess[["dispersion"]] else NA,
    ess_per_s = median(sapply(per_seed, `[[`, "ess_per_s")),
    max_rhat = max(sapply(per_seed, function(x) max(x$rhat))))
  cat(sprintf("%s done (%d seeds)\n", family, n_seeds))
}
tab <- do.call(rbind, rows)

cat(sprintf(paste0("\nNorth Carolina, K = 2, one covariate; 4 chains x %d ",
                   "sweeps (%d kept each), sequential; medians over %d ",
                   "seeds\n\n"), sweeps, sweeps / 2, n_seeds))
fmt <- function(x) ifelse(is.na(x), "-", sprintf("%.0f", x))
cat("| family | seconds (4 chains) | min bulk ESS beta / Lambda / A / rr or prob / dispersion | min bulk ESS per second | largest R-hat |\n")
cat("|---|---|---|---|---|\n")
for (i in seq_len(nrow(tab))) {
  r <- tab[i, ]
  cat(sprintf("| %s | %.2f | %s / %s / %s / %s / %s | %.0f | %.3f |\n",
              r$family, r$seconds, fmt(r$beta), fmt(r$Lambda), fmt(r$A),
              fmt(r$risk), fmt(r$dispersion), r$ess_per_s, r$max_rhat))
}
