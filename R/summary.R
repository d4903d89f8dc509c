# Printing and summarising a fit, and the extractors of other modelling
# packages: coef(), nobs(), confint(), vcov() and as.data.frame().

# Numbers as text with `digits` significant digits in fixed notation
# (0.00213, 12.4, 1234), so that coefficients of covariates on a raw scale
# stay readable; trailing zeros kept, so a column's digits line up.
.fmt_signif <- function(x, digits) {
  out <- formatC(signif(x, digits), digits = digits, format = "fg",
                 flag = "#")
  out <- sub("\\.$", "", trimws(out))
  out[is.na(x)] <- ""
  out
}

# A table of numbers as text: effective sizes whole, R-hat to three
# decimals, other numbers to `digits` significant digits; missing values
# blank.
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
      out[[j]] <- .fmt_signif(tab[[j]], digits)
    }
  }
  out
}

# The lines that open print() and print(summary()): the data, the
# likelihood, the covariates and the run.
.print_header <- function(x) {
  s <- x$settings
  n_keep <- nrow(x$draws[[1L]]$beta)
  cat("Multivariate CAR disease-mapping fit: ", length(x$outcomes),
      if (length(x$outcomes) == 1L) " outcome (" else " outcomes (",
      paste(x$outcomes, collapse = ", "), ") on ",
      length(if (is.null(x$map_units)) x$units else x$map_units),
      " areal units", sep = "")
  if (.n_periods(x) > 1L) {
    cat(" over ", .n_periods(x), " periods (",
        paste(.period_text(x$periods[c(1L, .n_periods(x))]), collapse = " to "),
        ")", sep = "")
  }
  nmiss <- sum(is.na(x$counts))
  if (nmiss) cat(",", nmiss, "missing count(s)")
  cat("\n")
  cat("Likelihood: ", .family_likelihood(.family(x)), "\n", sep = "")
  if (length(x$covariates) > 1L) {
    cat("Covariates: ", paste(x$covariates[-1L], collapse = ", "), "\n",
        sep = "")
  }
  lost <- x$lost_chains
  ran <- s$chains - length(lost)
  cat(ran, if (ran == 1L) " chain" else " chains", " x ", n_keep,
      " kept draws (n_sample = ", s$n_sample, ", burnin = ", s$burnin,
      ", thin = ", s$thin, "; seed = ", x$seed, ")\n", sep = "")
  if (length(lost)) {
    cat(ran, " of ", s$chains, " chains kept: chain",
        if (length(lost) > 1L) "s", " ", paste(lost, collapse = ", "),
        if (length(lost) > 1L) " were" else " was",
        " lost with its worker\n", sep = "")
  }
}

# What the risks of a fit (or its summary) are taken over: its units, or
# its units in every period.
.cells_text <- function(x) {
  if (.n_periods(x) > 1L) {
    paste(length(x$map_units), "units in each of", .n_periods(x), "periods")
  } else {
    paste(length(x$units), "units")
  }
}

# The rows of a table of parameters that hold the negative binomial sizes.
.size_rows <- function(tab) grepl("^dispersion\\[", rownames(tab))

