# Input checks for mcar_fit().  Everything the compiled sampler is given is
# checked here first: it trusts its inputs completely.

.NREGION <- 87L          # the compiled sampler is built for this many units
.ETA_LOWER <- -1.19      # range of the association eigenvalues
.ETA_UPPER <- 0.99

# Signals an error of class "mcar_input_error" whose message starts with the
# name of the offending argument.
.input_error <- function(arg, ...) {
  msg <- paste0("`", arg, "` ", ...)
  cond <- structure(
    class = c("mcar_input_error", "error", "condition"),
    list(message = msg, call = NULL, argument = arg)
  )
  stop(cond)
}

.is_whole <- function(x, tol = 1e-8) abs(x - round(x)) <= tol

# A single whole number in [lower, upper].
.check_count <- function(x, arg, lower = 0, upper = .Machine$integer.max - 1) {
  if (!is.numeric(x) || length(x) != 1L || is.na(x)) {
    .input_error(arg, "must be a single number.")
  }
  if (!is.finite(x) || !.is_whole(x)) {
    .input_error(arg, "must be a whole number, not ", format(x), ".")
  }
  if (x < lower) .input_error(arg, "must be at least ", lower, ", not ", x, ".")
  if (x > upper) .input_error(arg, "must be at most ", upper, ", not ", x, ".")
  as.integer(round(x))
}

.check_flag <- function(x, arg) {
  if (!is.logical(x) || length(x) != 1L || is.na(x)) {
    .input_error(arg, "must be TRUE or FALSE.")
  }
  x
}

.describe_units <- function(idx, names) {
  shown <- head(idx, 5L)
  lab <- if (is.null(names)) as.character(shown) else
    paste0(shown, " (", names[shown], ")")
  more <- if (length(idx) > 5L) sprintf(" and %d more", length(idx) - 5L) else ""
  paste0(paste(lab, collapse = ", "), more)
}

# ---- counts and expected counts -------------------------------------------

# Turns counts or expected counts (a matrix, a data frame, or column names
# of `data`) into a numeric 87 x 3 matrix.
.outcome_matrix <- function(x, arg, data) {
  if (is.character(x) && is.null(dim(x))) {
    if (is.null(data)) {
      .input_error(arg, "is a character vector of column names, but no ",
                   "`data` was given.")
    }
    if (length(x) != 3L) {
      .input_error(arg, "must name 3 columns of `data` (one per outcome), ",
                   "not ", length(x), ".")
    }
    missing <- setdiff(x, names(data))
    if (length(missing)) {
      .input_error(arg, "names column(s) not found in `data`: ",
                   paste(missing, collapse = ", "), ".")
    }
    x <- data[x]
  }
  if (is.data.frame(x)) {
    bad <- !vapply(x, function(col) is.numeric(col) || is.logical(col),
                   logical(1))
    if (any(bad)) {
      .input_error(arg, "has non-numeric column(s): ",
                   paste(names(x)[bad], collapse = ", "), ".")
    }
    x <- as.matrix(x)
  }
  if (!is.matrix(x)) {
    .input_error(arg, "must be an 87 x 3 matrix or data frame (units in rows, ",
                 "outcomes in columns), not ",
                 if (is.null(x)) "NULL" else paste0("a ", class(x)[1L],
                                                   " of length ", length(x)),
                 ".")
  }
  if (!(is.numeric(x) || is.logical(x))) {
    .input_error(arg, "must be numeric, not ", typeof(x), ".")
  }
  if (nrow(x) != .NREGION || ncol(x) != 3L) {
    .input_error(arg, "must have ", .NREGION, " rows (one per areal unit) and ",
                 "3 columns (one per outcome), not ", nrow(x), " x ", ncol(x),
                 ".")
  }
  storage.mode(x) <- "double"
  x
}

# Shared by counts and expected counts: no missing, infinite or negative
# entries, each reported with the first unit and outcome where it occurs.
.check_finite_nonneg <- function(X, arg) {
  if (anyNA(X)) {
    at <- which(is.na(X), arr.ind = TRUE)[1L, ]
    .input_error(arg, "has missing values (first at unit ", at[1L],
                 ", outcome ", at[2L], ").")
  }
  if (any(!is.finite(X))) .input_error(arg, "has infinite values.")
  if (any(X < 0)) {
    at <- which(X < 0, arr.ind = TRUE)[1L, ]
    .input_error(arg, "must be non-negative; unit ", at[1L], ", outcome ",
                 at[2L], " is ", X[at[1L], at[2L]], ".")
  }
  invisible(X)
}

