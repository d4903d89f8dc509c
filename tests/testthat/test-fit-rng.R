# Reproducibility: the same seed gives the same chains whatever the plan,
# the progress bar or the console output, and the caller's session is left
# as it was.

fit_two <- function(...) {
  small_fit(chains = 2, n_sample = 200, burnin = 60, seed = 21, ...)
}

test_that("the same seed gives the same chains and other seeds do not", {
  a <- fit_two()
  b <- fit_two()
  expect_identical(a$samples, b$samples)
  expect_identical(a$scales, b$scales)
  expect_identical(a$init, b$init)
  # The chains differ from one another ...
  expect_false(identical(a$samples$chain1$gbeta, a$samples$chain2$gbeta))
  expect_false(identical(a$init$chain1$phi, a$init$chain2$phi))
  # ... and from those of another seed.
  c <- small_fit(chains = 2, n_sample = 200, burnin = 60, seed = 22)
  expect_false(identical(a$samples$chain1$gbeta, c$samples$chain1$gbeta))
})

test_that("a chain's draws do not depend on how many chains run", {
  a <- fit_two()
  one <- small_fit(chains = 1, n_sample = 200, burnin = 60, seed = 21)
  expect_identical(one$samples$chain1, a$samples$chain1)
})

test_that("with a seed the caller's generator is left alone", {
  RNGkind("Mersenne-Twister", "Inversion", "Rejection")
  set.seed(5)
  before <- session_state()
  fit_two()
  expect_identical(session_state(), before)
  expect_identical(RNGkind(), c("Mersenne-Twister", "Inversion", "Rejection"))
  # Without a seed one is drawn from the caller's generator, so set.seed()
  # makes the fit reproducible.
  set.seed(6)
  a <- small_fit(seed = NULL)
  set.seed(6)
  b <- small_fit(seed = NULL)
  expect_identical(a$samples, b$samples)
  expect_identical(a$seed, b$seed)
})

test_that("chains on parallel workers give the draws of a sequential run", {
  seq_fit <- fit_two()
  old <- future::plan("multisession", workers = 2)
  on.exit(future::plan(old), add = TRUE)
  par_fit <- fit_two()
  expect_identical(par_fit$samples, seq_fit$samples)
  expect_identical(par_fit$acceptance, seq_fit$acceptance)
  if (future::supportsMulticore()) {
    future::plan("multicore", workers = 2)
    expect_identical(fit_two()$samples, seq_fit$samples)
  }
})

test_that("progress bars, console output and log files leave the draws alone", {
  quiet <- fit_two()
  log <- withr::local_tempfile(fileext = ".log")
  out <- utils::capture.output(
    loud <- fit_two(verbose = TRUE, log_file = log))
  expect_identical(loud$samples, quiet$samples)
  # Three lines per sweep, numbered along the whole chain.
  expect_length(out, 2 * 3 * 200)
  expect_identical(grep("^GIBBS: ", out, value = TRUE),
                   paste0("GIBBS: ", rep(1:200, 2)))
  log_lines <- readLines(log)
  expect_identical(log_lines[c(1, 602)], c("# chain 1 of 2", "# chain 2 of 2"))
  expect_identical(log_lines[-c(1, 602)], out)
  # The printed loadings are those of the chain (to the 6 decimals shown).
  lam <- grep("^GIBBS: ", out[1:600]) + 1
  printed <- t(sapply(strsplit(out[lam], ", "), as.numeric))
  kept <- 61:200
  expect_equal(printed[kept, ], unname(quiet$samples$chain1$lamda),
               tolerance = 1e-6)

  skip_if_not_installed("progressr")
  msgs <- utils::capture.output(
    with_bar <- fit_two(progress = TRUE), type = "message")
  expect_identical(with_bar$samples, quiet$samples)
})

test_that("the working directory and session are restored when a chain fails", {
  ns <- asNamespace("mcar")
  task <- chain_task(n_sample = 200, burnin = 50)
  before <- session_state()
  expect_error(ns$.run_chain(task, progress = function(n) stop("boom")),
               "boom")
  expect_identical(session_state(), before)
  # An interrupt unwinds the same way.
  interrupt <- structure(class = c("interrupt", "condition"),
                         list(message = "", call = NULL))
  got <- tryCatch(ns$.run_chain(task, progress = function(n) stop(interrupt)),
                  interrupt = function(e) "interrupted")
  expect_identical(got, "interrupted")
  expect_identical(session_state(), before)
  # An error raised by the sampler itself (its map files gone) too.
  err <- tryCatch(
    ns$.run_chain(task, progress = function(n) {
      unlink(c("neighbor1.txt", "neighbor2.txt"))
    }),
    error = function(e) e)
  expect_match(conditionMessage(err), "neighbor1.txt")
  expect_identical(session_state(), before)
})
