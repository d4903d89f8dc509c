// The general sampler's random-number generator: xoshiro256++ for the bits,
// uniforms on the open interval (0, 1) from the top 53 bits, and standard
// normals by a 128-layer ziggurat.
//
// The whole state is the four 64-bit words, so a chain that stops can hand
// them back to R (as 32 raw bytes, little-endian words in order) and a later
// call continues the very same stream.  The state is seeded from R's own
// generator on the R side, one stream per chain, so that a seed fixes every
// draw whatever the parallel plan.
#ifndef MCAR_RNG_H
#define MCAR_RNG_H

#include <cmath>
#include <cstdint>
#include <cstring>

namespace mcar_engine {

class Xoshiro {
public:
  static constexpr int STATE_BYTES = 32;

  Xoshiro() { seed(0); }

  // Fills the state from one 64-bit seed through splitmix64, which never
  // leaves the all-zero state xoshiro cannot leave.
  void seed(uint64_t x) {
    for (uint64_t &w : s_) {
      x += 0x9e3779b97f4a7c15ULL;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      w = z ^ (z >> 31);
    }
  }

  void load(const unsigned char *bytes) {
    for (int k = 0; k < 4; k++) {
      uint64_t w = 0;
      for (int b = 7; b >= 0; b--)
        w = (w << 8) | bytes[8 * k + b];
      s_[k] = w;
    }
  }

  void save(unsigned char *bytes) const {
    for (int k = 0; k < 4; k++)
      for (int b = 0; b < 8; b++)
        bytes[8 * k + b] = (unsigned char)((s_[k] >> (8 * b)) & 0xff);
  }

  bool valid() const { return (s_[0] | s_[1] | s_[2] | s_[3]) != 0; }

  uint64_t next() {
    const uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform on (0, 1): never exactly 0 or 1, so its logarithm is finite.
  // For the largest 53-bit value, j + 0.5 rounds to 2^53 (ties to even),
  // which would give exactly 1: that one value gives the largest double
  // below 1 instead.
  double uniform() {
    const double u = ((double)(next() >> 11) + 0.5) * 0x1.0p-53;
    return u < 1.0 ? u : 0x1.fffffffffffffp-1;
  }

  double normal();

private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

// Ziggurat tables: layer i covers |x| < x[i] with x[127] = R the start of
// the tail; layer 0 is the base strip, tail included, of the same area V.
struct ZigguratTables {
  double w[128]; // x[i] / 2^53: the value of a 53-bit draw in layer i
  double k[128]; // x[i-1] / x[i] * 2^53: draws below it lie under the curve
  double f[128]; // exp(-x[i]^2 / 2)
  static constexpr double R = 3.442619855899;
  static constexpr double V = 9.91256303526217e-3;
  ZigguratTables() {
    const double m = 0x1.0p53;
    double dn = R, tn = R;
    const double q = V / std::exp(-0.5 * dn * dn);
    k[0] = (dn / q) * m;
    k[1] = 0.0;
    w[0] = q / m;
    w[127] = dn / m;
    f[0] = 1.0;
    f[127] = std::exp(-0.5 * dn * dn);
    for (int i = 126; i >= 1; i--) {
      dn = std::sqrt(-2.0 * std::log(V / dn + std::exp(-0.5 * dn * dn)));
      k[i + 1] = (dn / tn) * m;
      tn = dn;
      f[i] = std::exp(-0.5 * dn * dn);
      w[i] = dn / m;
    }
  }
};

inline const ZigguratTables &ziggurat() {
  static const ZigguratTables t;
  return t;
}

// One 64-bit word gives the layer (bits 0-6), the sign (bit 7) and a 53-bit
// magnitude (bits 11-63), so the three are independent.
inline double Xoshiro::normal() {
  const ZigguratTables &z = ziggurat();
  for (;;) {
    const uint64_t u = next();
    const int i = (int)(u & 127);
    const double sign = (u & 128) ? -1.0 : 1.0;
    const double j = (double)(u >> 11);
    const double x = j * z.w[i];
    if (j < z.k[i])
      return sign * x;
    if (i == 0) {
      // The tail beyond R (Marsaglia's method).
      double t, y;
      do {
        t = -std::log(uniform()) / ZigguratTables::R;
        y = -std::log(uniform());
      } while (y + y < t * t);
      return sign * (ZigguratTables::R + t);
    }
    if (z.f[i] + uniform() * (z.f[i - 1] - z.f[i]) < std::exp(-0.5 * x * x))
      return sign * x;
  }
}

} // namespace mcar_engine

#endif
