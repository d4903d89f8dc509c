# What the benchmark scripts share: their command-line options, the
# synthetic maps and the data on them.

# The script's arguments, and the value after `name` among them (or
# `default`).
argv <- commandArgs(trailingOnly = TRUE)
opt <- function(name, default) option_value(argv, name, default)

# In a benchmark's child process: loads the package, from the library
# given by --lib DIR when there is one (another build, for a before / after
# comparison), and runs futures in this process.
load_mcar <- function() {
  lib <- opt("--lib", "")
  if (nzchar(lib)) .libPaths(c(lib, .libPaths()))
  suppressPackageStartupMessages(library(mcar))
  future::plan("sequential")
}

# The value after `name` among `argv`, or `default`.
option_value <- function(argv, name, default) {
  at <- match(name, argv)
  if (is.na(at)) default else argv[at + 1L]
}

# The peak resident size of this R process, in MB.
peak_mb <- function() {
  s <- readLines("/proc/self/status")
  as.numeric(sub("[^0-9]*([0-9]+).*", "\\1", grep("^VmHWM", s, value = TRUE))) /
    1024
}

# Runs a benchmark script in a fresh R process and returns the key=value
# pairs of its "RESULT" line as a named character vector, or NULL when the
# run failed.
child_result <- function(args) {
  out <- system2("Rscript", args, stdout = TRUE, stderr = FALSE)
  r <- grep("^RESULT", out, value = TRUE)
  if (!length(r)) return(NULL)
  v <- regmatches(r, gregexpr("[A-Za-z_]+=[^ ]+", r))[[1]]
  stats::setNames(sub("^[^=]*=", "", v), sub("=.*", "", v))
}

# Synthetic irregular planar maps for the benchmarks: a rows x cols grid of
# units with rook neighbours plus one random diagonal in about half of the
# cells, cut into two components by removing the links across one column,
# and a few islands (units whose links are all removed).  Returns a sparse
# symmetric dgCMatrix with unit names, and the grid coordinates.
synthetic_map <- function(n, islands = 3L, seed = 1L) {
  set.seed(seed)
  nr <- floor(sqrt(n)); nc <- ceiling(n / nr)
  id <- function(r, c) (c - 1L) * nr + r
  cells <- expand.grid(r = seq_len(nr), c = seq_len(nc))
  cells <- cells[id(cells$r, cells$c) <= n, ]
  ok <- function(r, c) r >= 1 & r <= nr & c >= 1 & c <= nc & id(r, c) <= n
  e <- list()
  add <- function(dr, dc, keep = TRUE) {
    r2 <- cells$r + dr; c2 <- cells$c + dc
    k <- ok(r2, c2) & keep
    cbind(id(cells$r, cells$c)[k], id(r2, c2)[k])
  }
  e[[1]] <- add(1L, 0L)
  e[[2]] <- add(0L, 1L)
  diag_up <- runif(nrow(cells)) < 0.5
  e[[3]] <- add(1L, 1L, diag_up)
  e[[4]] <- add(-1L, 1L, !diag_up & runif(nrow(cells)) < 0.5)
  E <- do.call(rbind, e)
  cut <- max(2L, nc %/% 3L)
  col_of <- function(u) (u - 1L) %/% nr + 1L
  across <- (col_of(E[, 1]) <= cut) != (col_of(E[, 2]) <= cut)
  E <- E[!across, , drop = FALSE]
  lonely <- sample(n, islands)
  E <- E[!(E[, 1] %in% lonely | E[, 2] %in% lonely), , drop = FALSE]
  W <- Matrix::sparseMatrix(i = c(E[, 1], E[, 2]), j = c(E[, 2], E[, 1]),
                            x = 1, dims = c(n, n),
                            dimnames = list(paste0("u", seq_len(n)),
                                            paste0("u", seq_len(n))))
  W <- methods::as(W, "generalMatrix")
  attr(W, "coords") <- cbind(x = col_of(seq_len(n)),
                             y = (seq_len(n) - 1L) %% nr + 1L)
  attr(W, "islands") <- sort(lonely)
  W
}

# Counts of K outcomes on the map: expected counts 10 to 40, a covariate
# smooth over the map, a smooth field per outcome plus noise.  The units
# `hot` (indices) have `factor` times those expected counts.
bench_data <- function(W, K = 3L, seed = 1L, hot = integer(), factor = 300) {
  set.seed(seed)
  xy <- attr(W, "coords")
  n <- nrow(W)
  x <- sin(xy[, 1] / 15) + cos(xy[, 2] / 20)
  f <- sapply(seq_len(K), function(k) 0.4 * sin(xy[, 1] / (8 + 4 * k) + k) *
                cos(xy[, 2] / (10 + 3 * k)))
  mu <- 0.2 * x + f + matrix(rnorm(n * K, 0, 0.15), n)
  E <- matrix(runif(n * K, 10, 40), n)
  E[hot, ] <- factor * E[hot, ]
  Y <- matrix(rpois(n * K, E * exp(mu)), n)
  dimnames(Y) <- dimnames(E) <- list(rownames(W), paste0("Y", seq_len(K)))
  list(Y = Y, E = E, x = x)
}
