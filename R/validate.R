# Input checks for mcar_fit().  Everything the compiled sampler is given is
# checked here first: it trusts its inputs completely.

.ETA_LOWER <- -1.19      # default range of the association eigenvalues
.ETA_UPPER <- 0.99
.MAX_OUTCOMES <- 8L

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

# The unit names an input carries, or NULL when it carries none.  Any names
# count, whole-number ids such as "1".."n" too; missing, empty and repeated
# names are errors, since they cannot say which unit a row belongs to.
.unit_names <- function(x, arg) {
  if (is.null(x)) return(NULL)
  x <- as.character(x)
  bad <- which(is.na(x) | !nzchar(x))
  if (length(bad)) {
    .input_error(arg, "has missing or empty unit names (at row(s) ",
                 .describe_units(bad, NULL), "); name every unit or none.")
  }
  dup <- unique(x[duplicated(x)])
  if (length(dup)) {
    .input_error(arg, "has repeated unit names: ",
                 paste(head(dup, 5L), collapse = ", "),
                 if (length(dup) > 5L) ", ...",
                 "; every unit needs a name of its own.")
  }
  x
}

# Row names of a data frame (sf included) unless they are the automatic
# 1..n that R gives a table read without names.
.frame_row_names <- function(x) {
  if (.row_names_info(x) > 0L) rownames(x) else NULL
}

# ---- counts and expected counts -------------------------------------------

