# Pictures of fits over periods: maps of outcomes by periods with one
# legend, and series of the risks of chosen units with a forecast.

local_null_device <- function(envir = parent.frame()) {
  grDevices::pdf(NULL)
  dev <- grDevices::dev.cur()
  withr::defer(grDevices::dev.off(dev), envir = envir)
}

grid_squares <- function(nr = 5) {
  sf::st_make_grid(sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0,
                                               xmax = nr, ymax = nr))),
                   n = c(nr, nr))
}

test_that("maps over periods form a grid of outcomes by periods with one legend", {
  skip_if_not_installed("sf")
  local_null_device()
  f <- periods_fit("plot8", K = 2, years = 2001:2008)
  sq <- grid_squares()
  expect_message(m <- withVisible(plot(f, type = "map", map = sq)),
                 "6 of the 8 periods")
  expect_false(m$visible)
  m <- m$value
  expect_identical(m$grid, c(2, 6))
  expect_identical(m$legends, 1L)
  expect_equal(m$periods, c(2001, 2002, 2004, 2005, 2007, 2008))
  expect_identical(colnames(m$values)[c(1, 7)], c("Y1 2001", "Y2 2001"))
  # The mapped values are those of relative_risk() for those periods.
  rr <- relative_risk(f, time = 2005)
  expect_equal(unname(m$values[, "Y2 2005"]),
               rr$mean[rr$outcome == "Y2"])
  m2 <- plot(f, type = "map", map = sq, time = c(2006, 2003),
             outcomes = "Y2", stat = "prob_gt")
  expect_identical(colnames(m2$values), c("Y2 2006", "Y2 2003"))
  expect_identical(m2$grid, c(1, 2))
  expect_input_error(plot(f, type = "map", map = sq, time = 2020), "time",
                     "2020")
  # Ordinary fits keep their maps; `time` has no use there.
  expect_input_error(plot(toy_fit(), type = "map", time = 2001), "time")
})

test_that("series draw the chosen units over time, with a forecast after them", {
  local_null_device()
  f <- periods_fit("plot8", K = 2, years = 2001:2008)
  v <- withVisible(plot(f, type = "series", units = c("a01", "a13")))
  expect_false(v$visible)
  v <- v$value
  expect_identical(nrow(v), 2L * 8L * 2L)
  expect_false(any(v$forecast))
  rr <- relative_risk(f)
  at <- rr$unit == "a13" & rr$outcome == "Y1"
  expect_equal(v$mean[v$unit == "a13" & v$outcome == "Y1"], rr$mean[at])
  expect_equal(v$median[v$unit == "a13" & v$outcome == "Y1"], rr$median[at])
  set.seed(1)
  fc <- suppressMessages(predict(f, horizon = 2))
  w <- plot(f, type = "series", units = "a02", outcomes = 2, forecast = fc)
  # Relative risks on a log scale by default; a linear one when asked.
  expect_silent(plot(f, type = "series", units = "a02", outcomes = 2,
                     forecast = fc, log = ""))
  expect_identical(sum(w$forecast), 2L)
  expect_equal(w$period[w$forecast], c(2009, 2010))
  expect_input_error(plot(f, type = "series", units = c("a01", "z99")),
                     "units", "z99")
  expect_input_error(plot(f, type = "series", units = 3), "units")
  expect_input_error(plot(f, type = "series", forecast = rr), "forecast")
  expect_input_error(plot(toy_fit(), type = "series"), "type")
})

test_that("periods given as a factor are drawn by rank", {
  ax <- mcar:::.time_axis(factor(c("winter", "spring")), c("spring+1"))
  expect_identical(ax$at, 1:2)
  expect_identical(ax$future, 3L)
  expect_identical(ax$labels, c("winter", "spring", "spring+1"))
})
