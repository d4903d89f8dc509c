// The map and its sparse algebra.  See map.h.

#include "map.h"

#include "eigen_sparse.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

namespace mcar_engine {

namespace {
const double PI = 3.14159265358979323846;
}

std::vector<double> precision_diagonal(const MapView &m) {
  std::vector<double> D(m.n);
  for (int i = 0; i < m.n; i++) {
    double s = 0.0;
    for (int q = m.row_ptr[i]; q < m.row_ptr[i + 1]; q++)
      s += m.w[q];
    D[i] = s > 0 ? s : 1.0;
  }
  return D;
}

std::vector<int> components(const MapView &m) {
  std::vector<int> label(m.n, -1), stack;
  int next = 0;
  for (int start = 0; start < m.n; start++) {
    if (label[start] >= 0)
      continue;
    label[start] = next;
    stack.assign(1, start);
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      for (int q = m.row_ptr[i]; q < m.row_ptr[i + 1]; q++) {
        const int j = m.col[q];
        if (label[j] < 0) {
          label[j] = next;
          stack.push_back(j);
        }
      }
    }
    next++;
  }
  return label;
}

// ---- factorisations of I - eta S ---------------------------------------------

typedef Eigen::SparseMatrix<double> SpMat;

struct MapFactor::Impl {
  SpMat Q;                   // lower triangle of I - eta S, diagonal included
  std::vector<double> s;     // S at each stored entry (0 on the diagonal)
  std::vector<char> diag;    // whether a stored entry is on the diagonal
  Eigen::SimplicialLDLT<SpMat, Eigen::Lower, Eigen::AMDOrdering<int>> ldlt;
};

MapFactor::MapFactor(const MapView &m) : impl_(new Impl) {
  const std::vector<double> D = precision_diagonal(m);
  std::vector<Eigen::Triplet<double>> t;
  t.reserve(m.n + m.row_ptr[m.n] / 2);
  for (int i = 0; i < m.n; i++) {
    t.emplace_back(i, i, 0.0);
    for (int q = m.row_ptr[i]; q < m.row_ptr[i + 1]; q++) {
      const int j = m.col[q];
      if (j < i && m.w[q] != 0.0) {
        // sqrt(D_i D_j), from the roots when the product would overflow or
        // underflow (weights near the limits of double precision).
        const double dd = D[i] * D[j];
        const double root = std::isfinite(dd) && dd >= DBL_MIN
                                ? std::sqrt(dd)
                                : std::sqrt(D[i]) * std::sqrt(D[j]);
        const double s = m.w[q] / root;
        if (!std::isfinite(s))
          throw std::runtime_error(
              "the weights normalised by their row sums are not finite");
        t.emplace_back(i, j, s);
        edges_ = true;
      }
    }
  }
  SpMat &Q = impl_->Q;
  Q.resize(m.n, m.n);
  Q.setFromTriplets(t.begin(), t.end());
  Q.makeCompressed();
  const int nnz = (int)Q.nonZeros();
  impl_->s.assign(nnz, 0.0);
  impl_->diag.assign(nnz, 0);
  for (int k = 0; k < Q.outerSize(); k++)
    for (SpMat::InnerIterator it(Q, k); it; ++it) {
      const int at = (int)(&it.value() - Q.valuePtr());
      impl_->diag[at] = it.row() == it.col();
      impl_->s[at] = impl_->diag[at] ? 0.0 : it.value();
    }
  impl_->ldlt.analyzePattern(Q);
}

MapFactor::~MapFactor() = default;

bool MapFactor::log_det(double eta, double *logdet) {
  Impl &im = *impl_;
  double *v = im.Q.valuePtr();
  const int nnz = (int)im.s.size();
  for (int k = 0; k < nnz; k++)
    v[k] = im.diag[k] ? 1.0 : -eta * im.s[k];
  im.ldlt.factorize(im.Q);
  count_++;
  if (im.ldlt.info() != Eigen::Success)
    return false;
  const Eigen::VectorXd &d = im.ldlt.vectorD();
  double s = 0.0;
  for (Eigen::Index i = 0; i < d.size(); i++) {
    if (!(d[i] > 0))
      return false;
    s += std::log(d[i]);
  }
  *logdet = s;
  return true;
}

double smallest_eigenvalue(MapFactor &f, double upper) {
  if (!f.has_edges())
    return 0.0;
  // I - S / lambda is positive definite exactly for lambda < lambda_min
  // (both negative), and lambda_min lies in [-1, 0).
  double good = -1.0 - 1e-9, bad = std::min(upper, 0.0), ld;
  if (!f.log_det(1.0 / good, &ld))
    throw std::runtime_error("the normalised weights have an eigenvalue below -1");
  const double tol = bad < 0 ? 1e-12 : 1e-14;
  while (bad - good > tol) {
    const double mid = 0.5 * (good + bad);
    if (mid <= good || mid >= bad)
      break;
    if (f.log_det(1.0 / mid, &ld))
      good = mid;
    else
      bad = mid;
  }
  return 0.5 * (good + bad);
}

Support eta_support(MapFactor &f, double floor, double ratio, double hi) {
  Support s;
  s.eta_hi = hi;
  s.eta_lo = floor;
  s.lambda_min = NAN;
  s.z_lo = floor - 1.0;
  if (!f.has_edges())
    return s;
  // eta_lo = floor exactly when lambda_min > ratio / floor, that is when
  // I - eta S is still positive definite at eta = floor / ratio.
  const double edge = floor / ratio;
  double ld;
  if (edge < floor && f.log_det(edge, &ld)) {
    s.z_lo = edge;
    return s;
  }
  s.lambda_min = smallest_eigenvalue(f, ratio / floor);
  s.eta_lo = std::max(floor, ratio / s.lambda_min);
  s.z_lo = 1.0 / s.lambda_min;
  return s;
}

