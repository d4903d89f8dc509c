# Threads when the cores are busy: a short fit of `--chains` chains (1 by
# default) on a synthetic map (bench/synthetic_map.R; 10,000 units, K = 3,
# an intercept and one covariate, so Newton sweeps of the effects and
# blocked sums over the map) on 1 and 2 threads a chain (the chains one
# after another) and at the default (threads 0 below: with several chains,
# as many side by side as there are cores), on the machine as it is
# ("idle") and with one busy process per core (`yes > /dev/null`, started
# and killed here) competing for the cores ("busy").
#
#   cd bench && Rscript bench_threads.R [--libs ../build/lib] [--n 10000]
#     [--sweeps 300] [--chains 1] [--reps 3] [--hogs <cores>]
#
# --libs takes one or more library paths holding mcar, comma-separated (a
# build of another commit beside this one, say): each repetition runs every
# library, load and thread count once, in a fresh R process each, so that a
# change of load on a shared machine falls on all of them.  Prints the
# median, min and max seconds of mcar_fit() per library, load and threads,
# then checks that the draws are identical() across thread counts and
# loads, and across libraries, and prints an MD5 of each library's draws
# for comparison with other runs.

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))
n <- as.integer(opt("--n", 10000))
sweeps <- as.integer(opt("--sweeps", 300))
chains <- as.integer(opt("--chains", 1))

if ("--child" %in% argv) {
  suppressPackageStartupMessages(library(mcar, lib.loc = opt("--lib", NA)))
  future::plan("sequential")
  threads <- as.integer(opt("--threads", 1))
  W <- synthetic_map(n)
  d <- bench_data(W, K = 3L)
  gc()
  t0 <- proc.time()[["elapsed"]]
  fit <- suppressWarnings(suppressMessages(mcar_fit(
    d$Y, d$E, W, covariates = cbind(x = d$x), n_sample = sweeps,
    chains = chains, seed = 1, progress = FALSE,
    threads = if (threads > 0L) threads)))
  elapsed <- proc.time()[["elapsed"]] - t0
  save <- opt("--save", "")
  if (nzchar(save)) saveRDS(fit$draws, save)
  cat(sprintf("RESULT elapsed=%.3f\n", elapsed))
  quit(save = "no")
}

libs <- normalizePath(strsplit(opt("--libs", file.path(here, "..", "build", "lib")),
                               ",")[[1]])
reps <- as.integer(opt("--reps", 3))
hogs <- as.integer(opt("--hogs", parallel::detectCores()))
script <- file.path(here, "bench_threads.R")
tmp <- tempfile("bench-threads-")
dir.create(tmp)

busy_pids <- integer()
stop_busy <- function() {
  if (length(busy_pids)) tools::pskill(busy_pids)
  busy_pids <<- integer()
}
start_busy <- function() {
  busy_pids <<- vapply(seq_len(hogs), function(k) {
    as.integer(system("yes > /dev/null 2>&1 & echo $!", intern = TRUE))
  }, 0L)
  Sys.sleep(0.5)
}

cat(sprintf("bench_threads: n = %d, K = 3, 1 chain x %d sweeps, %d repetitions, %d busy processes; load average %s\n",
            n, sweeps, reps, hogs,
            paste(scan("/proc/loadavg", what = "", n = 3, quiet = TRUE),
                  collapse = " ")))
rows <- list()
draws_file <- function(lib, load, threads) {
  file.path(tmp, sprintf("draws-%d-%s-%d.rds", match(lib, libs), load, threads))
}
tryCatch(for (r in seq_len(reps)) {
  for (load in c("idle", "busy")) {
    if (load == "busy") start_busy()
    for (lib in libs) for (threads in c(1L, 2L, 0L)) {
      args <- c(script, "--child", "--lib", lib, "--threads", threads,
                "--n", n, "--sweeps", sweeps, "--chains", chains,
                if (r == 1L) c("--save", draws_file(lib, load, threads)))
      res <- child_result(args)
      el <- if (is.null(res)) NA_real_ else as.numeric(res[["elapsed"]])
      rows[[length(rows) + 1L]] <- data.frame(lib = match(lib, libs), load = load,
                                              threads = threads, rep = r,
                                              elapsed = el)
      cat(sprintf("repetition %d, library %d, %s, %d thread(s): %.2f s\n", r,
                  match(lib, libs), load, threads, el))
    }
    if (load == "busy") stop_busy()
  }
}, finally = stop_busy())
tab <- do.call(rbind, rows)
agg <- do.call(rbind, lapply(split(tab, list(tab$threads, tab$load, tab$lib)),
  function(x) data.frame(lib = x$lib[1], load = x$load[1],
                         threads = x$threads[1],
                         median_s = stats::median(x$elapsed, na.rm = TRUE),
                         min_s = min(x$elapsed, na.rm = TRUE),
                         max_s = max(x$elapsed, na.rm = TRUE))))
agg <- agg[order(agg$lib, agg$load != "idle", agg$threads), ]
rownames(agg) <- NULL
for (k in seq_along(libs)) cat(sprintf("library %d: %s\n", k, libs[k]))
print(agg, digits = 3, row.names = FALSE)

digest_of <- function(x) {
  f <- tempfile()
  on.exit(unlink(f))
  saveRDS(x, f, version = 3, compress = FALSE)
  unname(tools::md5sum(f))
}
cases <- expand.grid(threads = c(1L, 2L, 0L), load = c("idle", "busy"),
                     stringsAsFactors = FALSE)
first <- NULL
for (lib in libs) {
  d <- lapply(seq_len(nrow(cases)), function(k)
    readRDS(draws_file(lib, cases$load[k], cases$threads[k])))
  same <- all(vapply(d[-1], identical, NA, d[[1]]))
  cat(sprintf("library %d: draws identical across threads and loads: %s; md5 %s\n",
              match(lib, libs), same, digest_of(d[[1]])))
  if (is.null(first)) first <- d[[1]] else
    cat(sprintf("library %d: draws identical to library 1's: %s\n",
                match(lib, libs), identical(d[[1]], first)))
}
unlink(tmp, recursive = TRUE)
