# Pictures of fits over periods: the periods and panels of their maps, and
# the risks of chosen units over time, with a forecast after them.

# The periods a map of a fit over periods shows: those of `time`, or every
# period, or six evenly spaced ones when there are more (with a message).
# 1 for an ordinary fit, where `time` has no use.
.map_periods <- function(x, time) {
  if (!is.null(time) || is.null(x$periods)) return(.period_index(x, time))
  T <- .n_periods(x)
  if (T <= 6L) return(seq_len(T))
  t <- unique(round(seq(1, T, length.out = 6L)))
  message("Mapping ", length(t), " of the ", T, " periods (",
          paste(.period_text(x$periods[t]), collapse = ", "), "); choose ",
          "them with `time`.")
  t
}

# Values of every cell (a vector in the order of the fit's cells) as a
# map units x panels matrix: the outcomes `idx`, and over periods the
# periods `t_idx` of each, the period running fastest.  The columns are
# named by the panels' titles: the outcome (`labels`), and its period.
.panel_values <- function(x, v, labels, idx, t_idx) {
  if (is.null(x$periods)) {
    return(matrix(v, ncol = length(labels),
                  dimnames = list(x$units, labels))[, idx, drop = FALSE])
  }
  T <- .n_periods(x)
  m <- matrix(v, .n_map_units(x), T * length(labels))
  cols <- as.vector(outer(t_idx, (idx - 1L) * T, `+`))
  m <- m[, cols, drop = FALSE]
  dimnames(m) <- list(x$map_units,
                      paste(rep(labels[idx], each = length(t_idx)),
                            .period_text(x$periods[t_idx])))
  m
}

# Positions on the time axis: numbers and Dates as they are, other periods
# (levels, text) by their rank, the forecast's after the fit's.
.time_axis <- function(periods, future = NULL) {
  if (is.numeric(periods) || inherits(periods, "Date")) {
    return(list(at = as.numeric(periods), future = as.numeric(future)))
  }
  T <- length(periods)
  list(at = seq_len(T), future = T + seq_along(future),
       labels = c(.period_text(periods), .period_text(future)))
}

