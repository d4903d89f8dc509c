#' Plot a fitted MCAR model: trace plots, densities and risk maps
#'
#' `type = "trace"` draws the chains of the selected parameters (one colour
#' per chain), `type = "density"` their posterior densities per chain, and
#' `type = "map"` maps a posterior summary of the relative risk of each
#' outcome, on one colour scale shared by the outcomes.
#'
#' Maps are drawn on the bundled Minnesota county map (needs the \pkg{maps}
#' package) when `map` is `NULL`; units are matched to counties by name when
#' the fit's unit names are county names (as with [minnesota_adjacency()])
#' and taken in the bundled order when the units are unnamed.  For any other
#' map pass `map`, an \pkg{sf} object (or geometry) with one polygon per unit
#' in the order of the fit's units.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param type `"trace"`, `"density"` or `"map"`.
#' @param pars For trace and density plots: group names (`"gbeta"`,
#'   `"lamda"`, `"alpha"`, `"phi"`, `"rr"`, `"deviance"`) and/or single
#'   parameter names.  At most `per_page` panels are drawn per page.
#' @param outcomes For maps: the outcomes to map, by number or name.
#' @param stat For maps: the posterior summary mapped: `"mean"`, `"median"`,
#'   `"lower"` or `"upper"` (bounds of the 95% interval) of the relative risk,
#'   or `"prob_gt1"`, the posterior probability that it exceeds 1.
#' @param map For maps: `NULL` for the bundled Minnesota map, or an \pkg{sf}
#'   object with one polygon per unit.
#' @param breaks For maps: class boundaries of the colour scale (by default
#'   nine classes symmetric about 1 on the log scale, or fixed probability
#'   classes for `"prob_gt1"`).
#' @param palette For maps: an [grDevices::hcl.colors()] palette name.
#' @param per_page For trace and density plots: panels per page.
#' @param ... Passed to the underlying plotting calls.
#' @return Invisibly: for maps, a list with the mapped `values` (units by
#'   outcomes), `breaks` and `colours`; otherwise the names of the plotted
#'   parameters.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 400, burnin = 200,
#'                 chains = 2, seed = 1)
#' plot(fit, pars = c("gbeta", "lamda"))
#' plot(fit, type = "density", pars = "alpha")
#' if (requireNamespace("maps", quietly = TRUE)) {
#'   plot(fit, type = "map")
#'   plot(fit, type = "map", stat = "prob_gt1", outcomes = 1)
#' }
#' @export
plot.mcar_fit <- function(x, type = c("trace", "density", "map"),
                          pars = c("gbeta", "lamda", "alpha"),
                          outcomes = NULL,
                          stat = c("mean", "median", "lower", "upper",
                                   "prob_gt1"),
                          map = NULL, breaks = NULL, palette = "Blue-Red 3",
                          per_page = 16, ...) {
  type <- match.arg(type)
  if (type == "map") {
    return(invisible(.plot_map(x, outcomes, match.arg(stat), map, breaks,
                               palette, ...)))
  }
  arr <- .draws_array(x, pars)
  per_page <- .check_count(per_page, "per_page", lower = 1)
  vars <- dimnames(arr)[[3L]]
  nchain <- dim(arr)[2L]
  cols <- if (nchain <= 8L) grDevices::palette.colors(max(nchain, 2L),
                                                    "Okabe-Ito")[seq_len(nchain)]
  else grDevices::hcl.colors(nchain, "Dark 3")
  sweeps <- x$settings$burnin + x$settings$thin * seq_len(dim(arr)[1L])
  pages <- split(vars, ceiling(seq_along(vars) / per_page))
  old <- graphics::par(no.readonly = TRUE)
  on.exit(graphics::par(old))
  if (length(pages) > 1L && grDevices::dev.interactive()) {
    grDevices::devAskNewPage(TRUE)
  }
  for (page in pages) {
    graphics::par(mfrow = grDevices::n2mfrow(length(page)),
                  mar = c(3, 3, 2, 0.5), mgp = c(1.8, 0.6, 0), oma = c(0, 0, 0, 0))
    for (v in page) {
      y <- arr[, , v, drop = TRUE]
      if (!is.matrix(y)) y <- matrix(y, ncol = nchain)
      if (type == "trace") {
        graphics::matplot(sweeps, y, type = "l", lty = 1, col = cols,
                          xlab = "sweep", ylab = "", main = v, ...)
      } else {
        dens <- lapply(seq_len(nchain), function(k) stats::density(y[, k]))
        graphics::plot(NULL, xlim = range(vapply(dens, function(d) range(d$x),
                                                 numeric(2))),
                       ylim = c(0, max(vapply(dens, function(d) max(d$y),
                                              numeric(1)))),
                       xlab = "", ylab = "density", main = v, ...)
        for (k in seq_len(nchain)) {
          graphics::lines(dens[[k]], col = cols[k])
        }
      }
    }
  }
  invisible(vars)
}

