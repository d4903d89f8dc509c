# Covariates: the design matrix from a matrix, a data frame or a formula, and
# at new covariate values for predict(); the coefficients that the counts
# cannot hold under a flat prior.

# The design matrix: an intercept, then the covariates in column order.
.design_matrix <- function(covariates, data, n) {
  if (is.null(covariates)) {
    return(matrix(1, n, 1L, dimnames = list(NULL, "(Intercept)")))
  }
  if (inherits(covariates, "formula")) {
    if (length(covariates) != 2L) {
      .input_error("covariates", "must be a one-sided formula such as ",
                   "~ x1 + x2.")
    }
    if (is.null(data)) {
      .input_error("covariates", "is a formula, but no `data` was given.")
    }
    if (!is.null(attr(stats::terms(covariates), "offset"))) {
      .input_error("covariates", "has an offset(), which the model has no ",
                   "place for: multiply `expected` by exp(offset) instead.")
    }
    mf <- tryCatch(stats::model.frame(covariates, data, na.action = stats::na.pass),
                   error = function(e) {
                     .input_error("covariates", "cannot be evaluated in `data`: ",
                                  conditionMessage(e))
                   })
    for (v in names(mf)) {
      f <- mf[[v]]
      if ((is.factor(f) || is.character(f) || is.logical(f)) &&
          length(unique(f[!is.na(f)])) < 2L) {
        .input_error("covariates", "has `", v, "`, a factor with a single ",
                     "level (", format(f[!is.na(f)][1L]), "), which cannot ",
                     "be told apart from the intercept; leave it out.")
      }
    }
    X <- stats::model.matrix(covariates, mf)
    if (is.null(.frame_row_names(data))) rownames(X) <- NULL
    if (!"(Intercept)" %in% colnames(X)) {
      X <- cbind(`(Intercept)` = 1, X)
    }
    X <- X[, c("(Intercept)", setdiff(colnames(X), "(Intercept)")), drop = FALSE]
    attr(X, "assign") <- NULL
    attr(X, "contrasts") <- NULL
  } else {
    if (is.data.frame(covariates)) {
      bad <- !vapply(covariates, is.numeric, logical(1))
      if (any(bad)) {
        .input_error("covariates", "has non-numeric column(s) ",
                     paste(names(covariates)[bad], collapse = ", "),
                     "; use a formula with `data` to expand factors.")
      }
      covariates <- as.matrix(covariates)
    }
    if (is.null(dim(covariates)) && is.numeric(covariates)) {
      covariates <- matrix(covariates, ncol = 1L,
                           dimnames = list(names(covariates), "x1"))
    }
    if (!is.matrix(covariates) || !is.numeric(covariates)) {
      .input_error("covariates", "must be NULL, a numeric matrix or data ",
                   "frame, or a one-sided formula.")
    }
    if (is.null(colnames(covariates))) {
      colnames(covariates) <- paste0("x", seq_len(ncol(covariates)))
    }
    X <- cbind(`(Intercept)` = 1, covariates)
  }
  if (nrow(X) != n) {
    .input_error("covariates", "has ", nrow(X), " rows for ", n, " units.")
  }
  if (anyNA(X) || any(!is.finite(X))) {
    at <- which(rowSums(!is.finite(X)) > 0)
    .input_error("covariates", "has missing or infinite values (unit(s) ",
                 .describe_units(at, rownames(X)), ").")
  }
  storage.mode(X) <- "double"
  q <- qr(X)
  if (q$rank < ncol(X)) {
    bad <- colnames(X)[q$pivot[(q$rank + 1L):ncol(X)]]
    .input_error("covariates", "are collinear (with the intercept or with ",
                 "each other): ", paste(bad, collapse = ", "), ".")
  }
  X
}

# What predict() needs to form the covariates at new values: the formula,
# with the levels its factors had in the data, the terms of the fitted model
# frame (whose prediction variables hold what scale(), poly() and the like
# learnt from the data, so that new values are centred and scaled as the
# fitted ones were) and the variables of the formula that came from `data`.
.covariate_formula <- function(covariates, data) {
  if (!inherits(covariates, "formula")) return(NULL)
  mf <- stats::model.frame(covariates, data, na.action = stats::na.pass)
  tt <- stats::terms(mf)
  structure(covariates, xlevels = stats::.getXlevels(tt, mf),
            terms = stats::delete.response(tt),
            data_vars = intersect(all.vars(covariates), names(data)))
}

