# The draws of a fit: the kept draws of each chain and those derived from
# them (risks, pointwise log-likelihoods), as arrays in the order asked,
# the sampler's running summaries pooled over the chains, and the draws in
# coda's and posterior's formats.

# Every group a fit can hold, in the order the draws are given.  A fit
# holds those of its family: the risks are rr[i,r] (Poisson, negative
# binomial) or the probabilities prob[i,r] (binomial), and only negative
# binomial fits have the sizes dispersion[r], and only fits over several
# periods the autoregressive coefficients alpha[c] of the fields.
.groups <- c("beta", "Lambda", "A", "eta", "theta", "dispersion", "alpha",
             "phi", "rr", "prob", "log_lik", "deviance")
.reported <- c("beta", "Lambda", "A", "dispersion", "alpha")

# The groups of a fit, those of its family.
.fit_groups <- function(fit) {
  fam <- .family(fit)
  drop <- c(if (!.family_has_sizes(fam)) "dispersion",
            if (.n_periods(fit) == 1L || !is.null(fit$prior$alpha)) "alpha",
            setdiff(c("rr", "prob"), .risk_name(fit)))
  setdiff(.groups, drop)
}

# The groups with a draw per unit and outcome, which only the draws that
# store the per-unit draws have.
.unit_groups <- c("phi", "rr", "prob", "log_lik")

# Names of the n K cells of a group: name[i,r], i varying fastest.  Over
# T periods n counts the unit-periods and the names are name[i,r,t], unit
# i of the map in period t, in the order of the rows (i fastest, then t).
.cell_names <- function(name, n, K, periods = 1L) {
  if (periods == 1L) {
    return(paste0(name, "[", rep(seq_len(n), K), ",",
                  rep(seq_len(K), each = n), "]"))
  }
  m <- n %/% periods
  paste0(name, "[", rep(seq_len(m), periods * K), ",",
         rep(seq_len(K), each = n), ",",
         rep(rep(seq_len(periods), each = m), K), "]")
}

# The kept draws of a chain that store the per-unit draws.
.stored_rows <- function(fit, d) {
  all <- seq_len(nrow(d$beta))
  if (nrow(d$phi) == length(all)) all else fit$unit_rows[seq_len(nrow(d$phi))]
}

# Linear predictors mu[i,r] of one chain's draws that store the fields:
# draws x (n K), column i + n (r - 1).  On large maps only every
# fit$unit_rows-th kept draw stores them (see mcar_fit(keep =)).
.lp_draws <- function(fit, d) {
  n <- .n_units(fit); K <- .n_outcomes(fit); p <- ncol(fit$X)
  rows <- .stored_rows(fit, d)
  S <- length(rows)
  L <- d$Lambda[rows, , drop = FALSE]
  Lnames <- colnames(L)
  out <- matrix(0, S, n * K)
  for (r in seq_len(K)) {
    b <- d$beta[rows, (r - 1L) * p + seq_len(p), drop = FALSE]
    mu <- b %*% t(fit$X)
    for (c in r:K) {
      l <- L[, match(sprintf("Lambda[%d,%d]", r, c), Lnames)]
      mu <- mu + l * d$phi[, (c - 1L) * n + seq_len(n), drop = FALSE]
    }
    out[, (r - 1L) * n + seq_len(n)] <- mu
  }
  out
}

# Risk draws of one chain (relative risks rr[i,r], or probabilities
# prob[i,r] for the binomial), over its stored draws.
.rr_draws <- function(fit, d) {
  x <- .risk(fit, .lp_draws(fit, d))
  colnames(x) <- .cell_names(.risk_name(fit), .n_units(fit), .n_outcomes(fit),
                             .n_periods(fit))
  x
}

# The negative binomial sizes of a chain's stored draws, one column per cell
# (draws x n K).
.size_draws <- function(fit, d) {
  psi <- d$dispersion[.stored_rows(fit, d), , drop = FALSE]
  psi[, rep(seq_len(.n_outcomes(fit)), each = .n_units(fit)), drop = FALSE]
}

# The negative binomial sizes of every stored draw, per cell (draws x n K),
# in the order of .rr_summary().
.all_size_draws <- function(object) {
  do.call(rbind, lapply(object$draws, function(d) .size_draws(object, d)))
}

# A matrix as compiled code reads it: double.
.as_double_matrix <- function(x) {
  if (!is.double(x)) storage.mode(x) <- "double"
  x
}