# The risks of map units over time, a panel per outcome: posterior medians
# and 95% bands (a forecast's risk is skewed: its mean lies well above the
# middle of its band), and a forecast (from predict(horizon = )) in the shaded
# periods after the fit's.  Returns the values drawn.
.plot_series <- function(x, units, outcomes, forecast, ...) {
  if (is.null(x$periods)) {
    .input_error("type", "\"series\" is for fits over several periods ",
                 "(mcar_fit(time = )); this fit has one.")
  }
  if (is.null(units)) units <- utils::head(x$map_units, 4L)
  if (!is.character(units) || !length(units) || anyNA(units) ||
      any(!units %in% x$map_units)) {
    bad <- if (is.character(units)) setdiff(units, x$map_units)
    .input_error("units", "must name map units of the fit",
                 if (length(bad)) paste0("; it has no ",
                                         .quote_names(bad)), ".")
  }
  units <- unique(units)
  idx <- .resolve_outcomes(x, outcomes)
  rr <- suppressMessages(relative_risk(x))
  rr <- rr[rr$unit %in% units & rr$outcome %in% x$outcomes[idx], ]
  vals <- data.frame(unit = rr$unit, period = rr$period, outcome = rr$outcome,
                     mean = rr$mean, median = rr$median, lower = rr$lower,
                     upper = rr$upper, forecast = FALSE,
                     stringsAsFactors = FALSE)
  future <- NULL
  if (!is.null(forecast)) {
    need <- c("unit", "period", "outcome", "risk_mean", "risk_lower",
              "risk_upper")
    if (!is.data.frame(forecast) || !all(need %in% names(forecast))) {
      .input_error("forecast", "must be a forecast of the fit, from ",
                   "predict(x, horizon = ).")
    }
    fc <- forecast[forecast$unit %in% units &
                     forecast$outcome %in% x$outcomes[idx], ]
    future <- unique(forecast$period)
    vals <- rbind(vals, data.frame(
      unit = fc$unit, period = fc$period, outcome = fc$outcome,
      mean = fc$risk_mean,
      median = if (is.null(fc$risk_median)) fc$risk_mean else fc$risk_median,
      lower = fc$risk_lower, upper = fc$risk_upper,
      forecast = TRUE, stringsAsFactors = FALSE))
  }
  ax <- .time_axis(x$periods, future)
  pos <- c(ax$at, ax$future)
  tpos <- pos[match(.period_text(vals$period),
                    c(.period_text(x$periods), .period_text(future)))]
  cols <- if (length(units) <= 8L) {
    grDevices::palette.colors(max(length(units), 2L), "Okabe-Ito")
  } else grDevices::hcl.colors(length(units), "Dark 3")
  cols <- cols[seq_along(units)]
  band <- grDevices::adjustcolor(cols, alpha.f = 0.2)
  ref <- if (.family(x) == "binomial") .overall_proportion(x) else
    stats::setNames(rep(1, .n_outcomes(x)), x$outcomes)
  ylab <- if (.family(x) == "binomial") "probability" else "relative risk"
  old <- graphics::par(no.readonly = TRUE)
  on.exit(graphics::par(old))
  graphics::par(mfrow = grDevices::n2mfrow(length(idx)),
                mar = c(3, 3.2, 2, 0.5), mgp = c(1.9, 0.6, 0), oma = c(2, 0, 0, 0))
  step <- if (length(ax$at) > 1L) min(diff(ax$at)) else 1
  # Relative risks on a log scale (a doubling and a halving equally far
  # from 1, and a forecast's wide band does not flatten the history);
  # probabilities on their own.  `log` in ... overrides.
  dots <- list(...)
  ylog <- if (is.null(dots$log)) {
    if (.family(x) == "binomial") "" else "y"
  } else dots$log
  dots$log <- NULL
  for (r in idx) {
    o <- x$outcomes[r]
    here <- vals$outcome == o
    do.call(graphics::plot, c(list(
      NULL, xlim = range(pos), ylim = range(vals$lower[here],
      vals$upper[here], ref[[o]], na.rm = TRUE), xaxt = "n",
      xlab = "period", ylab = ylab, main = o, log = ylog), dots))
    if (length(future)) {
      lim <- graphics::par("usr")
      if (graphics::par("ylog")) lim[3:4] <- 10^lim[3:4]
      graphics::rect(max(ax$at) + step / 2, lim[3L], lim[2L], lim[4L],
                     col = "grey92", border = NA)
    }
    if (is.null(ax$labels)) {
      if (inherits(x$periods, "Date")) {
        graphics::axis.Date(1, as.Date(pos, origin = "1970-01-01"))
      } else graphics::axis(1)
    } else {
      graphics::axis(1, at = pos, labels = ax$labels)
    }
    graphics::abline(h = ref[[o]], col = "grey50", lty = 3)
    for (k in seq_along(units)) {
      for (fut in c(FALSE, TRUE)) {
        w <- which(here & vals$unit == units[k] & vals$forecast == fut)
        if (!length(w)) next
        w <- w[order(tpos[w])]
        graphics::polygon(c(tpos[w], rev(tpos[w])),
                          c(vals$lower[w], rev(vals$upper[w])),
                          col = band[k], border = NA)
        graphics::lines(tpos[w], vals$median[w], col = cols[k], lwd = 2,
                        lty = if (fut) 2 else 1, type = "o", pch = 20,
                        cex = 0.6)
      }
    }
  }
  graphics::par(fig = c(0, 1, 0, 1), oma = c(0, 0, 0, 0), mar = c(0, 0, 0, 0),
                new = TRUE)
  graphics::plot.new()
  graphics::legend("bottom", legend = units, col = cols, lwd = 2,
                   horiz = TRUE, bty = "n", cex = 0.9, xpd = TRUE)
  rownames(vals) <- NULL
  vals
}
