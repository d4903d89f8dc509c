#' Plot a fitted MCAR model: trace plots, densities and risk maps
#'
#' `type = "trace"` draws the chains of the selected parameters and
#' `type = "density"` their posterior densities, one colour per chain (a
#' legend says which).  `type = "map"` maps a posterior summary of the
#' relative risk of each outcome; each outcome has its own colour scale
#' unless `shared_scale = TRUE`.
#'
#' Maps need the units' polygons: they are kept when `W` was an \pkg{sf}
#' polygons object, or given as `map` to [mcar_fit()] or to this function
#' (an sf object or geometry with one polygon per unit, in the fit's unit
#' order).  [minnesota_map()] gives the polygons of the bundled map.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param type `"trace"`, `"density"` or `"map"`.
#' @param variables For trace and density plots: group names (`"beta"`,
#'   `"Lambda"`, `"A"`, `"eta"`, `"theta"`, `"phi"`, `"rr"`, `"deviance"`)
#'   and/or single names.  At most `per_page` panels are drawn per page.
#' @param outcomes For maps: the outcomes to map, by number or name.
#' @param stat For maps: `"mean"`, `"median"`, `"lower"` or `"upper"`
#'   (bounds of the 95% interval) of the relative risk, or `"prob_gt"`, the
#'   posterior probability that it exceeds `threshold`.
#' @param threshold For `stat = "prob_gt"`.
#' @param map For maps: an sf object or geometry with one polygon per unit
#'   (by default the polygons kept in the fit).
#' @param shared_scale For maps: one colour scale for all outcomes.
#' @param breaks For maps: class boundaries of the colour scale.
#' @param palette For maps: an [grDevices::hcl.colors()] palette name.
#' @param per_page For trace and density plots: panels per page.
#' @param ... Passed to the underlying plotting calls.
#' @return Invisibly: for maps, a list with the mapped `values` (units by
#'   outcomes), `breaks` and `colours` (per outcome); otherwise the names of
#'   the plotted parameters.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' plot(fit, variables = c("beta", "Lambda"))
#' plot(fit, type = "density", variables = "A")
#' if (requireNamespace("maps", quietly = TRUE) &&
#'     requireNamespace("sf", quietly = TRUE)) {
#'   plot(fit, type = "map", map = minnesota_map())
#' }
#' @export
plot.mcar_fit <- function(x, type = c("trace", "density", "map"),
                          variables = c("beta", "Lambda", "A"),
                          outcomes = NULL,
                          stat = c("mean", "median", "lower", "upper",
                                   "prob_gt"),
                          threshold = 1, map = NULL, shared_scale = FALSE,
                          breaks = NULL, palette = "Blue-Red 3",
                          per_page = 16, ...) {
  type <- match.arg(type)
  if (type == "map") {
    return(invisible(.plot_map(x, outcomes, match.arg(stat), threshold, map,
                               shared_scale, breaks, palette, ...)))
  }
  arr <- .draws_array(x, variables)
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
                  mar = c(3, 3, 2, 0.5), mgp = c(1.8, 0.6, 0),
                  oma = c(if (nchain > 1L) 2 else 0, 0, 0, 0))
    for (v in page) {
      y <- matrix(arr[, , v], ncol = nchain)
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
        for (k in seq_len(nchain)) graphics::lines(dens[[k]], col = cols[k])
      }
    }
    if (nchain > 1L) {
      graphics::par(fig = c(0, 1, 0, 1), oma = c(0, 0, 0, 0),
                    mar = c(0, 0, 0, 0), new = TRUE)
      graphics::plot.new()
      graphics::legend("bottom", legend = paste("chain", seq_len(nchain)),
                       col = cols, lwd = 2, horiz = TRUE, bty = "n",
                       cex = 0.9, xpd = TRUE)
    }
  }
  invisible(vars)
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
    .input_error("outcomes", "must be outcome numbers (1 to ",
                 length(x$outcomes), ") or names.")
  }
  as.integer(outcomes)
}

