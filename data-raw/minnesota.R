# Builds the bundled Minnesota county map files and a simulated data set.
#
# Run from the repository root:
#
#     Rscript data-raw/minnesota.R
#
# Needs the 'maps', 'spdep' and 'sf' packages.  Only this script uses them;
# the installed package reads the plain-text files written here.
#
# Writes to inst/extdata/:
#   minnesota_counties.txt  the 87 county polygon names ("minnesota,aitkin",
#                           ...), one per line, in the unit order used below
#   neighbor1.txt           D, 87 x 87 diagonal, D[k,k] = number of neighbours
#   neighbor2.txt           C, 87 x 87 symmetric 0/1 adjacency
#   eigen.txt               eigenvalues of D^(-1/2) C D^(-1/2), ascending
#   simulated.csv           three simulated outcomes with the true fields and
#                           relative risks
#   simulated_truth.csv     the parameter values the data were drawn from

suppressPackageStartupMessages({
  library(maps)
  library(sf)
  library(spdep)
})

out_dir <- file.path("inst", "extdata")
if (!dir.exists(out_dir)) {
  stop("run this script from the repository root (", out_dir, " not found)")
}

# ---------------------------------------------------------------------------
# Map and county order
# ---------------------------------------------------------------------------

mn <- maps::map("county", "minnesota", plot = FALSE, fill = TRUE)

# A county drawn as several polygons shows up as "state,county:part".  The
# Minnesota database has none at present, but merge by county name anyway so
# that there is always one unit per county.
county_of <- sub(":.*$", "", mn$names)
counties <- sort(unique(county_of))
stopifnot(length(counties) == 87L)

# Adjacency is a planar question on the lon/lat vertices.
invisible(suppressMessages(sf::sf_use_s2(FALSE)))
shapes <- sf::st_make_valid(sf::st_as_sf(mn))
shapes$county <- sub(":.*$", "", shapes$ID)
if (anyDuplicated(shapes$county)) {
  geom <- lapply(counties, function(k) {
    sf::st_union(sf::st_geometry(shapes)[shapes$county == k])
  })
  shapes <- sf::st_sf(county = counties, geometry = do.call(c, geom))
}
shapes <- shapes[match(counties, shapes$county), ]
stopifnot(identical(shapes$county, counties),
          all(sf::st_is_valid(shapes)))

# The map order is alphabetical; keep it so that fitted values can be matched
# to polygon names when drawing.
stopifnot(identical(counties, sort(counties)))

# ---------------------------------------------------------------------------
# Adjacency
# ---------------------------------------------------------------------------

# Two counties are neighbours when they share a stretch of boundary (rook
# contiguity).  Counties meeting at a single corner point, common in the
# grid-like south of the state, are not neighbours.  A snap tolerance of
# 1e-4 degrees (about 10 m) absorbs rounding in the map vertices; the result
# is the same for any tolerance between 1e-8 and 5e-3.
nb <- suppressMessages(spdep::poly2nb(shapes, queen = FALSE, snap = 1e-4))
C <- matrix(as.integer(spdep::nb2mat(nb, style = "B", zero.policy = FALSE)),
            87, 87)

# Cross-check against the geometry itself: interiors disjoint and the
# boundaries meeting in a line (DE-9IM pattern F***1****).
edge <- suppressMessages(sf::st_relate(shapes, shapes, pattern = "F***1****"))
C_check <- matrix(0L, 87, 87)
for (i in seq_len(87)) C_check[i, edge[[i]]] <- 1L
diag(C_check) <- 0L
stopifnot(identical(C, C_check))

stopifnot(nrow(C) == 87L, ncol(C) == 87L,
          isSymmetric(C),
          all(diag(C) == 0L),
          all(C %in% c(0L, 1L)),
          all(rowSums(C) >= 1L),
          spdep::n.comp.nb(nb)$nc == 1L)   # one connected map, no islands

D <- diag(rowSums(C))
storage.mode(D) <- "integer"

# Eigenvalues of D^(-1/2) C D^(-1/2).  They bound the eigenvalues of the
# association matrix: the prior precision I (x) D - A (x) C is positive
# definite exactly when 1 - eta_k * lambda_i > 0 for all k and i.
d_isqrt <- 1 / sqrt(rowSums(C))
S <- C * outer(d_isqrt, d_isqrt)
lambda <- sort(eigen(S, symmetric = TRUE, only.values = TRUE)$values)
stopifnot(abs(max(lambda) - 1) < 1e-10,
          min(lambda) >= -1 - 1e-10)

# ---------------------------------------------------------------------------
# Writing the map files
# ---------------------------------------------------------------------------

write_matrix <- function(M, file) {
  lines <- apply(M, 1, function(row) paste(format(row, trim = TRUE),
                                           collapse = " "))
  writeLines(lines, file)
}

writeLines(counties, file.path(out_dir, "minnesota_counties.txt"))
write_matrix(D, file.path(out_dir, "neighbor1.txt"))
write_matrix(C, file.path(out_dir, "neighbor2.txt"))
writeLines(sprintf("%.17g", lambda), file.path(out_dir, "eigen.txt"))

# ---------------------------------------------------------------------------
# Simulated data
# ---------------------------------------------------------------------------

