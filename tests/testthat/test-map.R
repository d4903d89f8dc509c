# The map: every accepted form (dense, sparse, weighted, spdep lists, sf and
# sp polygons) gives the fit it describes, bad maps are refused with the
# reason, islands and components are taken as they are, and the compiled
# preparation matches the dense eigenvalues.

test_that("bad maps are refused with the reason", {
  a <- base_args()
  W <- a$W
  refuse(with_arg(a, W = W[, -1]), "W", "square matrix, not 25 x 24")
  refuse(with_arg(a, W = W[1:2, 1:2]), "W", "at least 3")
  asym <- W
  asym[1, 2] <- 2
  refuse(with_arg(a, W = asym), "W", "symmetric; W\\[2, 1\\] = 1 but W\\[1, 2\\] = 2")
  neg <- W
  neg[1, 2] <- neg[2, 1] <- -1
  refuse(with_arg(a, W = neg), "W", "negative entries; W\\[2, 1\\] is -1")
  self <- W
  self[4, 4] <- 1
  refuse(with_arg(a, W = self), "W", "zero diagonal.*unit 4 is not")
  na <- W
  na[1, 2] <- na[2, 1] <- NA
  refuse(with_arg(a, W = na), "W", "missing values")
  refuse(with_arg(a, W = "adjacency"), "W", "adjacency matrix")
  refuse(with_arg(a, W = NULL), "W", "not NULL")
  refuse(a[names(a) != "W"], "W", "missing")
})

test_that("dense, sparse and weighted maps give the fit they describe", {
  a <- base_args()
  a$chains <- 2
  dense <- tiny_fit(a)
  ij <- which(a$W > 0, arr.ind = TRUE)
  # A pattern matrix and a symmetric sparse matrix.
  pattern <- Matrix::sparseMatrix(i = ij[, 1], j = ij[, 2], dims = c(25, 25))
  expect_identical(tiny_fit(with_arg(a, W = pattern))$draws, dense$draws)
  symm <- Matrix::Matrix(a$W, sparse = TRUE)
  expect_identical(tiny_fit(with_arg(a, W = symm))$draws, dense$draws)
  # Weights enter the prior: another fit, the same dense or sparse.
  Ww <- a$W * (1 + outer(1:25, 1:25, "+") %% 3)
  wd <- tiny_fit(with_arg(a, W = Ww))
  expect_false(identical(wd$draws, dense$draws))
  expect_equal(wd$map$d, rowSums(Ww))
  expect_identical(tiny_fit(with_arg(a, W = Matrix::Matrix(Ww)))$draws,
                   wd$draws)
})

test_that("spdep neighbour lists and symmetric weights are maps", {
  skip_if_not_installed("spdep")
  a <- base_args()
  dense <- tiny_fit(a)
  nb <- spdep::cell2nb(5, 5)
  expect_identical(tiny_fit(with_arg(a, W = nb))$draws, dense$draws)
  expect_identical(tiny_fit(with_arg(a, W = spdep::nb2listw(nb, style = "B")))$draws,
                   dense$draws)
  Ww <- a$W * (1 + outer(1:25, 1:25, "+") %% 3)
  lw <- spdep::mat2listw(Ww, style = "B")
  expect_identical(tiny_fit(with_arg(a, W = lw))$draws,
                   tiny_fit(with_arg(a, W = Ww))$draws)
  # Row-standardised weights are not symmetric.
  refuse(with_arg(a, W = spdep::nb2listw(nb, style = "W")), "W", "symmetric")
  bad <- nb
  bad[[3]] <- c(2L, 99L)
  refuse(with_arg(a, W = bad), "W", "invalid neighbour indices for unit 3")
})

test_that("sf polygons are a map by shared boundaries and keep the geometry", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  nc <- sf::st_read(system.file("shape/nc.shp", package = "sf"), quiet = TRUE)
  local_test_seed(3)
  n <- nrow(nc)
  E <- matrix(runif(2 * n, 5, 20), n, 2)
  Y <- matrix(rpois(2 * n, E), n, 2)
  args <- list(Y, E, n_sample = 20, burnin = 10, chains = 1, seed = 2)
  expect_no_message(fit <- do.call(fit_quietly, c(list(W = nc), args)))
  queen <- spdep::poly2nb(nc)
  expect_identical(fit$draws,
                   do.call(fit_quietly, c(list(W = queen), args))$draws)
  expect_length(fit$geometry, n)
  expect_s3_class(fit$geometry, "sfc")
  # Rook neighbours: corners alone do not count.
  rook <- do.call(fit_quietly, c(list(W = nc, queen = FALSE), args))
  expect_equal(sum(rook$map$d), sum(spdep::card(spdep::poly2nb(nc, queen = FALSE))))
  expect_lt(sum(rook$map$d), sum(fit$map$d))
  refuse(c(list(counts = Y, expected = E, W = sf::st_centroid(sf::st_geometry(nc))),
           args[-(1:2)]), "W", "polygons")
})