# Index, for each polygon of the bundled county map, of the fit's unit drawn
# in it.
.bundled_map_units <- function(units, polygon_counties) {
  counties <- minnesota_counties()
  short <- sub("^minnesota,", "", counties)
  if (all(units %in% counties)) {
    key <- units
  } else if (all(units %in% short)) {
    key <- paste0("minnesota,", units)
  } else if (identical(units, as.character(seq_along(counties)))) {
    key <- counties
  } else {
    stop("the units of this fit are not the bundled Minnesota counties; ",
         "pass `map`, an sf object with one polygon per unit", call. = FALSE)
  }
  match(polygon_counties, key)
}

.resolve_outcomes <- function(x, outcomes) {
  if (is.null(outcomes)) return(seq_along(x$outcomes))
  if (is.character(outcomes)) {
    idx <- match(outcomes, x$outcomes)
    if (anyNA(idx)) {
      .input_error("outcomes", "names unknown outcome(s): ",
                   paste(outcomes[is.na(idx)], collapse = ", "), ".")
    }
    return(idx)
  }
  if (!is.numeric(outcomes) || any(!outcomes %in% seq_along(x$outcomes))) {
    .input_error("outcomes", "must be outcome numbers (1 to 3) or names.")
  }
  as.integer(outcomes)
}

.plot_map <- function(x, outcomes, stat, map, breaks, palette, ...) {
  idx <- .resolve_outcomes(x, outcomes)
  values <- if (stat == "median") {
    rr <- relative_risk(x)
    matrix(rr$median, ncol = 3L, dimnames = dimnames(x$risk$mean))
  } else {
    x$risk[[stat]]
  }
  values <- values[, idx, drop = FALSE]
  if (is.null(breaks)) {
    if (stat == "prob_gt1") {
      breaks <- c(0, 0.05, 0.2, 0.4, 0.6, 0.8, 0.95, 1)
    } else {
      r <- max(abs(log(range(values))), log(1.05))
      breaks <- exp(seq(-r, r, length.out = 10L))
      breaks[1L] <- breaks[1L] * (1 - 1e-9)
      breaks[10L] <- breaks[10L] * (1 + 1e-9)
    }
  }
  if (!is.numeric(breaks) || length(breaks) < 2L || is.unsorted(breaks)) {
    .input_error("breaks", "must be an increasing numeric vector.")
  }
  colours <- grDevices::hcl.colors(length(breaks) - 1L, palette)
  class_of <- function(v) findInterval(v, breaks, rightmost.closed = TRUE,
                                       all.inside = TRUE)
  labels <- if (stat == "prob_gt1") {
    sprintf("%.2f - %.2f", head(breaks, -1L), breaks[-1L])
  } else {
    sprintf("%.2f - %.2f", head(breaks, -1L), breaks[-1L])
  }
  title <- switch(stat, mean = "posterior mean RR", median = "posterior median RR",
                  lower = "lower 95% bound of RR",
                  upper = "upper 95% bound of RR", prob_gt1 = "P(RR > 1)")

  if (is.null(map)) {
    if (!requireNamespace("maps", quietly = TRUE)) {
      stop("package 'maps' is needed to draw the bundled map; install it or ",
           "pass an sf object as `map`", call. = FALSE)
    }
    polys <- maps::map("county", "minnesota", plot = FALSE, fill = TRUE)
    unit_of <- .bundled_map_units(x$units, sub(":.*$", "", polys$names))
    draw <- function(cols, main) {
      maps::map("county", "minnesota", fill = TRUE, col = cols[unit_of],
                border = "grey35", lwd = 0.5, mar = c(0.5, 0.5, 2, 0.5), ...)
      graphics::title(main)
    }
  } else {
    if (!requireNamespace("sf", quietly = TRUE)) {
      stop("package 'sf' is needed to draw an sf map", call. = FALSE)
    }
    if (!(inherits(map, "sf") || inherits(map, "sfc"))) {
      .input_error("map", "must be NULL or an sf object with one polygon per ",
                   "unit.")
    }
    geom <- sf::st_geometry(map)
    if (length(geom) != length(x$units)) {
      .input_error("map", "has ", length(geom), " features; the fit has ",
                   length(x$units), " units.")
    }
    draw <- function(cols, main) {
      graphics::plot(geom, col = cols, border = "grey35", lwd = 0.5,
                     main = main, ...)
    }
  }

  old <- graphics::par(no.readonly = TRUE)
  on.exit(graphics::par(old))
  n <- length(idx)
  graphics::layout(matrix(seq_len(n + 1L), 1L), widths = c(rep(1, n), 0.45))
  for (j in seq_len(n)) {
    graphics::par(mar = c(0.5, 0.5, 2, 0.5))
    draw(colours[class_of(values[, j])], x$outcomes[idx[j]])
  }
  graphics::par(mar = c(0, 0, 0, 0))
  graphics::plot.new()
  graphics::legend("center", fill = rev(colours), legend = rev(labels),
                   title = title, bty = "n", cex = 0.9)
  list(values = values, breaks = breaks, colours = colours)
}
