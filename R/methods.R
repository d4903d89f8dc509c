# Methods for "mcar_fit" objects: draws in other formats, summaries and
# extractors.

.groups <- c("gbeta", "lamda", "alpha", "phi", "rr", "deviance")

# Draws of one chain for one group of parameters, as a draws x variables
# matrix with variable names.
.group_draws <- function(fit, s, group) {
  switch(group,
    gbeta = s$gbeta,
    lamda = s$lamda,
    alpha = s$alpha,
    deviance = matrix(s$deviance, ncol = 1L,
                      dimnames = list(NULL, "deviance")),
    phi = {
      x <- matrix(s$phi, nrow = dim(s$phi)[1L])
      colnames(x) <- paste0("phi", rep(1:3, each = .NREGION), "[",
                            rep(fit$units, 3L), "]")
      x
    },
    rr = {
      x <- matrix(exp(.linear_predictor(s)), nrow = dim(s$phi)[1L])
      colnames(x) <- paste0("rr", rep(1:3, each = .NREGION), "[",
                            rep(fit$units, 3L), "]")
      x
    })
}

# Draws of the selected parameters for every chain: an array
# draws x chains x variables.  `pars` holds group names ("gbeta", "lamda",
# "alpha", "phi", "rr", "deviance") and/or single parameter names.
.draws_array <- function(fit, pars = c("gbeta", "lamda", "alpha")) {
  if (!is.character(pars) || !length(pars) || anyNA(pars)) {
    .input_error("pars", "must be a character vector of parameter or group ",
                 "names.")
  }
  single <- setdiff(pars, .groups)
  groups <- intersect(.groups, c(pars, .group_of(single)))
  per_chain <- lapply(fit$samples, function(s) {
    lapply(setNames(groups, groups), function(g) .group_draws(fit, s, g))
  })
  first <- per_chain[[1L]]
  unknown <- setdiff(single, unlist(lapply(first, colnames)))
  if (length(unknown)) {
    .input_error("pars", "has unknown parameter(s): ",
                 paste(head(unknown, 5L), collapse = ", "), ".")
  }
  keep <- unlist(lapply(groups, function(g) {
    v <- colnames(first[[g]])
    if (g %in% pars) v else v[v %in% single]
  }))
  keep <- unique(keep)
  n <- nrow(first[[1L]])
  out <- array(NA_real_, c(n, length(per_chain), length(keep)),
               dimnames = list(NULL, names(fit$samples), keep))
  for (k in seq_along(per_chain)) {
    out[, k, ] <- do.call(cbind, unname(per_chain[[k]]))[, keep, drop = FALSE]
  }
  out
}

# Which group each single parameter name belongs to.
.group_of <- function(pars) {
  g <- character()
  if (any(grepl("^gbeta[0-9]+$", pars))) g <- c(g, "gbeta")
  if (any(grepl("^lamda[0-9]+$", pars))) g <- c(g, "lamda")
  if (any(grepl("^alpha[0-9]+$", pars))) g <- c(g, "alpha")
  if (any(grepl("^phi[0-9]+\\[", pars))) g <- c(g, "phi")
  if (any(grepl("^rr[0-9]+\\[", pars))) g <- c(g, "rr")
  g
}

# ---- convergence diagnostics ----------------------------------------------

# Split R-hat (without rank normalisation) for when posterior is missing.
.split_rhat <- function(x) {
  n <- nrow(x)
  half <- n %/% 2L
  if (half < 2L) return(NA_real_)
  xs <- cbind(x[seq_len(half), , drop = FALSE],
              x[n - half + seq_len(half), , drop = FALSE])
  w <- mean(apply(xs, 2L, var))
  b <- half * var(colMeans(xs))
  if (!is.finite(w) || w <= 0) return(NA_real_)
  sqrt(((half - 1) / half * w + b / half) / w)
}

.diagnostics <- function(x) {
  # x: draws x chains
  if (requireNamespace("posterior", quietly = TRUE)) {
    return(c(rhat = posterior::rhat(x), ess_bulk = posterior::ess_bulk(x),
             ess_tail = posterior::ess_tail(x)))
  }
  ess <- sum(vapply(seq_len(ncol(x)), function(k) {
    unname(coda::effectiveSize(coda::mcmc(x[, k])))
  }, numeric(1)))
  c(rhat = .split_rhat(x), ess_bulk = ess, ess_tail = NA_real_)
}