.check_counts <- function(Y, arg = "counts", units = NULL) {
  .check_finite_nonneg(Y, arg)
  if (any(!.is_whole(Y))) {
    at <- which(!.is_whole(Y), arr.ind = TRUE)[1L, ]
    .input_error(arg, "must be whole numbers (counts); unit ", at[1L],
                 ", outcome ", at[2L], " is ", format(Y[at[1L], at[2L]]), ".")
  }
  empty <- which(colSums(Y) == 0)
  if (length(empty)) {
    .input_error(arg, "has no events at all for outcome(s) ",
                 paste(empty, collapse = ", "), "; the intercept of such an ",
                 "outcome has an improper posterior under its flat prior.")
  }
  round(Y)
}

.check_expected <- function(N, Y, arg = "expected") {
  .check_finite_nonneg(N, arg)
  zero <- N == 0 & Y > 0
  if (any(zero)) {
    at <- which(zero, arr.ind = TRUE)[1L, ]
    .input_error(arg, "is 0 where `counts` is positive (unit ", at[1L],
                 ", outcome ", at[2L], "); a positive count needs a positive ",
                 "expected count.")
  }
  N
}

# ---- the map --------------------------------------------------------------

# Adjacency matrix from a matrix, data frame, sparse matrix, spdep `nb` or
# `listw` object; no check beyond what the conversion needs.
.adjacency_matrix <- function(W, arg = "W") {
  if (inherits(W, "listw")) return(.nb_matrix(W$neighbours, W$weights, arg))
  if (inherits(W, "nb")) return(.nb_matrix(W, NULL, arg))
  if (is.data.frame(W)) W <- as.matrix(W)
  if (inherits(W, "Matrix")) W <- as.matrix(W)
  if (!is.matrix(W) || !(is.numeric(W) || is.logical(W))) {
    .input_error(arg, "must be a numeric 87 x 87 adjacency matrix or an ",
                 "spdep `nb` object, not ",
                 if (is.null(W)) "NULL" else paste0("a ", class(W)[1L]), ".")
  }
  storage.mode(W) <- "double"
  W
}

# The matrix of an spdep neighbour list: row i holds `weights[[i]]` (1 when
# there are no weights) in the columns of unit i's neighbours; spdep marks a
# unit without neighbours by the single index 0.
.nb_matrix <- function(nb, weights, arg) {
  if (length(nb) != .NREGION) {
    .input_error(arg, "must describe ", .NREGION, " areal units, not ",
                 length(nb), ".")
  }
  M <- matrix(0, .NREGION, .NREGION)
  for (i in seq_along(nb)) {
    j <- nb[[i]]
    if (!is.numeric(j) || anyNA(j) || any(j < 0 | j > .NREGION) ||
        any(!.is_whole(j))) {
      .input_error(arg, "is an `nb` object with invalid neighbour indices ",
                   "for unit ", i, ".")
    }
    keep <- j > 0
    if (any(keep)) {
      M[i, j[keep]] <- if (is.null(weights)) 1 else weights[[i]][keep]
    }
  }
  ids <- attr(nb, "region.id")
  if (!is.null(ids)) dimnames(M) <- list(as.character(ids), as.character(ids))
  M
}

# Checks the adjacency matrix and forms what the sampler needs from it: D
# (row sums on the diagonal), C (= W) and the eigenvalues of
# D^-1/2 C D^-1/2 in ascending order.
.check_map <- function(W, arg = "W") {
  W <- .adjacency_matrix(W, arg)
  if (nrow(W) != ncol(W)) {
    .input_error(arg, "must be a square matrix, not ", nrow(W), " x ",
                 ncol(W), ".")
  }
  if (nrow(W) != .NREGION) {
    .input_error(arg, "must be ", .NREGION, " x ", .NREGION, " (the sampler ",
                 "is built for ", .NREGION, " areal units), not ", nrow(W),
                 " x ", ncol(W), ".")
  }
  if (anyNA(W)) .input_error(arg, "has missing values.")
  if (any(!is.finite(W))) .input_error(arg, "has infinite values.")
  if (any(W < 0)) {
    at <- which(W < 0, arr.ind = TRUE)[1L, ]
    .input_error(arg, "must have no negative entries; W[", at[1L], ", ",
                 at[2L], "] is ", W[at[1L], at[2L]], ".")
  }
  if (any(diag(W) != 0)) {
    .input_error(arg, "must have a zero diagonal (a unit is not its own ",
                 "neighbour); unit ", which(diag(W) != 0)[1L], " is not.")
  }
  asym <- abs(W - t(W)) > 1e-10 * max(1, max(W))
  if (any(asym)) {
    at <- which(asym, arr.ind = TRUE)[1L, ]
    .input_error(arg, "must be symmetric; W[", at[1L], ", ", at[2L], "] = ",
                 W[at[1L], at[2L]], " but W[", at[2L], ", ", at[1L], "] = ",
                 W[at[2L], at[1L]], ".")
  }
  W <- (W + t(W)) / 2
  d <- rowSums(W)
  lonely <- which(d == 0)
  if (length(lonely)) {
    .input_error(arg, "leaves unit(s) ", .describe_units(lonely, rownames(W)),
                 " without neighbours; every unit needs at least one.")
  }
  s <- 1 / sqrt(d)
  S <- W * outer(s, s)
  lambda <- sort(eigen(S, symmetric = TRUE, only.values = TRUE)$values)
  list(C = unname(W), D = diag(d), eigen = lambda, units = rownames(W))
}

