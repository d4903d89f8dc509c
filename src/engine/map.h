// The map and its sparse algebra: connected components, the smallest
// eigenvalue of the normalised weights and the log-determinant of the MCAR
// prior as a function of an association eigenvalue.
//
// The map is held in compressed rows (see engine.h): the neighbours of unit
// i are col[row_ptr[i]] .. col[row_ptr[i+1]-1] with weights w[...], C is
// symmetric with a zero diagonal.  D is the diagonal of the prior's
// precision: the row sums of C, and 1 for a unit without neighbours (an
// island), whose field is then N(0, I) a priori.  S = D^-1/2 C D^-1/2 has
// its eigenvalues in [-1, 1] (an island contributes a 0), and for an
// eigenvalue eta of the association matrix the prior needs
//
//   f(eta) = log|D - eta C| - log|D| = log|I - eta S| = sum_i log(1 - eta lambda_i).
//
// Nothing here is of size n x n: S is factorised by a sparse Cholesky
// (LDL') after one fill-reducing ordering of its pattern.
#ifndef MCAR_MAP_H
#define MCAR_MAP_H

#include <memory>
#include <vector>

namespace mcar_engine {

struct MapView {
  int n = 0;
  const int *row_ptr = nullptr;
  const int *col = nullptr;
  const double *w = nullptr;
};

// The precision's diagonal D: row sums of C, 1 on islands.
std::vector<double> precision_diagonal(const MapView &m);

// Component labels 0, 1, ... in the order of each component's first unit.
std::vector<int> components(const MapView &m);

// Sparse LDL' factorisations of I - eta S for any eta, sharing one symbolic
// analysis (an approximate minimum degree ordering).
class MapFactor {
public:
  explicit MapFactor(const MapView &m);
  ~MapFactor();
  MapFactor(const MapFactor &) = delete;
  MapFactor &operator=(const MapFactor &) = delete;

  // log|I - eta S| in *logdet; false (and *logdet untouched) when I - eta S
  // is not positive definite.
  bool log_det(double eta, double *logdet);
  int factorisations() const { return count_; }
  bool has_edges() const { return edges_; }

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool edges_ = false;
  int count_ = 0;
};

// The smallest eigenvalue of S (0 for a map without edges), by bisection on
// the positive definiteness of I - S / lambda, to about 1e-14, or to 1e-12
// within [-1, upper] when the caller knows that it lies there.
double smallest_eigenvalue(MapFactor &f, double upper = 0.0);

// The support (eta_lo, hi) of an association eigenvalue on this map, with
// eta_lo = max(floor, ratio / lambda_min) (floor when lambda_min >= 0), and
// the nearest singularity below eta_lo: 1 / lambda_min, or any point below
// eta_lo known to lie above it.  lambda_min is computed only when it sets
// eta_lo; otherwise it is returned as NaN.
struct Support {
  double eta_lo, eta_hi, z_lo, lambda_min;
};
Support eta_support(MapFactor &f, double floor, double ratio, double hi);

// f(eta) on [lo, hi] as a piecewise Chebyshev series.  The function has
// logarithmic singularities at 1 / lambda_max = 1 and at 1 / lambda_min,
// close to the ends of its support; each half of [lo, hi] is interpolated
// in the logarithm of the distance to the nearer singularity, where every
// term log(1 - eta lambda_i) is analytic in a strip of half-width pi, in
// pieces at most 3 long in u, halved while the trailing coefficients exceed
// 1e-8 + 1e-13 |f| (the interpolant is then within about 1e-8 of f).
class LogDet {
public:
  static const int DEGREE = 24;
  static const int ROWS = 6 + DEGREE + 1; // flat layout of one piece

  LogDet() = default;
  // z_lo: the nearest singularity below lo, or a point between it and lo.
  void build(MapFactor &f, double lo, double hi, double z_lo);
  double operator()(double eta) const;

  // One column of ROWS doubles a piece: eta_a, eta_b, side (+1: u =
  // log(z - eta); -1: u = log(eta - z)), z, the midpoint and half-width of
  // the piece's u range, then the DEGREE + 1 coefficients.  Pieces follow
  // each other in increasing eta.
  std::vector<double> flat() const;
  // From flat(); false when the layout is not one this class writes.
  bool load(const double *x, int pieces);
  int pieces() const { return (int)pieces_.size(); }

private:
  struct Piece {
    double eta_a, eta_b, side, z, u_mid, u_half;
    double c[DEGREE + 1];
  };
  std::vector<Piece> pieces_;
  void fit(MapFactor &f, double side, double z, double ua, double ub,
           int depth, std::vector<Piece> &out);
};

} // namespace mcar_engine

#endif