# The cells with an observed count, those of the pointwise log-likelihood.
.observed_cells <- function(fit) which(!is.na(as.vector(fit$counts)))

# Pointwise log-likelihood of the observed counts, one chain: Poisson,
# binomial (trials N) or negative binomial (each draw's own size); `risk`
# the chain's risk draws when they are at hand.
.log_lik_draws <- function(fit, d, risk = .risk(fit, .lp_draws(fit, d))) {
  y <- as.vector(fit$counts)
  obs <- .observed_cells(fit)
  if (length(obs) < length(y)) risk <- risk[, obs, drop = FALSE]
  # R's dpois(), dbinom() and dnbinom(mu =) in compiled code on the fit's
  # threads, the counts and exposures not repeated over the draws.
  fam <- .family(fit)
  ll <- .Call(mcar_count_log_lik,
              match(fam, c("poisson", "binomial", "negbinomial")) - 1L,
              as.double(y[obs]), as.double(as.vector(.exposure(fit))[obs]),
              .as_double_matrix(risk),
              if (.family_has_sizes(fam)) {
                .as_double_matrix(.size_draws(fit, d)[, obs, drop = FALSE])
              }, .fit_threads(fit))
  colnames(ll) <- .cell_names("log_lik", .n_units(fit), .n_outcomes(fit),
                             .n_periods(fit))[obs]
  ll
}

# Names of the coefficients: beta[covariate,outcome], covariates varying
# fastest, as the columns of the draws beta.
.beta_names <- function(fit) {
  p <- length(fit$covariates); K <- .n_outcomes(fit)
  paste0("beta[", rep(fit$covariates, K), ",", rep(fit$outcomes, each = p),
         "]")
}

# Single names of coefficients given by number, beta[j,r], as the names of
# the draws (beta[covariate,outcome]); other names as they are.
.beta_by_name <- function(fit, variables) {
  m <- regmatches(variables,
                  regexec("^beta\\[([0-9]+),([0-9]+)\\]$", variables))
  p <- length(fit$covariates); K <- .n_outcomes(fit)
  nm <- .beta_names(fit)
  vapply(seq_along(variables), function(k) {
    jr <- as.integer(m[[k]][2:3])
    if (length(m[[k]]) == 3L && !anyNA(jr) && jr[1L] >= 1L && jr[1L] <= p &&
        jr[2L] >= 1L && jr[2L] <= K) nm[jr[1L] + p * (jr[2L] - 1L)] else
      variables[k]
  }, character(1))
}

# The names of the variables of a group, as its draws name them.
.group_names <- function(fit, group) {
  n <- .n_units(fit); K <- .n_outcomes(fit)
  switch(group,
    beta = .beta_names(fit),
    rr = , prob = .cell_names(.risk_name(fit), n, K, .n_periods(fit)),
    log_lik = .cell_names("log_lik", n, K,
                          .n_periods(fit))[.observed_cells(fit)],
    colnames(fit$draws[[1L]][[group]]))
}

# What `variables` asks of the draws: the groups to compute, the names of
# the variables kept in the order asked (a group's where the group is
# named), whether the draws are those that store the per-unit values, and
# per group the positions of its variables among those kept (NA: not kept).
.draws_plan <- function(fit, variables) {
  if (!is.character(variables) || !length(variables) || anyNA(variables)) {
    .input_error("variables", "must be a character vector of parameter or ",
                 "group names.")
  }
  variables <- .beta_by_name(fit, variables)
  have <- .fit_groups(fit)
  # The defaults name the groups of every family; a fit gives its own.
  if (identical(variables, .groups) || identical(variables, .reported)) {
    variables <- intersect(variables, have)
  }
  other <- intersect(setdiff(.groups, have), sub("\\[.*$", "", variables))
  if (length(other)) {
    why <- c(rr = "its probabilities are prob[i,r]",
             prob = "its relative risks are rr[i,r]",
             dispersion = "only negative binomial fits have sizes")[other]
    .input_error("variables", "names ", paste(other, collapse = ", "),
                 ", which a ", .family_label(.family(fit)), " fit does not ",
                 "have (", paste(why, collapse = "; "), ").")
  }
  groups <- intersect(have, variables)
  single <- setdiff(variables, have)
  if (length(single)) {
    base <- sub("\\[.*$", "", single)
    bad <- setdiff(base, have)
    if (length(bad)) {
      .input_error("variables", "has unknown name(s): ",
                   paste(head(bad, 5L), collapse = ", "), ".")
    }
    groups <- union(groups, intersect(have, base))
  }
  names_of <- lapply(stats::setNames(groups, groups), .group_names, fit = fit)
  vars <- unlist(names_of, use.names = FALSE)
  unknown <- setdiff(single, vars)
  if (length(unknown)) {
    .input_error("variables", "has unknown parameter(s): ",
                 paste(head(unknown, 5L), collapse = ", "), ".")
  }
  # In the order asked: a group's variables where the group is named.
  base <- sub("\\[.*$", "", vars)
  keep <- unique(unlist(lapply(variables, function(v) {
    if (v %in% have) vars[base == v] else v
  })))
  if (!length(keep)) {
    .input_error("variables", "selects nothing in this fit (",
                 paste(variables, collapse = ", "), if (.n_outcomes(fit) == 1L &&
                   "theta" %in% variables) ": with one outcome there is no ",
                 "angle theta", ").")
  }
  # With per-unit groups, the other groups follow the draws that store them.
  units <- any(groups %in% .unit_groups)
  d <- fit$draws[[1L]]
  list(keep = keep, units = units,
       draws = if (units) length(.stored_rows(fit, d)) else nrow(d$beta),
       at = lapply(names_of, match, table = keep))
}