# ---- starting values ------------------------------------------------------

.init_names <- c("gbeta", "phi", "lamda", "eta", "theta")

.check_numeric <- function(x, arg, len) {
  if (!is.numeric(x) || length(x) != len) {
    .input_error(arg, "must be a numeric vector of length ", len, ", not ",
                 if (is.numeric(x)) paste("length", length(x)) else class(x)[1L],
                 ".")
  }
  if (any(!is.finite(x))) .input_error(arg, "must be finite.")
  as.double(x)
}

# Loadings as the vector lamda1..lamda6 from a vector or from the upper
# triangular loading matrix (rows: outcomes, columns: fields).
.loading_vector <- function(x, arg) {
  if (is.matrix(x)) {
    if (!is.numeric(x) || !identical(dim(x), c(3L, 3L))) {
      .input_error(arg, "must be a numeric vector of length 6 or a 3 x 3 ",
                   "upper triangular loading matrix.")
    }
    if (any(!is.finite(x))) .input_error(arg, "must be finite.")
    if (any(x[lower.tri(x)] != 0)) {
      .input_error(arg, "must be upper triangular (outcome 2 does not load ",
                   "on field 1, outcome 3 only on field 3).")
    }
    x <- c(x[1, 1], x[1, 2], x[1, 3], x[2, 2], x[2, 3], x[3, 3])
  }
  x <- .check_numeric(x, arg, 6L)
  diag_pos <- c(1L, 4L, 6L)
  if (any(x[diag_pos] <= 0)) {
    .input_error(arg, "must have a positive diagonal (lamda1, lamda4, ",
                 "lamda6), not ", paste(format(x[diag_pos]), collapse = ", "),
                 ".")
  }
  x
}

.check_eta <- function(x, arg, lambda) {
  x <- .check_numeric(x, arg, 3L)
  if (any(x <= .ETA_LOWER | x >= .ETA_UPPER)) {
    .input_error(arg, "must lie in (", .ETA_LOWER, ", ", .ETA_UPPER, "), not ",
                 paste(format(x), collapse = ", "), ".")
  }
  worst <- outer(x, lambda, function(e, l) 1 - e * l)
  if (any(worst <= 0)) {
    k <- which(apply(worst, 1L, min) <= 0)[1L]
    .input_error(arg, "makes the prior improper: 1 - eta[", k, "] * lambda ",
                 "must be positive for every eigenvalue lambda of ",
                 "D^-1/2 W D^-1/2 (range ", format(min(lambda), digits = 4),
                 " to ", format(max(lambda), digits = 4), "), but eta[", k,
                 "] = ", x[k], ".")
  }
  x
}

.check_theta <- function(x, arg) {
  x <- .check_numeric(x, arg, 3L)
  if (any(x <= -1 | x >= 1)) {
    .input_error(arg, "must lie in (-1, 1) (angles in units of pi/2), not ",
                 paste(format(x), collapse = ", "), ".")
  }
  x
}

.check_phi <- function(x, arg) {
  if (is.data.frame(x)) x <- as.matrix(x)
  if (is.list(x) && !is.matrix(x) && length(x) == 3L) x <- do.call(cbind, x)
  if (!is.matrix(x) || !is.numeric(x) ||
      !identical(dim(x), c(.NREGION, 3L))) {
    .input_error(arg, "must be a numeric ", .NREGION, " x 3 matrix (one ",
                 "column per field).")
  }
  if (any(!is.finite(x))) .input_error(arg, "must be finite.")
  storage.mode(x) <- "double"
  unname(x)
}

