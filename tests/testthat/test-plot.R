# Trace, density and map plots of fits, drawn to files that are thrown away.

# A fit on a 4 x 4 grid of square sf polygons (queen neighbours), whose
# geometry the fit keeps for its maps.
square_fit <- function() {
  cached_fit("squares", function() {
    squares <- sf::st_sf(id = 1:16, geometry = sf::st_make_grid(
      sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0, xmax = 4, ymax = 4))),
      n = c(4, 4)))
    local_test_seed(8)
    E <- matrix(runif(32, 5, 30), 16, 2)
    Y <- matrix(rpois(32, E * rep(c(0.7, 1.4), each = 8)), 16, 2)
    fit_quietly(Y, E, squares, n_sample = 200, chains = 2, seed = 2)
  })
}

# Draws with `draw` into one pdf file per page; returns the number of pages
# and the value of `draw`.
pdf_pages <- function(draw, width = 7, height = 7) {
  dir <- withr::local_tempdir()
  grDevices::pdf(file.path(dir, "page%03d.pdf"), onefile = FALSE,
                 width = width, height = height)
  value <- tryCatch(draw, finally = grDevices::dev.off())
  list(pages = length(list.files(dir)), value = value)
}

test_that("trace and density plots page through the chosen parameters", {
  fit <- toy_fit()
  expect_message(tr <- pdf_pages(plot(fit, per_page = 4)),
                 "10 panels on 3 pages of up to 4")
  expect_identical(tr$value,
                   c("beta[(Intercept),outcome1]", "beta[x,outcome1]",
                     "beta[(Intercept),outcome2]", "beta[x,outcome2]",
                     "Lambda[1,1]", "Lambda[1,2]", "Lambda[2,2]", "A[1,1]",
                     "A[1,2]", "A[2,2]"))
  expect_identical(tr$pages, 3L)
  de <- pdf_pages(plot(fit, type = "density", variables = c("eta", "rr[3,1]")))
  expect_identical(de$value, c("eta[1]", "eta[2]", "rr[3,1]"))
  expect_identical(de$pages, 1L)
  # The caller's graphical parameters are put back.
  pdf_pages({
    graphics::par(mfrow = c(1, 1), mar = c(5, 4, 4, 2))
    plot(fit, variables = "deviance")
    expect_identical(graphics::par("mfrow"), c(1L, 1L))
    expect_identical(graphics::par("mar"), c(5, 4, 4, 2))
  })
  expect_input_error(pdf_pages(plot(fit, variables = "gamma")), "variables")
  expect_input_error(pdf_pages(plot(fit, per_page = 0)), "per_page")
})

test_that("traces are drawn at the sweeps of their draws, also under a memory budget", {
  d <- toy_data()
  # 30 kept draws, sweeps 42, 44, ..., 100; every 5th stores the fields.
  fit <- suppressMessages(fit_quietly(d$Y, d$E, d$W, n_sample = 100,
                                      burnin = 40, thin = 2, keep = 6,
                                      chains = 1, seed = 3))
  expect_identical(nrow(fit$draws$chain1$phi), 6L)
  seen <- new.env()
  graphics_ns <- asNamespace("graphics")
  suppressMessages(trace("matplot", where = graphics_ns, print = FALSE,
                         tracer = bquote(assign("sweeps", x,
                                                envir = .(seen)))))
  on.exit(suppressMessages(untrace("matplot", where = graphics_ns)))
  pdf_pages(plot(fit, variables = "beta[1,1]"))
  expect_identical(seen$sweeps, 40L + 2L * (1:30))
  pdf_pages(plot(fit, variables = "phi[1,1]"))
  expect_identical(seen$sweeps, 40L + 10L * (1:6))
})