# The negative binomial sizes by their median and interval (`bounds`: the
# names of its columns), in significant digits.  Where the data cannot
# tell the counts from Poisson ones, a size's posterior reaches far out
# towards the Poisson limit (psi -> Inf, only the prior's tail holding it
# back): its mean and sd are then driven by a few enormous draws and say
# nothing, while its quantiles stay well defined.
.print_sizes <- function(tab, bounds, digits, ess = "ess_bulk") {
  if (!nrow(tab)) return(invisible())
  cols <- c("median", bounds)
  out <- tab[c(cols, "rhat", ess)]
  for (j in cols) out[[j]] <- formatC(tab[[j]], digits = digits, format = "g")
  cat("Negative binomial sizes (posterior medians and intervals):\n")
  print(.fmt_table(out, digits), quote = FALSE, right = TRUE)
  invisible()
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

#' Methods for fitted MCAR models
#'
#' `print()` shows the run (the chains kept, and any lost with their
#' workers) and its likelihood family, posterior summaries of the
#' coefficients (named `beta[covariate,outcome]`), loadings, association
#' matrix and (negative binomial) sizes, to `digits` significant digits (the
#' sizes by their median and interval only: their posterior may reach
#' towards the Poisson limit, where the mean says nothing), the DIC and the
#' acceptance rates; `summary()` adds bulk
#' and tail effective sample sizes and the relative risks (for binomial
#' fits the probabilities, against each outcome's overall proportion).
#' `coef()` returns the posterior means as a named list (`beta`, `Lambda`,
#' `A`, and `dispersion` for negative binomial fits); `fitted()` the
#' posterior mean expected counts (the response scale: E exp(mu), or N
#' plogis(mu) for the binomial; `type = "risk"` for relative risks or
#' probabilities); `predict()` those with credible intervals, and for
#' counts also predictive intervals; `predict()` also takes new covariate
#' values (`newdata`) and expected counts (`expected`; binomial fits: new
#' numbers of trials, `trials`) for the fitted units, for counterfactual
#' maps: the fields and coefficients are those of the fit.  Its predictive
#' intervals are quantiles of the mixture of the family's distributions
#' over the stored draws (Poisson, binomial, or negative binomial at each
#' draw's size; at most 1,000 draws, evenly spaced), found exactly by a
#' search that starts at a moment-matched approximation.  `residuals()` response, Pearson or deviance
#' residuals of the family against the fitted counts (negative binomial:
#' at the posterior mean sizes); `nobs()` the number of observed counts;
#' `logLik()` the log-likelihood of the family at the posterior mean risks,
#' with `pD` as its degrees of freedom.
#'
#' @param x,object An `"mcar_fit"` object from [mcar_fit()].
#' @param digits Number of significant digits shown.
#' @param level Probability mass of the credible intervals.
#' @param variables Parameters to summarise: group names (`"beta"`,
#'   `"Lambda"`, `"A"`, `"eta"`, `"theta"`, `"dispersion"`, `"phi"`, `"rr"`
#'   or `"prob"`, `"log_lik"`, `"deviance"`) and/or single names such as
#'   `"beta[x,Y2]"` (a coefficient by covariate and outcome, or by number,
#'   `"beta[2,2]"`).
#' @param type For `fitted()` and `predict()`: `"count"` or `"risk"`; for
#'   `residuals()`: `"response"`, `"pearson"` or `"deviance"` (may be
#'   abbreviated; anything else is an error naming the choices).
#' @param newdata For `predict()`: `NULL`, or new covariate values of the
#'   fitted units: a data frame holding every variable of the fit's
#'   covariate formula (a missing one is an error, not looked up elsewhere),
#'   or the columns of its covariate matrix (by name); one row per unit,
#'   matched to the fit's unit names whenever its rows are named (a fit
#'   whose inputs carried no names has the units "1".."n").  Terms that
#'   learn from the data, such as `scale(x)` and `poly(x, 2)`, keep the
#'   centring and scaling of the fitted data, as [stats::predict.lm()]
#'   does.
#' @param expected For `predict()`: `NULL` (the fit's expected counts) or
#'   new expected counts of the units, in the form `mcar_fit()` takes them
#'   (column names are looked up in `newdata`).
#' @param trials For `predict()` on a binomial fit: `NULL` (the fit's
#'   trials) or new numbers of trials of the units, whole numbers in the
#'   form `mcar_fit()` takes them.
#' @param ... For `predict()` of a fit over several periods, `horizon =
#'   h` forecasts the h periods after the last (see [forecast]);
#'   otherwise not used.
#' @return See the description; `predict()` returns a data frame with one
#'   row per unit and outcome.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' print(fit)
#' coef(fit)$Lambda
#' head(fitted(fit))
#' head(predict(fit))
#' head(residuals(fit, type = "pearson"))
#' nobs(fit)
#' logLik(fit)
#' @name mcar_fit-methods
#' @order 1
#' @export
print.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(x)
  tab <- .param_table(.draws_array(x, .reported), 0.95)
  names(tab)[names(tab) == "lower"] <- "2.5%"
  names(tab)[names(tab) == "upper"] <- "97.5%"
  sizes <- .size_rows(tab)
  print(.fmt_table(tab[!sizes, c("mean", "sd", "2.5%", "97.5%", "rhat",
                                 "ess_bulk")], digits),
        quote = FALSE, right = TRUE)
  .print_sizes(tab[sizes, , drop = FALSE], c("2.5%", "97.5%"), digits)
  .print_dic(x$dic)
  .print_acceptance(x)
  invisible(x)
}

#' @rdname mcar_fit-methods
#' @order 2
#' @export
summary.mcar_fit <- function(object, level = 0.95, variables = .reported,
                             ...) {
  level <- .check_level(level)
  tab <- .param_table(.draws_array(object, variables), level)
  tab[.size_rows(tab), c("mean", "sd")] <- NA_real_
  out <- list(parameters = tab,
              risk = relative_risk(object, level = level),
              acceptance = .acceptance_table(object),
              dic = object$dic, level = level, settings = object$settings,
              seed = object$seed, units = object$units,
              map_units = object$map_units, periods = object$periods,
              outcomes = object$outcomes, covariates = object$covariates,
              counts = object$counts, family = .family(object),
              n_keep = nrow(object$draws[[1L]]$beta),
              lost_chains = object$lost_chains)
  class(out) <- "summary.mcar_fit"
  out
}

