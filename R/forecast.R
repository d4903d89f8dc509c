# Forecasts of a fit over periods: the fields carried forward by their
# autoregression with new MCAR innovations, draw by draw, and the risks and
# counts of the periods after the last.

#' Forecasts of a fit over periods
#'
#' `predict(fit, horizon = h)` forecasts the `h` periods after the last
#' period of a fit over several periods (see the `time` argument of
#' [mcar_fit()]).  For each stored draw the fields are carried forward by
#' their autoregression, \eqn{\phi_{t} = \phi_{t-1}\,\mathrm{diag}(\alpha)
#' + \epsilon_t}{phi[t] = phi[t-1] diag(alpha) + e[t]}, the innovations
#' \eqn{\epsilon_t}{e[t]} drawn from the MCAR prior of that draw's
#' association matrix \eqn{A}; then \eqn{\mu = X\beta + \phi\Lambda'}{mu =
#' X beta + phi Lambda'} gives the risks, and the counts follow the fit's
#' family.  The innovations use R's random number generator: call
#' [set.seed()] first for a forecast that can be repeated.
#'
#' Covariates of the future periods come from `newdata`: a data frame with
#' the fit's unit and period columns (those named by `unit` and `time` in
#' the call of [mcar_fit()]) and a row for every map unit and future
#' period, or, without those columns, one row per unit and future period in
#' order (units fastest, then periods).  A fit whose covariates need
#' variables cannot forecast without them.  The expected counts (trials
#' for a binomial fit) of the future periods are taken from the columns of
#' `newdata` named as in the fit (`expected = "E"`, or a variable holding
#' the names); failing those, each unit's latest known ones (those of the last
#' period, unless its count was missing there), with a message.
#'
#' @name forecast
#' @param object An `"mcar_fit"` object over several periods.
#' @param horizon The number of periods to forecast, after the last.
#' @param newdata A data frame of the future periods' covariates (and
#'   expected counts or trials), as described above, or `NULL`.
#' @param level Probability mass of the credible and predictive intervals.
#' @param ... Not used.
#' @return A data frame with one row per map unit, future period and
#'   outcome (units fastest, then periods): `unit`, `period` (continuing
#'   the spacing of the fit's periods; for periods that are levels of a
#'   factor, the last level followed by "+1", "+2", ...), `outcome`,
#'   `expected` (or `trials`), the posterior mean, sd, median and interval
#'   of the risk (`risk_mean`, `risk_sd`, `risk_median`, `risk_lower`,
#'   `risk_upper`: the relative risk, or the probability for a binomial
#'   fit; a few periods ahead its distribution is skewed, its mean well
#'   above its median) and of the
#'   count, the mean and the bounds of its posterior predictive interval
#'   (`count_mean`, `count_lower`, `count_upper`).  The draws of the risks
#'   (stored draws x rows) are attached as attribute `"risk_draws"`.
#' @examples
#' \donttest{
#' W <- minnesota_adjacency()
#' n <- nrow(W)
#' set.seed(1)
#' E <- array(20, c(n, 1, 4), list(rownames(W), "flu", 2001:2004))
#' Y <- array(rpois(length(E), E), dim(E), dimnames(E))
#' fit <- mcar_fit(Y, E, W, n_sample = 400, burnin = 200, chains = 1,
#'                 seed = 1)
#' set.seed(2)
#' fc <- predict(fit, horizon = 2)
#' head(fc)
#' }
NULL