test_that("risk maps draw the relative risks of the fit's polygons", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  fit <- square_fit()
  expect_length(fit$geometry, 16L)
  rr <- relative_risk(fit, threshold = 1.1)
  m <- pdf_pages(plot(fit, type = "map"))
  expect_identical(m$pages, 1L)
  v <- m$value
  expect_equal(unname(v$values), matrix(rr$mean, 16))
  for (j in 1:2) {
    b <- v$breaks[[j]]
    expect_length(v$colours[[j]], length(b) - 1L)
    # Classes of equal width on the log scale with 1 among their
    # boundaries (where the range reaches it), covering every value, with
    # values in the first and the last class.
    z <- log(b) / diff(log(b))[1]
    expect_equal(z, round(z), tolerance = 1e-8)
    expect_true(all(v$values[, j] >= b[1] & v$values[, j] <= b[length(b)]))
    expect_true(any(v$values[, j] < b[2]) &&
                any(v$values[, j] > b[length(b) - 1]))
  }
  # The two outcomes have their own scales unless shared.
  expect_false(identical(v$breaks[[1]], v$breaks[[2]]))
  shared <- pdf_pages(plot(fit, type = "map", shared_scale = TRUE))$value
  expect_identical(shared$breaks[[1]], shared$breaks[[2]])
  expect_true(all(range(v$values) >= range(shared$breaks[[1]])[1] &
                  range(v$values) <= range(shared$breaks[[1]])[2]))
  p <- pdf_pages(plot(fit, type = "map", stat = "prob_gt", threshold = 1.1,
                      outcomes = "outcome2"))$value
  expect_identical(colnames(p$values), "outcome2")
  expect_equal(unname(p$values[, 1]), rr$prob_gt[17:32])
  expect_identical(p$breaks[[1]], c(0, 0.05, 0.2, 0.4, 0.6, 0.8, 0.95, 1))
  own <- pdf_pages(plot(fit, type = "map", outcomes = 1, breaks = c(0, 1, 5)))$value
  expect_identical(own$breaks[[1]], c(0, 1, 5))
  expect_length(own$colours[[1]], 2L)
  expect_input_error(plot(fit, type = "map", outcomes = 3), "outcomes")
  expect_input_error(plot(fit, type = "map", outcomes = "nope"), "outcomes",
                     "nope")
  expect_input_error(plot(fit, type = "map", breaks = c(2, 1)), "breaks")
})

test_that("a fit without polygons maps with `map` and says so without", {
  skip_if_not_installed("sf")
  fit <- toy_fit()
  expect_error(plot(fit, type = "map"), "no polygons.*pass `map`")
  grid25 <- sf::st_make_grid(
    sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0, xmax = 5, ymax = 5))),
    n = c(5, 5))
  m <- pdf_pages(plot(fit, type = "map", map = grid25, stat = "upper"))
  expect_equal(unname(m$value$values),
               matrix(relative_risk(fit)$upper, 25))
  expect_input_error(plot(fit, type = "map", map = grid25[1:16]), "map",
                     "16 features for 25 units")
  expect_input_error(plot(fit, type = "map", map = "grid"), "map")
  # `map` given to mcar_fit() is kept for later maps.
  d <- toy_data()
  kept <- fit_quietly(d$Y, d$E, d$W, map = grid25, n_sample = 20, burnin = 10,
                      chains = 1, seed = 1)
  expect_length(kept$geometry, 25L)
  expect_identical(pdf_pages(plot(kept, type = "map"))$pages, 1L)
})

# Square polygons named "a".."p" as the map of a fit whose units carry those
# names.
named_square_fit <- function() {
  cached_fit("named squares", function() {
    squares <- sf::st_sf(id = 1:16, geometry = sf::st_make_grid(
      sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0, xmax = 4, ymax = 4))),
      n = c(4, 4)))
    rownames(squares) <- letters[1:16]
    local_test_seed(9)
    E <- matrix(runif(48, 5, 30), 16, 3)
    Y <- matrix(rpois(48, E * rep(c(0.7, 1.4), each = 8)), 16, 3)
    list(squares = squares,
         fit = fit_quietly(Y, E, squares, n_sample = 120, chains = 1,
                           seed = 2))
  })
}