.param_table <- function(arr, level) {
  a <- (1 - level) / 2
  rows <- lapply(dimnames(arr)[[3L]], function(v) {
    x <- arr[, , v, drop = TRUE]
    if (!is.matrix(x)) x <- matrix(x, ncol = dim(arr)[2L])
    all <- as.vector(x)
    d <- if (nrow(x) >= 4L) .diagnostics(x) else
      c(rhat = NA_real_, ess_bulk = NA_real_, ess_tail = NA_real_)
    data.frame(mean = mean(all), sd = sd(all),
               lower = quantile(all, a, names = FALSE),
               median = median(all),
               upper = quantile(all, 1 - a, names = FALSE),
               rhat = d[["rhat"]], ess_bulk = d[["ess_bulk"]],
               ess_tail = d[["ess_tail"]])
  })
  out <- do.call(rbind, rows)
  rownames(out) <- dimnames(arr)[[3L]]
  out
}

.acceptance_table <- function(fit) {
  rows <- list()
  for (k in seq_along(fit$acceptance)) {
    acc <- fit$acceptance[[k]]
    for (b in names(acc)) {
      v <- as.vector(acc[[b]])
      rows[[length(rows) + 1L]] <- data.frame(
        chain = k, block = b, mean = mean(v), min = min(v), max = max(v),
        stringsAsFactors = FALSE)
    }
  }
  do.call(rbind, rows)
}

.check_level <- function(level) {
  if (!is.numeric(level) || length(level) != 1L || !is.finite(level) ||
      level <= 0 || level >= 1) {
    .input_error("level", "must be a single number between 0 and 1.")
  }
  level
}

# ---- print and summary ----------------------------------------------------

.fmt_table <- function(tab, digits) {
  out <- tab
  for (j in names(out)) {
    if (j %in% c("ess_bulk", "ess_tail")) {
      out[[j]] <- ifelse(is.na(tab[[j]]), "", formatC(round(tab[[j]]),
                                                      format = "d"))
    } else if (j == "rhat") {
      out[[j]] <- ifelse(is.na(tab[[j]]), "", formatC(tab[[j]], digits = 3,
                                                      format = "f"))
    } else if (is.integer(tab[[j]])) {
      out[[j]] <- as.character(tab[[j]])
    } else if (is.numeric(tab[[j]])) {
      out[[j]] <- formatC(tab[[j]], digits = digits, format = "f")
    }
  }
  out
}

.print_header <- function(x) {
  s <- x$settings
  n_keep <- x$n_keep
  if (is.null(n_keep)) n_keep <- nrow(x$samples[[1L]]$gbeta)
  cat("Multivariate CAR disease-mapping fit: 3 outcomes (",
      paste(x$outcomes, collapse = ", "), ") on ", length(x$units),
      " areal units\n", sep = "")
  cat(s$chains, if (s$chains == 1L) " chain" else " chains", " x ", n_keep,
      " kept draws (n_sample = ", s$n_sample, ", burnin = ", s$burnin,
      ", thin = ", s$thin, "; seed = ", x$seed, ")\n", sep = "")
}

.print_dic <- function(dic) {
  cat(sprintf("DIC = %.1f, pD = %.1f (Dbar = %.1f, Dtheta = %.1f)\n",
              dic[["DIC"]], dic[["pD"]], dic[["Dbar"]], dic[["Dtheta"]]))
}

.print_acceptance <- function(x) {
  acc <- .acceptance_table(x)
  blocks <- unique(acc$block)
  parts <- vapply(blocks, function(b) {
    a <- acc[acc$block == b, ]
    lo <- min(a$min); hi <- max(a$max)
    if (isTRUE(all.equal(lo, hi))) sprintf("%s %.2f", b, lo) else
      sprintf("%s %.2f-%.2f", b, lo, hi)
  }, character(1))
  cat("Acceptance rates: ", paste(parts, collapse = ", "), "\n", sep = "")
}