# The forecast of predict.mcar_fit(horizon = ).
.forecast <- function(object, horizon, newdata = NULL, level = 0.95, ...) {
  if (is.null(object$periods)) {
    .input_error("horizon", "is for fits over several periods (mcar_fit(",
                 "time = )); this fit has one.")
  }
  H <- .check_count(horizon, "horizon", lower = 1)
  level <- .check_level(level)
  if (!is.null(newdata) && !is.data.frame(newdata)) {
    .input_error("newdata", "must be a data frame of the future periods.")
  }
  n <- .n_map_units(object); T <- .n_periods(object); K <- .n_outcomes(object)
  N <- .n_units(object); p <- ncol(object$X)
  fam <- .family(object)
  future <- .future_periods(object$periods, H)
  rows <- .future_rows(object, newdata, future)
  X <- .future_design(object, rows, future)
  E <- .future_exposure(object, rows, future)
  .say_stored(object, "Forecasts")
  fields <- .forecast_fields(object, H)
  nH <- n * H
  risk <- matrix(0, nrow(fields$phi), nH * K)
  for (s in seq_len(nrow(fields$phi))) {
    phi <- matrix(fields$phi[s, ], nH, K)
    B <- matrix(fields$beta[s, ], p, K)
    L <- .unpack(fields$Lambda[s, ], K)
    risk[s, ] <- .risk(object, X %*% B + phi %*% t(L))
  }
  a <- (1 - level) / 2
  q <- .col_quantiles(risk, c(a, 1 - a), median = TRUE)
  e <- as.vector(E)
  keep <- .pick_draws(nrow(risk), min(nrow(risk), .PREDICT_DRAWS))
  m <- risk[keep, , drop = FALSE]
  if (fam != "binomial") m <- m * rep(e, each = nrow(m))
  size <- switch(fam, binomial = e,
                 negbinomial = fields$size[keep, rep(seq_len(K), each = nH),
                                           drop = FALSE])
  known <- !is.na(e)
  cl <- cu <- rep(NA_real_, nH * K)
  if (any(known)) {
    mk <- m[, known, drop = FALSE]
    sk <- switch(fam, binomial = e[known],
                 negbinomial = size[, known, drop = FALSE])
    cl[known] <- .predictive_quantiles(mk, a, fam, sk)
    cu[known] <- .predictive_quantiles(mk, 1 - a, fam, sk)
  }
  out <- data.frame(unit = rep(object$map_units, H * K),
                    period = rep(rep(future, each = n), K),
                    outcome = rep(object$outcomes, each = nH),
                    row.names = NULL, stringsAsFactors = FALSE)
  out[[.exposure_arg(fam)]] <- e
  out$risk_mean <- colMeans(risk)
  out$risk_sd <- .col_sd(risk)
  out$risk_median <- q[, 3L]
  out$risk_lower <- q[, 1L]
  out$risk_upper <- q[, 2L]
  out$count_mean <- colMeans(risk) * e
  out$count_lower <- cl
  out$count_upper <- cu
  colnames(risk) <- paste0(.risk_name(object), "[",
                           .period_labels(object$map_units, future), ",",
                           rep(object$outcomes, each = nH), "]")
  attr(out, "risk_draws") <- risk
  out
}

# The H periods after the last of `periods`, continuing their spacing:
# numbers by their step, Dates by their step in days or, when the days
# differ but the day of the month does not, in months; the levels of a
# factor (or other text) as the last level followed by "+1", "+2", ...
.future_periods <- function(periods, H) {
  T <- length(periods)
  last <- periods[T]
  if (is.factor(periods) || is.character(periods)) {
    return(paste0(as.character(last), "+", seq_len(H)))
  }
  if (inherits(periods, "Date")) {
    if (T < 2L) return(last + seq_len(H))
    d <- diff(as.numeric(periods))
    lt <- as.POSIXlt(periods)
    if (length(unique(d)) > 1L && length(unique(lt$mday)) == 1L) {
      months <- (lt$year[T] - lt$year[T - 1L]) * 12 + lt$mon[T] -
        lt$mon[T - 1L]
      return(seq(last, by = paste(months, "months"), length.out = H + 1L)[-1L])
    }
    return(last + min(d) * seq_len(H))
  }
  step <- if (T < 2L) 1 else min(diff(periods))
  last + step * seq_len(H)
}

# A column of the data named by argument `arg` of the fit (unit, time,
# outcome, expected, trials), as the fit recorded it or, for a fit that
# did not, as its call gave it as text; or NULL.
.call_text <- function(object, arg) {
  v <- object$columns[[arg]]
  if (is.character(v)) return(v)
  v <- object$call[[arg]]
  if (is.character(v)) v else NULL
}

