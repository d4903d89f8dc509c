#' Fit the multivariate CAR disease-mapping model
#'
#' Samples the posterior of the three-outcome Poisson model with a
#' multivariate conditional autoregressive (MCAR) prior on the spatial
#' effects (see [mcar-package] for the model) by Metropolis-within-Gibbs
#' sampling, in one or more chains.
#'
#' @section Data:
#' The sampler is built for maps of exactly 87 areal units (the bundled
#' Minnesota county map has 87 counties).  `counts` and `expected` hold one
#' row per unit, in the order of the rows of `W`, and one column per outcome.
#' Counts must be non-negative whole numbers and every outcome needs at least
#' one event.  Expected counts must be non-negative, and positive wherever
#' the count is positive.  `W` must be symmetric and non-negative with a zero
#' diagonal, and every unit needs at least one neighbour.  Weighted
#' adjacencies are allowed: `D` is then the diagonal of the row sums.
#'
#' @section Sampling:
#' Each chain runs `n_sample` sweeps.  The first `burnin` are discarded; of
#' the rest every `thin`-th is kept.  Every sweep updates the three
#' intercepts and the 261 spatial effects one at a time, the loadings in two
#' blocks (the diagonal `lamda1, lamda4, lamda6` on the log scale and the
#' off-diagonal `lamda2, lamda3, lamda5`), and the association matrix in two
#' blocks (its eigenvalues `eta`, each in (-1.19, 0.99), and its angles
#' `theta`, each in (-1, 1), both on logit scales), all by Gaussian random
#' walks whose standard deviations are the proposal scales.
#'
#' With `tune = TRUE` the scales are adapted during burn-in: the burn-in is
#' run in twenty pieces (of 20 to 1000 sweeps) and after each the scale of
#' every intercept and every spatial effect is moved towards an acceptance
#' rate of 0.35, and the scale of each of the four blocks towards 0.27 --
#' by a large correction after each of the first three pieces, then by
#' Robbins-Monro steps of decreasing size, which make the acceptance rate
#' average to its target.  The scales are fixed from the end of burn-in on,
#' so the kept draws come from a fixed Markov kernel.  The scales reached
#' are returned in `scales`, the acceptance rates of every burn-in piece in
#' `tuning`, and the scales can be passed back to a later call (with `tune =
#' FALSE` to keep them as they are).  Short burn-ins tune roughly; the rate
#' of the angle block in particular varies with the state of the chain and
#' needs a few thousand burn-in sweeps to settle.
#'
#' @section Chains, seeds and parallel runs:
#' The chains are run through [future.apply::future_lapply()], one future
#' per chain, so they run in parallel under a parallel [future::plan()]
#' (for example `future::plan("multisession", workers = 2)`) and one after
#' the other under the default sequential plan.  From `seed`, each chain gets
#' its own L'Ecuyer-CMRG random-number stream (see
#' [parallel::nextRNGStream()]), which the chain installs itself before it
#' starts, so the same seed gives the same draws whatever the plan, the
#' number of workers, the progress bar or the console output.  The caller's
#' random-number state is left as it was when `seed` is given; with
#' `seed = NULL` one number is drawn from it to serve as the seed (so
#' [set.seed()] before the call also makes it reproducible).
#'
#' Each chain runs in a private temporary working directory (the compiled
#' sampler reads the map from files there); the working directory of the R
#' session that runs it is restored afterwards, also after an error or an
#' interrupt.
#'
#' @section Starting values:
#' By default the first chain starts from `gbeta = log(sum(Y) / sum(N))` per
#' outcome, loadings `lamda1 = lamda4 = lamda6 = 0.5` and 0 off the
#' diagonal, spatial effects from the log standardised morbidity ratios
#' smoothed once over neighbours (centred and divided by the loading),
#' `eta = c(0.6, 0.5, 0.4)` and `theta = 0`.  (Distinct starting eigenvalues
#' matter: the chains are run in pieces, each continuing from the last state
#' of the one before, and the angles of a matrix with equal eigenvalues leave
#' no trace in its entries.)  Further chains start from values dispersed
#' around these, drawn from their own streams.  `init` may replace any of
#' `gbeta` (3 numbers), `phi` (87 x 3 matrix), `lamda` (6 numbers or the 3 x 3
#' upper triangular loading matrix with a positive diagonal), `eta` (3
#' numbers in (-1.19, 0.99) with every `1 - eta * lambda` positive for the
#' eigenvalues `lambda` of \eqn{D^{-1/2} W D^{-1/2}}) and `theta` (3 numbers
#' in (-1, 1)).
#'
#' @param counts Observed counts: an 87 x 3 matrix or data frame (units in
#'   rows, outcomes in columns), or, with `data`, the names of three columns
#'   of `data`.
#' @param expected Expected counts, in the same form as `counts`.
#' @param W The map: a symmetric 87 x 87 adjacency matrix (1 for neighbours,
#'   0 otherwise, or non-negative weights), or an \pkg{spdep} `nb` or `listw`
#'   object.
#' @param n_sample Total number of sweeps per chain, burn-in included.
#' @param burnin Number of initial sweeps discarded (and used for tuning).
#'   Must be smaller than `n_sample`.
#' @param thin Keep every `thin`-th sweep after burn-in.
#' @param chains Number of chains.
#' @param data Optional data frame holding the columns named by `counts` and
#'   `expected`.
#' @param units Optional names of the 87 units; by default the row names of
#'   `W`, else the row names of `counts`, else `"1"` to `"87"`.
#' @param init Starting values: `NULL` (defaults), a named list with some of
#'   `gbeta`, `phi`, `lamda`, `eta`, `theta` used for every chain, an unnamed
#'   list of such lists (one per chain), or a function of the chain number
#'   returning such a list.  Elements left out take their default values.
#' @param scales Proposal scales: `NULL` (defaults), a named list with some
#'   of `gbeta` (3), `phi` (1, 3 or an 87 x 3 matrix), `lamda_diag` (3),
#'   `lamda_off` (3), `eta` (3) and `theta` (3) (single numbers are
#'   recycled), or a list of such lists, one per chain, such as the `scales`
#'   element of an earlier fit.
#' @param tune Whether to adapt the proposal scales during burn-in.
#' @param seed A whole number seeding the chains' random-number streams, or
#'   `NULL`.
#' @param progress Whether to show a progress bar.  Uses \pkg{progressr}
#'   when it is installed (also for chains running on parallel workers), else
#'   a text progress bar when the chains run in this R session.
#' @param verbose Whether to print the sampler's own console output: three
#'   lines per sweep (the sweep number, the six loadings and the packed
#'   association matrix).  Turns the progress bar off.
#' @param log_file Optional path of a file to which the sampler's console
#'   output of every chain is written (three lines per sweep, chain after
#'   chain), whatever `verbose` is.
#'
#' @return An object of class `"mcar_fit"`, a list with elements
#'   \describe{
#'     \item{samples}{per chain, the kept draws: `gbeta` (draws x 3),
#'       `lamda` (draws x 6), `alpha` (draws x 6: A11, A12, A13, A22, A23,
#'       A33), `phi` (draws x 87 x 3) and `deviance` (one per draw).}
#'     \item{risk}{posterior summary of the relative risks: `mean`,
#'       `lower`, `upper` (95% intervals) and `prob_gt1`
#'       (\eqn{P(RR > 1)}), each 87 x 3.}
#'     \item{dic}{`Dbar`, `Dtheta`, `pD` and `DIC`.}
#'     \item{acceptance}{per chain, the acceptance rates over the kept part
#'       of the run, with the structure of `scales`.}
#'     \item{scales, initial_scales}{per chain, the proposal scales used for
#'       the kept sweeps and those the run started from.}
#'     \item{tuning}{per chain, a data frame of the acceptance rates in each
#'       burn-in piece (`NULL` without tuning).}
#'     \item{init, last_state}{per chain, the starting values and the final
#'       state of the chain.}
#'     \item{counts, expected, W, eigen, units, outcomes}{the data.}
#'     \item{settings, seed, call, seconds}{how the fit was run.}
#'   }
#'   The deviance is \eqn{-2 \sum_{r,i} (Y_{ri} \eta_{ri} - N_{ri}
#'   e^{\eta_{ri}})}{-2 sum (Y eta - N exp(eta))}, the Poisson deviance up to
#'   a constant that depends on the data only; `Dbar` is its posterior mean,
#'   `Dtheta` its value at the posterior-mean relative risks, `pD = Dbar -
#'   Dtheta` and `DIC = Dbar + pD`.
#'
#' @seealso [summary.mcar_fit()], [plot.mcar_fit()], [relative_risk()],
#'   [as.mcmc.mcar_fit()].
#' @examples
#' sim <- minnesota_simulated()
#' W <- minnesota_adjacency()
#' fit <- mcar_fit(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"), W,
#'                 data = sim, n_sample = 400, burnin = 200, seed = 1)
#' fit
#'
#' \donttest{
#' # Two chains in parallel, longer run.
#' future::plan("multisession", workers = 2)
#' fit2 <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")], W,
#'                  n_sample = 6000, burnin = 2000, thin = 2, chains = 2,
#'                  seed = 42)
#' future::plan("sequential")
#' summary(fit2)
#' }
#' @export
mcar_fit <- function(counts, expected, W, n_sample, burnin, thin = 1,
                     chains = 1, data = NULL, units = NULL, init = NULL,
                     scales = NULL, tune = TRUE, seed = NULL,
                     progress = interactive(), verbose = FALSE,
                     log_file = NULL) {
  call <- match.call()
  started <- proc.time()[["elapsed"]]

  # ---- everything is checked before anything is run or written ----
  if (!is.null(data) && !is.data.frame(data)) {
    .input_error("data", "must be a data frame or NULL.")
  }
  if (missing(counts)) .input_error("counts", "is missing.")
  if (missing(expected)) .input_error("expected", "is missing.")
  if (missing(W)) .input_error("W", "is missing.")
  if (missing(n_sample)) .input_error("n_sample", "is missing.")
  if (missing(burnin)) .input_error("burnin", "is missing.")
  Y <- .outcome_matrix(counts, "counts", data)
  Y <- .check_counts(Y)
  N <- .outcome_matrix(expected, "expected", data)
  N <- .check_expected(N, Y)
  map <- .check_map(W)
  size <- .check_run_size(n_sample, burnin, thin, chains)
  tune <- .check_flag(tune, "tune")
  progress <- .check_flag(progress, "progress")
  verbose <- .check_flag(verbose, "verbose")
  seed <- .check_seed(seed)
  log_file <- .check_log_file(log_file)
  data_units <- rownames(Y)
  if (!is.null(data_units) &&
      identical(data_units, as.character(seq_len(.NREGION)))) {
    data_units <- NULL
  }
  units <- .check_units(units, map$units, data_units)
  outcomes <- colnames(Y)
  if (is.null(outcomes) || anyDuplicated(outcomes) || any(!nzchar(outcomes))) {
    outcomes <- paste0("outcome", 1:3)
  }
  scale_list <- .check_scales(scales, size$chains)
  plain <- .default_init(Y, N, map$C)
  invisible(.check_init(init, rep(list(plain), size$chains), map$eigen))
  if (tune && size$burnin == 0L) {
    warning("`tune` is TRUE but `burnin` is 0: there is no burn-in to tune ",
            "the proposal scales in; the given scales are used.",
            call. = FALSE)
  }

  # ---- random-number streams and starting values ----
  if (is.null(seed)) seed <- sample.int(.Machine$integer.max, 1L)
  streams <- .chain_streams(seed, size$chains)
  defaults <- lapply(seq_len(size$chains), function(k) {
    if (k == 1L) plain else .disperse_init(plain, streams[[k]], map$eigen)
  })
  inits <- .check_init(init, defaults, map$eigen)

  tasks <- lapply(seq_len(size$chains), function(k) {
    list(chain = k, Y = Y, N = N, D = map$D, C = map$C, eigen = map$eigen,
         init = inits[[k]], scales = scale_list[[k]], seed = streams[[k]],
         n_sample = size$n_sample, burnin = size$burnin, thin = size$thin,
         tune = tune, verbose = verbose, capture = !is.null(log_file))
  })

  results <- .run_chains(tasks, progress = progress && !verbose,
                         total = size$chains * size$n_sample)

  if (!is.null(log_file)) .write_log(log_file, results)

  fit <- .assemble_fit(results, Y = Y, N = N, map = map, units = units,
                       outcomes = outcomes, inits = inits, size = size,
                       tune = tune, seed = seed, call = call)
  fit$seconds <- proc.time()[["elapsed"]] - started
  fit
}