test_that("the settings of polygons as the map are checked", {
  a <- base_args()
  refuse(with_arg(a, snap = "a"), "snap", "non-negative distance")
  refuse(with_arg(a, snap = -1), "snap", "non-negative distance, not -1")
  refuse(with_arg(a, queen = NA), "queen", "TRUE or FALSE")
})

test_that("spdep and sp maps that cannot serve are refused with the remedy", {
  skip_if_not_installed("spdep")
  skip_if_not_installed("sf")
  a <- base_args()
  d <- toy_data()
  lw <- spdep::mat2listw(d$W, style = "W")
  refuse(with_arg(a, W = lw), "W",
         "style \"W\".*not symmetric.*`W\\$neighbours`.*style \"B\"")
  squares <- sf::st_sf(id = 1:25, geometry = sf::st_make_grid(
    sf::st_as_sfc(sf::st_bbox(c(xmin = 0, ymin = 0, xmax = 5, ymax = 5))),
    n = c(5, 5)))
  ref <- tiny_fit(with_arg(a, W = squares))
  # An sp object is read through sf.
  skip_if_not_installed("sp")
  from_sp <- tiny_fit(with_arg(a, W = sf::as_Spatial(squares)))
  expect_identical(from_sp$draws, ref$draws)
  empty <- squares
  sf::st_geometry(empty)[7] <- sf::st_polygon()
  refuse(with_arg(a, W = empty), "W", "empty polygons for unit\\(s\\) 7")
  sf::st_geometry(empty)[7] <- sf::st_multipolygon()
  refuse(with_arg(a, W = empty), "W", "empty polygons for unit\\(s\\) 7")
  # A self-crossing ring on the sphere: the unit and the remedy are named.
  ll <- sf::st_set_crs(squares, 4326)
  bow <- sf::st_polygon(list(rbind(c(1, 1), c(2, 2), c(2, 1), c(1, 2),
                                   c(1, 1))))
  sf::st_geometry(ll)[7] <- sf::st_sfc(bow, crs = 4326)
  refuse(with_arg(a, W = ll), "W",
         "unit\\(s\\) 7.* are not valid polygons.*st_make_valid\\(\\)")
})

test_that("the map's eigenvalue bound and log-determinant match the dense ones", {
  ns <- asNamespace("mcar")
  sparse <- function(W) {
    M <- methods::as(methods::as(Matrix::Matrix(unname(as.matrix(W)),
                                                sparse = TRUE),
                                 "generalMatrix"), "dgCMatrix")
    list(row_ptr = as.integer(M@p), col = as.integer(M@i), w = as.double(M@x),
         W = as.matrix(M))
  }
  # The bundled maps, and a grid of 30 units with two islands and a cut
  # into two parts.
  g <- as.matrix(grid_adjacency(6, 5))
  g[c(7, 19), ] <- 0; g[, c(7, 19)] <- 0
  g[1:12, 13:30] <- 0; g[13:30, 1:12] <- 0
  maps <- list(minnesota = minnesota_adjacency(), nc = nc_adjacency(),
               cut = g)
  set.seed(3)
  for (nm in names(maps)) {
    m <- sparse(maps[[nm]])
    d <- rowSums(m$W); d[d == 0] <- 1
    lam <- eigen(m$W / sqrt(outer(d, d)), symmetric = TRUE,
                 only.values = TRUE)$values
    expect_equal(.Call(ns$mcar_map_lambda_min, m$row_ptr, m$col, m$w),
                 min(lam), tolerance = 1e-8, label = nm)
    mp <- suppressMessages(ns$.prepare_map(ns$.check_map(maps[[nm]])))
    expect_equal(mp$eta_lo, max(-1.19, 0.99 / min(lam)), tolerance = 1e-10,
                 label = nm)
    eta <- c(mp$eta_lo + c(1e-12, 1e-7), runif(100, mp$eta_lo, mp$eta_hi),
             mp$eta_hi - c(1e-7, 1e-12))
    exact <- .Call(ns$mcar_map_logdet, m$row_ptr, m$col, m$w, eta)
    dense <- vapply(eta, function(e) sum(log1p(-e * lam)), numeric(1))
    expect_equal(as.vector(exact), dense, tolerance = 1e-10, label = nm)
    interp <- .Call(ns$mcar_logdet_eval, mp$logdet, eta)
    expect_lt(max(abs(interp - exact)), 1e-6, label = nm)
  }
})

test_that("islands and several components are taken as they are and named", {
  g <- grid_adjacency(5, 5)
  g[13, ] <- 0; g[, 13] <- 0
  nm <- sprintf("area%02d", 1:25)
  dimnames(g) <- list(nm, nm)
  ns <- asNamespace("mcar")
  expect_message(mp <- ns$.prepare_map(ns$.check_map(g)),
                 "1 connected component of linked units; 1 unit without neighbours \\(area13\\)")
  expect_identical(mp$islands, 13L)
  expect_identical(mp$d[13], 1)
  # An spdep neighbour list marks an island by 0, a W by a zero row.
  nb <- lapply(seq_len(25), function(i) {
    j <- which(g[i, ] > 0)
    if (length(j)) as.integer(j) else 0L
  })
  class(nb) <- "nb"
  expect_message(mp2 <- ns$.prepare_map(ns$.check_map(nb)),
                 "without neighbours \\(13\\)")
  expect_identical(mp2$row_ptr, mp$row_ptr)
  # Two components: rows 1-2 of the grid apart from rows 3-5.
  h <- grid_adjacency(5, 5)
  top <- ((seq_len(25) - 1L) %/% 5L) < 2L
  h[top, !top] <- 0; h[!top, top] <- 0
  expect_message(mp3 <- ns$.prepare_map(ns$.check_map(h)),
                 "2 connected components")
  expect_identical(sort(unique(mp3$components)), 1:2)
})