# The design matrix of the fitted units at new covariate values: `newdata`
# holds the covariates (the variables of the fit's formula, or the columns
# of its covariate matrix by name) for every unit, matched by name when its
# rows are named.
.new_design <- function(object, newdata) {
  if (is.null(newdata)) return(object$X)
  n <- .n_units(object)
  form <- object$covariate_formula
  if (ncol(object$X) == 1L) {
    .input_error("newdata", "is of no use: the fit has no covariates.")
  }
  if (inherits(form, "formula")) {
    if (!is.data.frame(newdata)) {
      .input_error("newdata", "must be a data frame holding the variables ",
                   "of the fit's covariate formula.")
    }
    tt <- attr(form, "terms")
    if (is.null(tt)) tt <- stats::delete.response(stats::terms(form))
    lack <- setdiff(attr(form, "data_vars"), names(newdata))
    if (length(lack)) {
      .input_error("newdata", "lacks the covariate variable(s) ",
                   paste0("`", lack, "`", collapse = ", "), " of the fit's ",
                   "formula; give every one of them for every unit.")
    }
    mf <- tryCatch(stats::model.frame(tt, newdata, na.action = stats::na.pass,
                                      xlev = attr(form, "xlevels")),
                   error = function(e) {
                     .input_error("newdata", "cannot give the covariates: ",
                                  conditionMessage(e))
                   })
    X <- stats::model.matrix(tt, mf)
    if (!"(Intercept)" %in% colnames(X)) X <- cbind(`(Intercept)` = 1, X)
    rownames(X) <- .frame_row_names(newdata)
  } else {
    nd <- if (is.data.frame(newdata)) newdata else as.matrix(newdata)
    covs <- object$covariates[-1L]
    have <- colnames(nd)
    if (!is.null(have)) {
      if (!all(covs %in% have)) {
        .input_error("newdata", "must hold the covariates ",
                     paste(covs, collapse = ", "), "; it lacks ",
                     paste(setdiff(covs, have), collapse = ", "), ".")
      }
      nd <- nd[, covs, drop = FALSE]
    } else if (NCOL(nd) != length(covs)) {
      .input_error("newdata", "must hold the covariates ",
                   paste(covs, collapse = ", "), " (by name, or as many ",
                   "columns), not ", NCOL(nd), " column(s).")
    }
    rn <- if (is.data.frame(nd)) .frame_row_names(nd) else rownames(nd)
    nd <- as.matrix(nd)
    if (!is.numeric(nd)) .input_error("newdata", "must be numeric.")
    X <- cbind(1, unname(nd))
    colnames(X) <- object$covariates
    rownames(X) <- rn
  }
  if (!identical(colnames(X), object$covariates)) {
    .input_error("newdata", "gives the coefficients ",
                 paste(colnames(X), collapse = ", "), " instead of ",
                 paste(object$covariates, collapse = ", "), ".")
  }
  if (nrow(X) != n) {
    .input_error("newdata", "has ", nrow(X), " rows for the fit's ", n,
                 " units; it gives new covariate values of the fitted units.")
  }
  if (any(!is.finite(X))) {
    .input_error("newdata", "has missing or infinite covariate values.")
  }
  .rows_by_unit(object, X, "newdata")
}

# Coefficients the data cannot hold: when a direction d of an outcome's
# coefficients has X d = 0 on every unit with a positive count and X d of
# one sign on the units with a zero count (a covariate that is 0 wherever
# the outcome was seen, say), the likelihood keeps rising along d, so under
# a flat prior the posterior is improper and the draws of those
# coefficients drift without end.
.separated_coefficients <- function(Y, X, flat) {
  found <- list()
  for (r in seq_len(ncol(Y))) {
    y <- Y[, r]
    pos <- which(!is.na(y) & y > 0); zero <- which(!is.na(y) & y == 0)
    if (!length(zero) || !length(pos)) next
    Xp <- X[pos, , drop = FALSE]
    sv <- svd(Xp, nu = 0L, nv = ncol(X))
    rank <- sum(sv$d > 1e-9 * max(sv$d))
    if (rank == ncol(X)) next
    for (k in (rank + 1L):ncol(X)) {
      d <- sv$v[, k]
      v <- drop(X[zero, , drop = FALSE] %*% d)
      tol <- 1e-9 * max(1, abs(v))
      one_side <- all(v <= tol) || all(v >= -tol)
      if (!one_side || all(abs(v) <= tol)) next
      if (all(v >= -tol)) d <- -d   # the likelihood rises along d
      j <- which(abs(d) > 1e-8)
      if (!all(flat[j])) next        # a proper prior holds them
      found[[length(found) + 1L]] <- list(outcome = r, coef = j,
                                         sign = sign(d[j]))
    }
  }
  found
}

# Warns, naming each coefficient and its outcome, when the counts cannot
# hold a coefficient under its flat prior (.separated_coefficients()).  For
# binomial counts (`trials` given) the same holds where every trial was an
# event: the failures, trials - counts, are then 0 and the logit runs off
# to +Inf.
.warn_separation <- function(Y, X, beta_sd, outcomes, trials = NULL) {
  flat <- is.infinite(beta_sd)
  found <- lapply(.separated_coefficients(Y, X, flat),
                  function(f) c(f, list(full = FALSE)))
  if (!is.null(trials)) {
    full <- lapply(.separated_coefficients(trials - Y, X, flat), function(f) {
      f$sign <- -f$sign       # the failures' logit is -mu
      c(f, list(full = TRUE))
    })
    found <- c(found, full)
  }
  if (!length(found)) return(invisible(found))
  parts <- vapply(found, function(f) {
    what <- paste0("beta[", f$coef, ",", f$outcome, "] (",
                   colnames(X)[f$coef], ") towards ",
                   ifelse(f$sign > 0, "+Inf", "-Inf"))
    paste0(paste(what, collapse = " and "), " for outcome ",
           outcomes[f$outcome], if (f$full) " (counts equal to the trials)")
  }, character(1))
  full <- vapply(found, `[[`, logical(1), "full")
  cells <- if (all(full)) "whose count equals its trials" else if (any(full))
    "with a zero count (or a count equal to its trials)" else
      "with a zero count"
  others <- if (all(full)) "units with a failure" else
    "units with a positive count"
  warning("the counts cannot hold ", paste(parts, collapse = "; "),
          ": the ", others, " leave ",
          if (length(found) > 1L || length(found[[1L]]$coef) > 1L) "these" else
            "this", " coefficient free (its covariate takes one value on ",
          "them) and the units ", cells, " all lie to one side, so ",
          "the likelihood keeps rising as it runs off and, under a flat ",
          "prior, the posterior is improper. Give the coefficients a normal ",
          "prior (mcar_prior(beta_sd = ...)) or leave the covariate out.",
          call. = FALSE)
  invisible(found)
}