set.seed(20240611)

# True parameter values.
gbeta <- c(0.05, -0.10, 0.00)
lamda <- c(0.50, 0.15, 0.10, 0.40, 0.10, 0.35)
eta   <- c(0.90, 0.70, 0.50)   # eigenvalues of A
theta <- c(0.20, -0.10, 0.15)  # rotation angles, in units of pi/2

# Association matrix A = P diag(eta) P', P the product of three plane
# rotations with angles theta * pi / 2.
association <- function(eta, theta) {
  a <- theta * pi / 2
  P1 <- rbind(c( cos(a[1]), sin(a[1]), 0),
              c(-sin(a[1]), cos(a[1]), 0),
              c(0, 0, 1))
  P2 <- rbind(c( cos(a[2]), 0, sin(a[2])),
              c(0, 1, 0),
              c(-sin(a[2]), 0, cos(a[2])))
  P3 <- rbind(c(1, 0, 0),
              c(0,  cos(a[3]), sin(a[3])),
              c(0, -sin(a[3]), cos(a[3])))
  P <- P1 %*% P2 %*% P3
  P %*% diag(eta) %*% t(P)
}
A <- association(eta, theta)
A <- (A + t(A)) / 2
# Packed upper triangle, row by row: A11, A12, A13, A22, A23, A33.
alpha <- c(A[1, 1], A[1, 2], A[1, 3], A[2, 2], A[2, 3], A[3, 3])

stopifnot(all(eta > -1.19 & eta < 0.99),
          all(abs(theta) < 1),
          all(outer(eta, lambda, function(e, l) 1 - e * l) > 0),
          isTRUE(all.equal(sort(eigen(A, symmetric = TRUE)$values),
                           sort(eta))))

# Prior precision of the stacked fields (phi1, phi2, phi3), component-major.
Q <- kronecker(diag(3), D) - kronecker(A, C)
R <- chol(Q)                   # fails unless Q is positive definite
stopifnot(min(eigen(Q, symmetric = TRUE, only.values = TRUE)$values) > 0)

# phi ~ N(0, Q^-1): with Q = R'R and z ~ N(0, I), R^-1 z has covariance Q^-1.
phi <- backsolve(R, rnorm(3 * 87))
phi1 <- phi[1:87]
phi2 <- phi[88:174]
phi3 <- phi[175:261]

# Linear predictors and relative risks.
eta1 <- gbeta[1] + lamda[1] * phi1 + lamda[2] * phi2 + lamda[3] * phi3
eta2 <- gbeta[2] + lamda[4] * phi2 + lamda[5] * phi3
eta3 <- gbeta[3] + lamda[6] * phi3
RR1 <- exp(eta1)
RR2 <- exp(eta2)
RR3 <- exp(eta3)

# Expected counts: a common county size drawn from a lognormal (median 30),
# scaled per outcome so the three diseases differ in how common they are.
size <- rlnorm(87, meanlog = log(30), sdlog = 1.1)
N1 <- round(size * 1.0, 2)
N2 <- round(size * 0.6, 2)
N3 <- round(size * 1.5, 2)

Y1 <- rpois(87, N1 * RR1)
Y2 <- rpois(87, N2 * RR2)
Y3 <- rpois(87, N3 * RR3)

sim <- data.frame(county = counties,
                  Y1 = Y1, N1 = N1, Y2 = Y2, N2 = N2, Y3 = Y3, N3 = N3,
                  phi1 = phi1, phi2 = phi2, phi3 = phi3,
                  RR1 = RR1, RR2 = RR2, RR3 = RR3)
# County names contain a comma, so they are quoted; numbers are written with
# 15 significant digits.
write.csv(sim, file.path(out_dir, "simulated.csv"), row.names = FALSE)

truth <- data.frame(
  parameter = c(paste0("gbeta", 1:3), paste0("lamda", 1:6),
                paste0("eta", 1:3), paste0("theta", 1:3),
                paste0("alpha", 1:6)),
  value = c(gbeta, lamda, eta, theta, alpha))
write.csv(truth, file.path(out_dir, "simulated_truth.csv"),
          row.names = FALSE, quote = FALSE)

# ---------------------------------------------------------------------------
# Summary
# ---------------------------------------------------------------------------

cat(sprintf("counties: %d\n", length(counties)))
cat(sprintf("neighbour pairs: %d\n", sum(C) / 2))
cat(sprintf("neighbours per county: mean %.3f, min %d, max %d\n",
            mean(diag(D)), min(diag(D)), max(diag(D))))
cat(sprintf("eigenvalues of D^(-1/2) C D^(-1/2): [%.6f, %.6f]\n",
            min(lambda), max(lambda)))
cat(sprintf("expected counts: min %.1f, median %.1f, max %.1f (outcome 1)\n",
            min(N1), median(N1), max(N1)))
for (r in 1:3) {
  rr <- get(paste0("RR", r))
  cat(sprintf("RR%d: range [%.3f, %.3f], share in [0.5, 2]: %.2f\n",
              r, min(rr), max(rr), mean(rr >= 0.5 & rr <= 2)))
}
cat("A =\n")
print(round(A, 4))
