# The .C entry "mcar" called the way compiled-code users call it: 47 vectors,
# neighbour files in the working directory.

entry_dir <- function(env = parent.frame()) {
  dir <- tempfile("mcar-entry-")
  dir.create(dir)
  ext <- system.file("extdata", package = "mcar")
  file.copy(file.path(ext, c("neighbor1.txt", "neighbor2.txt")), dir)
  old <- setwd(dir)
  withr::defer({
    setwd(old)
    unlink(dir, recursive = TRUE)
  }, envir = env)
  dir
}

entry_args <- function(nstart, nend, scale = 1, phi0 = 0) {
  ext <- system.file("extdata", package = "mcar")
  d <- utils::read.csv(file.path(ext, "simulated.csv"))
  eig <- scan(file.path(ext, "eigen.txt"), quiet = TRUE)
  m <- nend - nstart
  z <- function(n) double(n)
  list(beta_f = z(3 * m), phi1_f = z(87 * m), phi2_f = z(87 * m),
       phi3_f = z(87 * m), alpha_f = z(6 * m), lamda_f = z(6 * m),
       Y10 = as.double(d$Y1), N10 = d$N1, Y20 = as.double(d$Y2), N20 = d$N2,
       Y30 = as.double(d$Y3), N30 = d$N3,
       beta0 = c(0, 0, 0), phi10 = rep(phi0, 87), phi20 = rep(phi0, 87),
       phi30 = rep(phi0, 87), lamda0 = c(0.5, 0, 0, 0.5, 0, 0.5),
       eta0 = c(0.5, 0.5, 0.5), theta0 = c(0, 0, 0), eigen10 = eig,
       nstart = as.integer(nstart), nend = as.integer(nend),
       count1 = integer(3), count2 = integer(87), count3 = integer(87),
       count4 = integer(87), count5 = integer(2), count6 = integer(2),
       betascale = rep(0.03, 3) * scale, phi1scale = rep(0.3, 87) * scale,
       phi2scale = rep(0.3, 87) * scale, phi3scale = rep(0.3, 87) * scale,
       lamscale1 = rep(0.05, 3) * scale, lamscale2 = rep(0.05, 3) * scale,
       etascale = rep(0.2, 3) * scale, thetascale = rep(0.2, 3) * scale,
       beta_m = z(3), phi1_m = z(87), phi2_m = z(87), phi3_m = z(87),
       alpha_m = z(6), lamda_m = z(6), p1_m = z(87), p2_m = z(87),
       p3_m = z(87), Dbar = 0, Dtheta = 0)
}

run_entry <- function(args) {
  out <- NULL
  lines <- utils::capture.output(
    out <- do.call(.C, c(list("mcar"), args, list(PACKAGE = "mcar"))))
  list(res = out, lines = lines)
}

chain <- function(res, name, ncol) matrix(res[[name]], ncol = ncol)

test_that("the same seed gives the same chains, counters and lines", {
  entry_dir()
  args <- entry_args(5, 25)
  set.seed(42)
  a <- run_entry(args)
  seed_a <- .Random.seed
  set.seed(42)
  b <- run_entry(args)
  expect_identical(a$res, b$res)
  expect_identical(a$lines, b$lines)
  expect_identical(.Random.seed, seed_a)
  set.seed(43)
  c <- run_entry(args)
  expect_false(identical(a$res$beta_f, c$res$beta_f))
})

test_that("every sweep prints three lines that match the stored chains", {
  entry_dir()
  set.seed(1)
  r <- run_entry(entry_args(0, 4))
  expect_length(r$lines, 12)
  expect_identical(r$lines[c(1, 4, 7, 10)], paste("GIBBS:", 1:4))
  lam <- chain(r$res, "lamda_f", 6)
  alpha <- chain(r$res, "alpha_f", 6)
  for (i in 1:4) {
    expect_identical(r$lines[3 * i - 1],
                     do.call(sprintf, c(list(paste(rep("%f", 6), collapse = ", ")),
                                        as.list(lam[i, ]))))
    expect_identical(r$lines[3 * i],
                     do.call(sprintf, c(list("alpha=%f, %f, %f,%f, %f, %f "),
                                        as.list(alpha[i, ]))))
  }
})

