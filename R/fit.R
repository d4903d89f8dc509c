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
#' `dispersion[r]`, each also jointly with its outcome's row of the
#' loadings, along the ridge where overdispersion (1 / psi_r) trades against
#' the spatial variance the row puts into the outcome (proposal scale
#' `scales$ridge`).  Where the counts are close to Poisson, a size's
#' posterior reaches far towards the Poisson limit psi_r -> Inf and its
#' mean is meaningless (dominated by a few enormous draws): `print()` and
#' `summary()` report the sizes by their posterior median and credible
#' interval, and the table of `summary()` leaves their mean and sd `NA`
#' (the draws remain in `as_draws()`).  One family serves every outcome.  Binomial fits hold
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
#' Rows named by a reordering of 1..n (a table shuffled or sorted after it
#' was read, say) beside a map without names are refused rather than
#' guessed at: name the map's rows and columns, or drop the row names when
#' the rows already follow the map.  Weights must have row sums between
#' 1e-100 and 1e100 (the fields' prior precision is in their units).
#' Offsets have no place in the model: multiply the expected counts by
#' exp(offset) instead.  Under a flat prior a covariate that the counts
#' cannot hold (one that, say, is 0 wherever an outcome was seen) leaves
#' the posterior improper; the fit warns which coefficient and why.
#'
#' @section Sampling:
#' Each sweep updates the coefficients of each outcome in a block (a random
#' walk shaped by the information of the data), the effects one at a time
#' (Newton proposals, colour by colour of the map: a Gaussian with the
#' slope and curvature of the effect's conditional at its current value,
#' accepted almost always; where the conditional is far
#' from Gaussian, as for very large counts away from their mode, the tuning
#' shortens the step towards that Gaussian until it is accepted; in each
#' sweep half of the units, drawn at random, cap the step at two sds of
#' that Gaussian, which walks an effect back from a tail where the full
#' step overshoots whatever its scale), then
#' draws exactly, for the intercept and for each covariate, a shift of every
#' field along that covariate against its coefficients (which leaves the
#' likelihood unchanged and removes the slow trade-off between coefficients
#' and fields, smooth covariates included), scale and shear moves of the
#' fields against the loadings, the loadings row by row (the diagonal on the
#' log scale), and each eigenvalue of the association matrix on its logit
#' scale and each angle around its circle (a half turn of an angle gives the
#' same matrix).  The scale, shear, eigenvalue and angle moves leave the
#' likelihood unchanged and cost nothing that grows with the map; where
#' they are sharply determined given the fields, further rounds of them end
#' the sweep (one round per 50 units in all, or over periods per 100
#' unit-periods, at least 4 and at most 30).
#' Then one angle (drawn at random) moves again with the fields turned along
#' it, so that the fields' eigen-components stay as they are and mu changes
#' instead: where the counts say little about the fields, the angles follow
#' the fields slowly otherwise (not over periods).
#' A negative binomial sweep ends with each size, by a random walk on
#' its dispersion 1 / sqrt(size) (where the long tail towards the Poisson
#' limit is a short stretch next to 0) and then jointly with its outcome's
#' row of the loadings (the row scaled so that the outcome's extra-Poisson
#' variance stays as it is).  Last, one outcome (drawn at random) is offered
#' its fields' part of mu with the opposite sign, the field, loadings and
#' angles that carry it turned over so that the fields' prior and the other
#' outcomes are as they were: where an outcome has few events, the signs of
#' the loadings on the fields it shares are barely decided, and the chains
#' would otherwise go from one sign to the other only slowly, through 0.  With `tune = TRUE` the proposal scales are adapted
#' during burn-in (in about twenty pieces) and fixed from its end on, so
#' the kept draws come from a fixed Markov kernel.
#'
#' @section Periods:
#' Counts reported by period (years, quarters, weeks) are fitted jointly over
#' the periods t = 1..T: \eqn{\mu_{irt} = x_{it}'\beta_r + \sum_{c \ge r}
#' \Lambda_{rc} \phi_{ict}}{mu[i,r,t] = x[i,t,] beta[,r] + sum_{c >= r}
#' Lambda[r,c] phi[i,c,t]}, the covariates free to change with the period
#' and the coefficients, loadings, association matrix and sizes shared by
#' the periods.  The fields of the first period have the MCAR prior above,
#' and for t >= 2 the innovations \eqn{\phi_{\cdot t} - \phi_{\cdot,
#' t-1} \mathrm{diag}(\alpha)}{phi[,,t] - phi[,,t-1] diag(alpha)} have it
#' too, independently over the periods: each field c follows an AR(1) in
#' time with coefficient \eqn{\alpha_c}{alpha_c}, uniform on (-1, 1) (or
#' held where [mcar_prior()] fixes it: 1 for a random walk, 0 for
#' periods independent given the rest).  One period is the model above,
#' to the bit: the same draws for the same seed.  The data come as a data
#' frame with one row per unit and period (`unit` and `time` name its
#' columns; `counts` and `expected` or `trials` name the outcomes'
#' columns), or one row per unit, period and outcome (`outcome` names the
#' column of the outcomes), or as arrays units x outcomes x periods.
#' Periods must be equally spaced; a gap is an error that names the
#' missing periods (add their rows with `NA` counts).  A missing row or an
#' `NA` count is a missing cell, left out of the likelihood (with a
#' covariate formula the row must be there, its count `NA`); its risk is
#' drawn, and its count predicted where its expected count (trials) is
#' given.  The draws
#' are `alpha[c]` beside the others and `rr[i,r,t]` (or `prob[i,r,t]`),
#' `phi[i,c,t]`, `log_lik[i,r,t]` for unit i of the map in period t; the
#' fit's `units` label its cells `"unit[period]"`, `map_units` are the map's
#' units and `periods` the periods.  Each sweep draws every
#' \eqn{\alpha_c}{alpha_c} from its conditional given the fields (a
#' Gaussian restricted to (-1, 1)) and moves it again jointly with its
#' field, the innovations held (which mixes where the fields follow their
#' prior closely); the effects of all periods of a unit are updated
#' together, colour by colour of the map.
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
#'   is missing.  A cell whose count and trials are both missing has no
#'   predicted count (`NA` in [fitted()] and [predict()], unless new trials
#'   are given).
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
#' @param n_sample Total number of sweeps per chain, burn-in included
#'   (4000 by default; with `until`, the first block's, 1500 by default).
#' @param burnin Number of initial sweeps discarded (and used for tuning):
#'   half of `n_sample` by default, 500 with `until` and no `n_sample`.
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
#'   `phi`, `lambda`, `eta`, `theta`, `scale`, `shear`, `rotation`, `psi`,
#'   `ridge`, `alpha`, or a
#'   per-chain list such as the
#'   `scales` element of an earlier fit.
#' @param tune Whether to adapt the proposal scales during burn-in.
#' @param units Optional unit names for inputs that carry none (by default
#'   those of `W`, else of `counts`).  When the map or the data carry names,
#'   `units` must repeat them in the same order (it cannot rename units);
#'   the ids that \pkg{spdep} and \pkg{sp} give by default ("1".."n",
#'   "0".."n-1") may be replaced.
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
#'   it), `Inf` for all, or a number.  Stored draws are evenly spaced, so a
#'   number is met by the nearest even spacing (`keep = 7` of 20 draws
#'   stores every 3rd, 6 draws), as the fit's message says.  Summaries
#'   accumulated by the sampler use every kept draw whatever is stored.
#' @param progress Whether to show a progress bar (\pkg{progressr} when
#'   installed).
#' @param verbose Whether to report each piece of each chain as a message.
#' @param log_file Optional path of a file receiving those lines.
#' @param threads Threads per chain for the effects on maps of 500 units or
#'   more (their units are updated colour by colour through a colouring of
#'   the map) and the sums over large maps.  The draws are the same for any
#'   number of threads.  By default (`NULL`, or the option `mcar.threads`
#'   when set) the cores available ([future::availableCores()]) go to the
#'   chains: under a sequential plan as many chains as there are cores run
#'   side by side in this R process, each on a thread of its own, and any
#'   cores left over go to their threads; under a parallel plan the cores
#'   are shared among its workers; maps too small to use more take one
#'   thread a chain.  A number given here runs each chain on that many
#'   threads, the chains one after another.  On a machine shared with other
#'   work, set `threads` (or `options(mcar.threads = )`) to the cores this
#'   fit may take; waiting threads sleep rather than spin.
#' @param until `NULL` (the default) for a run of `n_sample` sweeps per
#'   chain, or `TRUE` or [mcar_until()] to continue the chains after those
#'   (1500 unless `n_sample` is given, 500 of them burn-in)
#'   until every coefficient, loading, entry of the association matrix,
#'   size and risk has R-hat at most 1.01 and bulk ESS at least 400 (or the
#'   targets given), or a budget of sweeps or time is spent; a message after
#'   each block says where the run stands.  The risks are judged over every
#'   kept sweep (from batch means of their logs that the sampler keeps
#'   while the run goes on), whatever share of their draws is stored.  The
#'   fit is the fit of its final length with the same seed and `burnin`;
#'   its element `until` holds the targets, whether they were met, and
#'   where the run stood at the end (`status`).
#'
#' @param unit,time,outcome For data over periods (see the section on
#'   periods): the names of the columns of `data` that hold each row's unit
#'   (matched to the units of `W`), period and, for data with one row per
#'   outcome, outcome.  `time` marks the data as data over periods; arrays
#'   units x outcomes x periods need none of them.
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
                     threads = getOption("mcar.threads"), until = NULL,
                     unit = NULL, time = NULL, outcome = NULL) {
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
    if (!is.null(trials)) {
      .input_error("trials", "is only for family = \"binomial\"; the ",
                   family, " family takes `expected`. Set `family = ",
                   "\"binomial\"` for counts out of a number of trials.")
    }
    if (missing(expected)) .input_error("expected", "is missing.")
  }
  if (missing(W)) .input_error("W", "is missing.")
  e_arg <- .exposure_arg(family)
  queen <- .check_polygon_args(snap, queen)
  W <- .from_sp(W, "W")
  map_names <- .map_names(W)
  islands <- .check_islands(islands)
  # Several periods: a `time` column, or arrays units x outcomes x periods.
  by_period <- !is.null(time) || (is.array(counts) && length(dim(counts)) == 3L)
  if (!by_period && (!is.null(unit) || !is.null(outcome))) {
    .input_error(if (!is.null(unit)) "unit" else "outcome", "is for data ",
                 "over periods: give `time` (the column of the periods) too.")
  }
  if (!by_period) {
    Y <- .check_counts(.outcome_matrix(counts, "counts", data))
    E <- if (binom) .outcome_matrix(trials, "trials", data) else
      .outcome_matrix(expected, "expected", data)
  }
  mp <- .check_map(W, snap = snap, queen = queen, islands = islands)
  n <- mp$n
  periods <- NULL
  n_periods <- 1L
  if (by_period) {
    input <- .period_input(counts, expected = if (!binom) expected,
                           trials = trials, data = data, unit = unit,
                           time = time, outcome = outcome,
                           covariates = covariates, family = family,
                           map_names = map_names, n = n)
    Y <- input$Y; E <- input$E; X <- input$X
    periods <- input$periods
    n_periods <- input$T
    K <- ncol(Y); p <- ncol(X)
    if (!is.null(units) && !identical(as.character(units), input$units)) {
      .input_error("units", "cannot rename the units of data over periods: ",
                   "they are named by the `unit` column (or the array's ",
                   "names) and matched to the map.")
    }
    units <- input$units
    named_units <- TRUE
    # The data's columns as named, for forecasts from new data.
    text <- function(x) if (is.character(x)) x
    columns <- list(unit = text(unit), time = text(time),
                    outcome = text(outcome),
                    expected = if (!binom) text(expected),
                    trials = text(trials))
  } else {
    if (nrow(Y) != n) {
      .input_error("counts", "has ", nrow(Y), " rows but `W` describes ", n,
                   " units.")
    }
    X <- .design_matrix(covariates, data, n)

    # Units: every input that carries names is matched by name (to the
    # map's names, or to those of the first named input when the map has
    # none); inputs without names are taken in the order of the units.
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
    unit_names <- .fit_units(units, aligned$units, n)
    units <- unit_names$units
    named_units <- unit_names$named
  }
  outcomes <- .outcome_names(colnames(Y), K)
  .check_prior_outcomes(prior, K)
  prior <- .resolve_prior(prior, K, p)
  .warn_separation(Y, X, prior$beta_sd, outcomes, if (binom) E)
  # With `until` the first block and its burn-in are shorter: the run
  # goes on as long as it needs, and a longer first block only delays the
  # first check.
  until <- .check_until(until)
  until_first <- missing(n_sample) && !is.null(until)
  if (until_first) {
    n_sample <- .UNTIL_FIRST
    if (missing(burnin)) burnin <- .UNTIL_BURNIN
  }
  size <- .check_run_size(n_sample, burnin, thin, chains, p * K)
  # Such a run's stored per-unit draws are spaced for twice the kept
  # sweeps of its first block, a length most runs reach or pass.
  expect <- if (until_first) 2 * .thinning(size)$kept else 0
  unit_thin <- .unit_thinning(keep, size, nrow(Y) * K, expect)
  size$unit_thin <- as.vector(unit_thin)
  size$unit_cap <- attr(unit_thin, "cap")
  tune <- .check_flag(tune, "tune")
  progress <- .check_flag(progress, "progress")
  verbose <- .check_flag(verbose, "verbose")
  seed <- .check_seed(seed)
  log_file <- .check_log_file(log_file)
  cores <- .resolve_threads(threads, n, K, size$chains)
  threads <- cores$threads
  size$threads <- threads
  size$side_by_side <- cores$side_by_side
  if (!is.null(map)) map <- .unit_polygons(map, units, named_units, "map",
                                              "the data's units")
  mp <- .prepare_map(mp, eta_hi = prior$eta_upper, units = units)
  dat <- .engine_data(Y, E, X, mp, prior, family, periods = n_periods)
  plain <- .default_init(Y, E, X, mp, family, periods = n_periods,
                         alpha = prior$alpha)
  eta_range <- c(mp$eta_lo, mp$eta_hi)
  # Starting eigenvalues inside a support narrowed by `eta_upper`.
  plain$eta <- pmin(pmax(plain$eta, eta_range[1L] + 0.1 * diff(eta_range)),
                    eta_range[2L] - 0.1 * diff(eta_range))
  default_scales <- .default_scales(Y, X, E, family,
                                    alpha_free = n_periods > 1L &&
                                      is.null(prior$alpha))
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
  starts <- .chain_starts(seed, size$chains, plain, init, eta_range, X,
                          alpha_free = n_periods > 1L && is.null(prior$alpha))

  # ---- the chains, and the fit ----
  tasks <- .chain_tasks(dat, starts$inits, starts$rngs, scale_list, size,
                        tune = tune, verbose = verbose, threads = threads,
                        batches = if (is.null(until)) 0L else .UNTIL_BATCHES)
  setup_seconds <- proc.time()[["elapsed"]] - started
  results <- .run_chains(tasks, progress = progress,
                         total = size$chains * size$n_sample,
                         side_by_side = size$side_by_side)
  if (!is.null(log_file)) .write_log(log_file, results)
  fit <- .new_fit(results, Y = Y, E = E, X = X, map = mp, units = units,
                  named_units = named_units, outcomes = outcomes,
                  inits = starts$inits, size = size, tune = tune,
                  seed = seed, call = call, prior = prior, plot_map = map,
                  family = family,
                  covariate_formula = .covariate_formula(covariates, data),
                  started = started, setup_seconds = setup_seconds,
                  periods = periods)
  if (by_period) fit$columns <- columns
  if (!is.null(until)) {
    fit <- .run_until(fit, until, progress, cores,
                      elapsed = fit$seconds - setup_seconds)
  }
  .warn_untrustworthy(fit)
  .warn_bounds(fit)
  fit
}