# The draws of one chain that `plan` (.draws_plan()) keeps: a list of
# blocks, each the positions `at` among the kept variables and the draws
# x (draws x length(at)).  The linear predictors are computed once for the
# risks and the log-likelihood.
.chain_draws <- function(fit, d, plan) {
  rows <- if (plan$units) .stored_rows(fit, d) else seq_len(nrow(d$beta))
  risk <- NULL
  blocks <- list()
  for (g in names(plan$at)) {
    at <- plan$at[[g]]
    sel <- which(!is.na(at))
    if (!length(sel)) next
    x <- switch(g,
      rr = , prob = {
        if (is.null(risk)) risk <- .risk(fit, .lp_draws(fit, d))
        risk
      },
      log_lik = {
        if (is.null(risk)) risk <- .risk(fit, .lp_draws(fit, d))
        .log_lik_draws(fit, d, risk)
      },
      d[[g]])
    if (!g %in% .unit_groups && length(rows) < nrow(x)) {
      x <- x[rows, , drop = FALSE]
    }
    if (length(sel) < ncol(x)) x <- x[, sel, drop = FALSE]
    blocks[[length(blocks) + 1L]] <- list(at = at[sel], x = unname(x))
  }
  blocks
}

# Draws of the chosen groups for every chain: an array draws x chains x
# variables.
.draws_array <- function(fit, variables = .groups) {
  plan <- .draws_plan(fit, variables)
  out <- array(NA_real_, c(plan$draws, length(fit$draws), length(plan$keep)),
               dimnames = list(NULL, names(fit$draws), plan$keep))
  for (k in seq_along(fit$draws)) {
    for (b in .chain_draws(fit, fit$draws[[k]], plan)) {
      out[, k, b$at] <- b$x
    }
  }
  out
}

# Quantiles of each column of a matrix of draws (draws x variables), as
# quantile() gives them (type 7), and with `median` the column medians as
# median() gives them: one partial sort of each column for all of them.
# A matrix, one row per column of m and one column per prob (then the
# median, named "median").
.col_quantiles <- function(m, probs, median = FALSE) {
  S <- nrow(m)
  index <- 1 + max(S - 1, 0) * probs
  lo <- floor(index); hi <- ceiling(index)
  half <- (S + 1L) %/% 2L
  mid <- if (median) {
    if (S %% 2L == 1L) half else half + 0:1
  }
  pos <- sort(unique(c(lo, hi, mid)))
  v <- .col_order_stats(m, S, pos)
  at <- function(k) v[match(k, pos), ]
  out <- matrix(NA_real_, ncol(m), length(probs) + median,
                dimnames = list(colnames(m),
                                c(rep("", length(probs)),
                                  if (median) "median")))
  for (k in seq_along(probs)) {
    q <- at(lo[k]); x_hi <- at(hi[k])
    i <- which(index[k] > lo[k] & x_hi != q)
    h <- index[k] - lo[k]
    q[i] <- (1 - h) * q[i] + h * x_hi[i]
    out[, k] <- q
  }
  if (median) {
    out[, length(probs) + 1L] <- if (length(mid) == 1L) at(mid) else
      (at(mid[1L]) + at(mid[2L])) / 2
  }
  out
}