test_that("islands = \"nearest\" links each island to its nearest polygon", {
  skip_if_not_installed("sf")
  skip_if_not_installed("spdep")
  sq <- function(x, y) sf::st_polygon(list(rbind(c(x, y), c(x + 1, y),
                                                  c(x + 1, y + 1), c(x, y + 1),
                                                  c(x, y))))
  polys <- c(lapply(0:8, function(k) sq(k %% 3, k %/% 3)),
             list(sq(5, 1.2), sq(-4, 0)))
  x <- sf::st_sf(id = 1:11, geometry = sf::st_sfc(polys))
  rownames(x) <- paste0("p", 1:11)
  ns <- asNamespace("mcar")
  mp <- ns$.check_map(x, islands = "independent")
  expect_identical(mp$islands, 10:11)
  mp <- ns$.check_map(x, islands = "nearest")
  expect_length(mp$islands, 0L)
  expect_identical(mp$links$to_unit, c("p6", "p1"))
  expect_message(ns$.prepare_map(mp), "2 islands linked to the unit with the nearest centroid \\(p10 -> p6, p11 -> p1\\)")
  expect_input_error(ns$.check_map(grid_adjacency(3, 3) * 0, islands = "nearest"),
                     "islands", "needs polygons")
  expect_input_error(ns$.check_islands("far"), "islands", "not \"far\"")
})

test_that("weights near the limits of double precision", {
  ns <- asNamespace("mcar")
  W <- grid_adjacency(5)
  W[1, 2] <- W[2, 1] <- 3  # weights of more than one size
  ref <- ns$.prepare_map(ns$.check_map(W), quiet = TRUE)
  # The normalised weights do not depend on their scale, however far out:
  # the support of the eigenvalues is that of the map as it is.
  for (s in c(1e200, 1e-200)) {
    mp <- ns$.check_map(W)
    mp$w <- mp$w * s
    got <- ns$.prepare_map(mp, quiet = TRUE)
    expect_equal(got$lambda_min, ref$lambda_min, tolerance = 1e-10)
    expect_equal(got$eta_lo, ref$eta_lo, tolerance = 1e-10)
  }
  # A fit refuses weights on such scales, saying so.
  a <- base_args()
  refuse(with_arg(a, W = a$W * 1e200), "W", "extreme scale")
  refuse(with_arg(a, W = a$W * 1e-200), "W", "extreme scale")
  refuse(with_arg(a, W = a$W * 1e308), "W", "row sums overflow")
})

test_that("the islands are named by the fit's unit names", {
  a <- base_args()
  g <- grid_adjacency(5, 5)
  g[13, ] <- 0; g[, 13] <- 0
  nm <- sprintf("county%02d", 1:25)
  # An unnamed map and named data: the units are the data's names.
  msgs <- character()
  withCallingHandlers(
    tiny_fit(with_arg(a, W = g, counts = `rownames<-`(a$counts, nm))),
    message = function(m) {
      msgs <<- c(msgs, conditionMessage(m))
      invokeRestart("muffleMessage")
    })
  expect_true(any(grepl("without neighbours \\(county13\\)", msgs)))
  # sp polygons numbered 0..n-1 by sp: the ids give way to the data's names
  # and to `units`.
  skip_if_not_installed("sf")
  skip_if_not_installed("sp")
  skip_if_not_installed("spdep")
  sq <- function(x, y) sf::st_polygon(list(rbind(c(x, y), c(x + 1, y),
                                                  c(x + 1, y + 1), c(x, y + 1),
                                                  c(x, y))))
  polys <- c(lapply(0:8, function(k) sq(k %% 3, k %/% 3)), list(sq(5, 5)))
  sp_map <- methods::as(sf::st_sf(id = 1:10, geometry = sf::st_sfc(polys)),
                        "Spatial")
  sp::spChFIDs(sp_map) <- as.character(0:9)
  local_test_seed(3)
  Y <- matrix(rpois(20, 10), 10, 2); E <- matrix(10, 10, 2)
  msgs <- character()
  fit <- withCallingHandlers(
    tiny_fit(with_arg(a, W = sp_map, counts = Y, expected = E,
                      units = paste0("area", 1:10))),
    message = function(m) {
      msgs <<- c(msgs, conditionMessage(m))
      invokeRestart("muffleMessage")
    })
  expect_identical(fit$units, paste0("area", 1:10))
  expect_true(any(grepl("without neighbours \\(area10\\)", msgs)))
})