#' Print, summarise and extract from a fitted MCAR model
#'
#' `print()` shows the run, posterior summaries of the intercepts, loadings
#' and association matrix, the DIC and the acceptance rates.  `summary()`
#' computes posterior means, standard deviations, credible intervals,
#' split R-hat and bulk and tail effective sample sizes (from \pkg{posterior}
#' when it is installed; otherwise a plain split R-hat and the effective sizes
#' of \pkg{coda}), relative risks, acceptance rates and the DIC.  `coef()`
#' returns the posterior means of the intercepts, loadings and association
#' entries; `fitted()` the posterior-mean relative risks or fitted counts.
#'
#' @param x,object An `"mcar_fit"` object from [mcar_fit()].
#' @param digits Number of decimals shown.
#' @param level Probability mass of the credible intervals.
#' @param pars Parameters to summarise: group names (`"gbeta"`, `"lamda"`,
#'   `"alpha"`, `"phi"`, `"rr"`, `"deviance"`) and/or single parameter names
#'   such as `"lamda2"` or `"rr1[3]"`.
#' @param type For `fitted()`: `"risk"` for the posterior mean relative risks,
#'   `"count"` for the posterior mean expected counts (`expected` times
#'   relative risk).
#' @param ... Not used.
#' @return `summary()` returns an object of class `"summary.mcar_fit"`, a list
#'   with `parameters` (a data frame with columns `mean`, `sd`, `lower`,
#'   `median`, `upper`, `rhat`, `ess_bulk`, `ess_tail`), `risk` (as from
#'   [relative_risk()]), `acceptance` (a data frame of acceptance rates per
#'   chain and block), `dic`, `level` and `settings`.  `coef()` returns a
#'   named vector, `fitted()` an 87 x 3 matrix (units by outcomes).
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 400, burnin = 200,
#'                 seed = 1)
#' print(fit)
#' s <- summary(fit)
#' s$parameters
#' coef(fit)
#' head(fitted(fit))
#' head(fitted(fit, type = "count"))
#' @name mcar_fit-methods
#' @export
print.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(x)
  tab <- .param_table(.draws_array(x, c("gbeta", "lamda", "alpha")), 0.95)
  names(tab)[names(tab) == "lower"] <- "2.5%"
  names(tab)[names(tab) == "upper"] <- "97.5%"
  print(.fmt_table(tab[c("mean", "sd", "2.5%", "97.5%", "rhat", "ess_bulk")],
                   digits), quote = FALSE, right = TRUE)
  .print_dic(x$dic)
  .print_acceptance(x)
  invisible(x)
}

#' @rdname mcar_fit-methods
#' @export
summary.mcar_fit <- function(object, level = 0.95,
                             pars = c("gbeta", "lamda", "alpha"), ...) {
  level <- .check_level(level)
  out <- list(parameters = .param_table(.draws_array(object, pars), level),
              risk = relative_risk(object, level = level),
              acceptance = .acceptance_table(object),
              dic = object$dic,
              level = level,
              settings = object$settings,
              seed = object$seed,
              units = object$units,
              outcomes = object$outcomes,
              n_keep = nrow(object$samples[[1L]]$gbeta))
  class(out) <- "summary.mcar_fit"
  out
}

#' @rdname mcar_fit-methods
#' @export
print.summary.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(x)
  pct <- function(p) paste0(format(100 * p), "%")
  a <- (1 - x$level) / 2
  cat("\nPosterior summaries (", pct(x$level), " credible intervals):\n",
      sep = "")
  tab <- x$parameters
  names(tab)[names(tab) == "lower"] <- pct(a)
  names(tab)[names(tab) == "upper"] <- pct(1 - a)
  print(.fmt_table(tab, digits), quote = FALSE, right = TRUE)
  cat("\nRelative risks (posterior means over the ", length(x$units),
      " units):\n", sep = "")
  rr <- x$risk
  rtab <- do.call(rbind, lapply(x$outcomes, function(o) {
    r <- rr[rr$outcome == o, ]
    data.frame(min = min(r$mean), median = median(r$mean), max = max(r$mean),
               above = sum(r$lower > 1), below = sum(r$upper < 1))
  }))
  rownames(rtab) <- x$outcomes
  names(rtab)[4:5] <- c("interval > 1", "interval < 1")
  print(.fmt_table(rtab, digits), quote = FALSE, right = TRUE)
  cat("\n")
  .print_dic(x$dic)
  cat("\nAcceptance rates (kept sweeps):\n")
  acc <- x$acceptance
  acc[c("mean", "min", "max")] <- lapply(acc[c("mean", "min", "max")],
                                         formatC, digits = 3, format = "f")
  print(acc, row.names = FALSE, right = TRUE)
  invisible(x)
}

#' @rdname mcar_fit-methods
#' @export
coef.mcar_fit <- function(object, ...) {
  arr <- .draws_array(object, c("gbeta", "lamda", "alpha"))
  apply(arr, 3L, mean)
}

#' @rdname mcar_fit-methods
#' @export
fitted.mcar_fit <- function(object, type = c("risk", "count"), ...) {
  type <- match.arg(type)
  rr <- object$risk$mean
  if (type == "risk") rr else rr * object$expected
}

