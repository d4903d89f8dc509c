# The "mcar_fit" object: every field is set here, by its constructor, and
# read by the methods.

# A fit from its finished chains and what went into them.  `results` are
# the chains' results (.run_chain()) in chain order, a lost chain missing
# and the others keeping their numbers; Y, E (expected counts or trials)
# and X are the data in the order of `units`; `map` is the prepared map;
# `inits` the starting values of every chain; `size` the run's size
# (.check_run_size(), with unit_thin); `plot_map` the polygons given for
# maps, if any; `started` the elapsed time at which the fit began and
# `setup_seconds` the time it took to start the chains.  Over several
# periods (`periods` their values), Y, E and X hold the n T unit-periods,
# the unit fastest: the fit's `units` are then those rows, labelled
# "unit[period]", `map_units` the n units of the map and `periods` the
# periods; with one period `map_units` are the units and `periods` NULL.
.new_fit <- function(results, Y, E, X, map, units, named_units, outcomes,
                     inits, size, tune, seed, call, prior, plot_map, family,
                     covariate_formula, started, setup_seconds,
                     periods = NULL) {
  n <- nrow(Y); K <- ncol(Y); p <- ncol(X)
  map_units <- units
  if (!is.null(periods)) units <- .period_labels(units, periods)
  kept <- vapply(results, function(r) as.integer(r$chain), integer(1))
  lost_chains <- setdiff(seq_along(inits), kept)
  inits <- inits[kept]
  chain_names <- paste0("chain", kept)
  draws <- lapply(results, function(r)
    .fit_draws(r$draws, n, K, p, max(1L, length(periods))))
  names(draws) <- chain_names
  dimnames(Y) <- dimnames(E) <- list(units, outcomes)
  rownames(X) <- units
  exposure <- .exposure_arg(family)
  per_chain <- function(el) setNames(lapply(results, `[[`, el), chain_names)
  fit <- structure(list(
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
    expected = if (exposure == "expected") E,
    trials = if (exposure == "trials") E,
    X = X,
    map = list(row_ptr = map$row_ptr, col = map$col, w = map$w, d = map$d,
               islands = map$islands, links = map$links,
               components = map$components, lambda_min = map$lambda_min,
               eta_lo = map$eta_lo, eta_hi = map$eta_hi, logdet = map$logdet),
    summaries = per_chain("summaries"),
    unit_rows = .thinning(size, which = TRUE)$unit_rows,
    geometry = if (!is.null(plot_map)) sf::st_geometry(plot_map) else
      map$geometry,
    units = units, map_units = map_units, periods = periods,
    outcomes = outcomes, covariates = colnames(X),
    prior = prior,
    settings = c(size, list(tune = tune)),
    seed = seed,
    chain_seconds = vapply(results, `[[`, numeric(1), "seconds"),
    log = unlist(lapply(results, `[[`, "lines")),
    dic = NULL,
    named_units = named_units,
    covariate_formula = covariate_formula,
    seconds = NULL,
    setup_seconds = setup_seconds
  ), class = "mcar_fit")
  # DIC reads the fit's draws, summaries and data.
  fit$dic <- .dic(fit)
  fit$seconds <- proc.time()[["elapsed"]] - started
  fit
}

# The fit continued by `sweeps` sweeps per chain: `results` are the chains'
# results of the continuation (.run_chain() with `resume`), a chain lost
# there dropped from the fit.  Draws are appended, acceptance rates pooled
# over all the kept sweeps, and the last state, summaries, stored per-unit
# rows, DIC and times follow the longer run.  With `defer_units`, the new
# per-unit draws wait in `fit$unit_pieces` for .bind_unit_pieces(), which
# appends the pieces of many continuations at once (appending to the
# stored draws copies them, and a run with `until` continues many times).
.extend_fit <- function(fit, results, sweeps, started, defer_units = FALSE) {
  n <- nrow(fit$counts); K <- ncol(fit$counts); p <- ncol(fit$X)
  names(results) <- paste0("chain", vapply(results, function(r)
    as.integer(r$chain), integer(1)))
  keep <- intersect(names(fit$draws), names(results))
  lost <- setdiff(names(fit$draws), keep)
  before <- .thinning(fit$settings)$after
  seconds <- fit$chain_seconds[match(keep, names(fit$draws))]
  for (el in c("draws", "acceptance", "scales", "initial_scales", "tuning",
               "init", "last_state", "summaries")) {
    fit[[el]] <- fit[[el]][keep]
  }
  if (!is.null(fit$unit_pieces)) fit$unit_pieces <- fit$unit_pieces[keep]
  for (k in keep) {
    r <- results[[k]]
    new <- .fit_draws(r$draws, n, K, p, .n_periods(fit))
    old <- fit$draws[[k]]
    if (defer_units) {
      fit$unit_pieces[[k]] <- c(fit$unit_pieces[[k]], list(new$phi))
    }
    fit$draws[[k]] <- stats::setNames(lapply(names(old), function(g) {
      if (defer_units && g == "phi") return(old[[g]])
      .rbind_draws(list(old[[g]], new[[g]]))
    }), names(old))
    fit$acceptance[[k]] <- Map(function(a, b) (a * before + b * sweeps) /
                                 (before + sweeps),
                               fit$acceptance[[k]], r$acceptance)
    fit$last_state[[k]] <- r$last_state
    fit$summaries[[k]] <- r$summaries
  }
  fit$chain_seconds <- seconds +
    vapply(results[keep], `[[`, numeric(1), "seconds")
  names(fit$chain_seconds) <- NULL
  fit$lost_chains <- sort(c(fit$lost_chains,
                            as.integer(sub("^chain", "", lost))))
  fit$settings$n_sample <- fit$settings$n_sample + sweeps
  fit$unit_rows <- .thinning(fit$settings, which = TRUE)$unit_rows
  fit$log <- c(fit$log, unlist(lapply(results[keep], `[[`, "lines")))
  fit$dic <- .dic(fit)
  fit$seconds <- fit$seconds + proc.time()[["elapsed"]] - started
  fit
}

# The fit with the per-unit draws .extend_fit() deferred appended to its
# stored ones, each chain's in one copy.
.bind_unit_pieces <- function(fit) {
  for (k in names(fit$unit_pieces)) {
    fit$draws[[k]]$phi <- .rbind_draws(c(list(fit$draws[[k]]$phi),
                                         fit$unit_pieces[[k]]))
  }
  fit$unit_pieces <- NULL
  fit
}

# The numbers of units (over several periods: of unit-periods, the rows of
# the data), of outcomes and of periods of a fit.
.n_units <- function(fit) length(fit$units)
.n_periods <- function(fit) max(1L, length(fit$periods))
.n_outcomes <- function(fit) length(fit$outcomes)
