#' Fit the multivariate CAR disease-mapping model
#'
#' Samples the posterior of the Poisson model with a multivariate
#' conditional autoregressive (MCAR) prior on K spatial fields (see
#' [mcar-package] for the model) by Markov chain Monte Carlo, in one or
#' more chains.
#'
#' @section The model:
#' For unit i and outcome r, \eqn{Y_{ir} \sim \mathrm{Poisson}(E_{ir}
#' \exp(\mu_{ir}))}{Y[i,r] ~ Poisson(E[i,r] exp(mu[i,r]))} with
#' \eqn{\mu_{ir} = \sum_j X_{ij} \beta_{jr} + \sum_{c \ge r} \Lambda_{rc}
#' \phi_{ic}}{mu[i,r] = sum_j X[i,j] beta[j,r] + sum_{c >= r} Lambda[r,c]
#' phi[i,c]}: X the intercept and the covariates, \eqn{\Lambda}{Lambda}
#' upper triangular with a positive diagonal, and the fields \eqn{\phi}{phi}
#' (n x K) with the MCAR prior of precision \eqn{I_K \otimes D - A \otimes
#' C}{I_K x D - A x C}, C the weights of the map, D the diagonal matrix of
#' their row sums and \eqn{A = P \mathrm{diag}(\eta) P'}{A = P diag(eta) P'}
#' the association matrix (P a product of plane rotations through the angles
#' \eqn{\theta \pi / 2}{theta pi/2}).  Priors: the coefficients flat or
#' normal (see [mcar_prior()]); \eqn{\Lambda \Lambda'}{Lambda Lambda'}
#' inverse-Wishart (by default with K degrees of freedom and scale 0.3 I);
#' each \eqn{\eta_k}{eta_k} uniform on (max(-1.19, 0.99 / lambda_min),
#' eta_upper) (`eta_upper` 0.99 by default, see [mcar_prior()]), lambda_min
#' the smallest eigenvalue of \eqn{D^{-1/2} C D^{-1/2}}{D^-1/2 C D^-1/2},
#' which keeps the prior proper on any map; each angle uniform on (-1, 1).
#' A fit warns when the posterior of an eigenvalue piles against a bound.
#'
#' @section Likelihood families:
#' `family = "poisson"` (the default) is the model above.  With
#' `family = "binomial"`, \eqn{Y_{ir} \sim \mathrm{Binomial}(N_{ir},
#' p_{ir})}{Y[i,r] ~ Binomial(N[i,r], prob[i,r])} with
#' \eqn{\mathrm{logit}(p_{ir}) = \mu_{ir}}{logit(prob[i,r]) = mu[i,r]}: the
#' numbers of trials N come in `trials` and `expected` is left out.  With
#' `family = "negbinomial"`, \eqn{Y_{ir}}{Y[i,r]} is negative binomial with
#' mean \eqn{E_{ir} \exp(\mu_{ir})}{E[i,r] exp(mu[i,r])} and size
#' \eqn{\psi_r}{psi[r]}, one per outcome (variance mean + mean^2 / psi_r),
#' with \eqn{1 / \sqrt{\psi_r}}{1 / sqrt(psi[r])} half-normal of scale s =
#' `mcar_prior(dispersion_scale = )` (1 by default):
#' \eqn{p(\psi_r) \propto \psi_r^{-3/2} \exp\{-1 / (2 s^2 \psi_r)\}}{p(psi[r])
#' ~ psi[r]^(-3/2) exp(-1 / (2 s^2 psi[r]))}.  The sizes are drawn as
#' `dispersion[r]`.  One family serves every outcome.  Binomial fits hold
#' the probabilities `prob[i,r]` where the others hold relative risks
#' `rr[i,r]`; everything derived from a fit (log-likelihood, DIC, WAIC,
#' LOO, fitted values, predictions, residuals, replicates, maps) follows
#' its family.
#'
#' @section Islands and large maps:
#' A unit without neighbours (an island) has D = 1 in the precision: its
#' fields are N(0, I) a priori, independent of the rest of the map, and its
#' risks are still scaled by the loadings; its term of the log-determinant
#' is 0.  A map of several connected components is taken as it is (the prior
#' is proper on each).  The fit names the islands and the number of
#' components in one message.  With sf polygons, `islands = "nearest"`
#' links each island to the unit whose centroid is nearest instead, and
#' names the links.  Nothing of size n x n is formed: the prior's
#' log-determinant comes from sparse Cholesky factorisations, interpolated
#' once per fit.  The per-unit draws (fields, risks, log-likelihoods) are
#' stored for all kept sweeps on small maps and for an evenly thinned share
#' on large ones (see `keep`), with a message; posterior means and sds of
#' the risks, P(RR > 1), DIC and WAIC are accumulated by the sampler over
#' every kept sweep, while intervals, other exceedance thresholds and LOO
#' use the stored draws and say how many.
#'
#' @section Data:
#' `counts` and `expected` hold one row per unit and one column per outcome
#' (1 to 8 outcomes).  Counts are non-negative whole numbers; `NA` marks a
#' missing (for example suppressed) count, which is left out of the
#' likelihood and predicted from the model.  Expected counts are
#' non-negative, and positive where the count is positive.  `W` is
#' symmetric and non-negative with a zero diagonal (weights allowed); units
#' without neighbours are allowed (see Islands).  Every input that carries unit
#' names is matched by name: the rows of `counts`, `expected` and
#' `covariates` to the units of `W` when the map is named, else to the
#' first of them that is named; names that differ, repeat or are missing
#' are errors that say which.  Any names count, whole-number ids such as
#' "1", "2", ... too; what carries no names (an unnamed matrix, a data frame
#' with R's automatic row names, an spdep list with its default ids 1..n
#' when the data use other names) is taken in the order of the units.
#' Offsets have no place in the model: multiply the expected counts by
#' exp(offset) instead.  Under a flat prior a covariate that the counts
#' cannot hold (one that, say, is 0 wherever an outcome was seen) leaves
#' the posterior improper; the fit warns which coefficient and why.
#'
#' @section Sampling:
#' Each sweep updates the coefficients of each outcome in a block (a random
#' walk shaped by the information of the data), the effects one at a time
#' (random walks on maps under 500 units; on larger maps Newton proposals: a
#' Gaussian with the slope and curvature of the effect's conditional at its
#' current value, accepted almost always), then draws exactly, for the
#' intercept and for each covariate, a shift of every field along that
#' covariate against its coefficients (which leaves the likelihood
#' unchanged and removes the slow trade-off between coefficients and
#' fields, smooth covariates included), scale and shear moves of the fields
#' against the loadings, the loadings row by row (the diagonal on the log
#' scale), and each eigenvalue and each angle of the association matrix on
#' logit scales.  The scale, shear, eigenvalue and angle moves leave the
#' likelihood unchanged and cost nothing that grows with the map; on large
#' maps, where they are sharply determined given the fields, the sweep ends
#' with further rounds of them (one round per 100 units in all, at most
#' 30).  With `tune = TRUE` the proposal scales are adapted
#' during burn-in (in about twenty pieces) and fixed from its end on, so
#' the kept draws come from a fixed Markov kernel.
#'
#' @section Chains, seeds and parallel runs:
#' Each chain runs as a future of its own (\pkg{future}), so the chains run
#' in parallel under a parallel [future::plan()].  Each chain's generator is
#' seeded from its own L'Ecuyer-CMRG stream of `seed`, so the same seed
#' gives the same draws whatever the plan and the number of workers.  The
#' caller's random-number state is left as it was when `seed` is given.
#' A chain whose worker dies (killed, say, or out of memory) is lost alone:
#' the fit keeps the chains that finished, warns which chain was lost and
#' lists it in `lost_chains`, and restarts the plan's workers so that the
#' next fit finds them working (a cluster object given to the plan has to
#' be made anew by the caller, as the warning says); when every chain is
#' lost the fit is an error.  When a fit is interrupted or stops on an
#' error, its chains still running on workers of this machine stop at the
#' end of their current piece.
#'
#' @param counts Observed counts: an n x K matrix or data frame, a vector
#'   for one outcome, or, with `data`, names of columns of `data`.
#' @param expected Expected counts, in the same form as `counts` (not for
#'   the binomial family).
#' @param family The likelihood: `"poisson"`, `"binomial"` (logit link) or
#'   `"negbinomial"`; see the section on families.
#' @param trials For `family = "binomial"`: the numbers of trials behind
#'   the counts (people screened, births, ...), in the same form as
#'   `counts`: whole numbers, at least the counts, `NA` only where the count
#'   is missing.
#' @param W The map: a symmetric adjacency or weights matrix (dense or a
#'   sparse `Matrix`), an \pkg{spdep} `nb` or `listw` object, or an \pkg{sf}
#'   polygons object (neighbours share a boundary; its geometry is kept for
#'   maps; \pkg{sp} polygons are read through [sf::st_as_sf()]).  A
#'   `listw` must have symmetric weights (style `"B"`, say), not the
#'   row-standardised style `"W"`.
#' @param covariates `NULL`, an n x q numeric matrix or data frame, or a
#'   one-sided formula evaluated in `data` (factors expand as in
#'   [stats::model.matrix()]).  An intercept is always added.
#' @param data Optional data frame holding the columns named by `counts`,
#'   `expected` and the variables of a `covariates` formula.
#' @param n_sample Total number of sweeps per chain, burn-in included.
#' @param burnin Number of initial sweeps discarded (and used for tuning).
#' @param thin Keep every `thin`-th sweep after burn-in.
#' @param chains Number of chains.
#' @param seed A whole number seeding the chains, or `NULL` (one number is
#'   then drawn from R's generator).
#' @param prior Priors from [mcar_prior()].
#' @param init Starting values: `NULL`, a named list with some of `beta`
#'   (p x K), `phi` (n x K), `Lambda` (K x K upper triangular), `eta` (K)
#'   and `theta` (K (K - 1) / 2), used for every chain, a list of such lists
#'   (one per chain), or a function of the chain number.
#' @param scales Proposal scales: `NULL`, a named list with some of `beta`,
#'   `phi`, `lambda`, `eta`, `theta`, or a per-chain list such as the
#'   `scales` element of an earlier fit.
#' @param tune Whether to adapt the proposal scales during burn-in.
#' @param units Optional unit names (by default those of `W`, else of
#'   `counts`).
#' @param map For `plot(type = "map")`: an sf object or geometry with one
#'   polygon per unit, when `W` is not itself sf polygons; the rows of an
#'   sf table with row names are matched to the units by name.
#' @param snap,queen For sf polygons as `W`: the snapping distance (`NULL`
#'   or a non-negative number) and whether a shared corner makes neighbours
#'   (passed to [spdep::poly2nb()]).
#' @param islands `"independent"` (the default): a unit without neighbours
#'   keeps its own independent prior; `"nearest"` (sf polygons only): each
#'   is linked to the unit with the nearest centroid.
#' @param keep How many draws per chain of the per-unit values (fields,
#'   risks, log-likelihoods) to store: `NULL` (the default) for all of them
#'   within a budget of 2.5e7 values over the chains (evenly thinned beyond
#'   it), `Inf` for all, or a number.  Summaries accumulated by the sampler
#'   use every kept draw whatever is stored.
#' @param progress Whether to show a progress bar (\pkg{progressr} when
#'   installed).
#' @param verbose Whether to report each piece of each chain as a message.
#' @param log_file Optional path of a file receiving those lines.
#' @param threads Threads per chain for the effects on maps of 500 units or
#'   more (their units are updated colour by colour through a colouring of
#'   the map).  The draws are the same for any number of threads; with
#'   chains run in parallel (a \pkg{future} plan), keep chains times threads
#'   within the cores.  Default `getOption("mcar.threads", 1)`.
#'
#' @return An object of class `"mcar_fit"`; see [mcar_fit-methods] for what
#'   can be done with it.  Its elements include `draws` (per chain, the kept
#'   draws of `beta`, `phi`, `Lambda`, `A`, `eta`, `theta`, `deviance` and,
#'   for the negative binomial, `dispersion`), `summaries` (the sampler's
#'   running sums per cell over every kept draw), `unit_rows` (the kept
#'   draws that store the per-unit values),
#'   `acceptance`, `scales`, `tuning`, `init`, `last_state`, `dic`,
#'   `lost_chains` (the numbers of the chains lost with their worker,
#'   usually none), the data and the settings.
#' @examples
#' sim <- minnesota_simulated()
#' W <- minnesota_adjacency()
#' fit <- mcar_fit(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"), W, data = sim,
#'                 n_sample = 600, burnin = 300, chains = 2, seed = 1)
#' fit
#' @export
mcar_fit <- function(counts, expected, W, covariates = NULL, data = NULL,
                     family = c("poisson", "binomial", "negbinomial"),
                     trials = NULL, n_sample = 4000,
                     burnin = floor(n_sample / 2), thin = 1,
                     chains = 4, seed = NULL, prior = mcar_prior(),
                     init = NULL, scales = NULL, tune = TRUE, units = NULL,
                     map = NULL, snap = NULL, queen = TRUE,
                     islands = c("independent", "nearest"), keep = NULL,
                     progress = interactive(), verbose = FALSE,
                     log_file = NULL,
                     threads = getOption("mcar.threads", 1L)) {
  call <- match.call()
  started <- proc.time()[["elapsed"]]
  tune_given <- !missing(tune)  # before `tune` is reassigned below

  # ---- everything is checked before anything is run ----
  if (!is.null(data) && !is.data.frame(data)) {
    .input_error("data", "must be a data frame or NULL.")
  }
  if (missing(counts)) .input_error("counts", "is missing.")
  family <- .check_family(family)
  binom <- family == "binomial"
  if (binom) {
    if (!missing(expected) && !is.null(expected)) {
      .input_error("expected", "is not used by the binomial family, whose ",
                   "counts come out of `trials`; leave it out.")
    }
    if (is.null(trials)) {
      .input_error("trials", "is needed by the binomial family: the number ",
                   "of trials (for example people screened) behind each ",
                   "count.")
    }
  } else {
    if (missing(expected)) .input_error("expected", "is missing.")
    if (!is.null(trials)) {
      .input_error("trials", "is only for family = \"binomial\"; the ",
                   family, " family takes `expected`.")
    }
  }
  if (missing(W)) .input_error("W", "is missing.")
  Y <- .check_counts(.outcome_matrix(counts, "counts", data))
  E <- if (binom) .outcome_matrix(trials, "trials", data) else
    .outcome_matrix(expected, "expected", data)
  e_arg <- if (binom) "trials" else "expected"
  queen <- .check_polygon_args(snap, queen)
  W <- .from_sp(W, "W")
  map_names <- .map_names(W)
  islands <- .check_islands(islands)
  mp <- .check_map(W, snap = snap, queen = queen, islands = islands)
  n <- mp$n
  if (nrow(Y) != n) {
    .input_error("counts", "has ", nrow(Y), " rows but `W` describes ", n,
                 " units.")
  }
  X <- .design_matrix(covariates, data, n)

  # Units: every input that carries names is matched by name (to the map's
  # names, or to those of the first named input when the map has none);
  # inputs without names are taken in the order of the units.
  check_e <- function(E, Y) {
    if (binom) .check_trials(E, Y) else .check_expected(E, Y)
  }
  if (!identical(dim(E), dim(Y))) check_e(E, Y)
  aligned <- .align_units(map_names, stats::setNames(
    list(Y, E, X), c("counts", e_arg, "covariates")))
  Y <- aligned$rows$counts; E <- aligned$rows[[e_arg]]
  X <- aligned$rows$covariates
  E <- check_e(E, Y)
  K <- ncol(Y); p <- ncol(X)
  named_units <- !is.null(aligned$units) || !is.null(units)
  if (is.null(units)) {
    units <- if (!is.null(aligned$units)) aligned$units else
      as.character(seq_len(n))
  } else {
    units <- as.character(units)
    if (length(units) != n || anyNA(units) || anyDuplicated(units)) {
      .input_error("units", "must give ", n, " distinct unit names.")
    }
  }
  outcomes <- .outcome_names(colnames(Y), K)
  .check_prior_outcomes(prior, K)
  prior <- .resolve_prior(prior, K, p)
  .warn_separation(Y, X, prior$beta_sd, outcomes)
  size <- .check_run_size(n_sample, burnin, thin, chains, p * K)
  size$unit_thin <- .unit_thinning(keep, size, n * K)
  tune <- .check_flag(tune, "tune")
  progress <- .check_flag(progress, "progress")
  verbose <- .check_flag(verbose, "verbose")
  seed <- .check_seed(seed)
  log_file <- .check_log_file(log_file)
  threads <- .check_count(threads, "threads", lower = 1, upper = 1024)
  if (!is.null(map)) map <- .unit_polygons(map, units, named_units, "map",
                                              "the data's units")
  mp <- .prepare_map(mp, eta_hi = prior$eta_upper)
  dat <- .engine_data(Y, E, X, mp, prior, family)
  plain <- .default_init(Y, E, X, mp, family)
  eta_range <- c(dat$eta_lo, dat$eta_hi)
  # Starting eigenvalues inside a support narrowed by `eta_upper`.
  plain$eta <- pmin(pmax(plain$eta, eta_range[1L] + 0.1 * diff(eta_range)),
                    eta_range[2L] - 0.1 * diff(eta_range))
  default_scales <- .default_scales(Y, X, mp, E, family)
  scale_list <- .check_scales(scales, default_scales, size$chains)
  invisible(.check_init(init, rep(list(plain), size$chains), eta_range))
  if (tune && size$burnin == 0L) {
    if (tune_given) {
      warning("`tune` is TRUE but `burnin` is 0: there is no burn-in to tune ",
              "the proposal scales in; the given scales are used.",
              call. = FALSE)
    }
    tune <- FALSE
  }

  # ---- random-number streams and starting values ----
  if (is.null(seed)) seed <- sample.int(.Machine$integer.max, 1L)
  streams <- .chain_streams(seed, size$chains)
  seeded <- lapply(seq_len(size$chains), function(k) {
    restore <- .use_stream(streams[[k]])
    on.exit(restore())
    rng <- .engine_rng()
    init_k <- if (k == 1L) plain else .disperse_init(plain, eta_range)
    list(rng = rng, init = init_k)
  })
  inits <- .check_init(init, lapply(seeded, `[[`, "init"), eta_range)

  tasks <- lapply(seq_len(size$chains), function(k) {
    list(chain = k, data = dat, init = inits[[k]], rng = seeded[[k]]$rng,
         scales = scale_list[[k]], n_sample = size$n_sample,
         burnin = size$burnin, thin = size$thin,
         unit_thin = size$unit_thin, tune = tune, verbose = verbose,
         threads = threads)
  })
  setup_seconds <- proc.time()[["elapsed"]] - started
  results <- .run_chains(tasks, progress = progress,
                         total = size$chains * size$n_sample)
  if (!is.null(log_file)) .write_log(log_file, results)

  fit <- .assemble_fit(results, Y = Y, E = E, X = X, map = mp,
                       units = units, outcomes = outcomes, inits = inits,
                       size = size, tune = tune, seed = seed, call = call,
                       prior = prior, plot_map = map, family = family)
  fit$named_units <- named_units
  fit$covariate_formula <- .covariate_formula(covariates, data)
  fit$seconds <- proc.time()[["elapsed"]] - started
  fit$setup_seconds <- setup_seconds
  .warn_untrustworthy(fit)
  .warn_bounds(fit)
  fit
}