# ---- starting values ------------------------------------------------------

# Data-based starting values (see the documentation of mcar_fit()).
.default_init <- function(Y, N, C) {
  gbeta <- log(colSums(Y) / colSums(N))
  fitted0 <- sweep(N, 2L, exp(gbeta), `*`)
  smr <- log((Y + 0.5) / (fitted0 + 0.5))
  smooth <- (smr + (C %*% smr) / rowSums(C)) / 2
  smooth <- sweep(smooth, 2L, colMeans(smooth))
  lam <- 0.5
  list(gbeta = unname(gbeta),
       phi = unname(smooth / lam),
       lamda = c(lam, 0, 0, lam, 0, lam),
       eta = c(0.6, 0.5, 0.4),
       theta = rep(0, 3L))
}

# Starting values dispersed around `init`, drawn from a substream of the
# chain's stream (so they do not touch the draws of the chain).
.disperse_init <- function(init, stream, lambda) {
  restore <- .use_stream(parallel::nextRNGSubStream(stream))
  on.exit(restore())
  out <- init
  out$gbeta <- init$gbeta + rnorm(3L, 0, 0.1)
  out$phi <- init$phi + matrix(rnorm(length(init$phi), 0, 0.2),
                               nrow(init$phi))
  d <- c(1L, 4L, 6L)
  out$lamda[d] <- init$lamda[d] * exp(rnorm(3L, 0, 0.3))
  out$lamda[-d] <- init$lamda[-d] + rnorm(3L, 0, 0.1)
  repeat {
    eta <- runif(3L, 0.1, 0.9)
    if (all(outer(eta, lambda, function(e, l) 1 - e * l) > 0)) break
  }
  out$eta <- eta
  out$theta <- runif(3L, -0.5, 0.5)
  out
}