#' @rdname mcar_fit-methods
#' @order 3
#' @export
print.summary.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(list(settings = x$settings, seed = x$seed, units = x$units,
                     map_units = x$map_units, periods = x$periods,
                     outcomes = x$outcomes, covariates = x$covariates,
                     counts = x$counts, family = x$family,
                     lost_chains = x$lost_chains, draws = list(list(beta = matrix(0, x$n_keep, 1L)))))
  pct <- function(p) paste0(format(100 * p), "%")
  a <- (1 - x$level) / 2
  cat("\nPosterior summaries (", pct(x$level), " credible intervals):\n",
      sep = "")
  tab <- x$parameters
  names(tab)[names(tab) == "lower"] <- pct(a)
  names(tab)[names(tab) == "upper"] <- pct(1 - a)
  sizes <- .size_rows(tab)
  print(.fmt_table(tab[!sizes, , drop = FALSE], digits), quote = FALSE,
        right = TRUE)
  .print_sizes(tab[sizes, , drop = FALSE], c(pct(a), pct(1 - a)), digits,
               c("ess_bulk", "ess_tail"))
  writeLines(strwrap(paste0(
    "(rhat: potential scale reduction, near 1 when the chains agree; ",
    "ess_bulk, ess_tail: effective sample sizes of the centre and the ",
    "tails of each posterior)")))
  rr <- x$risk
  if (identical(x$family, "binomial")) {
    # Probabilities, against each outcome's overall proportion.
    cat("\nProbabilities (posterior means over the ", .cells_text(x),
        "):\n", sep = "")
    rtab <- do.call(rbind, lapply(x$outcomes, function(o) {
      r <- rr[rr$outcome == o, ]
      data.frame(overall = r$overall[1L], min = min(r$mean),
                 median = median(r$mean), max = max(r$mean),
                 above = sum(r$lower > r$overall),
                 below = sum(r$upper < r$overall))
    }))
    rownames(rtab) <- x$outcomes
    names(rtab)[5:6] <- c("interval > overall", "interval < overall")
    for (j in 1:4) rtab[[j]] <- formatC(rtab[[j]], digits = digits,
                                        format = "g")
    print(.fmt_table(rtab, digits), quote = FALSE, right = TRUE)
    writeLines(strwrap(paste0(
      "(overall: the outcome's observed proportion, events over trials; ",
      "min, median, max: of the units' posterior mean probabilities; ",
      "interval > / < overall: the number of units whose ", pct(x$level),
      " credible interval lies wholly above / below the overall ",
      "proportion)")))
  } else {
    cat("\nRelative risks (posterior means over the ", .cells_text(x),
        "):\n", sep = "")
    rtab <- do.call(rbind, lapply(x$outcomes, function(o) {
      r <- rr[rr$outcome == o, ]
      data.frame(min = min(r$mean), median = median(r$mean),
                 max = max(r$mean), above = sum(r$lower > 1),
                 below = sum(r$upper < 1))
    }))
    rownames(rtab) <- x$outcomes
    names(rtab)[4:5] <- c("interval > 1", "interval < 1")
    print(.fmt_table(rtab, digits), quote = FALSE, right = TRUE)
    writeLines(strwrap(paste0(
      "(min, median, max: of the units' posterior mean relative risks; ",
      "interval > 1 / < 1: the number of units whose ", pct(x$level),
      " credible interval lies wholly above / below 1)")))
  }
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
#' @order 4
#' @export
coef.mcar_fit <- function(object, ...) {
  m <- apply(.draws_array(object, .reported), 3L, mean)
  K <- .n_outcomes(object); p <- ncol(object$X)
  beta <- matrix(m[grepl("^beta\\[", names(m))], p, K,
                 dimnames = list(object$covariates, object$outcomes))
  Lambda <- .unpack(m[grepl("^Lambda\\[", names(m))], K)
  A <- .unpack(m[grepl("^A\\[", names(m))], K)
  A[lower.tri(A)] <- t(A)[lower.tri(A)]
  dimnames(Lambda) <- list(object$outcomes, paste0("field", seq_len(K)))
  dimnames(A) <- list(paste0("field", seq_len(K)), paste0("field", seq_len(K)))
  out <- list(beta = beta, Lambda = Lambda, A = A)
  if (.family_has_sizes(.family(object))) {
    out$dispersion <- stats::setNames(unname(m[grepl("^dispersion\\[",
                                                     names(m))]),
                                      object$outcomes)
  }
  out
}