# Completes and checks one chain's starting values against the defaults.
.check_init_one <- function(init, default, arg, lambda) {
  if (is.null(init)) return(default)
  if (!is.list(init)) {
    .input_error(arg, "must be a list with elements among ",
                 paste(.init_names, collapse = ", "), ".")
  }
  if (length(init) && (is.null(names(init)) || any(!nzchar(names(init))))) {
    .input_error(arg, "must be a named list.")
  }
  unknown <- setdiff(names(init), .init_names)
  if (length(unknown)) {
    .input_error(arg, "has unknown element(s) ",
                 paste(unknown, collapse = ", "), "; known are ",
                 paste(.init_names, collapse = ", "), ".")
  }
  out <- default
  sub <- function(el) paste0(arg, "$", el)
  if (!is.null(init$gbeta)) out$gbeta <- .check_numeric(init$gbeta,
                                                        sub("gbeta"), 3L)
  if (!is.null(init$phi)) out$phi <- .check_phi(init$phi, sub("phi"))
  if (!is.null(init$lamda)) out$lamda <- .loading_vector(init$lamda,
                                                        sub("lamda"))
  if (!is.null(init$eta)) out$eta <- .check_eta(init$eta, sub("eta"), lambda)
  if (!is.null(init$theta)) out$theta <- .check_theta(init$theta,
                                                     sub("theta"))
  out
}

# `init` may be NULL, one list for every chain, a list of such lists (one per
# chain), or a function of the chain number returning such a list.
.check_init <- function(init, defaults, lambda) {
  chains <- length(defaults)
  if (is.null(init)) return(defaults)
  if (is.function(init)) {
    return(lapply(seq_len(chains), function(k) {
      .check_init_one(init(k), defaults[[k]], sprintf("init(%d)", k), lambda)
    }))
  }
  if (!is.list(init)) {
    .input_error("init", "must be NULL, a list of starting values, a list ",
                 "of such lists (one per chain) or a function of the chain ",
                 "number.")
  }
  per_chain <- length(init) > 0L && is.null(names(init)) &&
    all(vapply(init, function(el) is.null(el) || is.list(el), logical(1)))
  if (per_chain) {
    if (length(init) != chains) {
      .input_error("init", "has ", length(init), " per-chain lists for ",
                   chains, " chain(s).")
    }
    return(lapply(seq_len(chains), function(k) {
      .check_init_one(init[[k]], defaults[[k]], sprintf("init[[%d]]", k),
                      lambda)
    }))
  }
  lapply(seq_len(chains), function(k) {
    .check_init_one(init, defaults[[k]], "init", lambda)
  })
}

# ---- proposal scales ------------------------------------------------------

.scale_names <- c("gbeta", "phi", "lamda_diag", "lamda_off", "eta", "theta")

.default_scales <- function() {
  list(gbeta = rep(0.02, 3), phi = matrix(0.3, .NREGION, 3),
       lamda_diag = rep(0.1, 3), lamda_off = rep(0.05, 3),
       eta = rep(0.3, 3), theta = rep(0.3, 3))
}

.check_scale_one <- function(scales, arg) {
  out <- .default_scales()
  if (is.null(scales)) return(out)
  if (!is.list(scales) || (length(scales) &&
                           (is.null(names(scales)) ||
                            any(!nzchar(names(scales)))))) {
    .input_error(arg, "must be a named list with elements among ",
                 paste(.scale_names, collapse = ", "), ".")
  }
  unknown <- setdiff(names(scales), .scale_names)
  if (length(unknown)) {
    .input_error(arg, "has unknown element(s) ",
                 paste(unknown, collapse = ", "), "; known are ",
                 paste(.scale_names, collapse = ", "), ".")
  }
  positive <- function(x, a) {
    if (!is.numeric(x) || any(!is.finite(x)) || any(x <= 0)) {
      .input_error(a, "must be positive and finite.")
    }
  }
  for (el in names(scales)) {
    x <- scales[[el]]
    a <- paste0(arg, "$", el)
    positive(x, a)
    if (el == "phi") {
      if (is.data.frame(x)) x <- as.matrix(x)
      if (length(x) == 1L) {
        x <- matrix(x, .NREGION, 3)
      } else if (!is.matrix(x) && length(x) == 3L) {
        x <- matrix(x, .NREGION, 3, byrow = TRUE)
      } else if (!is.matrix(x) || !identical(dim(x), c(.NREGION, 3L))) {
        .input_error(a, "must be one number, 3 numbers (one per field) or ",
                     "an ", .NREGION, " x 3 matrix.")
      }
      storage.mode(x) <- "double"
      out$phi <- unname(x)
    } else {
      if (!length(x) %in% c(1L, 3L) || is.matrix(x)) {
        .input_error(a, "must be one number or 3 numbers, not ", length(x),
                     ".")
      }
      out[[el]] <- rep_len(as.double(x), 3L)
    }
  }
  out
}