# The order statistics `pos` (increasing) of each column of x (`rows` rows;
# an array read as rows x the rest): a length(pos) x columns matrix of
# sort.int(x[, j], partial = pos)[pos], in compiled code.
.col_order_stats <- function(x, rows, pos) {
  if (!is.double(x)) storage.mode(x) <- "double"
  v <- .Call(mcar_col_order_stats, x, as.integer(rows), as.integer(pos))
  if (is.null(v)) {
    # NA or NaN, which R's partial sort places.
    x <- matrix(x, rows)
    v <- matrix(vapply(seq_len(ncol(x)), function(j) {
      sort.int(x[, j], partial = pos)[pos]
    }, numeric(length(pos))), length(pos))
  }
  v
}

# The risk draws of every chain, one below the other (stored draws x
# cells).
.rr_summary <- function(fit) {
  S <- vapply(fit$draws, function(d) length(.stored_rows(fit, d)),
              integer(1))
  out <- matrix(0, sum(S), .n_units(fit) * .n_outcomes(fit))
  at <- c(0L, cumsum(S))
  for (k in seq_along(fit$draws)) {
    out[at[k] + seq_len(S[k]), ] <- .risk(fit, .lp_draws(fit, fit$draws[[k]]))
  }
  colnames(out) <- .cell_names(.risk_name(fit), .n_units(fit), .n_outcomes(fit),
                             .n_periods(fit))
  out
}

# The running summaries of every cell over every kept draw of every chain,
# pooled: the number of draws, the mean, sd and P(> 1) of the relative
# risks, and the mean, variance and log mean exp of the pointwise
# log-likelihood (columns i + n (r - 1)).
.pooled_summaries <- function(fit) {
  sm <- Filter(Negate(is.null), fit$summaries)
  if (!length(sm)) return(NULL)
  S <- vapply(sm, function(x) as.double(x$draws), numeric(1))
  total <- sum(S)
  pool <- function(mean_el, m2_el) {
    means <- sapply(sm, function(x) as.vector(x[[mean_el]]))
    m2 <- sapply(sm, function(x) as.vector(x[[m2_el]]))
    means <- matrix(means, ncol = length(sm)); m2 <- matrix(m2, ncol = length(sm))
    mu <- as.vector(means %*% S) / total
    ss <- rowSums(m2) + as.vector(((means - mu)^2) %*% S)
    list(mean = mu, var = ss / max(total - 1, 1))
  }
  rr <- pool("rr_mean", "rr_m2")
  ll <- pool("ll_mean", "ll_m2")
  mx <- matrix(sapply(sm, function(x) as.vector(x$ll_max)), ncol = length(sm))
  sx <- matrix(sapply(sm, function(x) as.vector(x$ll_sum)), ncol = length(sm))
  top <- apply(mx, 1L, max)
  lse <- top + log(rowSums(sx * exp(mx - top)))
  gt1 <- rowSums(matrix(sapply(sm, function(x) as.vector(x$rr_gt1)),
                        ncol = length(sm)))
  list(draws = total, rr_mean = rr$mean, rr_sd = sqrt(rr$var),
       rr_gt1 = gt1 / total, ll_mean = ll$mean, ll_var = ll$var,
       lpd = lse - log(total))
}

# The number of stored per-unit draws and of kept draws, over the chains.
.stored_draws <- function(fit) {
  c(stored = sum(vapply(fit$draws, function(d) nrow(d$phi), integer(1))),
    kept = sum(vapply(fit$draws, function(d) nrow(d$beta), integer(1))))
}

# Says, when `what` comes from a share of the kept draws (those that store
# the per-unit draws), how many it uses.
.say_stored <- function(fit, what) {
  n <- .stored_draws(fit)
  if (n[["stored"]] < n[["kept"]]) {
    message(what, ": from the ", n[["stored"]], " stored draws of the ",
            "unit-level values (of ", n[["kept"]], " kept draws); ",
            "`mcar_fit(keep = )` stores more.")
  }
  invisible(n)
}

# Refuses what needs more kept draws per chain than the fit has.
.check_enough_draws <- function(x, need, what, arg = "x") {
  n_keep <- nrow(x$draws[[1L]]$beta)
  if (n_keep < need) {
    .input_error(arg, "has ", n_keep, " kept draw", if (n_keep != 1L) "s",
                 " per chain; ", what, " needs at least ", need, ". Keep more ",
                 "(a larger `n_sample` or a smaller `thin`).")
  }
  invisible(n_keep)
}

