# Short sampling runs through the .C entry, a failing one (missing neighbour
# file) and one with a short neighbour file, each repeated, for a leak check
# under valgrind: R -d valgrind --vanilla -f tests/valgrind/entry.R
library(mcar)
ext <- system.file("extdata", package = "mcar")
d <- utils::read.csv(file.path(ext, "simulated.csv"))
eig <- scan(file.path(ext, "eigen.txt"), quiet = TRUE)
dir <- tempfile("mcar-valgrind-")
dir.create(dir)
file.copy(file.path(ext, c("neighbor1.txt", "neighbor2.txt")), dir)
old <- setwd(dir)

run <- function(nstart = 2L, nend = 6L) {
  m <- nend - nstart
  z <- function(n) double(n)
  invisible(utils::capture.output(.C("mcar",
    z(3 * m), z(87 * m), z(87 * m), z(87 * m), z(6 * m), z(6 * m),
    as.double(d$Y1), d$N1, as.double(d$Y2), d$N2, as.double(d$Y3), d$N3,
    c(0, 0, 0), z(87), z(87), z(87), c(1, 0, 0, 1, 0, 1), c(0.5, 0.5, 0.5),
    c(0, 0, 0), eig, nstart, nend, integer(3), integer(87), integer(87),
    integer(87), integer(2), integer(2), rep(0.05, 3), rep(0.3, 87),
    rep(0.3, 87), rep(0.3, 87), rep(0.05, 3), rep(0.05, 3), rep(0.1, 3),
    rep(0.1, 3), z(3), z(87), z(87), z(87), z(6), z(6), z(87), z(87), z(87),
    0, 0, PACKAGE = "mcar")))
}

set.seed(1)
for (k in 1:3) run()
file.rename("neighbor2.txt", "neighbor2.saved")
for (k in 1:3) stopifnot(inherits(try(run(), silent = TRUE), "try-error"))
writeLines("1 2 3", "neighbor2.txt")
for (k in 1:3) withCallingHandlers(run(), warning = function(w) invokeRestart("muffleWarning"))
old_warn <- options(warn = 2)
for (k in 1:3) stopifnot(inherits(try(run(), silent = TRUE), "try-error"))
options(old_warn)
setwd(old)
unlink(dir, recursive = TRUE)
cat("valgrind entry runs done\n")