test_that("nstart = 0 stores every sweep and nstart = nend - 1 only the last", {
  entry_dir()
  set.seed(9)
  all <- run_entry(entry_args(0, 6))$res
  set.seed(9)
  last <- run_entry(entry_args(5, 6))$res
  # Row r of the full run is sweep r; the last sweep is the single stored row.
  expect_identical(chain(all, "beta_f", 3)[6, ], last$beta_f)
  expect_identical(chain(all, "phi2_f", 87)[6, ], last$phi2_f)
  expect_identical(chain(all, "alpha_f", 6)[6, ], last$alpha_f)
  # With one stored sweep every mean is that sweep's value ...
  expect_identical(last$beta_m, last$beta_f)
  expect_identical(last$phi3_m, last$phi3_f)
  expect_identical(last$lamda_m, last$lamda_f)
  lam <- last$lamda_f
  expect_equal(last$p3_m, exp(lam[6] * last$phi3_f + last$beta_f[3]))
  # ... and the deviance at the mean relative risks is the mean deviance.
  expect_equal(last$Dtheta, last$Dbar, tolerance = 1e-10)
  # Means of the full run are column means of the chains.
  expect_equal(all$phi1_m, colMeans(chain(all, "phi1_f", 87)))
  expect_equal(all$Dbar - all$Dtheta, all$Dbar - all$Dtheta)
  expect_true(all$Dbar > all$Dtheta)
})

test_that("counters and means add into what the caller passes", {
  entry_dir()
  args <- entry_args(2, 12)
  set.seed(3)
  base <- run_entry(args)$res
  args$count2 <- rep(5L, 87)
  args$count6 <- c(1L, 2L)
  args$beta_m <- c(10, 20, 30)
  args$p2_m <- rep(1, 87)
  set.seed(3)
  more <- run_entry(args)$res
  expect_identical(more$count2, base$count2 + 5L)
  expect_identical(more$count6, base$count6 + c(1L, 2L))
  expect_equal(more$beta_m, base$beta_m + c(10, 20, 30) / 10)
  expect_equal(more$p2_m, base$p2_m + 1 / 10)
  expect_identical(more$beta_f, base$beta_f)
})

test_that("a state from which every step is rejected stores one row over", {
  entry_dir()
  set.seed(11)
  # Absurd loadings make L L' numerically singular: the toolkit says so on
  # the error console and the step rejects.
  msgs <- utils::capture.output(
    r <- run_entry(entry_args(3, 13, scale = 1e6, phi0 = 0.1))$res,
    type = "message")
  expect_true(all(msgs %in% c("This is not full rank matrix",
                              "This is a singular matrx")))
  for (name in c("count1", "count2", "count3", "count4", "count5", "count6"))
    expect_true(all(r[[name]] == 0L), info = name)
  for (name in c("beta_f", "phi1_f", "lamda_f", "alpha_f")) {
    ch <- chain(r, name, length(r[[name]]) / 10)
    expect_true(all(sweep(ch, 2, ch[1, ]) == 0), info = name)
  }
  expect_equal(r$lamda_m, c(0.5, 0, 0, 0.5, 0, 0.5))
  expect_equal(r$Dtheta, r$Dbar, tolerance = 1e-10)
})

test_that("the neighbour files are read at every call", {
  dir <- entry_dir()
  # Only decisions depend on C (the candidates come from the same draws), so
  # give them enough sweeps to differ somewhere.
  args <- entry_args(0, 100)
  set.seed(7)
  before <- run_entry(args)$res
  C <- as.matrix(utils::read.table("neighbor2.txt"))
  i <- which(C[1, ] == 1)[1]
  C[1, i] <- C[i, 1] <- 0
  utils::write.table(C, "neighbor2.txt", row.names = FALSE, col.names = FALSE)
  set.seed(7)
  after <- run_entry(args)$res
  expect_false(identical(before, after))
})

test_that("a missing neighbour file is an R error and draws nothing", {
  dir <- entry_dir()
  file.remove("neighbor1.txt")
  set.seed(5)
  seed <- .Random.seed
  args <- entry_args(0, 3)
  expect_error(run_entry(args), "neighbor1.txt", fixed = TRUE)
  expect_error(run_entry(args), basename(dir), fixed = TRUE)
  expect_identical(.Random.seed, seed)
})

test_that("a short neighbour file warns with the count read", {
  entry_dir()
  writeLines(paste(rep(1, 100), collapse = " "), "neighbor1.txt")
  set.seed(5)
  expect_warning(run_entry(entry_args(0, 2)), "read 100 of 7569")
})

test_that("registration checks the types of the 47 arguments", {
  entry_dir()
  args <- entry_args(0, 2)
  args$nend <- 2  # a double where an integer is expected
  expect_error(run_entry(args), "nend|argument 22|type")
  args <- entry_args(0, 2)
  args[[47]] <- NULL
  expect_error(run_entry(args))
  expect_true(is.loaded("mcar", PACKAGE = "mcar"))
})
