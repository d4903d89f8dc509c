# The map: weights from a matrix, an spdep neighbour list or sf polygons,
# checked and put in compressed rows, with its islands; the unit names a map
# carries; the compiled preparation of its eigenvalue support and
# log-determinant, once per fit; polygons for the maps of a fit.

# How units without neighbours are taken: "independent" or "nearest".
.check_islands <- function(islands) {
  .match_choice(islands, c("independent", "nearest"), "islands")
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
  attr(out, "mcar_from_sp") <- TRUE
  out
}

# The unit names a map carries, or NULL: the row (or column) names of a
# matrix, the row names of an sf table, the region ids of an spdep list.
# spdep gives every list the ids "1".."n" when it knows no better, so those
# ids are names only for data that use the same ids (attribute "weak").
.map_names <- function(W, arg = "W") {
  if (inherits(W, "sf")) {
    # sp numbers its features "0".."n-1" or "1".."n" when it knows no
    # better: such ids are names only for data that use them too.
    ids <- .unit_names(.frame_row_names(W), arg)
    if (isTRUE(attr(W, "mcar_from_sp")) && !is.null(ids) &&
        (identical(ids, as.character(seq_along(ids))) ||
         identical(ids, as.character(seq_along(ids) - 1L)))) {
      attr(ids, "weak") <- TRUE
    }
    return(ids)
  }
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
  .check_weight_scale(rs, arg)
  d <- ifelse(rs > 0, rs, 1)
  # Compressed rows: C is symmetric, so its compressed columns are its rows.
  Cc <- methods::as(methods::as(C, "generalMatrix"), "dgCMatrix")
  list(n = n, row_ptr = as.integer(Cc@p), col = as.integer(Cc@i),
       w = as.double(Cc@x), d = as.double(d), islands = lonely,
       links = links, units = a$units, geometry = a$geometry, C = C)
}

# The weights set the scale of the fields' prior precision (D - A x C, D
# their row sums, against 1 for an island): row sums far outside the range
# of ordinary numbers leave the fields' scale, the log-determinant and the
# normalised weights D^-1/2 C D^-1/2 to overflow or underflow.
.WEIGHT_SCALE <- c(1e-100, 1e100)
.check_weight_scale <- function(rs, arg = "W") {
  if (any(!is.finite(rs))) {
    .input_error(arg, "has weights whose row sums overflow (unit ",
                 which(!is.finite(rs))[1L], "); rescale the weights, for ",
                 "example W / max(W).")
  }
  pos <- rs[rs > 0]
  if (length(pos) && (min(pos) < .WEIGHT_SCALE[1L] ||
                      max(pos) > .WEIGHT_SCALE[2L])) {
    .input_error(arg, "has weights on an extreme scale (row sums from ",
                 format(min(pos), digits = 3), " to ",
                 format(max(pos), digits = 3), "): the fields' prior ",
                 "precision is in the units of the weights, so they must ",
                 "lie within ", format(.WEIGHT_SCALE[1L]), " to ",
                 format(.WEIGHT_SCALE[2L]), "; rescale them, for example ",
                 "W / max(W).")
  }
  invisible(rs)
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
# islands (by `units` when given) and the number of components.
.prepare_map <- function(mp, eta_hi = .ETA_UPPER, quiet = FALSE,
                         units = NULL) {
  # The fit's unit names, which the messages use.
  if (!is.null(units)) {
    mp$units <- units
    if (!is.null(mp$links) && nrow(mp$links)) {
      mp$links$from_unit <- units[mp$links$from]
      mp$links$to_unit <- units[mp$links$to]
    }
  }
  if (!quiet && mp$n > 5000L) {
    message("Preparing the map of ", format(mp$n, big.mark = ","), " units ",
            "(sparse factorisations for the prior's log-determinant)...")
  }
  pr <- tryCatch(.Call(mcar_map_prepare, mp$row_ptr, mp$col, mp$w,
                       c(.ETA_LOWER, .ETA_UPPER, eta_hi)),
                 error = function(e) {
                   .input_error("W", "cannot be prepared: ",
                                conditionMessage(e), ".")
                 })
  if (!is.finite(pr$eta_lo) || !is.finite(pr$eta_hi) ||
      (!is.na(pr$lambda_min) && !is.finite(pr$lambda_min))) {
    .input_error("W", "gives a support of the association eigenvalues that ",
                 "is not finite (", pr$eta_lo, ", ", pr$eta_hi, "); check ",
                 "the scale of its weights.")
  }
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

# One message naming the islands, the links made to them and the number of
# connected components, when there is something to say.
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
