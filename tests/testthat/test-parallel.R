# Chains on parallel workers: a worker that dies costs its own chain and
# leaves the plan usable; a fit that is interrupted or runs out of time
# stops its chains on the workers.

# A short fit; its chains are too short to pass the convergence check, so
# that warning is muffled (and no other).
par_fit <- function(chains = 2, n_sample = 400, burnin = 200, ...) {
  withCallingHandlers(
    mcar_fit(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"), minnesota_adjacency(),
             data = minnesota_simulated(), n_sample = n_sample,
             burnin = burnin, chains = chains, seed = 1, progress = FALSE,
             ...),
    warning = function(w) {
      if (grepl("not to be trusted", conditionMessage(w))) {
        invokeRestart("muffleWarning")
      }
    })
}

# A chain hook (run in each chain's process after each of its pieces) that
# carries only the values given in `...` to the workers.
light_hook <- function(fun, ...) {
  environment(fun) <- list2env(list(...), parent = globalenv())
  fun
}

# Sets the plan for the calling test and puts the caller's back afterwards.
local_plan <- function(..., envir = parent.frame()) {
  old <- future::plan(...)
  withr::defer(future::plan(old), envir = envir)
}

test_that("a worker that dies loses its own chain only and the plan is restarted", {
  skip_on_cran()
  skip_on_os("windows")
  withr::local_options(mcar.chain_hook = NULL)
  local_plan("sequential")
  ref <- par_fit(chains = 3)

  future::plan("multisession", workers = 2)
  options(mcar.chain_hook = light_hook(function(chain) {
    if (chain %in% victims) tools::pskill(Sys.getpid(), tools::SIGKILL)
  }, victims = 1L))
  # Chain 3 waits for a worker while chain 1's dies: it runs on the
  # restarted workers.
  expect_warning(fit <- par_fit(chains = 3),
                 "chain 1 of 3 was lost.*chains that finished \\(2, 3\\).*restarted")
  expect_identical(fit$lost_chains, 1L)
  expect_identical(names(fit$draws), c("chain2", "chain3"))
  for (el in c("draws", "init", "scales", "last_state")) {
    expect_identical(fit[[el]], ref[[el]][2:3], label = el)
  }
  expect_identical(dim(posterior::as_draws_array(fit))[2], 2L)
  expect_s3_class(suppressWarnings(summary(fit)), "summary.mcar_fit")
  expect_output(print(fit), "^.*\n2 chains x .*\n2 of 3 chains kept: chain 1 was lost")
  expect_output(print(suppressWarnings(summary(fit))),
                "2 of 3 chains kept: chain 1 was lost")

  # The plan works afterwards: every chain runs, as on a fresh plan.
  options(mcar.chain_hook = NULL)
  again <- par_fit(chains = 3)
  expect_identical(again$draws, ref$draws)
  expect_identical(again$lost_chains, integer())

  # Losing every chain is an error that says so, and the plan still works.
  options(mcar.chain_hook = light_hook(function(chain) {
    tools::pskill(Sys.getpid(), tools::SIGKILL)
  }))
  expect_error(par_fit(chains = 2),
               "every chain was lost.*restarted.*chain 1: .*chain 2: ")
  options(mcar.chain_hook = NULL)
  expect_identical(par_fit(chains = 2)$draws, ref$draws[1:2])

  # A worker that died between fits costs no chain.
  pid <- future::value(future::future(Sys.getpid(), seed = FALSE))
  tools::pskill(pid, tools::SIGKILL)
  Sys.sleep(0.5)
  expect_identical(expect_silent(par_fit(chains = 2))$draws, ref$draws[1:2])
})

test_that("an interrupted fit, or one out of time, stops its chains on the workers", {
  skip_on_cran()
  skip_on_os("windows")
  withr::local_options(mcar.chain_hook = NULL)
  local_plan("sequential")
  ref <- par_fit(chains = 2)

  future::plan("multisession", workers = 2)
  beats <- withr::local_tempfile()
  dir.create(beats)
  files <- file.path(beats, 1:2)
  options(mcar.chain_hook = light_hook(function(chain) {
    cat(".", file = file.path(dir, chain), append = TRUE)
  }, dir = beats))
  # Chains of about ten seconds each, in pieces of a few hundredths.
  long_fit <- function() {
    par_fit(chains = 2, n_sample = 1e6, burnin = 5e5, thin = 1000)
  }
  expect_chains_stopped <- function() {
    Sys.sleep(1.5)
    before <- file.size(files)
    Sys.sleep(1)
    expect_identical(file.size(files), before)
  }

  # An interrupt once both chains run.
  system(sprintf(paste("(i=0; while [ $i -lt 300 ] &&",
                       "{ [ ! -s %s ] || [ ! -s %s ]; }; do sleep 0.1;",
                       "i=$((i+1)); done; kill -INT %d) >/dev/null 2>&1"),
                 files[1], files[2], Sys.getpid()), wait = FALSE)
  expect_identical(tryCatch(long_fit(), interrupt = function(i) "interrupted"),
                   "interrupted")
  expect_true(all(file.size(files) > 0))
  expect_chains_stopped()

  # A time limit, which may come while a chain is being sent to its worker.
  unlink(files)
  expect_error({
    setTimeLimit(elapsed = 2, transient = TRUE)
    long_fit()
  }, "time limit")
  setTimeLimit(elapsed = Inf)
  expect_chains_stopped()

  # The workers are free for the next fit, which runs as on fresh workers.
  options(mcar.chain_hook = NULL)
  expect_identical(par_fit(chains = 2)$draws, ref$draws)
})

test_that("workers without the package are named as the cause", {
  skip_on_cran()
  skip_if_not_installed("parallelly")
  withr::local_options(mcar.chain_hook = NULL)
  # A worker whose library paths hold no copy of the package.
  cl <- parallelly::makeClusterPSOCK(
    1L, rscript_libs = tempdir(),
    rscript_envs = c(R_LIBS = "", R_LIBS_USER = "", R_LIBS_SITE = ""))
  withr::defer(parallel::stopCluster(cl))
  skip_if(unlist(parallel::clusterEvalQ(
    cl, requireNamespace("mcar", quietly = TRUE))), "mcar found by the worker")
  local_plan(future::cluster, workers = cl)
  expect_error(par_fit(chains = 2, n_sample = 20, burnin = 10),
               "package 'mcar' is not installed where the plan's workers run")
})
