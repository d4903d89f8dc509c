# The bundled map and simulated data set.

test_that("the bundled map is a valid map in the order of the data", {
  W <- minnesota_adjacency()
  counties <- minnesota_counties()
  expect_identical(dim(W), c(87L, 87L))
  expect_identical(dimnames(W), list(counties, counties))
  expect_true(isSymmetric(W))
  expect_true(all(W %in% c(0, 1)) && all(diag(W) == 0))
  expect_true(all(rowSums(W) > 0))
  mp <- asNamespace("mcar")$.check_map(W)
  expect_identical(mp$units, counties)
  sim <- minnesota_simulated()
  expect_identical(sim$county, counties)
})

test_that("the simulated risks follow the model at the true values", {
  sim <- minnesota_simulated()
  tr <- minnesota_truth()
  Lambda <- asNamespace("mcar")$.unpack(tr[paste0("lamda", 1:6)], 3)
  phi <- as.matrix(sim[c("phi1", "phi2", "phi3")])
  mu <- phi %*% t(Lambda) + rep(tr[paste0("gbeta", 1:3)], each = 87)
  expect_equal(unname(as.matrix(sim[c("RR1", "RR2", "RR3")])), unname(exp(mu)))
  # The true association matrix is P diag(eta) P' of the true angles.
  A <- association_by_hand(tr[paste0("eta", 1:3)], tr[paste0("theta", 1:3)])
  expect_equal(A[upper.tri(A, diag = TRUE)][c(1, 2, 4, 3, 5, 6)],
               unname(tr[paste0("alpha", 1:6)]))
  expect_equal(sort(eigen(A)$values), sort(unname(tr[paste0("eta", 1:3)])))
})

test_that("the bundled polygons come in the order of the map", {
  skip_if_not_installed("maps")
  skip_if_not_installed("sf")
  m <- minnesota_map()
  expect_s3_class(m, "sf")
  expect_identical(m$county, minnesota_counties())
  expect_length(sf::st_geometry(m), 87L)
})