# Class boundaries: symmetric about 1 on the log scale for risks, fixed
# probability classes for exceedance probabilities.
.map_breaks <- function(values, stat) {
  if (stat == "prob_gt") return(c(0, 0.05, 0.2, 0.4, 0.6, 0.8, 0.95, 1))
  r <- max(abs(log(range(values, na.rm = TRUE))), log(1.05))
  b <- exp(seq(-r, r, length.out = 10L))
  b[1L] <- b[1L] * (1 - 1e-9)
  b[10L] <- b[10L] * (1 + 1e-9)
  b
}

.plot_map <- function(x, outcomes, stat, threshold, map, shared_scale, breaks,
                      palette, ...) {
  idx <- .resolve_outcomes(x, outcomes)
  geom <- if (!is.null(map)) map else x$geometry
  if (is.null(geom)) {
    stop("this fit has no polygons to draw its map with: pass `map`, an sf ",
         "object with one polygon per unit (for the bundled map, ",
         "minnesota_map()), or give sf polygons as `W` to mcar_fit()",
         call. = FALSE)
  }
  if (!requireNamespace("sf", quietly = TRUE)) {
    stop("package 'sf' is needed to draw maps", call. = FALSE)
  }
  if (!(inherits(geom, "sf") || inherits(geom, "sfc"))) {
    .input_error("map", "must be an sf object or geometry with one polygon ",
                 "per unit.")
  }
  geom <- sf::st_geometry(geom)
  if (length(geom) != length(x$units)) {
    .input_error("map", "has ", length(geom), " features; the fit has ",
                 length(x$units), " units.")
  }
  rr <- relative_risk(x, threshold = threshold)
  col_of <- c(mean = "mean", median = "median", lower = "lower",
              upper = "upper", prob_gt = "prob_gt")[[stat]]
  values <- matrix(rr[[col_of]], ncol = length(x$outcomes),
                   dimnames = list(x$units, x$outcomes))[, idx, drop = FALSE]
  title <- switch(stat, mean = "posterior mean RR",
                  median = "posterior median RR",
                  lower = "lower 95% bound of RR",
                  upper = "upper 95% bound of RR",
                  prob_gt = sprintf("P(RR > %s)", format(threshold)))
  nb <- if (is.null(breaks)) {
    if (shared_scale) rep(list(.map_breaks(values, stat)), length(idx)) else
      lapply(seq_along(idx), function(j) .map_breaks(values[, j], stat))
  } else {
    if (!is.numeric(breaks) || length(breaks) < 2L || is.unsorted(breaks)) {
      .input_error("breaks", "must be an increasing numeric vector.")
    }
    rep(list(breaks), length(idx))
  }
  old <- graphics::par(no.readonly = TRUE)
  on.exit(graphics::par(old))
  n <- length(idx)
  # The legend row is as tall as the longest legend needs (its title and
  # rows of classes at cex 0.85, plus the margins), whatever the size of
  # the device; the maps take the rest.
  key_rows <- max(vapply(nb, function(b) {
    k <- length(b) - 1L
    ceiling(k / if (k > 5L) 2L else 1L)
  }, numeric(1))) + 1
  key_in <- (0.85 * key_rows + 1.5) * graphics::par("csi")
  graphics::layout(matrix(seq_len(2L * n), 2L),
                   heights = c(1, graphics::lcm(2.54 * key_in)))
  colours <- vector("list", n)
  for (j in seq_len(n)) {
    b <- nb[[j]]
    cl <- grDevices::hcl.colors(length(b) - 1L, palette)
    colours[[j]] <- cl
    k <- findInterval(values[, j], b, rightmost.closed = TRUE,
                      all.inside = TRUE)
    graphics::par(mar = c(0.5, 0.5, 2.5, 0.5))
    graphics::plot(geom, col = cl[k], border = "grey35", lwd = 0.4, ...)
    graphics::title(x$outcomes[idx[j]], cex.main = 1.3)
    graphics::par(mar = c(0.5, 0.5, 0.5, 0.5))
    graphics::plot.new()
    labels <- sprintf("%.2f-%.2f", utils::head(b, -1L), b[-1L])
    graphics::legend("top", fill = rev(cl), legend = rev(labels),
                     title = title, bty = "n", cex = 0.85,
                     ncol = if (length(cl) > 5L) 2L else 1L)
  }
  list(values = values, breaks = nb, colours = colours)
}
