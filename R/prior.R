# Priors: mcar_prior() and its print method, and the prior in the engine's
# terms once the numbers of outcomes and coefficients are known.

.ETA_LOWER <- -1.19      # default range of the association eigenvalues
.ETA_UPPER <- 0.99

#' Priors of the MCAR model
#'
#' `mcar_prior()` sets the priors that [mcar_fit()] samples under.
#'
#' @param beta_sd Prior standard deviation of the regression coefficients
#'   (intercepts and covariate effects), each normal with mean 0: `Inf` (the
#'   default) for a flat prior, one number for all, or a vector with one
#'   number per coefficient (intercept first), used for every outcome.
#' @param iw_df,iw_scale Degrees of freedom and scale of the inverse-Wishart
#'   prior of \eqn{\Lambda \Lambda'}{Lambda Lambda'}: `iw_df = NULL` means
#'   the number of outcomes K; `iw_scale` is one number s (the scale matrix
#'   s I) or a K x K symmetric positive definite matrix.
#' @param dispersion_scale For `family = "negbinomial"`: the scale s of the
#'   half-normal prior of \eqn{1 / \sqrt{\psi_r}}{1 / sqrt(psi[r])}, psi_r
#'   the size of outcome r (the count's variance is mu + mu^2 / psi_r), one
#'   positive number.  The prior is
#'   \deqn{p(\psi_r) \propto \psi_r^{-3/2} \exp\{-1 / (2 s^2
#'   \psi_r)\},}{p(psi[r]) ~ psi[r]^(-3/2) exp(-1 / (2 s^2 psi[r])),}
#'   independently per outcome: weakly informative, 95% of its mass on
#'   1 / sqrt(psi) below 2 s, its density of 1 / sqrt(psi) largest at 0,
#'   the Poisson limit (psi towards infinity).  With s = 1 the prior median
#'   of psi is about 2.2 and P(psi > 10) about 0.25; a smaller s keeps the
#'   counts closer to Poisson.
#' @param eta_upper The upper bound of the eigenvalues of the association
#'   matrix A, a number in (0, 1): each eigenvalue is uniform on (its lower
#'   bound, `eta_upper`).  Values near 1 let the fields be nearly intrinsic
#'   (strongly smooth).
#' @param alpha For fits over several periods (see the `time` argument of
#'   [mcar_fit()]): `NULL` (the default) for autoregressive coefficients
#'   \eqn{\alpha_c}{alpha_c} of the fields uniform on (-1, 1) and
#'   sampled, or one number (or one per field) in \[-1, 1\] at which they
#'   are held: `alpha = 1` makes each field a random walk in time, `alpha =
#'   0` the periods independent given the other parameters.
#' @return An object of class `"mcar_prior"`.
#' @examples
#' mcar_prior(beta_sd = 10)
#' mcar_prior(dispersion_scale = 0.5)  # closer to the Poisson
#' @export
mcar_prior <- function(beta_sd = Inf, iw_df = NULL, iw_scale = 0.3,
                       dispersion_scale = 1, eta_upper = .ETA_UPPER,
                       alpha = NULL) {
  if (!is.numeric(beta_sd) || !length(beta_sd) || anyNA(beta_sd) ||
      any(beta_sd <= 0)) {
    .input_error("beta_sd", "must be positive numbers (Inf for a flat prior).")
  }
  if (!is.null(iw_df) && (!is.numeric(iw_df) || length(iw_df) != 1L ||
                          !is.finite(iw_df) || iw_df <= 0)) {
    .input_error("iw_df", "must be NULL or one positive number.")
  }
  if (!is.numeric(iw_scale) || anyNA(iw_scale) || any(!is.finite(iw_scale))) {
    .input_error("iw_scale", "must be a positive number or a positive ",
                 "definite matrix.")
  }
  if (length(iw_scale) == 1L && iw_scale <= 0) {
    .input_error("iw_scale", "must be positive.")
  }
  if (!is.null(dim(iw_scale))) {
    if (length(dim(iw_scale)) != 2L || nrow(iw_scale) != ncol(iw_scale)) {
      .input_error("iw_scale", "must be one number or a square matrix, not ",
                   paste(dim(iw_scale), collapse = " x "), ".")
    }
    if (length(iw_scale) == 1L) {
      iw_scale <- as.vector(iw_scale)   # the number s: the scale s I
    } else if (max(abs(iw_scale - t(iw_scale))) > 1e-10 ||
               min(eigen(iw_scale, symmetric = TRUE,
                         only.values = TRUE)$values) <= 0) {
      .input_error("iw_scale", "must be a symmetric positive definite matrix.")
    } else if (!is.null(iw_df) && iw_df <= nrow(iw_scale) - 1) {
      .input_error("iw_df", "must exceed ", nrow(iw_scale) - 1, " for a ",
                   nrow(iw_scale), " x ", nrow(iw_scale), " `iw_scale`: the ",
                   "inverse-Wishart prior is improper otherwise.")
    }
  }
  if (!is.numeric(dispersion_scale) || length(dispersion_scale) != 1L ||
      !is.finite(dispersion_scale) || dispersion_scale <= 0) {
    .input_error("dispersion_scale", "must be one positive number (the ",
                 "half-normal scale of 1 / sqrt(dispersion)).")
  }
  if (!is.numeric(eta_upper) || length(eta_upper) != 1L ||
      !is.finite(eta_upper) || eta_upper <= 0 || eta_upper >= 1) {
    .input_error("eta_upper", "must be one number strictly between 0 and 1 ",
                 "(the upper bound of the association eigenvalues).")
  }
  if (!is.null(alpha) && (!is.numeric(alpha) || !length(alpha) ||
                          anyNA(alpha) || any(abs(alpha) > 1))) {
    .input_error("alpha", "must be NULL (sampled, uniform on (-1, 1)) or ",
                 "numbers in [-1, 1] at which the autoregressive ",
                 "coefficients of the fields are held.")
  }
  structure(list(beta_sd = as.double(beta_sd), iw_df = iw_df,
                 iw_scale = iw_scale,
                 dispersion_scale = as.double(dispersion_scale),
                 eta_upper = as.double(eta_upper),
                 alpha = if (!is.null(alpha)) as.double(alpha)),
            class = "mcar_prior")
}