# Turns counts or expected counts (a matrix, a data frame, a vector for one
# outcome, or column names of `data`) into a numeric n x K matrix.
.outcome_matrix <- function(x, arg, data) {
  if (is.character(x) && is.null(dim(x))) {
    if (is.null(data)) {
      .input_error(arg, "is a character vector of column names, but no ",
                   "`data` was given.")
    }
    missing <- setdiff(x, names(data))
    if (length(missing)) {
      .input_error(arg, "names column(s) not found in `data`: ",
                   paste(missing, collapse = ", "), ".")
    }
    # as.data.frame() first: an sf table keeps its geometry column in [.
    x <- as.data.frame(data)[x]
    rownames(x) <- .frame_row_names(data)
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
  if (is.null(dim(x)) && (is.numeric(x) || is.logical(x)) && length(x) > 0L) {
    nm <- names(x)
    x <- matrix(x, ncol = 1L, dimnames = list(nm, NULL))
  }
  if (!is.matrix(x)) {
    .input_error(arg, "must be a matrix or data frame (units in rows, ",
                 "outcomes in columns), not ",
                 if (is.null(x)) "NULL" else paste0("a ", class(x)[1L]), ".")
  }
  if (!(is.numeric(x) || is.logical(x))) {
    .input_error(arg, "must be numeric, not ", typeof(x), ".")
  }
  if (ncol(x) < 1L || ncol(x) > .MAX_OUTCOMES) {
    .input_error(arg, "must have 1 to ", .MAX_OUTCOMES, " columns (one per ",
                 "outcome), not ", ncol(x), ".")
  }
  storage.mode(x) <- "double"
  x
}

.first_at <- function(mask) {
  at <- which(mask, arr.ind = TRUE)
  if (is.null(dim(at))) c(at[1L], 1L) else at[1L, ]
}

# Counts: NA marks a missing (for example suppressed) count, which is left
# out of the likelihood; the rest must be non-negative whole numbers.
.check_counts <- function(Y, arg = "counts") {
  obs <- !is.na(Y)
  if (any(is.nan(Y)) || any(is.infinite(Y))) {
    .input_error(arg, "has infinite or NaN values; use NA for a missing count.")
  }
  if (any(Y[obs] < 0)) {
    at <- .first_at(obs & Y < 0)
    .input_error(arg, "must be non-negative; unit ", at[1L], ", outcome ",
                 at[2L], " is ", Y[at[1L], at[2L]], ".")
  }
  if (any(!.is_whole(Y[obs]))) {
    at <- .first_at(obs & !.is_whole(Y))
    .input_error(arg, "must be whole numbers (counts); unit ", at[1L],
                 ", outcome ", at[2L], " is ", format(Y[at[1L], at[2L]]), ".")
  }
  unseen <- which(colSums(obs) == 0)
  if (length(unseen)) {
    .input_error(arg, "has no observed count for outcome(s) ",
                 paste(unseen, collapse = ", "), ": every count is missing, ",
                 "so the data say nothing about such an outcome.")
  }
  empty <- which(colSums(Y, na.rm = TRUE) == 0)
  if (length(empty)) {
    .input_error(arg, "has no events at all for outcome(s) ",
                 paste(empty, collapse = ", "), "; the intercept of such an ",
                 "outcome has an improper posterior under its flat prior.")
  }
  round(Y)
}

# The likelihood family, one for every outcome.
.check_family <- function(family) {
  choices <- c("poisson", "binomial", "negbinomial")
  if (!is.character(family) || !length(family) || anyNA(family)) {
    .input_error("family", "must be one of \"poisson\", \"binomial\" or ",
                 "\"negbinomial\".")
  }
  if (identical(family, choices)) return("poisson")
  if (length(family) != 1L || !family %in% choices) {
    .input_error("family", "must be one of \"poisson\", \"binomial\" or ",
                 "\"negbinomial\", not ",
                 paste0("\"", family, "\"", collapse = ", "), ".")
  }
  family
}

# Binomial trials: whole numbers, at least the counts; NA only where the
# count is missing.
.check_trials <- function(N, Y, arg = "trials") {
  if (!identical(dim(N), dim(Y))) {
    .input_error(arg, "must have the same shape as `counts` (", nrow(Y),
                 " x ", ncol(Y), "), not ", nrow(N), " x ", ncol(N), ".")
  }
  bad <- is.na(N) & !is.na(Y)
  if (any(bad)) {
    at <- .first_at(bad)
    .input_error(arg, "is missing where the count is not (unit ", at[1L],
                 ", outcome ", at[2L], "); NA trials go with NA counts only.")
  }
  ok <- !is.na(N)
  if (any(!is.finite(N[ok]))) .input_error(arg, "has infinite values.")
  if (any(N[ok] < 0 | !.is_whole(N[ok]))) {
    at <- .first_at(ok & (N < 0 | !.is_whole(N)))
    .input_error(arg, "must be non-negative whole numbers; unit ", at[1L],
                 ", outcome ", at[2L], " is ", format(N[at[1L], at[2L]]), ".")
  }
  over <- !is.na(Y) & ok & Y > N
  if (any(over)) {
    at <- .first_at(over)
    .input_error(arg, "must be at least the counts; unit ", at[1L],
                 ", outcome ", at[2L], " has ", Y[at[1L], at[2L]],
                 " events in ", N[at[1L], at[2L]], " trials.")
  }
  N[!ok] <- 0
  round(N)
}

.check_expected <- function(E, Y, arg = "expected") {
  if (!identical(dim(E), dim(Y))) {
    .input_error(arg, "must have the same shape as `counts` (", nrow(Y),
                 " x ", ncol(Y), "), not ", nrow(E), " x ", ncol(E), ".")
  }
  need <- !is.na(Y)
  if (anyNA(E)) {
    at <- .first_at(is.na(E))
    .input_error(arg, "has missing values (first at unit ", at[1L],
                 ", outcome ", at[2L], "); expected counts are needed ",
                 "everywhere, also where the count is missing.")
  }
  if (any(is.infinite(E))) .input_error(arg, "has infinite values.")
  if (any(E < 0, na.rm = TRUE)) {
    at <- .first_at(!is.na(E) & E < 0)
    .input_error(arg, "must be non-negative; unit ", at[1L], ", outcome ",
                 at[2L], " is ", E[at[1L], at[2L]], ".")
  }
  zero <- need & E == 0 & Y > 0
  if (any(zero, na.rm = TRUE)) {
    at <- .first_at(!is.na(zero) & zero)
    .input_error(arg, "is 0 where `counts` is positive (unit ", at[1L],
                 ", outcome ", at[2L], "); a positive count needs a positive ",
                 "expected count.")
  }
  E
}

# ---- covariates -----------------------------------------------------------

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

# ---- the map --------------------------------------------------------------

# Weights as a sparse symmetric matrix from a matrix, data frame, Matrix,
# spdep `nb` or `listw` object, or sf polygons; unit names where the object
# has them.
.adjacency_matrix <- function(W, arg = "W", snap = NULL, queen = TRUE) {
  if (inherits(W, "sf") || inherits(W, "sfc")) {
    return(.sf_matrix(W, arg, snap, queen))
  }
  if (inherits(W, "listw")) {
    style <- if (!is.null(W$style)) W$style else attr(W, "style")
    if (!is.null(style) && style %in% c("W", "S")) {
      .input_error(arg, "is a `listw` of style \"", style, "\", whose ",
                   "weights are standardised row by row and so not ",
                   "symmetric; the MCAR prior needs symmetric weights: pass ",
                   "its neighbour list (`", arg, "$neighbours`) or a `listw` ",
                   "of style \"B\".")
    }
    return(.nb_matrix(W$neighbours, W$weights, arg))
  }
  if (inherits(W, "nb")) return(.nb_matrix(W, NULL, arg))
  if (is.data.frame(W)) W <- as.matrix(W)
  if (inherits(W, "Matrix")) {
    M <- methods::as(methods::as(W, "CsparseMatrix"), "generalMatrix")
    M <- methods::as(M, "dMatrix")
    return(list(W = M, units = rownames(W)))
  }
  if (!is.matrix(W) || !(is.numeric(W) || is.logical(W))) {
    .input_error(arg, "must be a numeric adjacency matrix, a sparse Matrix, ",
                 "an spdep `nb` or `listw` object or sf polygons, not ",
                 if (is.null(W)) "NULL" else paste0("a ", class(W)[1L]), ".")
  }
  storage.mode(W) <- "double"
  list(W = W, units = rownames(W))
}

# The matrix of an spdep neighbour list: row i holds `weights[[i]]` (1 when
# there are no weights) in the columns of unit i's neighbours; spdep marks a
# unit without neighbours by the single index 0.
.nb_matrix <- function(nb, weights, arg) {
  n <- length(nb)
  i_all <- integer(); j_all <- integer(); w_all <- double()
  for (i in seq_len(n)) {
    j <- nb[[i]]
    if (!is.numeric(j) || anyNA(j) || any(j < 0 | j > n) ||
        any(!.is_whole(j))) {
      .input_error(arg, "is an `nb` object with invalid neighbour indices ",
                   "for unit ", i, ".")
    }
    keep <- j > 0
    if (any(keep)) {
      i_all <- c(i_all, rep(i, sum(keep)))
      j_all <- c(j_all, as.integer(j[keep]))
      w_all <- c(w_all, if (is.null(weights)) rep(1, sum(keep)) else
        as.double(weights[[i]][keep]))
    }
  }
  ids <- attr(nb, "region.id")
  ids <- if (is.null(ids)) NULL else as.character(ids)
  M <- Matrix::sparseMatrix(i = i_all, j = j_all, x = w_all, dims = c(n, n),
                            dimnames = list(ids, ids))
  list(W = M, units = ids)
}

# Neighbours of sf polygons by shared boundary (queen: a shared point is
# enough; rook: a shared edge), through spdep.
.sf_matrix <- function(x, arg, snap, queen) {
  for (pkg in c("sf", "spdep")) {
    if (!requireNamespace(pkg, quietly = TRUE)) {
      stop("package '", pkg, "' is needed to use sf polygons as `", arg, "`",
           call. = FALSE)
    }
  }
  geom <- sf::st_geometry(x)
  if (!all(sf::st_geometry_type(geom) %in% c("POLYGON", "MULTIPOLYGON"))) {
    .input_error(arg, "must hold polygons when it is an sf object.")
  }
  ids <- if (inherits(x, "sf")) .frame_row_names(x)
  empty <- which(sf::st_is_empty(geom))
  if (length(empty)) {
    .input_error(arg, "has empty polygons for unit(s) ",
                 .describe_units(empty, ids), "; every unit needs its ",
                 "polygon.")
  }
  args <- list(geom, queen = queen)
  if (!is.null(snap)) args$snap <- snap
  if (length(geom) > 5000L) {
    message("Finding the neighbours of ", format(length(geom), big.mark = ","),
            " polygons (shared boundaries)...")
  }
  nb <- tryCatch(suppressWarnings(do.call(spdep::poly2nb, args)),
                 error = function(e) .polygon_error(geom, ids, arg, e))
  out <- .nb_matrix(nb, NULL, arg)
  if (!is.null(ids)) {
    dimnames(out$W) <- list(ids, ids)
    out$units <- ids
  } else {
    dimnames(out$W) <- list(NULL, NULL)
    out$units <- NULL
  }
  out$geometry <- geom
  out
}

# Why the shared boundaries of polygons could not be found: the units whose
# polygons are not valid (self-crossing rings, for example) and the remedy.
.polygon_error <- function(geom, ids, arg, e) {
  valid <- tryCatch(sf::st_is_valid(geom), error = function(e2) NULL)
  bad <- if (is.null(valid)) integer() else which(!valid %in% TRUE)
  longlat <- isTRUE(sf::st_is_longlat(geom))
  .input_error(arg, "has polygons whose shared boundaries cannot be found",
               if (length(bad)) paste0("; unit(s) ", .describe_units(bad, ids),
                                       " are not valid polygons"),
               " (", conditionMessage(e), "). Repair them with ",
               "sf::st_make_valid()",
               if (longlat) paste0(" or work in a planar projection ",
                                   "(sf::st_transform())"), ".")
}

# Checks the weights and forms what the sampler needs: compressed rows of C
# and the diagonal D of the prior's precision (row sums of C, 1 for a unit
# without neighbours).  Units without neighbours (islands) are kept as they
# are, with an independent N(0, I) prior, or, with islands = "nearest" and
# polygons, linked to the unit whose centroid is nearest.  Nothing here is
# of size n x n (a dense `W` is converted).
.check_map <- function(W, arg = "W", snap = NULL, queen = TRUE,
                       islands = "independent") {
  a <- .adjacency_matrix(W, arg, snap, queen)
  M <- a$W
  n <- nrow(M)
  if (n != ncol(M)) {
    .input_error(arg, "must be a square matrix, not ", nrow(M), " x ",
                 ncol(M), ".")
  }
  if (n < 3L) .input_error(arg, "must describe at least 3 areal units, not ", n, ".")
  T <- methods::as(methods::as(Matrix::Matrix(M, sparse = TRUE),
                               "generalMatrix"), "TsparseMatrix")
  ti <- T@i + 1L; tj <- T@j + 1L; tx <- T@x
  nzero <- tx != 0
  ti <- ti[nzero]; tj <- tj[nzero]; tx <- tx[nzero]
  if (anyNA(tx)) .input_error(arg, "has missing values.")
  if (any(!is.finite(tx))) .input_error(arg, "has infinite values.")
  if (any(tx < 0)) {
    k <- which(tx < 0)[1L]
    .input_error(arg, "must have no negative entries; W[", ti[k], ", ",
                 tj[k], "] is ", tx[k], ".")
  }
  if (any(ti == tj)) {
    .input_error(arg, "must have a zero diagonal (a unit is not its own ",
                 "neighbour); unit ", ti[ti == tj][1L], " is not.")
  }
  C <- Matrix::sparseMatrix(i = ti, j = tj, x = tx, dims = c(n, n))
  asym <- Matrix::summary(C - Matrix::t(C))
  tol <- 1e-10 * max(1, max(tx, 0))
  bad <- asym[abs(asym$x) > tol, , drop = FALSE]
  if (nrow(bad)) {
    i <- bad$i[1L]; j <- bad$j[1L]
    .input_error(arg, "must be symmetric; W[", i, ", ", j, "] = ", C[i, j],
                 " but W[", j, ", ", i, "] = ", C[j, i], ".")
  }
  C <- (C + Matrix::t(C)) / 2
  C <- methods::as(C, "CsparseMatrix")
  links <- NULL
  lonely <- which(Matrix::rowSums(C) == 0)
  if (identical(islands, "nearest") && length(lonely)) {
    if (is.null(a$geometry)) {
      .input_error("islands", "= \"nearest\" needs polygons: pass `W` as sf ",
                   "polygons, or link the islands in `W` yourself.")
    }
    links <- .nearest_links(a$geometry, lonely, a$units)
    C <- C + Matrix::sparseMatrix(i = c(links$from, links$to),
                                  j = c(links$to, links$from), x = 1,
                                  dims = c(n, n))
    C <- methods::as(C, "CsparseMatrix")
    lonely <- which(Matrix::rowSums(C) == 0)
  }
  rs <- Matrix::rowSums(C)
  d <- ifelse(rs > 0, rs, 1)
  # Compressed rows: C is symmetric, so its compressed columns are its rows.
  Cc <- methods::as(methods::as(C, "generalMatrix"), "dgCMatrix")
  list(n = n, row_ptr = as.integer(Cc@p), col = as.integer(Cc@i),
       w = as.double(Cc@x), d = as.double(d), islands = lonely,
       links = links, units = a$units, geometry = a$geometry, C = C)
}

# Each island linked to the unit whose polygon centroid is nearest (on the
# sphere for longitude-latitude polygons).  A data frame of the links by
# index (from, to) and by name.
.nearest_links <- function(geometry, lonely, units) {
  cent <- suppressWarnings(sf::st_centroid(sf::st_geometry(geometry)))
  n <- length(cent)
  to <- integer(length(lonely))
  for (k in seq_along(lonely)) {
    others <- setdiff(seq_len(n), lonely[k])
    to[k] <- others[sf::st_nearest_feature(cent[lonely[k]], cent[others])]
  }
  lab <- if (is.null(units)) as.character(seq_len(n)) else units
  data.frame(from = lonely, to = to, from_unit = lab[lonely],
             to_unit = lab[to], stringsAsFactors = FALSE)
}

# What the sampler needs of a checked map once: its connected components,
# the support (eta_lo, eta_hi) of the association eigenvalues and the
# interpolant of the prior's log-determinant, all from sparse
# factorisations.  Says what it is doing on large maps, and names the
# islands and the number of components.
.prepare_map <- function(mp, eta_hi = .ETA_UPPER, quiet = FALSE) {
  if (!quiet && mp$n > 5000L) {
    message("Preparing the map of ", format(mp$n, big.mark = ","), " units ",
            "(sparse factorisations for the prior's log-determinant)...")
  }
  pr <- .Call(mcar_map_prepare, mp$row_ptr, mp$col, mp$w,
              c(.ETA_LOWER, .ETA_UPPER, eta_hi))
  mp$components <- as.vector(pr$components)
  # Components of linked units; each island is one more.
  linked <- setdiff(seq_len(mp$n), mp$islands)
  mp$n_components <- length(unique(mp$components[linked]))
  mp$lambda_min <- pr$lambda_min
  mp$eta_lo <- pr$eta_lo
  mp$eta_hi <- pr$eta_hi
  mp$logdet <- pr$logdet
  if (!quiet) .describe_map(mp)
  mp
}

.describe_map <- function(mp) {
  isl <- mp$islands
  links <- mp$links
  parts <- character()
  if (!is.null(links) && nrow(links)) {
    parts <- c(parts, paste0(
      nrow(links), " island", if (nrow(links) > 1L) "s", " linked to the ",
      "unit with the nearest centroid (",
      paste(head(paste(links$from_unit, "->", links$to_unit), 5L),
            collapse = ", "), if (nrow(links) > 5L) ", ...", ")"))
  }
  if (length(isl)) {
    lab <- if (is.null(mp$units)) as.character(isl) else mp$units[isl]
    parts <- c(parts, paste0(
      length(isl), " unit", if (length(isl) > 1L) "s", " without neighbours (",
      paste(head(lab, 5L), collapse = ", "),
      if (length(isl) > 5L) sprintf(" and %d more", length(isl) - 5L),
      "), each with its own independent N(0, I) field a priori"))
  }
  if (mp$n_components > 1L || length(parts)) {
    message("The map has ", mp$n_components, " connected component",
            if (mp$n_components != 1L) "s", " of linked units",
            if (length(parts)) paste0("; ", paste(parts, collapse = "; ")),
            ".")
  }
  invisible(NULL)
}

# ---- priors ---------------------------------------------------------------

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
#' @return An object of class `"mcar_prior"`.
#' @examples
#' mcar_prior(beta_sd = 10)
#' mcar_prior(dispersion_scale = 0.5)  # closer to the Poisson
#' @export
mcar_prior <- function(beta_sd = Inf, iw_df = NULL, iw_scale = 0.3,
                       dispersion_scale = 1, eta_upper = .ETA_UPPER) {
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
  structure(list(beta_sd = as.double(beta_sd), iw_df = iw_df,
                 iw_scale = iw_scale,
                 dispersion_scale = as.double(dispersion_scale),
                 eta_upper = as.double(eta_upper)), class = "mcar_prior")
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
  invisible(x)
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
  list(beta_prec = prec, iw_df = as.double(df), iw_scale = unname(S),
       beta_sd = sd,
       dispersion_scale = .prior_value(prior, "dispersion_scale", 1),
       eta_upper = .prior_value(prior, "eta_upper", .ETA_UPPER))
}

# A setting of a prior, or its default for priors made without it.
.prior_value <- function(prior, name, default) {
  v <- prior[[name]]
  if (is.null(v)) default else as.double(v)
}

# ---- run settings ---------------------------------------------------------

.check_run_size <- function(n_sample, burnin, thin, chains, n_values) {
  n_sample <- .check_count(n_sample, "n_sample", lower = 1)
  burnin <- .check_count(burnin, "burnin", lower = 0)
  if (burnin >= n_sample) {
    .input_error("burnin", "must be smaller than `n_sample` (the total ",
                 "number of sweeps, burn-in included); got burnin = ", burnin,
                 " and n_sample = ", n_sample, ".")
  }
  m <- n_sample - burnin
  thin <- .check_count(thin, "thin", lower = 1)
  if (thin > m) {
    .input_error("thin", "is larger than the number of stored sweeps (",
                 m, "); no draw would be kept.")
  }
  if (as.double(m %/% thin) * n_values >= .Machine$integer.max) {
    .input_error("n_sample", "keeps ", m %/% thin, " draws per chain of ",
                 n_values, " values each: too many; raise `thin`.")
  }
  chains <- .check_count(chains, "chains", lower = 1, upper = 1000)
  list(n_sample = n_sample, burnin = burnin, thin = thin, chains = chains)
}

# How many values of per-unit draws (fields, risks, log-likelihoods) a fit
# stores by default, over all chains: about 200 MB for each of the three.
.UNIT_BUDGET <- 2.5e7

# Every unit_thin-th kept draw of a chain stores the per-unit draws: all of
# them when they fit `keep` (per chain) or, by default, the budget; evenly
# thinned to it otherwise, with a message.  The running summaries see every
# kept draw whatever is stored.
.unit_thinning <- function(keep, size, cells) {
  m <- (size$n_sample - size$burnin) %/% size$thin
  if (is.null(keep)) {
    want <- max(10, floor(.UNIT_BUDGET / (as.double(cells) * size$chains)))
  } else {
    if (!is.numeric(keep) || length(keep) != 1L || is.na(keep) || keep < 1 ||
        (is.finite(keep) && !.is_whole(keep))) {
      .input_error("keep", "must be NULL (a memory budget), Inf (every ",
                   "draw) or a whole number of draws per chain, at least 1.")
    }
    want <- keep
  }
  unit_thin <- if (want >= m) 1L else as.integer(ceiling(m / want))
  stored <- m %/% unit_thin
  if (as.double(stored) * cells >= .Machine$integer.max) {
    .input_error(if (is.null(keep)) "n_sample" else "keep", "stores ", stored,
                 " draws per chain of ", cells, " unit-level values: too ",
                 "many; set a smaller `keep`.")
  }
  if (unit_thin > 1L) {
    message("Storing ", stored, " of the ", m, " kept draws per chain of the ",
            format(cells, big.mark = ","), " unit-level values (fields, ",
            "risks, log-likelihoods), every ", unit_thin, "th, to bound ",
            "memory; posterior means, sds, P(RR > 1), DIC and WAIC use all ",
            m, ". Set `keep` to store more.")
  }
  unit_thin
}

# The kept draws of each chain that store the per-unit draws.
.unit_rows <- function(size) {
  m <- (size$n_sample - size$burnin) %/% size$thin
  u <- if (is.null(size$unit_thin)) 1L else size$unit_thin
  u * seq_len(m %/% u)
}

.check_islands <- function(islands) {
  if (!is.character(islands) || !length(islands) || anyNA(islands)) {
    .input_error("islands", "must be \"independent\" or \"nearest\".")
  }
  islands <- islands[1L]
  if (!islands %in% c("independent", "nearest")) {
    .input_error("islands", "must be \"independent\" or \"nearest\", not \"",
                 islands, "\".")
  }
  islands
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

# ---- matching units -------------------------------------------------------

# The order in which rows named `have` must be taken to follow `want` (the
# names of argument `against`), or an error that says which names differ.
.match_units <- function(have, want, arg, against = "W") {
  if (setequal(have, want) && length(have) == length(want)) {
    return(match(want, have))
  }
  extra <- setdiff(have, want)
  lack <- setdiff(want, have)
  label <- if (grepl(" ", against)) against else paste0("`", against, "`")
  where <- if (against == "W") "not on the map" else paste("not in", label)
  .input_error(arg, "has unit names that do not match those of ", label,
               if (length(lack)) paste0("; missing: ",
                                         paste(head(lack, 5L), collapse = ", "),
                                         if (length(lack) > 5L) ", ..."),
               if (length(extra)) paste0("; ", where, ": ",
                                          paste(head(extra, 5L), collapse = ", "),
                                          if (length(extra) > 5L) ", ..."),
               ".")
}

# The unit names a map carries, or NULL: the row (or column) names of a
# matrix, the row names of an sf table, the region ids of an spdep list.
# spdep gives every list the ids "1".."n" when it knows no better, so those
# ids are names only for data that use the same ids (attribute "weak").
.map_names <- function(W, arg = "W") {
  if (inherits(W, "sf")) return(.unit_names(.frame_row_names(W), arg))
  if (inherits(W, "sfc")) return(NULL)
  if (inherits(W, "listw")) W <- W$neighbours
  if (inherits(W, "nb")) {
    ids <- attr(W, "region.id")
    if (is.null(ids)) return(NULL)
    ids <- .unit_names(ids, arg)
    if (identical(ids, as.character(seq_along(ids)))) attr(ids, "weak") <- TRUE
    return(ids)
  }
  if (is.data.frame(W)) {
    rn <- .frame_row_names(W)
    cn <- if (!is.null(rn)) names(W)
  } else if (is.matrix(W) || inherits(W, "Matrix")) {
    rn <- rownames(W); cn <- colnames(W)
  } else {
    return(NULL)
  }
  if (!is.null(rn) && !is.null(cn) && length(rn) == length(cn) &&
      !identical(as.character(rn), as.character(cn))) {
    j <- which(as.character(rn) != as.character(cn))[1L]
    .input_error(arg, "has column names that differ from its row names ",
                 "(column ", j, " is \"", cn[j], "\", row ", j, " is \"",
                 rn[j], "\"); rows and columns must be the same units in ",
                 "the same order.")
  }
  .unit_names(if (!is.null(rn)) rn else cn, arg)
}

# Puts the rows of the named data inputs (a list of matrices: counts,
# expected, covariates) in one order: that of the map's names when it has
# them, else that of the first named input.  Inputs without names are taken
# as they come; named ones are matched by name or refused.  Returns the
# inputs and the unit names (NULL when nothing is named).
.align_units <- function(map_names, rows) {
  row_names <- lapply(names(rows), function(a) .unit_names(rownames(rows[[a]]),
                                                           a))
  names(row_names) <- names(rows)
  named <- names(rows)[!vapply(row_names, is.null, logical(1))]
  if (isTRUE(attr(map_names, "weak")) &&
      !all(vapply(row_names[named], setequal, logical(1), map_names))) {
    map_names <- NULL
  }
  ref <- as.vector(map_names); against <- "W"
  if (is.null(ref) && length(named)) {
    against <- named[1L]
    ref <- row_names[[against]]
  }
  for (a in named) {
    o <- .match_units(row_names[[a]], ref, a, against)
    rows[[a]] <- rows[[a]][o, , drop = FALSE]
  }
  list(rows = rows, units = ref)
}

# Settings of sf polygons as the map.
.check_polygon_args <- function(snap, queen) {
  if (!is.null(snap) && (!is.numeric(snap) || length(snap) != 1L ||
                         !is.finite(snap) || snap < 0)) {
    .input_error("snap", "must be NULL or one non-negative distance, not ",
                 if (is.character(snap)) dQuote(snap[1L], FALSE) else
                   format(snap)[1L], ".")
  }
  .check_flag(queen, "queen")
}

# An sp object (as read by older packages) as the sf object it stands for.
.from_sp <- function(x, arg) {
  if (!isS4(x) || !methods::is(x, "Spatial")) return(x)
  if (!requireNamespace("sf", quietly = TRUE)) {
    .input_error(arg, "is an sp object; package 'sf' is needed to read it.")
  }
  out <- tryCatch(sf::st_as_sf(x), error = function(e) {
    .input_error(arg, "is an sp object that sf::st_as_sf() cannot read: ",
                 conditionMessage(e))
  })
  out
}

# Polygons for the maps of a fit, one per unit in the order of `units`.  An
# sf table whose rows are named is matched to the units by name (when the
# units have names); otherwise polygons are taken in the order given.
.unit_polygons <- function(map, units, named_units, arg = "map",
                           against = "the fit's units") {
  map <- .from_sp(map, arg)
  if (!(inherits(map, "sf") || inherits(map, "sfc"))) {
    .input_error(arg, "must be NULL or an sf object with one polygon per ",
                 "unit.")
  }
  if (!requireNamespace("sf", quietly = TRUE)) {
    stop("package 'sf' is needed for polygons", call. = FALSE)
  }
  nf <- length(sf::st_geometry(map))
  if (nf != length(units)) {
    .input_error(arg, "has ", nf, " features for ", length(units), " units.")
  }
  nm <- if (inherits(map, "sf")) .unit_names(.frame_row_names(map), arg)
  if (!is.null(nm) && named_units) {
    map <- map[.match_units(nm, units, arg, against), ]
  }
  map
}

# Outcome names from the columns of the counts: none (then outcome1, ...)
# or one distinct name for each.
.outcome_names <- function(nm, K) {
  if (is.null(nm) || all(is.na(nm) | !nzchar(nm)) && !anyNA(nm)) {
    return(paste0("outcome", seq_len(K)))
  }
  bad <- which(is.na(nm) | !nzchar(nm))
  if (length(bad)) {
    .input_error("counts", "has outcome column(s) ", paste(bad, collapse = ", "),
                 " without a name (", if (anyNA(nm[bad])) "NA" else "\"\"",
                 "); name every outcome or none.")
  }
  dup <- unique(nm[duplicated(nm)])
  if (length(dup)) {
    .input_error("counts", "has repeated outcome names: ",
                 paste(dup, collapse = ", "), "; each outcome needs its own.")
  }
  nm
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

.warn_separation <- function(Y, X, beta_sd, outcomes) {
  found <- .separated_coefficients(Y, X, is.infinite(beta_sd))
  if (!length(found)) return(invisible(found))
  p <- ncol(X)
  parts <- vapply(found, function(f) {
    what <- paste0("beta[", f$coef, ",", f$outcome, "] (",
                   colnames(X)[f$coef], ") towards ",
                   ifelse(f$sign > 0, "+Inf", "-Inf"))
    paste0(paste(what, collapse = " and "), " for outcome ",
           outcomes[f$outcome])
  }, character(1))
  warning("the counts cannot hold ", paste(parts, collapse = "; "),
          ": the units with a positive count leave ",
          if (length(found) > 1L || length(found[[1L]]$coef) > 1L) "these" else
            "this", " coefficient free (its covariate takes one value on ",
          "them) and the units with a zero count all lie to one side, so ",
          "the likelihood keeps rising as it runs off and, under a flat ",
          "prior, the posterior is improper. Give the coefficients a normal ",
          "prior (mcar_prior(beta_sd = ...)) or leave the covariate out.",
          call. = FALSE)
  invisible(found)
}

# What predict() needs to form the covariates at new values: the formula,
# with the levels its factors had in the data.
.covariate_formula <- function(covariates, data) {
  if (!inherits(covariates, "formula")) return(NULL)
  mf <- stats::model.frame(covariates, data, na.action = stats::na.pass)
  structure(covariates, xlevels = stats::.getXlevels(stats::terms(mf), mf))
}
