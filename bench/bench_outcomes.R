# Many outcomes on a small map: the bundled influenza counts of 140
# districts with each of the eight years as an outcome (K = 8), where the
# moves of the association matrix and the loadings, whose cost grows with
# K^2 to K^3, weigh as much as the passes over the cells.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_outcomes.R
#     [--families negbinomial,poisson] [--sweeps 8000] [--until yes]
#     [--lib DIR] [--seed 1]
#
# For each family: one chain of --sweeps (half burn-in), its sampling
# seconds; with --until yes, also mcar_fit(until = TRUE) at the defaults
# (4 chains): the sweeps per chain it took, its sampling and wall seconds,
# the stored per-unit draws per chain and the peak memory of the R process.
# --lib DIR adds the rows of the package installed in DIR (another build,
# for a before / after comparison).

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

if ("--child" %in% argv) {
  load_mcar()
  family <- opt("--family", "negbinomial")
  seed <- as.integer(opt("--seed", 1))
  f <- flu_bybw()
  wide <- function(v) {
    w <- reshape(f[c("district", "year", v)], idvar = "district",
                 timevar = "year", direction = "wide")
    rownames(w) <- w$district
    as.matrix(w[, -1])
  }
  Y <- wide("cases")
  E <- wide("expected")[rownames(Y), ]
  W <- flu_bybw_adjacency()
  if (opt("--what", "chain") == "chain") {
    fit <- suppressWarnings(mcar_fit(
      Y, E, W, family = family, seed = seed, chains = 1, threads = 1,
      n_sample = as.integer(opt("--sweeps", 8000)), progress = FALSE))
    cat(sprintf("RESULT seconds=%.2f\n", sum(fit$chain_seconds)))
  } else {
    t0 <- proc.time()[["elapsed"]]
    fit <- suppressWarnings(suppressMessages(mcar_fit(
      Y, E, W, family = family, seed = seed, until = TRUE, progress = FALSE)))
    wall <- proc.time()[["elapsed"]] - t0
    cat(sprintf(paste("RESULT sweeps=%d sampling=%.1f wall=%.1f stored=%d",
                      "peak=%.0f\n"), fit$settings$n_sample,
                sum(fit$chain_seconds), wall, nrow(fit$draws[[1]]$phi),
                peak_mb()))
  }
  quit(save = "no")
}

families <- strsplit(opt("--families", "negbinomial,poisson"), ",")[[1]]
lib <- opt("--lib", "")
pkgs <- c(if (nzchar(lib)) lib, "this")
run <- function(pkg, family, what) {
  child_result(c(file.path(here, "bench_outcomes.R"), "--child", "--family",
                 family, "--what", what, "--sweeps", opt("--sweeps", "8000"),
                 "--seed", opt("--seed", "1"),
                 if (pkg != "this") c("--lib", pkg)))
}
cat(sprintf("Influenza, 140 districts x 8 years as outcomes; one chain of %s sweeps\n",
            opt("--sweeps", "8000")))
cat(sprintf("%-12s %-12s %8s\n", "package", "family", "seconds"))
for (family in families) for (pkg in pkgs) {
  v <- run(pkg, family, "chain")
  cat(sprintf("%-12s %-12s %8s\n", basename(pkg), family,
              if (is.null(v)) "failed" else v[["seconds"]]))
}
if (opt("--until", "no") == "yes") {
  cat("\nThe same with until = TRUE at the defaults (4 chains)\n")
  cat(sprintf("%-12s %-12s %8s %10s %8s %8s %9s\n", "package", "family",
              "sweeps", "sampling s", "wall s", "stored", "peak MB"))
  for (family in families) for (pkg in pkgs) {
    v <- run(pkg, family, "until")
    if (is.null(v)) {
      cat(sprintf("%-12s %-12s failed\n", basename(pkg), family))
      next
    }
    cat(sprintf("%-12s %-12s %8s %10s %8s %8s %9s\n", basename(pkg), family,
                v[["sweeps"]], v[["sampling"]], v[["wall"]], v[["stored"]],
                v[["peak"]]))
  }
}