test_that("polygons given in another order are matched to the units by name", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  nf <- named_square_fit()
  fit <- nf$fit
  expect_identical(fit$units, letters[1:16])
  local_test_seed(4)
  o <- sample(16)
  m <- pdf_pages(plot(fit, type = "map", map = nf$squares[o, ]))$value
  expect_identical(m$geometry, sf::st_geometry(nf$squares))
  # Each polygon gets the colour of its own unit's class.
  rr <- matrix(relative_risk(fit)$mean, 16)
  for (j in 1:3) {
    k <- findInterval(rr[, j], m$breaks[[j]], rightmost.closed = TRUE,
                      all.inside = TRUE)
    expect_identical(unname(m$fill[, j]), m$colours[[j]][k])
  }
  # The same through mcar_fit(map = ).
  d <- toy_data(nr = 4, K = 1)
  kept <- fit_quietly(d$Y, d$E, `dimnames<-`(d$W, list(letters[1:16],
                                                      letters[1:16])),
                      map = nf$squares[o, ], n_sample = 20, burnin = 10,
                      chains = 1, seed = 1)
  expect_identical(kept$geometry, sf::st_geometry(nf$squares))
  other <- nf$squares
  rownames(other) <- LETTERS[1:16]
  expect_input_error(plot(fit, type = "map", map = other), "map",
                     "do not match those of the fit's units; missing: a, b")
  # Polygons as sp objects are read through sf.
  skip_if_not_installed("sp")
  sp_map <- pdf_pages(plot(fit, type = "map",
                           map = sf::as_Spatial(nf$squares[o, ])))$value
  expect_identical(sp_map$fill, m$fill)
})

test_that("map classes follow the values and say so when breaks miss them", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  fit <- named_square_fit()$fit
  v <- pdf_pages(plot(fit, type = "map"))$value
  rr <- v$values
  expect_error(pdf_pages(plot(fit, type = "map", breaks = c(10, 20, 30))),
               class = "mcar_input_error", regexp = "`breaks` run from 10")
  lo <- min(rr); hi <- max(rr)
  mid <- c(lo + (hi - lo) / 4, (lo + hi) / 2, hi - (hi - lo) / 4)
  part <- pdf_pages(plot(fit, type = "map", breaks = mid))$value
  expect_identical(part$labels[[1]][1], sprintf("below %.2f", mid[2]))
  expect_identical(part$labels[[1]][2], sprintf("%.2f and above", mid[2]))
  # Breaks given (or a shared scale) mean one legend under a grid of maps.
  expect_identical(part$legends, 1L)
  expect_equal(part$grid, c(2, 2))
  expect_identical(v$legends, 3L)
  # Colours of the diverging palette are centred at 1 whatever the range:
  # a class as far above 1 as another is below has the mirrored colour.
  sh <- pdf_pages(plot(fit, type = "map", shared_scale = TRUE))$value
  b <- sh$breaks[[1]]
  z <- round(log(b) / diff(log(b))[1])
  m <- max(abs(z))
  pal <- grDevices::hcl.colors(2 * m, "Blue-Red 3")
  expect_identical(sh$colours[[1]], pal[m + head(z, -1) + 1])
  # Maps of the fields.
  phi <- pdf_pages(plot(fit, type = "map", what = "phi", stat = "median"))$value
  ph <- posterior::as_draws_matrix(fit, variables = "phi")
  expect_equal(unname(phi$values),
               matrix(apply(unclass(ph), 2, median), 16), ignore_attr = TRUE)
  expect_identical(colnames(phi$values), c("field1", "field2", "field3"))
  expect_input_error(plot(fit, type = "map", what = "phi", stat = "prob_gt"),
                     "stat")
})

test_that("trace plots keep the order asked and say when they fill pages", {
  fit <- toy_fit()
  expect_message(tr <- pdf_pages(plot(fit, variables = c("eta", "beta"),
                                      per_page = 4)),
                 "6 panels on 2 pages")
  expect_identical(tr$value, c("eta[1]", "eta[2]", "beta[(Intercept),outcome1]",
                               "beta[x,outcome1]", "beta[(Intercept),outcome2]",
                               "beta[x,outcome2]"))
  expect_no_message(pdf_pages(plot(fit, variables = "eta")))
  d <- toy_data()
  one <- fit_quietly(d$Y, d$E, d$W, n_sample = 40, burnin = 20, thin = 20,
                     chains = 1, seed = 1)
  expect_input_error(pdf_pages(plot(one, type = "density")), "x",
                     "1 kept draw per chain; a density plot needs at least 2")
  k1 <- fit_quietly(d$Y[, 1], d$E[, 1], d$W, n_sample = 20, burnin = 10,
                    chains = 1, seed = 1)
  expect_input_error(pdf_pages(plot(k1, variables = "theta")), "variables",
                     "with one outcome there is no angle theta")
})