#' @export
print.mcar_prior <- function(x, ...) {
  sd <- if (all(is.infinite(x$beta_sd))) "flat" else
    paste0("normal(0, sd = ", paste(format(x$beta_sd), collapse = ", "), ")")
  cat("Priors: coefficients ", sd, "; Lambda Lambda' ~ inverse-Wishart(df = ",
      if (is.null(x$iw_df)) "K" else format(x$iw_df), ", scale = ",
      if (length(x$iw_scale) == 1L) paste0(format(x$iw_scale), " I") else
        "matrix", ")\n", sep = "")
  cat("        1 / sqrt(dispersion) ~ half-normal(scale = ",
      format(.prior_value(x, "dispersion_scale", 1)),
      ") (negative binomial); eta < ",
      format(.prior_value(x, "eta_upper", .ETA_UPPER)), "\n", sep = "")
  cat("        autoregressive coefficients over periods: ",
      if (is.null(x$alpha)) "uniform on (-1, 1)" else
        paste("held at", paste(format(x$alpha), collapse = ", ")), "\n",
      sep = "")
  invisible(x)
}

# A setting of a prior, or its default for priors made without it.
.prior_value <- function(prior, name, default) {
  v <- prior[[name]]
  if (is.null(v)) default else as.double(v)
}

# What a prior means only once the number of outcomes K is known: the
# inverse-Wishart density of K x K matrices is proper only for df > K - 1.
.check_prior_outcomes <- function(prior, K) {
  if (!inherits(prior, "mcar_prior") || is.null(prior$iw_df)) return()
  if (prior$iw_df <= K - 1) {
    .input_error("prior", "has iw_df = ", format(prior$iw_df), ", but the ",
                 "inverse-Wishart prior of Lambda Lambda' for ", K,
                 " outcomes is a proper distribution only for iw_df > ",
                 K - 1, ".")
  }
}

# The prior in the engine's terms for K outcomes and p coefficients.
.resolve_prior <- function(prior, K, p) {
  if (is.null(prior)) prior <- mcar_prior()
  if (!inherits(prior, "mcar_prior")) {
    .input_error("prior", "must be made by mcar_prior().")
  }
  sd <- prior$beta_sd
  if (!length(sd) %in% c(1L, p)) {
    .input_error("prior", "has ", length(sd), " coefficient sd(s) for ", p,
                 " coefficients (intercept first).")
  }
  sd <- rep_len(sd, p)
  prec <- matrix(ifelse(is.infinite(sd), 0, 1 / sd^2), p, K)
  df <- if (is.null(prior$iw_df)) K else prior$iw_df
  S <- prior$iw_scale
  if (length(S) == 1L) {
    S <- diag(S, K)
  } else {
    S <- as.matrix(S)
    if (!identical(dim(S), c(K, K)) || max(abs(S - t(S))) > 1e-10 ||
        min(eigen(S, symmetric = TRUE, only.values = TRUE)$values) <= 0) {
      .input_error("prior", "needs `iw_scale` to be a symmetric positive ",
                   "definite ", K, " x ", K, " matrix.")
    }
  }
  storage.mode(S) <- "double"
  alpha <- prior$alpha
  if (!is.null(alpha) && !length(alpha) %in% c(1L, K)) {
    .input_error("prior", "has ", length(alpha), " autoregressive ",
                 "coefficients for ", K, " fields: give one, or one per field.")
  }
  list(beta_prec = prec, iw_df = as.double(df), iw_scale = unname(S),
       beta_sd = sd, alpha = if (!is.null(alpha)) rep_len(alpha, K),
       dispersion_scale = .prior_value(prior, "dispersion_scale", 1),
       eta_upper = .prior_value(prior, "eta_upper", .ETA_UPPER))
}