# The rows of `newdata` for the n H future unit-periods, unit fastest:
# matched by the fit's unit and period columns when newdata has them, or
# taken in order.  NULL without newdata.
.future_rows <- function(object, newdata, future) {
  if (is.null(newdata)) return(NULL)
  n <- .n_map_units(object); nH <- n * length(future)
  ucol <- .call_text(object, "unit"); tcol <- .call_text(object, "time")
  if (length(ucol) == 1L && length(tcol) == 1L &&
      all(c(ucol, tcol) %in% names(newdata))) {
    key <- paste(as.character(newdata[[ucol]]),
                 .period_text(newdata[[tcol]]), sep = "\r")
    want <- paste(rep(object$map_units, length(future)),
                  rep(.period_text(future), each = n), sep = "\r")
    at <- match(want, key)
    if (anyNA(at)) {
      lack <- .period_labels(object$map_units, future)[is.na(at)]
      .input_error("newdata", "has no row for unit-period(s) ",
                   .quote_names(lack), " (", length(lack), " in all); the ",
                   "forecast periods are ", .quote_names(.period_text(future)),
                   ".")
    }
    rows <- newdata[at, , drop = FALSE]
    attr(rows, "matched") <- list(key = key, data = newdata)
  } else {
    if (nrow(newdata) != nH) {
      .input_error("newdata", "has ", nrow(newdata), " rows; give one per ",
                   "map unit and forecast period (", nH, ", units fastest), ",
                   "or the fit's unit and period columns",
                   if (length(ucol) == 1L && length(tcol) == 1L)
                     paste0(" (", ucol, ", ", tcol, ")"), ".")
    }
    rows <- newdata
  }
  rownames(rows) <- NULL
  rows
}

# The design matrix of the future unit-periods.
.future_design <- function(object, rows, future) {
  nH <- .n_map_units(object) * length(future)
  if (ncol(object$X) == 1L) return(matrix(1, nH, 1L))
  if (is.null(rows)) {
    form <- object$covariate_formula
    vars <- if (inherits(form, "formula")) attr(form, "data_vars") else
      object$covariates[-1L]
    .input_error("newdata", "is needed: the fit's covariates need ",
                 paste0("`", vars, "`", collapse = ", "), " in the forecast ",
                 "periods (", .quote_names(.period_text(future)), ").")
  }
  at <- object
  at$units <- .period_labels(object$map_units, future)
  attr(rows, "matched") <- NULL
  unname(.new_design(at, rows))
}

# The expected counts (trials) of the future unit-periods, n H x K: from
# the columns of `newdata` named as in the fit's call, else the last
# period's, with a message.
.future_exposure <- function(object, rows, future) {
  n <- .n_map_units(object); H <- length(future); K <- .n_outcomes(object)
  T <- .n_periods(object)
  arg <- .exposure_arg(.family(object))
  cols <- .call_text(object, arg)
  if (!is.null(rows) && length(cols) && all(cols %in% names(rows))) {
    ocol <- .call_text(object, "outcome")
    m <- attr(rows, "matched")
    if (length(cols) == K) {
      E <- as.matrix(rows[cols])
    } else if (length(cols) == 1L && length(ocol) == 1L && !is.null(m) &&
               ocol %in% names(m$data)) {
      # One row per unit, period and outcome: each outcome's own row.
      key <- paste(m$key, as.character(m$data[[ocol]]), sep = "\r")
      want <- paste(rep(object$map_units, H),
                    rep(.period_text(future), each = n), sep = "\r")
      E <- vapply(object$outcomes, function(o) {
        as.double(m$data[[cols]][match(paste(want, o, sep = "\r"), key)])
      }, numeric(n * H))
      E <- matrix(E, n * H, K)
    } else {
      E <- NULL
    }
    if (!is.null(E)) {
      storage.mode(E) <- "double"
      if (any(E[!is.na(E)] < 0) || any(!is.finite(E[!is.na(E)]))) {
        .input_error("newdata", "has negative or infinite ", arg, ".")
      }
      return(E)
    }
  }
  message("The ", if (arg == "trials") "trials" else "expected counts",
          " of the forecast periods are the latest known of each unit (",
          "mostly the last period, ", .period_text(object$periods[T]),
          "); give them as ",
          if (length(cols)) paste0("column(s) ", paste(cols, collapse = ", "),
                                   " of ") else "columns of ",
          "`newdata` to change that.")
  # Each cell's latest known exposure: a missing count has none.
  all <- .exposure(object)
  all[matrix(.unknown_exposure(object), ncol = K)] <- NA
  E <- matrix(NA_real_, n, K)
  for (t in seq_len(T)) {
    rows <- (t - 1L) * n + seq_len(n)
    known <- !is.na(all[rows, , drop = FALSE])
    E[known] <- all[rows, , drop = FALSE][known]
  }
  E <- E[rep(seq_len(n), H), , drop = FALSE]
  dimnames(E) <- NULL
  E
}