# `scales` may be NULL, one list for every chain or a list of per-chain
# lists (such as the `scales` element of a fit).
.check_scales <- function(scales, chains) {
  if (is.null(scales)) return(rep(list(.default_scales()), chains))
  if (!is.list(scales)) {
    .input_error("scales", "must be NULL, a named list of proposal scales ",
                 "or a list of such lists (one per chain).")
  }
  per_chain <- length(scales) > 0L &&
    all(vapply(scales, is.list, logical(1))) &&
    (is.null(names(scales)) || all(grepl("^chain[0-9]+$", names(scales))))
  if (per_chain) {
    if (length(scales) != chains) {
      .input_error("scales", "has ", length(scales), " per-chain lists for ",
                   chains, " chain(s).")
    }
    return(lapply(seq_len(chains), function(k) {
      .check_scale_one(scales[[k]], sprintf("scales[[%d]]", k))
    }))
  }
  one <- .check_scale_one(scales, "scales")
  rep(list(one), chains)
}

# ---- run settings ---------------------------------------------------------

.check_run_size <- function(n_sample, burnin, thin, chains) {
  n_sample <- .check_count(n_sample, "n_sample", lower = 1)
  burnin <- .check_count(burnin, "burnin", lower = 0)
  if (burnin >= n_sample) {
    .input_error("burnin", "must be smaller than `n_sample` (the total ",
                 "number of sweeps, burn-in included); got burnin = ", burnin,
                 " and n_sample = ", n_sample, ".")
  }
  m <- n_sample - burnin
  if (as.double(m) * .NREGION >= .Machine$integer.max) {
    .input_error("n_sample", "leaves ", m, " stored sweeps per chain; ",
                 .NREGION, " x that must stay below ", .Machine$integer.max,
                 " (at most ", floor((.Machine$integer.max - 1) / .NREGION),
                 " stored sweeps).")
  }
  thin <- .check_count(thin, "thin", lower = 1)
  if (thin > m) {
    .input_error("thin", "is larger than the number of stored sweeps (",
                 m, "); no draw would be kept.")
  }
  chains <- .check_count(chains, "chains", lower = 1, upper = 1000)
  list(n_sample = n_sample, burnin = burnin, thin = thin, chains = chains)
}

.check_seed <- function(seed) {
  if (is.null(seed)) return(NULL)
  if (!is.numeric(seed) || length(seed) != 1L || !is.finite(seed) ||
      !.is_whole(seed) || abs(seed) > .Machine$integer.max) {
    .input_error("seed", "must be NULL or a single whole number.")
  }
  as.integer(round(seed))
}

.check_log_file <- function(log_file) {
  if (is.null(log_file)) return(NULL)
  if (!is.character(log_file) || length(log_file) != 1L || is.na(log_file) ||
      !nzchar(log_file)) {
    .input_error("log_file", "must be NULL or a single file path.")
  }
  path <- path.expand(log_file)
  if (dir.exists(path)) .input_error("log_file", "is a directory: ", path, ".")
  dir <- dirname(path)
  if (!dir.exists(dir)) {
    .input_error("log_file", "is in a directory that does not exist: ", dir,
                 ".")
  }
  if (file.access(dir, 2L) != 0L) {
    .input_error("log_file", "is in a directory that cannot be written: ",
                 dir, ".")
  }
  normalizePath(path, mustWork = FALSE)
}

.check_units <- function(units, map_units, data_units) {
  if (is.null(units)) {
    units <- map_units
    if (is.null(units)) units <- data_units
    if (is.null(units) || anyDuplicated(units)) {
      units <- as.character(seq_len(.NREGION))
    }
    return(units)
  }
  if (!(is.character(units) || is.numeric(units) || is.factor(units)) ||
      length(units) != .NREGION || anyNA(units)) {
    .input_error("units", "must give ", .NREGION, " unit names.")
  }
  units <- as.character(units)
  if (anyDuplicated(units)) .input_error("units", "must be unique.")
  units
}