// ---- the interpolant ---------------------------------------------------------

void LogDet::fit(MapFactor &f, double side, double z, double ua, double ub,
                 int depth, std::vector<Piece> &out) {
  const int N = DEGREE;
  Piece p;
  p.side = side;
  p.z = z;
  p.u_mid = 0.5 * (ua + ub);
  p.u_half = 0.5 * (ub - ua);
  double val[DEGREE + 1];
  for (int k = 0; k <= N; k++) {
    const double u = p.u_mid + p.u_half * std::cos(PI * (k + 0.5) / (N + 1));
    const double eta = side > 0 ? z - std::exp(u) : z + std::exp(u);
    if (!f.log_det(eta, &val[k]))
      throw std::runtime_error("I - eta S is not positive definite inside the "
                               "support of eta");
  }
  for (int j = 0; j <= N; j++) {
    double s = 0.0;
    for (int k = 0; k <= N; k++)
      s += val[k] * std::cos(PI * j * (k + 0.5) / (N + 1));
    p.c[j] = (j == 0 ? 1.0 : 2.0) * s / (N + 1);
  }
  const double tail = std::max(std::fabs(p.c[N]),
                               std::max(std::fabs(p.c[N - 1]), std::fabs(p.c[N - 2])));
  // The factorisations themselves carry a rounding error of about 1e-16
  // times the size of f per unit; below that the tail is noise.
  if (tail > 1e-8 + 1e-13 * std::fabs(p.c[0]) && depth < 4) {
    fit(f, side, z, ua, p.u_mid, depth + 1, out);
    fit(f, side, z, p.u_mid, ub, depth + 1, out);
    return;
  }
  const double ea = side > 0 ? z - std::exp(ub) : z + std::exp(ua);
  const double eb = side > 0 ? z - std::exp(ua) : z + std::exp(ub);
  p.eta_a = ea;
  p.eta_b = eb;
  out.push_back(p);
}

void LogDet::build(MapFactor &f, double lo, double hi, double z_lo) {
  if (!(lo < hi))
    throw std::invalid_argument("the support of eta is empty");
  pieces_.clear();
  if (!f.has_edges()) {
    // Islands only: f is identically 0.
    Piece p{};
    p.eta_a = lo;
    p.eta_b = hi;
    p.side = 1.0;
    p.z = hi + 1.0;
    p.u_mid = 0.0;
    p.u_half = 1.0;
    pieces_.push_back(p);
    return;
  }
  const double z_hi = 1.0;
  if (!(z_lo < lo && hi < z_hi))
    throw std::invalid_argument("the support of eta reaches a singularity of "
                                "the log-determinant");
  const double mid = 0.5 * (lo + hi);
  std::vector<Piece> out;
  // Each half starts in pieces at most 3 long in u.
  auto half = [&](double side, double z, double ua, double ub) {
    const int m = std::max(1, (int)std::ceil((ub - ua) / 3.0));
    for (int k = 0; k < m; k++)
      fit(f, side, z, ua + (ub - ua) * k / m, ua + (ub - ua) * (k + 1) / m, 0,
          out);
  };
  half(-1.0, z_lo, std::log(lo - z_lo), std::log(mid - z_lo));
  half(1.0, z_hi, std::log(z_hi - hi), std::log(z_hi - mid));
  std::sort(out.begin(), out.end(),
            [](const Piece &a, const Piece &b) { return a.eta_a < b.eta_a; });
  out.front().eta_a = lo;
  out.back().eta_b = hi;
  pieces_ = out;
}

double LogDet::operator()(double eta) const {
  const int np = (int)pieces_.size();
  int k = 0;
  while (k < np - 1 && eta > pieces_[k].eta_b)
    k++;
  const Piece &p = pieces_[k];
  const double u = p.side > 0 ? std::log(p.z - eta) : std::log(eta - p.z);
  const double t = (u - p.u_mid) / p.u_half;
  // Clenshaw's recurrence for sum_j c_j T_j(t).
  double b1 = 0.0, b2 = 0.0;
  for (int j = DEGREE; j >= 1; j--) {
    const double b0 = 2.0 * t * b1 - b2 + p.c[j];
    b2 = b1;
    b1 = b0;
  }
  return t * b1 - b2 + p.c[0];
}

std::vector<double> LogDet::flat() const {
  std::vector<double> x;
  x.reserve(pieces_.size() * ROWS);
  for (const Piece &p : pieces_) {
    const double head[6] = {p.eta_a, p.eta_b, p.side, p.z, p.u_mid, p.u_half};
    x.insert(x.end(), head, head + 6);
    x.insert(x.end(), p.c, p.c + DEGREE + 1);
  }
  return x;
}

bool LogDet::load(const double *x, int pieces) {
  if (pieces < 1)
    return false;
  std::vector<Piece> out(pieces);
  for (int k = 0; k < pieces; k++) {
    const double *h = x + (size_t)k * ROWS;
    Piece &p = out[k];
    p.eta_a = h[0];
    p.eta_b = h[1];
    p.side = h[2];
    p.z = h[3];
    p.u_mid = h[4];
    p.u_half = h[5];
    std::copy(h + 6, h + ROWS, p.c);
    if (!(p.eta_a <= p.eta_b) || !(p.side == 1.0 || p.side == -1.0) ||
        !(p.u_half > 0) || (k > 0 && !(out[k - 1].eta_b <= p.eta_b)))
      return false;
    // Every eta of the piece must stay on the near side of z.
    if (p.side > 0 ? !(p.eta_b < p.z) : !(p.eta_a > p.z))
      return false;
  }
  pieces_ = out;
  return true;
}

} // namespace mcar_engine
