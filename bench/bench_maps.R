# Large maps: set-up time, time per sweep per unit, peak memory and the size
# of the fit, on synthetic irregular planar maps (bench/synthetic_map.R: a
# grid with random diagonals, cut into two components, three islands) of
# 1,000 to 100,000 units, K = 3 outcomes, an intercept and one smooth
# covariate (p = 2).  Each size runs in a fresh R process, so that its peak
# resident size (VmHWM) is its own.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_maps.R [--sizes 1000,3000]
#     [--chains 4] [--sweeps 1000] [--memory-n 30000]
#
# For each size: one fit of `--chains` chains x `--sweeps` sweeps (half
# burn-in), sequential, then summary(), loo() and plot(type = "map") (with
# square polygons for the units) at the size `--memory-n`.  Prints one row a
# size.

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

vm_kb <- function(field) {
  x <- grep(paste0("^", field, ":"), readLines("/proc/self/status"), value = TRUE)
  as.numeric(gsub("[^0-9]", "", x))
}

squares <- function(W) {
  xy <- attr(W, "coords")
  sf::st_sfc(lapply(seq_len(nrow(xy)), function(i) {
    x <- xy[i, 1]; y <- xy[i, 2]
    sf::st_polygon(list(rbind(c(x, y), c(x + 1, y), c(x + 1, y + 1),
                              c(x, y + 1), c(x, y))))
  }))
}

if ("--child" %in% argv) {
  suppressPackageStartupMessages(library(mcar))
  future::plan("sequential")
  n <- as.integer(opt("--n", 1000))
  chains <- as.integer(opt("--chains", 4))
  sweeps <- as.integer(opt("--sweeps", 1000))
  with_methods <- "--methods" %in% argv
  W <- synthetic_map(n)
  d <- bench_data(W)
  gc()
  rss0 <- vm_kb("VmRSS")
  t0 <- proc.time()[["elapsed"]]
  fit <- suppressWarnings(suppressMessages(mcar_fit(
    d$Y, d$E, W, covariates = cbind(x = d$x), n_sample = sweeps,
    chains = chains, seed = 1, progress = FALSE)))
  total <- proc.time()[["elapsed"]] - t0
  methods_s <- NA_real_
  if (with_methods) {
    t1 <- proc.time()[["elapsed"]]
    s <- suppressMessages(summary(fit))
    l <- suppressWarnings(suppressMessages(loo::loo(fit)))
    png(tempfile(fileext = ".png"), width = 900, height = 400)
    suppressMessages(plot(fit, type = "map", map = squares(W)))
    dev.off()
    methods_s <- proc.time()[["elapsed"]] - t1
  }
  per_unit_us <- 1e6 * sum(fit$chain_seconds) / (chains * sweeps * n)
  cat(sprintf(paste0("RESULT n=%d setup_s=%.2f per_sweep_unit_us=%.3f ",
                     "total_s=%.1f methods_s=%.1f peak_mb=%.0f start_mb=%.0f ",
                     "fit_mb=%.1f stored=%d kept=%d\n"),
              n, fit$setup_seconds, per_unit_us, total, methods_s,
              vm_kb("VmHWM") / 1024, rss0 / 1024,
              as.numeric(utils::object.size(fit)) / 2^20,
              nrow(fit$draws[[1]]$phi), nrow(fit$draws[[1]]$beta)))
  quit(save = "no")
}

sizes <- as.integer(strsplit(opt("--sizes", "1000,3000,10000,30000,100000"),
                             ",")[[1]])
chains <- opt("--chains", "4")
sweeps <- opt("--sweeps", "1000")
memory_n <- as.integer(opt("--memory-n", "30000"))
script <- file.path(here, "bench_maps.R")
cat(sprintf("Synthetic maps, K = 3, p = 2, %s chains x %s sweeps (half burn-in), sequential\n",
            chains, sweeps))
cat(sprintf("%8s %9s %14s %9s %10s %9s %8s %14s\n", "units", "setup s",
            "us/sweep/unit", "fit s", "methods s", "peak MB", "fit MB",
            "stored/kept"))
for (n in sizes) {
  args <- c(script, "--child", "--n", n, "--chains", chains, "--sweeps",
            sweeps, if (n == memory_n) "--methods")
  v <- child_result(args)
  if (is.null(v)) {
    cat(sprintf("%8d failed\n", n))
    next
  }
  cat(sprintf("%8d %9s %14s %9s %10s %9s %8s %14s\n", n, v[["setup_s"]],
              v[["per_sweep_unit_us"]], v[["total_s"]], v[["methods_s"]],
              v[["peak_mb"]], v[["fit_mb"]],
              paste0(v[["stored"]], "/", v[["kept"]])))
}
cat("\nrerun: cd bench && R_LIBS=../build/lib Rscript bench_maps.R",
    "--sizes", paste(sizes, collapse = ","), "--chains", chains, "--sweeps",
    sweeps, "--memory-n", memory_n, "\n")