# ---- running the chains ---------------------------------------------------

.is_sequential <- function() inherits(future::plan(), "sequential")

# A progress callback holding nothing but the progressor, so that it travels
# light to parallel workers.
.progress_callback <- function(p) {
  force(p)
  function(n) p(amount = n)
}

.run_chains <- function(tasks, progress, total) {
  sequential <- .is_sequential()
  run <- function(callback) {
    if (sequential) {
      lapply(tasks, .run_chain, progress = callback)
    } else {
      future.apply::future_lapply(tasks, .run_chain, progress = callback,
                                  future.seed = FALSE,
                                  future.packages = "mcar")
    }
  }
  if (!progress) return(run(NULL))
  if (requireNamespace("progressr", quietly = TRUE)) {
    return(progressr::with_progress({
      p <- progressr::progressor(steps = total)
      run(.progress_callback(p))
    }, enable = TRUE))
  }
  if (!sequential) return(run(NULL))
  pb <- txtProgressBar(min = 0, max = total, style = 3)
  on.exit(close(pb))
  done <- 0
  run(function(n) {
    done <<- done + n
    setTxtProgressBar(pb, done)
  })
}

.write_log <- function(path, results) {
  con <- file(path, open = "wt")
  on.exit(close(con))
  for (r in results) {
    writeLines(sprintf("# chain %d of %d", r$chain, length(results)), con)
    writeLines(r$lines, con)
  }
}