# Warns when the posterior of an eigenvalue of the association matrix piles
# against a bound of its prior: more than a quarter of its draws within 1%
# of the support's width from the bound.  Against the upper bound the
# fields are smoother than the prior lets them be.
.warn_bounds <- function(fit) {
  eta <- do.call(rbind, lapply(fit$draws, `[[`, "eta"))
  lo <- fit$map$eta_lo; hi <- fit$map$eta_hi
  if (is.null(eta) || !nrow(eta) || is.null(lo) || is.null(hi)) {
    return(invisible(character()))
  }
  near <- 0.01 * (hi - lo)
  msgs <- character()
  for (k in seq_len(ncol(eta))) {
    x <- eta[, k]
    if (mean(x > hi - near) > 0.25) {
      msgs <- c(msgs, sprintf(paste0(
        "eta[%d] piles against its upper bound %s (median %.4f): the ",
        "fields are smoother than the prior allows; consider ",
        "mcar_prior(eta_upper = ) closer to 1."), k, format(hi), median(x)))
    } else if (mean(x < lo + near) > 0.25) {
      msgs <- c(msgs, sprintf(paste0(
        "eta[%d] piles against its lower bound %s (median %.4f), set by the ",
        "map's smallest eigenvalue: the fields are rougher than the ",
        "prior allows."), k, format(lo, digits = 4), median(x)))
    }
  }
  if (length(msgs)) warning(paste(msgs, collapse = "\n"), call. = FALSE)
  invisible(msgs)
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
      list(results = lapply(tasks, .run_chain, progress = callback),
           lost = character())
    } else {
      .run_chain_futures(tasks, callback)
    }
  }
  out <- .with_progress(run, progress, total, sequential)
  .finished_chains(out)
}