#' @rdname mcar_fit-methods
#' @order 8
#' @export
nobs.mcar_fit <- function(object, ...) sum(!is.na(object$counts))

#' Intervals, covariances, draws and replicated data of a fit
#'
#' `confint()` gives equal-tailed posterior credible intervals,
#' `vcov()` the posterior covariance matrix of the chosen parameters (by
#' default the regression coefficients), `as.data.frame()` the kept draws
#' (one row per draw, with `.chain`, `.iteration` and `.draw`).
#' `posterior_predict()` draws replicated counts from the fit's family for
#' every unit and outcome, one set per kept draw of the parameters (draws x
#' cells, units
#' varying fastest), and `simulate()` `nsim` such sets as the columns of a
#' data frame.  `pp_check()` compares the observed counts with replicated
#' ones through \pkg{bayesplot}.
#'
#' @param object,x An `"mcar_fit"` object from [mcar_fit()].
#' @param parm,variables Parameters: group names (`"beta"`, `"Lambda"`,
#'   `"A"`, `"eta"`, `"theta"`, `"dispersion"`, `"phi"`, `"rr"` or `"prob"`,
#'   `"log_lik"`, `"deviance"`) and/or single names such as `"beta[x,Y1]"`
#'   (or by number, `"beta[2,1]"`).
#' @param level Probability mass of the intervals.
#' @param row.names,optional Not used.
#' @param nsim Number of replicated data sets.
#' @param seed `NULL` or a whole number seeding R's generator for the
#'   replicates (the caller's generator state is put back afterwards).
#' @param ndraws `NULL` for every kept draw, or the number of draws to use
#'   (taken evenly spaced); `pp_check()` uses 50, or every stored draw when
#'   the fit has fewer.
#' @param fun For `pp_check()`: the name of a \pkg{bayesplot} `ppc_`
#'   function without its prefix, such as `"dens_overlay"`, `"bars"`,
#'   `"stat"` or `"intervals"`.
#' @param ... Passed on to the \pkg{bayesplot} function by `pp_check()`;
#'   otherwise not used.
#' @return `confint()`: a matrix with one row per parameter; `vcov()`: a
#'   square matrix; `as.data.frame()`: a data frame; `posterior_predict()`:
#'   a matrix of counts (draws x cells) named `y[i,r]`; `simulate()`: a data
#'   frame of `nsim` columns with one row per unit and outcome;
#'   `pp_check()`: a ggplot object.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' confint(fit, "beta")
#' vcov(fit)
#' head(as.data.frame(fit, variables = "Lambda"))
#' yrep <- posterior_predict(fit, ndraws = 100)
#' dim(yrep)
#' if (requireNamespace("bayesplot", quietly = TRUE)) {
#'   bayesplot::pp_check(fit, fun = "bars")
#' }
#' @name mcar_fit-extractors
#' @order 1
#' @export
confint.mcar_fit <- function(object, parm = .reported, level = 0.95, ...) {
  level <- .check_level(level)
  arr <- .draws_array(object, parm)
  m <- matrix(arr, prod(dim(arr)[1:2]))
  a <- (1 - level) / 2
  out <- t(apply(m, 2L, quantile, c(a, 1 - a), names = FALSE))
  dimnames(out) <- list(dimnames(arr)[[3L]],
                        paste(format(100 * c(a, 1 - a), trim = TRUE), "%"))
  out
}

#' @rdname mcar_fit-extractors
#' @order 2
#' @export
vcov.mcar_fit <- function(object, variables = "beta", ...) {
  arr <- .draws_array(object, variables)
  m <- matrix(arr, prod(dim(arr)[1:2]),
              dimnames = list(NULL, dimnames(arr)[[3L]]))
  stats::cov(m)
}

#' @rdname mcar_fit-extractors
#' @order 3
#' @export
as.data.frame.mcar_fit <- function(x, row.names = NULL, optional = FALSE,
                                   variables = .groups, ...) {
  arr <- .draws_array(x, variables)
  S <- dim(arr)[1L]; chains <- dim(arr)[2L]
  out <- as.data.frame(matrix(arr, S * chains,
                              dimnames = list(NULL, dimnames(arr)[[3L]])),
                       optional = TRUE)
  out$.chain <- rep(seq_len(chains), each = S)
  out$.iteration <- rep(seq_len(S), chains)
  out$.draw <- seq_len(S * chains)
  out
}
