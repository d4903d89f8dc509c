#' Plot a fitted MCAR model: trace plots, densities, risk maps and series
#'
#' `type = "trace"` draws the chains of the selected parameters and
#' `type = "density"` their posterior densities, one colour per chain (a
#' legend says which), in the order of `variables`; when they take more than
#' one page a message says so.  `type = "map"` maps a posterior summary of
#' the relative risk of each outcome (for binomial fits its probability;
#' or, with `what = "phi"`, of each field), in a grid of maps; each map has
#' its own colour classes and
#' legend unless `shared_scale = TRUE` or `breaks` are given, when one
#' legend serves them all.  By default the classes follow the range of the
#' values, with 1 (0 for the fields; for probabilities the outcome's
#' overall proportion, or on a shared scale that of all outcomes together)
#' among their boundaries and the colours of the diverging palette centred
#' there; given `breaks` that leave values
#' out make the end classes open (labelled "below" and "and above"), and
#' breaks that hold no value are an error.
#'
#' For fits over several periods (see the `time` argument of [mcar_fit()]),
#' maps form a grid of outcomes (rows) by the periods chosen by `time`
#' (columns; by default every period, or six evenly spaced ones when there
#' are more, with a message) with one legend for all of them, and
#' `type = "series"` draws the risks of the chosen `units` over time, one
#' panel per outcome: the posterior median of each unit's risk and its 95%
#' credible band, and, given a `forecast` from `predict(fit, horizon = )`,
#' the forecast periods (shaded) with their median and interval; relative
#' risks on a log scale (`log = ""` for a linear one), probabilities on a
#' linear scale.
#'
#' Maps need the units' polygons: they are kept when `W` was an \pkg{sf}
#' polygons object, or given as `map` to [mcar_fit()] or to this function
#' (an sf object or geometry with one polygon per unit; an sf table whose
#' rows are named is matched to the units by name, otherwise the polygons
#' are taken in the fit's unit order; \pkg{sp} polygons are read through
#' [sf::st_as_sf()]).  [minnesota_map()] gives the polygons of the bundled
#' map.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param type `"trace"`, `"density"`, `"map"` or, for fits over several
#'   periods, `"series"`.
#' @param variables For trace and density plots: group names (`"beta"`,
#'   `"Lambda"`, `"A"`, `"eta"`, `"theta"`, `"dispersion"`, `"phi"`,
#'   `"rr"` or `"prob"`, `"deviance"`) and/or single names.  At most
#'   `per_page` panels are drawn per page.
#' @param outcomes For maps: the outcomes to map, by number or name.
#' @param stat For maps: `"mean"`, `"median"`, `"lower"` or `"upper"`
#'   (bounds of the 95% interval) of the relative risk (the probability
#'   for binomial fits), or `"prob_gt"`, the posterior probability that it
#'   exceeds `threshold` (for binomial fits, that the probability exceeds
#'   `threshold` times the overall proportion; see [relative_risk()]).
#' @param threshold For `stat = "prob_gt"`.
#' @param map For maps: an sf object or geometry with one polygon per unit
#'   (by default the polygons kept in the fit).
#' @param shared_scale For maps: one colour scale for all outcomes.
#' @param breaks For maps: class boundaries of the colour scale.
#' @param palette For maps: an [grDevices::hcl.colors()] palette name.
#' @param per_page For trace and density plots: panels per page.
#' @param what For maps: `"rr"` (relative risks, or the probabilities of a
#'   binomial fit) or `"phi"` (the fields).
#' @param scale For maps of a binomial fit's probabilities: they are shown
#'   per `scale` people (trials), by default per 100,000, and the legend's
#'   title says so; `breaks` are on that scale.  `1` shows the
#'   probabilities themselves.  Not used by other maps.
#' @param border For maps: the colour of the units' borders, `NA` for none;
#'   by default dark grey on maps of up to 300 units, light grey and thinner
#'   up to 3,000, none above (where borders would hide the colours).
#' @param time For maps of fits over several periods: the periods to map,
#'   by value (such as `c(2005, 2006)`).
#' @param units For series: the map units whose risks are drawn, by name
#'   (by default the first four).
#' @param forecast For series: `NULL`, or a forecast of the fit from
#'   `predict(x, horizon = )`, drawn after the fit's periods.
#' @param ... Passed to the underlying plotting calls.
#' @return Invisibly: for maps, a list with the mapped `values` (units by
#'   outcomes), `breaks`, `colours` and legend `labels` (per map), `fill`
#'   (each unit's colour), the `geometry` drawn (in the fit's unit order),
#'   the number of `legends`, the `grid` (rows, columns; a last row that
#'   is not full is centred; `layout` the [graphics::layout()] matrix),
#'   the `scale` of the values, the `border`
#'   colour and width and the legends' text size `legend_cex` (over
#'   periods, `periods` the mapped periods); for series, a data frame of the
#'   drawn values (`unit`, `period`, `outcome`, `mean`, `lower`, `upper`,
#'   `forecast`); otherwise the names of the plotted parameters.
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
plot.mcar_fit <- function(x, type = c("trace", "density", "map", "series"),
                          variables = c("beta", "Lambda", "A"),
                          outcomes = NULL,
                          stat = c("mean", "median", "lower", "upper",
                                   "prob_gt"),
                          threshold = 1, map = NULL, shared_scale = FALSE,
                          breaks = NULL, palette = "Blue-Red 3",
                          per_page = 16, what = c("rr", "phi"), scale = NULL,
                          border = NULL, time = NULL, units = NULL,
                          forecast = NULL, ...) {
  type <- .match_choice(type, c("trace", "density", "map", "series"), "type")
  if (type == "series") {
    return(invisible(.plot_series(x, units, outcomes, forecast, ...)))
  }
  if (type == "map") {
    stat <- .match_choice(stat, c("mean", "median", "lower", "upper",
                                  "prob_gt"), "stat")
    what <- .match_choice(what, c("rr", "phi"), "what")
    return(invisible(.plot_map(x, outcomes, stat, threshold, map,
                               shared_scale, breaks, palette, what = what,
                               scale = scale, border = border,
                               time = time, ...)))
  }
  arr <- .draws_array(x, variables)
  per_page <- .check_count(per_page, "per_page", lower = 1)
  if (type == "density") .check_enough_draws(x, 2L, "a density plot")
  vars <- dimnames(arr)[[3L]]
  nchain <- dim(arr)[2L]
  cols <- if (nchain <= 8L) grDevices::palette.colors(max(nchain, 2L),
                                                    "Okabe-Ito")[seq_len(nchain)]
  else grDevices::hcl.colors(nchain, "Dark 3")
  # The sweeps of the draws drawn: every kept draw, or with per-unit
  # draws those kept draws that store them.
  th <- .thinning(x$settings, which = TRUE)
  sweeps <- if (dim(arr)[1L] < th$kept) {
    th$sweeps[x$unit_rows[seq_len(dim(arr)[1L])]]
  } else {
    th$sweeps[seq_len(dim(arr)[1L])]
  }
  pages <- split(vars, ceiling(seq_along(vars) / per_page))
  if (length(pages) > 1L) {
    message(length(vars), " panels on ", length(pages), " pages of up to ",
            per_page, " (`per_page`); choose fewer `variables` or more ",
            "`per_page` for one page.")
  }
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

# Classes that follow the range of the values, with the centre (1 for
# relative risks, on the log scale; 0 for the fields) among their
# boundaries, and colours of a diverging palette centred there, so that a
# colour means the same distance from the centre in every map.  Exceedance
# probabilities have fixed classes.
.map_classes <- function(values, stat, palette, log_scale, centre = 1) {
  if (stat == "prob_gt") {
    b <- c(0, 0.05, 0.2, 0.4, 0.6, 0.8, 0.95, 1)
    return(list(breaks = b, colours = grDevices::hcl.colors(7L, palette)))
  }
  if (log_scale && centre != 1) {
    # Probabilities: classes of their ratio to the overall proportion.
    cl <- .map_classes(values / centre, stat, palette, TRUE)
    cl$breaks <- cl$breaks * centre
    return(cl)
  }
  z <- range(if (log_scale) log(values) else values, na.rm = TRUE)
  w <- (z[2L] - z[1L]) / 8
  if (!(w > 0)) w <- max(abs(z), if (log_scale) log(1.05) else 0.05) / 4
  k <- seq(floor(z[1L] / w + 1e-9), ceiling(z[2L] / w - 1e-9))
  if (length(k) < 2L) k <- c(k, k[length(k)] + 1)
  m <- max(abs(k))
  pal <- grDevices::hcl.colors(2L * m, palette)
  b <- k * w
  list(breaks = if (log_scale) exp(b) else b,
       colours = pal[m + utils::head(k, -1L) + 1L])
}

# The format of class labels: two decimals, or for small values (such as
# probabilities) as many as tell the boundaries apart.
.label_format <- function(b, small = FALSE) {
  if (!small) return("%.2f")
  step <- min(diff(b))
  digits <- if (step > 0) ceiling(-log10(step) - 1e-9) + 1L else 2L
  sprintf("%%.%df", min(max(2L, digits), 8L))
}

# Labels of the classes; the end classes are open when values fall beyond
# the given breaks.
.class_labels <- function(b, values, fmt = "%.2f") {
  k <- length(b) - 1L
  lab <- paste0(sprintf(fmt, utils::head(b, -1L)), " to ", sprintf(fmt, b[-1L]))
  if (any(values < b[1L], na.rm = TRUE)) {
    lab[1L] <- paste("below", sprintf(fmt, b[2L]))
  }
  if (any(values > b[k + 1L], na.rm = TRUE)) {
    lab[k] <- paste(sprintf(fmt, b[k]), "and above")
  }
  lab
}

# The units' borders on a map of n units: dark on small maps, light and
# thin up to 3,000 units, none on larger ones, where they would hide the
# colours; `border` given, that colour.
.map_border <- function(n, border = NULL) {
  if (is.null(border)) {
    border <- if (n <= 300L) "grey35" else if (n <= 3000L) "grey60" else NA
  }
  list(colour = border, lwd = if (n <= 300L) 0.4 else 0.15)
}

.plot_map <- function(x, outcomes, stat, threshold, map, shared_scale, breaks,
                      palette, what = "rr", scale = NULL, border = NULL,
                      time = NULL, ...) {
  idx <- .resolve_outcomes(x, outcomes)
  binom <- .family(x) == "binomial"
  t_idx <- .map_periods(x, time)
  if (!is.null(x$periods)) shared_scale <- TRUE
  if (!is.null(map)) {
    units <- if (is.null(x$map_units)) x$units else x$map_units
    geom <- .unit_polygons(map, units, !isFALSE(x$named_units), "map")
  } else {
    geom <- x$geometry
  }
  if (is.null(geom)) {
    stop("this fit has no polygons to draw its map with: pass `map`, an sf ",
         "object with one polygon per unit (for the bundled map, ",
         "minnesota_map()), or give sf polygons as `W` to mcar_fit()",
         call. = FALSE)
  }
  if (!requireNamespace("sf", quietly = TRUE)) {
    stop("package 'sf' is needed to draw maps", call. = FALSE)
  }
  geom <- sf::st_geometry(geom)
  if (what == "phi") {
    if (stat == "prob_gt") {
      .input_error("stat", "\"prob_gt\" is for relative risks; maps of the ",
                   "fields show their mean, median, lower or upper bound.")
    }
    arr <- .draws_array(x, "phi")
    ph <- matrix(arr, prod(dim(arr)[1:2]))
    f <- switch(stat, mean = colMeans(ph),
                median = .col_quantiles(ph, numeric(), median = TRUE)[, 1L],
                lower = .col_quantiles(ph, 0.025)[, 1L],
                upper = .col_quantiles(ph, 0.975)[, 1L])
    labels <- paste0("field", seq_along(x$outcomes))
    values <- .panel_values(x, f, labels, idx, t_idx)
    title <- switch(stat, mean = "posterior mean of phi",
                    median = "posterior median of phi",
                    lower = "lower 95% bound of phi",
                    upper = "upper 95% bound of phi")
  } else {
    rr <- relative_risk(x, threshold = threshold)
    labels <- x$outcomes
    values <- .panel_values(x, rr[[stat]], labels, idx, t_idx)
    # Binomial fits map probabilities, per `scale` trials, their classes
    # centred at the outcome's overall proportion (at the pooled one on a
    # shared scale).
    if (binom && stat != "prob_gt") {
      if (is.null(scale)) scale <- 1e5
      if (!is.numeric(scale) || length(scale) != 1L || !is.finite(scale) ||
          scale <= 0) {
        .input_error("scale", "must be one positive number, such as 1e5 ",
                     "for probabilities per 100,000.")
      }
      values <- values * scale
    }
    per <- if (binom && stat != "prob_gt" && scale != 1) {
      paste(" per", format(scale, big.mark = ",", scientific = FALSE))
    } else ""
    what_is <- if (binom) paste0("probability", per) else "RR"
    title <- switch(stat, mean = paste("posterior mean", what_is),
                    median = paste("posterior median", what_is),
                    lower = paste("lower 95% bound of", what_is),
                    upper = paste("upper 95% bound of", what_is),
                    prob_gt = if (binom) {
                      if (threshold == 1) "P(prob > overall proportion)" else
                        sprintf("P(prob > %s x overall proportion)",
                                format(threshold))
                    } else sprintf("P(RR > %s)", format(threshold)))
  }
  n <- ncol(values)
  log_scale <- what == "rr" && stat != "prob_gt"
  centre <- rep(1, n)
  pooled <- 1
  if (is.null(scale) || !(binom && what == "rr" && stat != "prob_gt")) {
    scale <- 1
  }
  if (binom && what == "rr") {
    centre <- rep(.overall_proportion(x)[idx], each = length(t_idx)) * scale
    ok <- !is.na(x$counts)
    pooled <- sum(x$counts[ok]) / sum(x$trials[ok]) * scale
  }
  if (is.null(breaks)) {
    classes <- if (shared_scale) {
      rep(list(.map_classes(values, stat, palette, log_scale, pooled)), n)
    } else {
      lapply(seq_len(n), function(j) {
        .map_classes(values[, j], stat, palette, log_scale, centre[j])
      })
    }
  } else {
    if (!is.numeric(breaks) || length(breaks) < 2L || anyNA(breaks) ||
        is.unsorted(breaks, strictly = TRUE)) {
      .input_error("breaks", "must be an increasing numeric vector.")
    }
    inside <- values >= breaks[1L] & values <= breaks[length(breaks)]
    if (!any(inside)) {
      .input_error("breaks", "run from ", format(breaks[1L]), " to ",
                   format(breaks[length(breaks)]), ", but the mapped values ",
                   "run from ", format(min(values), digits = 3), " to ",
                   format(max(values), digits = 3), ": no unit falls in them.")
    }
    classes <- rep(list(list(
      breaks = breaks,
      colours = grDevices::hcl.colors(length(breaks) - 1L, palette))), n)
    shared_scale <- TRUE
  }
  old <- graphics::par(no.readonly = TRUE)
  on.exit(graphics::par(old))
  # Maps in a grid; below each map its legend, or one legend below all of
  # them when the maps share their classes.  A legend row is as tall as the
  # longest legend needs (its title and rows of classes at the legends'
  # text size, plus the margins); the maps take the rest.
  # As many columns as make the cells closest to square on this device.
  dev <- grDevices::dev.size("in")
  nc <- which.min(vapply(seq_len(n), function(k) {
    abs(log((dev[1L] / k) / (dev[2L] / ceiling(n / k))))
  }, numeric(1)))
  # Over periods: a row per outcome, a column per period.
  if (!is.null(x$periods)) nc <- length(t_idx)
  nr <- ceiling(n / nc)
  # Text of the legends as large as the maps' cells allow, within limits.
  key_cex <- min(1, max(0.6, 0.85 * min(dev[1L] / nc, dev[2L] / nr) / 3.5))
  # Borders that do not hide the colours of many small units.
  bd <- .map_border(length(geom), border)
  border <- bd$colour; lwd <- bd$lwd
  one_key <- shared_scale && n > 1L
  key_cols <- function(k) if (one_key) min(k, 4L) else if (k > 5L) 2L else 1L
  key_rows <- max(vapply(classes, function(cl) {
    k <- length(cl$colours)
    ceiling(k / key_cols(k))
  }, numeric(1))) + 1
  key_h <- graphics::lcm(2.54 * (key_cex * key_rows + 1.5) *
                          graphics::par("csi"))
  # Each map takes two half-columns, so that a last row that is not full
  # is centred rather than left with empty panels.
  cell <- function(j) {
    r <- (j - 1L) %/% nc + 1L
    in_row <- if (r < nr) nc else n - (nr - 1L) * nc
    c(r, (nc - in_row) + 2L * ((j - 1L) %% nc) + 1:2)
  }
  if (one_key) {
    lay <- matrix(0L, nr + 1L, 2L * nc)
    for (j in seq_len(n)) lay[cell(j)[1L], cell(j)[-1L]] <- j
    lay[nr + 1L, ] <- n + 1L
    heights <- c(rep(1, nr), key_h)
  } else {
    lay <- matrix(0L, 2L * nr, 2L * nc)
    for (j in seq_len(n)) {
      rc <- cell(j)
      lay[2L * rc[1L] - 1L, rc[-1L]] <- 2L * j - 1L
      lay[2L * rc[1L], rc[-1L]] <- 2L * j
    }
    heights <- rep(c(1, key_h), nr)
  }
  graphics::layout(lay, heights = heights)
  fmt <- function(cl) {
    .label_format(cl$breaks, binom && what == "rr" && stat != "prob_gt")
  }
  draw_key <- function(cl, vals) {
    graphics::par(mar = c(0.5, 0.5, 0.5, 0.5))
    graphics::plot.new()
    lab <- .class_labels(cl$breaks, vals, fmt(cl))
    k <- length(cl$colours)
    graphics::legend("top", fill = rev(cl$colours), legend = rev(lab),
                     title = title, bty = "n", cex = key_cex,
                     ncol = key_cols(k))
  }
  fill <- matrix(NA_character_, nrow(values), n, dimnames = dimnames(values))
  for (j in seq_len(n)) {
    cl <- classes[[j]]
    k <- findInterval(values[, j], cl$breaks, rightmost.closed = TRUE,
                      all.inside = TRUE)
    fill[, j] <- cl$colours[k]
    graphics::par(mar = c(0.5, 0.5, 2.5, 0.5))
    graphics::plot(geom, col = fill[, j], border = border, lwd = lwd, ...)
    graphics::title(colnames(values)[j], cex.main = 1.3)
    if (!one_key) draw_key(cl, values[, j])
  }
  if (one_key) draw_key(classes[[1L]], values)
  list(values = values, breaks = lapply(classes, `[[`, "breaks"),
       colours = lapply(classes, `[[`, "colours"),
       labels = lapply(seq_len(n), function(j) {
         .class_labels(classes[[j]]$breaks, if (one_key) values else
           values[, j], fmt(classes[[j]]))
       }),
       fill = fill, geometry = geom, legends = if (one_key) 1L else n,
       grid = c(nr, nc), layout = lay, scale = scale,
       border = list(colour = border, lwd = lwd), legend_cex = key_cex,
       periods = if (!is.null(x$periods)) x$periods[t_idx])
}
