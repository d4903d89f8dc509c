# The .C entry "mcar" stopped by R in the middle of its sweeps.

stop_entry_args <- function(nstart, nend) {
  ext <- system.file("extdata", package = "mcar")
  d <- utils::read.csv(file.path(ext, "simulated.csv"))
  eig <- scan(file.path(ext, "eigen.txt"), quiet = TRUE)
  m <- nend - nstart
  z <- function(n) double(n)
  list("mcar",
    z(3 * m), z(87 * m), z(87 * m), z(87 * m), z(6 * m), z(6 * m),
    as.double(d$Y1), d$N1, as.double(d$Y2), d$N2, as.double(d$Y3), d$N3,
    c(0, 0, 0), z(87), z(87), z(87), c(0.5, 0, 0, 0.5, 0, 0.5),
    c(0.5, 0.5, 0.5), c(0, 0, 0), eig, as.integer(nstart), as.integer(nend),
    integer(3), integer(87), integer(87), integer(87), integer(2), integer(2),
    rep(0.03, 3), rep(0.3, 87), rep(0.3, 87), rep(0.3, 87), rep(0.05, 3),
    rep(0.05, 3), rep(0.2, 3), rep(0.2, 3), z(3), z(87), z(87), z(87), z(6),
    z(6), z(87), z(87), z(87), 0, 0, PACKAGE = "mcar")
}

stop_entry_run <- function(args) {
  out <- NULL
  lines <- utils::capture.output(out <- do.call(.C, args))
  list(res = out, lines = lines)
}

test_that("a call stopped by a time limit leaves nothing that changes the next call", {
  dir <- withr::local_tempdir("mcar-interrupt-")
  ext <- system.file("extdata", package = "mcar")
  file.copy(file.path(ext, c("neighbor1.txt", "neighbor2.txt")), dir)
  withr::local_dir(dir)
  short <- stop_entry_args(5, 40)
  set.seed(21)
  ref <- stop_entry_run(short)

  # A million sweeps, far more than fit in the limit; the progress lines go to
  # a file, so that we can see the call got into its sweeps.
  nend <- 1000000L
  long <- stop_entry_args(nend - 2L, nend)
  log <- tempfile("mcar-lines-", tmpdir = dir)
  con <- file(log, "w")
  set.seed(22)
  seed_before <- .Random.seed
  sink(con)
  cond <- tryCatch({
    setTimeLimit(elapsed = 0.05, transient = TRUE)
    do.call(.C, long)
  }, error = function(e) e, finally = {
    setTimeLimit()
    sink()
    close(con)
  })
  expect_s3_class(cond, "error")
  expect_match(conditionMessage(cond), "elapsed time limit")
  sweeps <- sum(startsWith(readLines(log), "GIBBS: "))
  expect_gt(sweeps, 0)
  expect_lt(sweeps, nend)
  # Like an error in R's own compiled code, the stopped call does not save the
  # generator state it had advanced.
  expect_identical(.Random.seed, seed_before)

  set.seed(21)
  after <- stop_entry_run(short)
  expect_identical(after$res, ref$res)
  expect_identical(after$lines, ref$lines)
})
