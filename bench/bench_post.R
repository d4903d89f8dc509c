# Post-processing of a large fit: the time and peak memory of summary(),
# summary(variables = "rr"), relative_risk(), predict(), loo() and
# as_draws_df() on a synthetic map (bench/synthetic_map.R), K = 3, an
# intercept and one covariate, 4 chains.  The fit is short (it is not what
# is timed) and stores `--keep` draws of the per-unit values per chain
# (default 1,000 at up to 10,000 units, the memory budget above), and is
# cached in `--cache` so that runs before and after a change time the same
# draws.  Each call runs in a fresh R process, so that its peak resident
# size (VmHWM) is its own; "extra MB" is that peak above the resident size
# with the fit loaded.  "CPU s" is the process's user and system time, the
# figure to compare on a busy machine.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_post.R [--n 3000]
#     [--keep 1000] [--calls summary,predict] [--cache DIR]
#
# At 30,000 units: --n 30000 (the fit then stores the default budget of
# per-unit draws unless --keep is given).

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

vm_kb <- function(field) {
  x <- grep(paste0("^", field, ":"), readLines("/proc/self/status"),
            value = TRUE)
  as.numeric(gsub("[^0-9]", "", x))
}

n <- as.integer(opt("--n", 3000))
keep_arg <- opt("--keep", if (n <= 10000) "1000" else "budget")
cache <- opt("--cache", file.path(tempdir(), "mcar-bench-post"))
fit_file <- file.path(cache, sprintf("fit-%d-%s.rds", n, keep_arg))

calls <- list(
  summary = quote(summary(fit)),
  summary_rr = quote(summary(fit, variables = "rr")),
  relative_risk = quote(relative_risk(fit)),
  predict = quote(predict(fit)),
  loo = quote(loo::loo(fit)),
  as_draws_df = quote(posterior::as_draws_df(fit))
)

if ("--child" %in% argv) {
  suppressPackageStartupMessages(library(mcar))
  fit <- readRDS(fit_file)
  call <- calls[[opt("--call", "summary")]]
  gc()
  rss0 <- vm_kb("VmRSS")
  t0 <- proc.time()
  out <- suppressWarnings(suppressMessages(eval(call)))
  t1 <- proc.time() - t0
  cat(sprintf(paste0("RESULT seconds=%.2f cpu=%.2f extra_mb=%.0f peak_mb=%.0f ",
                     "result_mb=%.0f\n"),
              t1[["elapsed"]], t1[["user.self"]] + t1[["sys.self"]],
              (vm_kb("VmHWM") - rss0) / 1024, vm_kb("VmHWM") / 1024,
              as.numeric(utils::object.size(out)) / 2^20))
  quit(save = "no")
}

dir.create(cache, showWarnings = FALSE, recursive = TRUE)
if (!file.exists(fit_file)) {
  suppressPackageStartupMessages(library(mcar))
  future::plan("sequential")
  W <- synthetic_map(n)
  d <- bench_data(W)
  t0 <- proc.time()[["elapsed"]]
  # 1,000 kept draws per chain after 200 sweeps of burn-in.
  fit <- suppressWarnings(suppressMessages(mcar_fit(
    d$Y, d$E, W, covariates = cbind(x = d$x), n_sample = 1200, burnin = 200,
    chains = 4, seed = 1, progress = FALSE,
    keep = if (keep_arg == "budget") NULL else as.numeric(keep_arg))))
  cat(sprintf("fit: %.1f s, %d of %d kept draws per chain store the per-unit values\n",
              proc.time()[["elapsed"]] - t0, nrow(fit$draws[[1]]$phi),
              nrow(fit$draws[[1]]$beta)))
  saveRDS(fit, fit_file, compress = FALSE)
}

which_calls <- strsplit(opt("--calls", paste(names(calls), collapse = ",")),
                        ",")[[1]]
script <- file.path(here, "bench_post.R")
cat(sprintf("%d units, K = 3, 4 chains; fit cached in %s\n", n, fit_file))
cat(sprintf("%-14s %9s %9s %9s %9s %10s\n", "call", "seconds", "CPU s",
            "extra MB", "peak MB", "result MB"))
for (cl in which_calls) {
  v <- child_result(c(script, "--child", "--n", n, "--keep", keep_arg,
                      "--cache", cache, "--call", cl))
  if (is.null(v)) {
    cat(sprintf("%-14s failed\n", cl))
    next
  }
  cat(sprintf("%-14s %9s %9s %9s %9s %10s\n", cl, v[["seconds"]], v[["cpu"]],
              v[["extra_mb"]], v[["peak_mb"]], v[["result_mb"]]))
}
