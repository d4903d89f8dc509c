# Counts over periods for the tests of risks over time, forecasts and their
# pictures.

# Counts of K outcomes on an nr x nr grid over the periods `years`, one
# row per unit and year (the long form), simulated from the model: each
# field an AR(1) in time with coefficient alpha and MCAR innovations,
# mu = beta[1] + beta[2] x + phi Lambda' with a covariate x drawn anew in
# every period.
periods_long <- function(years = 2001:2005, alpha = 0.5, K = 1, nr = 5,
                         beta = c(0.1, 0.4), seed = 11) {
  local_test_seed(seed)
  n <- nr * nr
  W <- grid_adjacency(nr, names = sprintf("a%02d", seq_len(n)))
  A <- diag(0.8, K); Lambda <- diag(0.5, K)
  R <- chol(kronecker(diag(K), diag(rowSums(W))) - kronecker(A, W))
  phi <- matrix(0, n, K)
  rows <- vector("list", length(years))
  for (t in seq_along(years)) {
    e <- matrix(backsolve(R, rnorm(n * K)), n, K)
    phi <- if (t == 1L) e else phi * rep(rep_len(alpha, K), each = n) + e
    x <- rnorm(n)
    E <- matrix(runif(n * K, 10, 30), n, K)
    mu <- beta[1] + beta[2] * x + phi %*% t(Lambda)
    d <- data.frame(district = rownames(W), year = years[t], x = x)
    d[paste0("Y", seq_len(K))] <- matrix(rpois(n * K, E * exp(mu)), n, K)
    d[paste0("E", seq_len(K))] <- E
    rows[[t]] <- d
  }
  list(W = W, data = do.call(rbind, rows), years = years, K = K)
}

# A fit of periods_long() data (cached under `key`), its autoregressive
# coefficients held at `alpha` (NULL: sampled).
periods_fit <- function(key, alpha = NULL, K = 1, covariates = NULL,
                        n_sample = 1200, ...) {
  cached_fit(key, function() {
    s <- periods_long(K = K, ...)
    # The column names as text in the fit's call, as a user gives them.
    args <- list(paste0("Y", seq_len(K)), paste0("E", seq_len(K)), s$W,
                 covariates = covariates, data = s$data, unit = "district",
                 time = "year", prior = mcar_prior(alpha = alpha),
                 n_sample = n_sample, chains = 2, seed = 5, progress = FALSE)
    withCallingHandlers(do.call("mcar_fit", args), warning = function(w) {
      if (short_run_warning(w)) invokeRestart("muffleWarning")
    })
  })
}