#' Posterior relative risks per unit and outcome
#'
#' @param object An `"mcar_fit"` object from [mcar_fit()].
#' @param level Probability mass of the credible intervals.
#' @return A data frame with one row per unit and outcome (units vary
#'   fastest) and columns `unit`, `outcome`, `observed`, `expected`, `smr`
#'   (observed / expected), `mean`, `sd`, `median`, `lower`, `upper` (the
#'   equal-tailed credible interval) and `prob_gt1`, the posterior
#'   probability that the relative risk exceeds 1.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 400, burnin = 200,
#'                 seed = 1)
#' rr <- relative_risk(fit)
#' head(rr)
#' # units whose risk of outcome 1 is above 1 with probability over 0.9
#' subset(rr, outcome == "Y1" & prob_gt1 > 0.9)$unit
#' @export
relative_risk <- function(object, level = 0.95) {
  if (!inherits(object, "mcar_fit")) {
    .input_error("object", "must be an \"mcar_fit\" object.")
  }
  level <- .check_level(level)
  rr <- .risk_draws(object)
  s <- if (isTRUE(all.equal(level, object$risk$level))) object$risk else
    .summarise_risk(rr, level, object$units, object$outcomes)
  n <- length(object$units)
  data.frame(unit = rep(object$units, 3L),
             outcome = rep(object$outcomes, each = n),
             observed = as.vector(object$counts),
             expected = as.vector(object$expected),
             smr = as.vector(object$counts / object$expected),
             mean = as.vector(s$mean),
             sd = as.vector(apply(rr, c(2L, 3L), sd)),
             median = as.vector(apply(rr, c(2L, 3L), median)),
             lower = as.vector(s$lower), upper = as.vector(s$upper),
             prob_gt1 = as.vector(s$prob_gt1),
             stringsAsFactors = FALSE)
}

# ---- other draw formats ---------------------------------------------------

#' Draws in coda and posterior formats
#'
#' `as.mcmc()` returns the kept draws as a \pkg{coda} `mcmc.list` (one `mcmc`
#' per chain) for use with coda's diagnostics; `as_draws()` and
#' `as_draws_array()` (available when \pkg{posterior} is installed) return
#' them as a `draws_array`, from which \pkg{posterior} converts to its other
#' formats.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param pars Parameters to include: group names (`"gbeta"`, `"lamda"`,
#'   `"alpha"`, `"phi"`, `"rr"` for the relative risks, `"deviance"`) and/or
#'   single parameter names (`"lamda2"`, `"phi1[4]"`, `"rr3[10]"`, with the
#'   unit's name in brackets).
#' @param ... Not used.
#' @return `as.mcmc()`: an `mcmc.list`.  `as_draws()`, `as_draws_array()`: a
#'   `draws_array`.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 400, burnin = 200,
#'                 chains = 2, seed = 1)
#' m <- coda::as.mcmc(fit)
#' coda::effectiveSize(m)
#' if (requireNamespace("posterior", quietly = TRUE)) {
#'   d <- posterior::as_draws(fit, pars = c("gbeta", "deviance"))
#'   posterior::summarise_draws(d)
#' }
#' @export
as.mcmc.mcar_fit <- function(x, pars = c("gbeta", "lamda", "alpha"), ...) {
  arr <- .draws_array(x, pars)
  s <- x$settings
  coda::mcmc.list(lapply(seq_len(dim(arr)[2L]), function(k) {
    m <- arr[, k, , drop = TRUE]
    if (!is.matrix(m)) {
      m <- matrix(m, nrow = dim(arr)[1L], dimnames = list(NULL,
                                                          dimnames(arr)[[3L]]))
    }
    coda::mcmc(m, start = s$burnin + s$thin, thin = s$thin)
  }))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_array
as_draws_array.mcar_fit <- function(x, pars = c("gbeta", "lamda", "alpha"),
                                    ...) {
  if (!requireNamespace("posterior", quietly = TRUE)) {
    stop("package 'posterior' is needed for as_draws_array()", call. = FALSE)
  }
  arr <- .draws_array(x, pars)
  dimnames(arr)[[2L]] <- as.character(seq_len(dim(arr)[2L]))
  posterior::as_draws_array(arr)
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws
as_draws.mcar_fit <- function(x, pars = c("gbeta", "lamda", "alpha"), ...) {
  as_draws_array.mcar_fit(x, pars = pars, ...)
}

#' @importFrom coda as.mcmc
#' @export
coda::as.mcmc