test_that("maps of a binomial fit show probabilities around the overall proportion", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  fit <- cached_fit("squares-binomial", function() {
    squares <- sf::st_sf(id = 1:16, geometry = sf::st_make_grid(
      sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0, xmax = 4, ymax = 4))),
      n = c(4, 4)))
    local_test_seed(9)
    N <- matrix(round(runif(32, 500, 3000)), 16, 2)
    Y <- matrix(rbinom(32, N, rep(c(0.002, 0.004), each = 16) *
                         exp(rnorm(32, 0, 0.3))), 16, 2)
    fit_quietly(Y, W = squares, family = "binomial", trials = N,
                n_sample = 200, chains = 2, seed = 2)
  })
  rr <- relative_risk(fit)
  m <- pdf_pages(plot(fit, type = "map"))$value
  # Probabilities per 100,000 by default, and the legend says so.
  expect_identical(m$scale, 1e5)
  expect_equal(unname(m$values), matrix(rr$mean, 16) * 1e5)
  one <- pdf_pages(plot(fit, type = "map", scale = 1))$value
  expect_equal(unname(one$values), matrix(rr$mean, 16))
  expect_input_error(plot(fit, type = "map", scale = -1), "scale")
  overall <- unique(rr$overall) * 1e5
  for (j in 1:2) {
    b <- m$breaks[[j]]
    # Classes of equal width in the log ratio to the overall proportion,
    # which is among their boundaries when the range reaches it.
    z <- log(b / overall[j]) / diff(log(b))[1]
    expect_equal(z, round(z), tolerance = 1e-8)
    expect_true(all(m$values[, j] >= b[1] & m$values[, j] <= b[length(b)]))
    # Labels tell the small boundaries apart.
    lab <- m$labels[[j]]
    expect_false(anyDuplicated(lab) > 0)
    expect_false(any(grepl("0.00 to 0.00", lab, fixed = TRUE)))
  }
  p <- pdf_pages(plot(fit, type = "map", stat = "prob_gt", threshold = 1.2))
  expect_equal(unname(p$value$values[, 2]),
               relative_risk(fit, threshold = 1.2)$prob_gt[17:32])
})

test_that("maps suit the number of units and the device", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  fit <- named_square_fit()$fit
  # Three maps on a wide device: one row, no empty cell.
  v <- pdf_pages(plot(fit, type = "map"), width = 12, height = 4)$value
  expect_equal(v$grid, c(1, 3))
  expect_false(any(v$layout == 0L))
  # On a square device two rows, the last one centred: its empty
  # half-columns are as many on the left as on the right.
  sq <- pdf_pages(plot(fit, type = "map"), width = 7, height = 7)$value
  expect_equal(sq$grid, c(2, 2))
  last <- sq$layout[nrow(sq$layout) - 1L, ]
  expect_identical(which(last == 0L), c(1L, 4L))
  # Legends scale with the cells, within limits.
  expect_gt(v$legend_cex, 0)
  small <- pdf_pages(plot(fit, type = "map"), width = 3, height = 3)$value
  expect_identical(small$legend_cex, 0.6)
  # Few units: dark borders; borders can be turned off.
  expect_identical(v$border$colour, "grey35")
  off <- pdf_pages(plot(fit, type = "map", border = NA))$value
  expect_identical(off$border$colour, NA)
  # Many units: light thin borders, then none.
  expect_true(is.na(asNamespace("mcar")$.map_border(3600L)$colour))
  expect_identical(asNamespace("mcar")$.map_border(1000L)$colour, "grey60")
})
