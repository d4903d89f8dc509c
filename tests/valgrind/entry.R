# Short sampling runs through the .C entry, a failing one (missing neighbour
# file), one with a short neighbour file, calls stopped by R in the middle of
# their sweeps (an elapsed-time limit, an interrupt) and calls whose
# generator state R rejects, each repeated, for a leak check under valgrind:
# R -d valgrind --vanilla -f tests/valgrind/entry.R
library(mcar)
ext <- system.file("extdata", package = "mcar")
d <- utils::read.csv(file.path(ext, "simulated.csv"))
eig <- scan(file.path(ext, "eigen.txt"), quiet = TRUE)
dir <- tempfile("mcar-valgrind-")
dir.create(dir)
file.copy(file.path(ext, c("neighbor1.txt", "neighbor2.txt")), dir)
old <- setwd(dir)

entry_args <- function(nstart, nend) {
  m <- nend - nstart
  z <- function(n) double(n)
  list("mcar",
    z(3 * m), z(87 * m), z(87 * m), z(87 * m), z(6 * m), z(6 * m),
    as.double(d$Y1), d$N1, as.double(d$Y2), d$N2, as.double(d$Y3), d$N3,
    c(0, 0, 0), z(87), z(87), z(87), c(1, 0, 0, 1, 0, 1), c(0.5, 0.5, 0.5),
    c(0, 0, 0), eig, as.integer(nstart), as.integer(nend), integer(3),
    integer(87), integer(87), integer(87), integer(2), integer(2),
    rep(0.05, 3), rep(0.3, 87), rep(0.3, 87), rep(0.3, 87), rep(0.05, 3),
    rep(0.05, 3), rep(0.1, 3), rep(0.1, 3), z(3), z(87), z(87), z(87), z(6),
    z(6), z(87), z(87), z(87), 0, 0, PACKAGE = "mcar")
}

run <- function(nstart = 2L, nend = 6L) {
  out <- NULL
  lines <- utils::capture.output(out <- do.call(.C, entry_args(nstart, nend)))
  list(out = out, lines = lines)
}

# A call of a million sweeps (two of them stored), stopped by R.  Its progress
# lines go through a pipe to awk, which logs them and, with interrupt_at,
# sends this process SIGINT once it has read that sweep's first line; R raises
# the interrupt at its next check, in a later Rprintf.  Returns the condition
# and how many sweeps had started, so that the caller can see the call was
# stopped inside its sweeps rather than before or after them.
cut_short <- function(elapsed, interrupt_at = NULL) {
  nend <- 1000000L
  args <- entry_args(nend - 2L, nend)
  log <- tempfile("mcar-lines-")
  kill <- if (is.null(interrupt_at)) "" else
    sprintf(' /^GIBBS: %d$/ && !sent { sent = 1; system("kill -INT %d") }',
            interrupt_at, Sys.getpid())
  con <- pipe(sprintf("awk '{ print > \"%s\" }%s'", log, kill), "w")
  sink(con)
  cond <- tryCatch({
    setTimeLimit(elapsed = elapsed, transient = TRUE)
    do.call(.C, args)
  }, error = function(e) e, interrupt = function(e) e, finally = {
    setTimeLimit()
    sink()
    close(con)
  })
  sweeps <- sum(startsWith(readLines(log), "GIBBS: "))
  unlink(log)
  stopifnot(sweeps > 0, sweeps < nend)
  list(cond = cond, sweeps = sweeps)
}

set.seed(1)
ref <- run()
for (k in 1:2) run()
file.rename("neighbor2.txt", "neighbor2.saved")
for (k in 1:3) stopifnot(inherits(try(run(), silent = TRUE), "try-error"))
writeLines("1 2 3", "neighbor2.txt")
for (k in 1:3) withCallingHandlers(run(), warning = function(w) invokeRestart("muffleWarning"))
old_warn <- options(warn = 2)
for (k in 1:3) stopifnot(inherits(try(run(), silent = TRUE), "try-error"))
options(old_warn)
invisible(file.rename("neighbor2.saved", "neighbor2.txt"))

# A second is ample for the set-up even under valgrind, and far short of a
# million sweeps.
for (k in 1:2) {
  r <- cut_short(elapsed = 1)
  stopifnot(inherits(r$cond, "error"),
            grepl("elapsed time limit", conditionMessage(r$cond)))
}
# The interrupt comes within a hundred progress lines of sweep 50; the time
# limit only stops a call that the interrupt never reached.
for (k in 1:2) {
  r <- cut_short(elapsed = 600, interrupt_at = 50L)
  stopifnot(inherits(r$cond, "interrupt"), r$sweeps >= 50)
}

# A generator state that R refuses when the call loads it.
for (k in 1:2) {
  .Random.seed <- c(10403L, 1:3)
  stopifnot(inherits(try(run(), silent = TRUE), "try-error"))
}
old_warn <- options(warn = 2)
for (k in 1:2) {
  .Random.seed <- as.double(c(10403L, 1:3))
  stopifnot(inherits(try(run(), silent = TRUE), "try-error"))
}
options(old_warn)
rm(.Random.seed)

# Nothing of the stopped calls is left to change a later one.
set.seed(1)
stopifnot(identical(run(), ref))
setwd(old)
unlink(dir, recursive = TRUE)
cat("valgrind entry runs done\n")