# ---- posterior quantities -------------------------------------------------

# Linear predictors of the three outcomes for every draw of one chain:
# an array draws x 87 x 3.
.linear_predictor <- function(s) {
  l <- s$lamda
  p1 <- s$phi[, , 1L, drop = TRUE]
  p2 <- s$phi[, , 2L, drop = TRUE]
  p3 <- s$phi[, , 3L, drop = TRUE]
  if (!is.matrix(p1)) {          # a single draw
    p1 <- matrix(p1, 1L); p2 <- matrix(p2, 1L); p3 <- matrix(p3, 1L)
  }
  e1 <- s$gbeta[, 1L] + l[, 1L] * p1 + l[, 2L] * p2 + l[, 3L] * p3
  e2 <- s$gbeta[, 2L] + l[, 4L] * p2 + l[, 5L] * p3
  e3 <- s$gbeta[, 3L] + l[, 6L] * p3
  array(c(e1, e2, e3), c(nrow(s$gbeta), .NREGION, 3L))
}

# -2 sum(Y eta - N exp(eta)) per draw, as the sampler computes it.
.deviance_draws <- function(eta, Y, N) {
  dev <- 0
  for (r in 1:3) {
    e <- eta[, , r]
    if (!is.matrix(e)) e <- matrix(e, 1L)
    dev <- dev + drop(e %*% Y[, r]) - drop(exp(e) %*% N[, r])
  }
  -2 * dev
}