.with_progress <- function(run, progress, total, sequential) {
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

# Runs each chain as a future of its own, at most one per worker, and
# collects them as they finish.  A chain whose worker dies is lost on its
# own: the others run on.  No chain is started while a dead worker is in
# the plan; once the running chains are in, the plan's workers are
# restarted and the waiting chains go on.  However the call is left
# otherwise (an interrupt, a time limit, an error of a chain), the chains
# still running stop at the end of their current piece.
#
# Returns the results in chain order, NULL for a lost chain, with `lost`
# (why each lost chain was lost, named by chain number) and `restarted`
# (whether a broken plan's workers were restarted; NA when none broke).
.run_chain_futures <- function(tasks, callback) {
  n <- length(tasks)
  results <- vector("list", n)
  lost <- character()
  restarted <- NA
  stop_file <- tempfile("mcar-stop-")
  finished <- FALSE
  on.exit(if (!finished) try(file.create(stop_file), silent = TRUE),
          add = TRUE)
  # Test hook: a function of the chain number, run in the chain's process
  # after each piece.
  hook <- getOption("mcar.chain_hook")
  limit <- suppressWarnings(as.numeric(future::nbrOfWorkers()))
  if (length(limit) != 1L || is.na(limit) || limit < 1) limit <- 1
  pending <- seq_len(n)
  running <- list()   # futures, named by chain number
  relaunched <- integer()
  broken <- FALSE     # a worker died: start nothing until they are restarted
  clusters <- list()  # the clusters of the dead workers
  fail <- function(e, f = attr(e, "future", exact = TRUE)) {
    cl <- if (inherits(f, "Future")) f$workers
    if (inherits(cl, "cluster")) clusters[[length(clusters) + 1L]] <<- cl
    broken <<- TRUE
  }
  lose <- function(k, e, f = attr(e, "future", exact = TRUE)) {
    lost[[as.character(k)]] <<- conditionMessage(e)
    fail(e, f)
  }
  while (length(pending) || length(running)) {
    if (broken && !length(running)) {
      restarted <- .restart_workers(clusters)
      broken <- FALSE
      clusters <- list()
    }
    while (!broken && length(pending) && length(running) < limit) {
      k <- pending[1L]
      pending <- pending[-1L]
      cb <- .chain_callback(callback, stop_file, hook, tasks[[k]]$chain)
      f <- tryCatch(.launch_chain(tasks[[k]], cb),
                    FutureError = .unless_time_limit)
      if (!inherits(f, "FutureError")) {
        running[[as.character(k)]] <- f
      } else if (!k %in% relaunched) {
        # A worker that died before this chain was sent to it (in an
        # earlier fit, say): try once more on restarted workers.
        relaunched <- c(relaunched, k)
        pending <- c(k, pending)
        fail(f)
      } else {
        lose(k, f)
      }
    }
    collected <- FALSE
    for (key in names(running)) {
      f <- running[[key]]
      done <- tryCatch(future::resolved(f), FutureError = .unless_time_limit)
      if (isFALSE(done)) next
      running[[key]] <- NULL
      collected <- TRUE
      value <- if (inherits(done, "FutureError")) done else
        tryCatch(future::value(f), FutureError = .unless_time_limit)
      if (inherits(value, "FutureError")) {
        lose(as.integer(key), value, f)
      } else {
        results[[as.integer(key)]] <- value
      }
    }
    if (!collected && length(running)) Sys.sleep(0.05)
  }
  if (broken) restarted <- .restart_workers(clusters)
  finished <- TRUE
  list(results = results, lost = lost, restarted = restarted)
}

# future reports an error raised in this process while it talks to a worker
# as a FutureError, as if the worker had failed; a time limit reached then
# (setTimeLimit(), R.utils::withTimeout()) must still end the fit.
.unless_time_limit <- function(e) {
  limits <- c(gettext("reached elapsed time limit", domain = "R"),
              gettext("reached CPU time limit", domain = "R"))
  for (limit in limits) {
    if (grepl(limit, conditionMessage(e), fixed = TRUE)) {
      stop(limit, call. = FALSE)
    }
  }
  e
}

.launch_chain <- function(task, callback) {
  future::future(quote(run(task, progress = callback)), substitute = FALSE,
                 globals = list(run = .run_chain, task = task,
                                callback = callback),
                 packages = "mcar", seed = FALSE, lazy = FALSE,
                 label = paste("mcar chain", task$chain))
}

# What a chain calls after each of its pieces, in its own process: stops
# the chain once the fit that started it is gone (`stop_file` exists), then
# reports progress.  It holds nothing else, to travel light to the worker.
.chain_callback <- function(progress, stop_file, hook, chain) {
  force(progress); force(stop_file); force(hook); force(chain)
  function(n) {
    if (file.exists(stop_file)) {
      stop("chain ", chain, " stopped: the fit that started it was ",
           "interrupted or failed.", call. = FALSE)
    }
    if (!is.null(hook)) hook(chain)
    if (!is.null(progress)) progress(n)
  }
}

# Sets the current plan again, which shuts its workers down and starts
# fresh ones for the next future; a dead worker would otherwise stay in the
# plan and fail every future sent to it.  A cluster made by the caller and
# given to the plan cannot be renewed from here.  The connections of the old
# `clusters` are closed first: stopping a cluster ends at its first dead
# node and would leave the others to the garbage collector (and its
# "closing unused connection" warnings).
.restart_workers <- function(clusters = list()) {
  workers <- formals(future::plan("next"))$workers
  if (inherits(workers, "cluster")) return(FALSE)
  for (cl in clusters) for (node in cl) {
    if (inherits(node$con, "connection")) try(close(node$con), silent = TRUE)
  }
  tryCatch({
    future::plan(future::plan("list"), substitute = FALSE, .skip = FALSE)
    TRUE
  }, error = function(e) FALSE)
}

# The chains that finished, in chain order; a warning names the lost ones,
# and an error is raised when none finished.
.finished_chains <- function(out) {
  lost <- out$lost
  if (!length(lost)) return(out$results)
  lost <- lost[order(as.integer(names(lost)))]
  k <- as.integer(names(lost))
  kept <- which(!vapply(out$results, is.null, logical(1)))
  why <- paste0("chain ", k, ": ", lost, collapse = "\n")
  plan_note <- if (isTRUE(out$restarted)) {
    "The plan's workers were restarted."
  } else {
    call <- attr(future::plan("next"), "call", exact = TRUE)
    paste0("The plan's workers could not be restarted; set the plan again ",
           if (!is.null(call)) paste0("(`", paste(deparse(call),
                                                  collapse = " "), "`) "),
           "before the next fit, with a new cluster if one was given.")
  }
  if (!length(kept)) {
    stop("every chain was lost: the workers running them stopped. ",
         plan_note, "\n", why, call. = FALSE)
  }
  warning(if (length(k) == 1L) "chain " else "chains ",
          paste(k, collapse = ", "), " of ", length(out$results),
          if (length(k) == 1L) " was lost: its worker" else
            " were lost: their workers",
          " stopped. The fit holds the ",
          length(kept), if (length(kept) == 1L) " chain" else " chains",
          " that finished (", paste(kept, collapse = ", "), "). ",
          plan_note, "\n", why, call. = FALSE)
  out$results[kept]
}

# The log is written after the chains are done: a file that can no longer
# be written costs a warning, never the finished chains.
.write_log <- function(path, results) {
  ok <- tryCatch({
    con <- file(path, open = "wt")
    on.exit(close(con))
    for (r in results) writeLines(r$lines, con)
    TRUE
  }, error = function(e) conditionMessage(e), warning = function(w)
    conditionMessage(w))
  if (!isTRUE(ok)) {
    warning("could not write `log_file` ", path, " (", ok, "); the fit is ",
            "complete and returned.", call. = FALSE)
  }
  invisible(isTRUE(ok))
}

# ---- assembling the fit ---------------------------------------------------

.draw_names <- function(n, K, p) {
  idx <- function(name, a, b) paste0(name, "[", rep(seq_len(a), b), ",",
                                     rep(seq_len(b), each = a), "]")
  list(beta = idx("beta", p, K), phi = idx("phi", n, K),
       Lambda = .packed_names("Lambda", K), A = .packed_names("A", K),
       eta = paste0("eta[", seq_len(K), "]"),
       theta = if (K > 1L) paste0("theta[", seq_len(.n_angles(K)), "]")
       else character(), psi = paste0("dispersion[", seq_len(K), "]"),
       deviance = "deviance")
}

.assemble_fit <- function(results, Y, E, X, map, units, outcomes, inits, size,
                          tune, seed, call, prior, plot_map,
                          family = "poisson") {
  n <- nrow(Y); K <- ncol(Y); p <- ncol(X)
  # Lost chains are missing from `results`; the others keep their numbers.
  kept <- vapply(results, function(r) as.integer(r$chain), integer(1))
  lost_chains <- setdiff(seq_along(inits), kept)
  inits <- inits[kept]
  chain_names <- paste0("chain", kept)
  nm <- .draw_names(n, K, p)
  draws <- lapply(results, function(r) {
    d <- r$draws
    # The negative binomial sizes psi are reported as dispersion[r]; the
    # other families have none.
    if (ncol(d$psi)) names(d)[names(d) == "psi"] <- "dispersion" else
      d$psi <- NULL
    for (el in names(d)) {
      colnames(d[[el]]) <- nm[[if (el == "dispersion") "psi" else el]]
    }
    d
  })
  names(draws) <- chain_names
  dimnames(Y) <- dimnames(E) <- list(units, outcomes)
  rownames(X) <- units
  per_chain <- function(el) setNames(lapply(results, `[[`, el), chain_names)
  fit <- list(
    call = call,
    draws = draws,
    acceptance = per_chain("acceptance"),
    scales = per_chain("scales"),
    initial_scales = per_chain("initial_scales"),
    tuning = per_chain("tuning"),
    init = setNames(inits, chain_names),
    lost_chains = lost_chains,
    last_state = per_chain("last_state"),
    family = family,
    counts = Y,
    expected = if (family != "binomial") E,
    trials = if (family == "binomial") E,
    X = X,
    map = list(row_ptr = map$row_ptr, col = map$col, w = map$w, d = map$d,
               islands = map$islands, links = map$links,
               components = map$components, lambda_min = map$lambda_min,
               eta_lo = map$eta_lo, eta_hi = map$eta_hi, logdet = map$logdet),
    summaries = per_chain("summaries"),
    unit_rows = .unit_rows(size),
    geometry = if (!is.null(plot_map)) sf::st_geometry(plot_map) else
      map$geometry,
    units = units, outcomes = outcomes, covariates = colnames(X),
    prior = prior,
    settings = c(size, list(tune = tune)),
    seed = seed,
    chain_seconds = vapply(results, `[[`, numeric(1), "seconds"),
    log = unlist(lapply(results, `[[`, "lines"))
  )
  class(fit) <- "mcar_fit"
  fit$dic <- .dic(fit)
  fit
}