# ---- coda and posterior formats -------------------------------------------

#' Draws in coda and posterior formats
#'
#' `as.mcmc()` returns the kept draws as a \pkg{coda} `mcmc.list` (one `mcmc`
#' per chain); `as_draws()`, `as_draws_array()`, `as_draws_df()`,
#' `as_draws_matrix()`, `as_draws_list()` and `as_draws_rvars()` return
#' them in \pkg{posterior}'s formats, variables in the order asked.
#' Coefficients are named by covariate and outcome,
#' `beta[covariate,outcome]` (such as `beta[(Intercept),Y1]` or
#' `beta[income,Y2]`), as in `print()`, `summary()` and `coef()`; asking for
#' `beta[j,r]` by number (j = 1 the intercept, then the covariates; r the
#' outcome) selects the same coefficient.  The other variables are
#' named by index:
#' `Lambda[r,c]` and `A[a,b]` (upper triangles), `eta[k]`, `theta[j]`,
#' `dispersion[r]` (the sizes of a negative binomial fit), `phi[i,c]`,
#' `rr[i,r]` (relative risks; binomial fits have the probabilities
#' `prob[i,r]` instead), `log_lik[i,r]` (observed counts only) and
#' `deviance`.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param variables Groups of variables (`"beta"`, `"Lambda"`, `"A"`,
#'   `"eta"`, `"theta"`, `"dispersion"`, `"phi"`, `"rr"` or `"prob"`,
#'   `"log_lik"`, `"deviance"`) and/or single names; by default all those of
#'   the fit.
#' @param ... Not used.
#' @return `as.mcmc()`: an `mcmc.list`; the others the \pkg{posterior}
#'   object of their name.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' m <- coda::as.mcmc(fit, variables = c("beta", "Lambda"))
#' coda::effectiveSize(m)
#' if (requireNamespace("posterior", quietly = TRUE)) {
#'   d <- posterior::as_draws_df(fit)
#'   posterior::summarise_draws(posterior::subset_draws(d, "beta"))
#' }
#' @export
as.mcmc.mcar_fit <- function(x, variables = .groups, ...) {
  arr <- .draws_array(x, variables)
  s <- x$settings
  first <- .thinning(s, which = TRUE)$sweeps[1L]
  coda::mcmc.list(lapply(seq_len(dim(arr)[2L]), function(k) {
    m <- matrix(arr[, k, ], nrow = dim(arr)[1L],
                dimnames = list(NULL, dimnames(arr)[[3L]]))
    coda::mcmc(m, start = first, thin = s$thin)
  }))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_array
as_draws_array.mcar_fit <- function(x, variables = .groups, ...) {
  arr <- .draws_array(x, variables)
  dimnames(arr)[[2L]] <- as.character(seq_len(dim(arr)[2L]))
  posterior::as_draws_array(arr)
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_df
as_draws_df.mcar_fit <- function(x, variables = .groups, ...) {
  # Built column by column, chain by chain, as posterior builds it, without
  # an array of all the draws in between.
  plan <- .draws_plan(x, variables)
  S <- plan$draws; chains <- length(x$draws)
  cols <- lapply(plan$keep, function(v) numeric(S * chains))
  names(cols) <- plan$keep
  for (k in seq_len(chains)) {
    rows <- (k - 1L) * S + seq_len(S)
    for (b in .chain_draws(x, x$draws[[k]], plan)) {
      for (j in seq_along(b$at)) cols[[b$at[j]]][rows] <- b$x[, j]
    }
  }
  cols$.chain <- rep(seq_len(chains), each = S)
  cols$.iteration <- rep(seq_len(S), chains)
  cols$.draw <- seq_len(S * chains)
  structure(cols, row.names = c(NA_integer_, -S * chains),
            class = c("draws_df", "draws", "tbl_df", "tbl", "data.frame"))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws
as_draws.mcar_fit <- function(x, variables = .groups, ...) {
  as_draws_array.mcar_fit(x, variables = variables, ...)
}

#' @importFrom coda as.mcmc
#' @export
coda::as.mcmc

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_matrix
as_draws_matrix.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_matrix(as_draws_array.mcar_fit(x, variables))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_list
as_draws_list.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_list(as_draws_array.mcar_fit(x, variables))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_rvars
as_draws_rvars.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_rvars(as_draws_array.mcar_fit(x, variables))
}