.deviance_at <- function(rr, Y, N) {
  -2 * sum(Y * log(rr) - rr * N)
}

# Relative-risk draws of all chains stacked: an array draws x 87 x 3.
.risk_draws <- function(fit) {
  parts <- lapply(fit$samples, function(s) exp(.linear_predictor(s)))
  n <- vapply(parts, function(a) dim(a)[1L], integer(1))
  out <- array(NA_real_, c(sum(n), .NREGION, 3L))
  at <- 0L
  for (k in seq_along(parts)) {
    out[at + seq_len(n[k]), , ] <- parts[[k]]
    at <- at + n[k]
  }
  out
}

.summarise_risk <- function(rr, level, units, outcomes) {
  a <- (1 - level) / 2
  dn <- list(units, outcomes)
  mat <- function(f) {
    x <- apply(rr, c(2L, 3L), f)
    dimnames(x) <- dn
    x
  }
  list(mean = mat(mean),
       lower = mat(function(v) quantile(v, a, names = FALSE)),
       upper = mat(function(v) quantile(v, 1 - a, names = FALSE)),
       prob_gt1 = mat(function(v) mean(v > 1)),
       level = level)
}

.param_names <- list(gbeta = paste0("gbeta", 1:3),
                     lamda = paste0("lamda", 1:6),
                     alpha = paste0("alpha", 1:6))

.assemble_fit <- function(results, Y, N, map, units, outcomes, inits, size,
                          tune, seed, call) {
  chain_names <- paste0("chain", seq_along(results))
  samples <- lapply(results, function(r) {
    d <- r$draws
    colnames(d$gbeta) <- .param_names$gbeta
    colnames(d$lamda) <- .param_names$lamda
    colnames(d$alpha) <- .param_names$alpha
    dimnames(d$phi) <- list(NULL, units, paste0("phi", 1:3))
    d$deviance <- .deviance_draws(.linear_predictor(d), Y, N)
    d
  })
  names(samples) <- chain_names
  dimnames(Y) <- dimnames(N) <- list(units, outcomes)
  fit <- list(
    call = call,
    samples = samples,
    acceptance = setNames(lapply(results, `[[`, "acceptance"), chain_names),
    scales = setNames(lapply(results, `[[`, "scales"), chain_names),
    initial_scales = setNames(lapply(results, `[[`, "initial_scales"),
                              chain_names),
    tuning = setNames(lapply(results, `[[`, "tuning"), chain_names),
    init = setNames(inits, chain_names),
    last_state = setNames(lapply(results, `[[`, "last_state"), chain_names),
    checkpoints = setNames(lapply(results, `[[`, "checkpoints"), chain_names),
    counts = Y, expected = N,
    W = structure(map$C, dimnames = list(units, units)),
    eigen = map$eigen, units = units, outcomes = outcomes,
    settings = c(size, list(tune = tune)),
    seed = seed,
    chain_seconds = vapply(results, `[[`, numeric(1), "seconds")
  )
  class(fit) <- "mcar_fit"
  rr <- .risk_draws(fit)
  fit$risk <- .summarise_risk(rr, 0.95, units, outcomes)
  dbar <- mean(unlist(lapply(samples, `[[`, "deviance")))
  dtheta <- .deviance_at(fit$risk$mean, Y, N)
  fit$dic <- c(Dbar = dbar, Dtheta = dtheta, pD = dbar - dtheta,
               DIC = 2 * dbar - dtheta)
  fit
}