# Draws of the fields of the H future periods, one row per stored draw
# (columns i + n (h - 1) + n H (c - 1)), with the coefficients, loadings
# and sizes of the same draws.  Each draw's innovations have the precision
# I_K x D - A x C: with A = P diag(eta) P', the columns u_k of e P are
# independent N(0, (D - eta_k C)^-1), drawn by a sparse Cholesky factor
# whose symbolic analysis is shared by every draw and field.
.forecast_fields <- function(object, H) {
  n <- .n_map_units(object); T <- .n_periods(object); K <- .n_outcomes(object)
  N <- .n_units(object)
  mp <- object$map
  C <- Matrix::sparseMatrix(j = mp$col + 1L, p = mp$row_ptr, x = mp$w,
                            dims = c(n, n))
  # One symmetric pattern holds D and C; the precision of each eta is its
  # values D - eta C written into a copy.
  Q <- Matrix::forceSymmetric(Matrix::Diagonal(x = mp$d) + C, uplo = "U")
  Q <- methods::as(Q, "CsparseMatrix")
  on_diag <- Q@i == rep(seq_len(n) - 1L, diff(Q@p))
  off <- ifelse(on_diag, 0, Q@x)
  dd <- ifelse(on_diag, Q@x, 0)
  prec <- function(eta) {
    Q@x <- dd - eta * off
    Q
  }
  factor0 <- Matrix::Cholesky(prec(0.5), LDL = FALSE, perm = TRUE)
  # The innovations of one field in the H periods, n x H.
  innovations <- function(f) {
    z <- matrix(stats::rnorm(n * H), n, H)
    as.matrix(Matrix::solve(f, Matrix::solve(f, z, system = "Lt"),
                            system = "Pt"))
  }
  last <- rep((T - 1L) * n + seq_len(n), K) + rep(N * (seq_len(K) - 1L),
                                                  each = n)
  held <- object$prior$alpha
  pick <- function(g) do.call(rbind, lapply(object$draws, function(d) {
    if (is.null(d[[g]])) return(NULL)
    d[[g]][.stored_rows(object, d), , drop = FALSE]
  }))
  A <- pick("A"); alpha <- pick("alpha")
  phi_last <- do.call(rbind, lapply(object$draws, function(d) {
    d$phi[, last, drop = FALSE]
  }))
  S <- nrow(A)
  if (is.null(alpha)) alpha <- matrix(rep_len(held, K), S, K, byrow = TRUE)
  out <- matrix(0, S, n * H * K)
  for (s in seq_len(S)) {
    Am <- .unpack(A[s, ], K)
    Am <- Am + t(Am) - diag(diag(Am), K)
    ev <- eigen(Am, symmetric = TRUE)
    # u[, h, k]: field k of the rotated innovations in period h.
    u <- vapply(ev$values, function(eta) {
      innovations(Matrix::update(factor0, prec(eta)))
    }, matrix(0, n, H))
    u <- array(u, c(n, H, K))
    phi <- matrix(phi_last[s, ], n, K)
    a <- alpha[s, ]
    for (h in seq_len(H)) {
      phi <- phi * rep(a, each = n) +
        matrix(u[, h, ], n, K) %*% t(ev$vectors)
      out[s, rep((h - 1L) * n + seq_len(n), K) +
             rep(n * H * (seq_len(K) - 1L), each = n)] <- phi
    }
  }
  list(phi = out, beta = pick("beta"), Lambda = pick("Lambda"),
       size = pick("dispersion"))
}
