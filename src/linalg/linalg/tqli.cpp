// tqli, step by step in the classical form: the order of every operation is
// kept, because the eigenvalues, and the sign of every eigenvector, reach the
// printed object scores.
//
// The rotations never read z: the QL sweeps run on d and e alone, and each
// row of z undergoes its rotations on its own. So the rotations are
// recorded, up to a bounded number, and then applied to z a block of rows
// at a time, each row taking them in the order they were made; every entry
// of z goes through the same operations in the same order as when each
// rotation is applied to whole columns at once, and the block stays in
// cache while many sweeps pass over it.
#include "core/fp_contract.hpp"
#include "linalg/tqli.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/model.hpp"

namespace morvenak {
namespace {

// The rotations recorded and not yet applied: for each sweep its range
// (rotations i = last, last - 1, ..., first, first >= 1) and, in that
// order, the (c, s) of each.
// One rotation of rows 0..count-1 of two columns (distinct). The fixed
// count lets the compiler take the rows in pairs; each entry's operations
// are the same either way.
template <int count>
void rotate(double* __restrict zi, double* __restrict zi1, double c, double s) {
  for (int k = 0; k < count; ++k) {
    const double f = zi1[k];
    zi1[k] = s * zi[k] + c * f;
    zi[k] = c * zi[k] - s * f;
  }
}

void rotate(double* __restrict zi, double* __restrict zi1, double c, double s, int count) {
  for (int k = 0; k < count; ++k) {
    const double f = zi1[k];
    zi1[k] = s * zi[k] + c * f;
    zi[k] = c * zi[k] - s * f;
  }
}

class Rotations {
 public:
  explicit Rotations(const Mat& z, int n) : z_(z), n_(n) {}

  void begin_sweep(int last, int first) {
    sweeps_.push_back(last);
    sweeps_.push_back(first);
  }
  void add(double c, double s) {
    cs_.push_back(c);
    cs_.push_back(s);
  }
  bool full() const { return cs_.size() >= kLimit; }

  void apply() {
    for (int k0 = 0; k0 < n_; k0 += kRows) {
      const int rows = std::min(kRows, n_ - k0);
      const double* cs = cs_.data();
      for (std::size_t w = 0; w < sweeps_.size(); w += 2) {
        for (int i = sweeps_[w]; i >= sweeps_[w + 1]; --i, cs += 2) {
          const double c = cs[0];
          const double s = cs[1];
          double* zi = z_.col(i) + k0;
          double* zi1 = z_.col(i + 1) + k0;
          if (rows == kRows)
            rotate<kRows>(zi, zi1, c, s);
          else
            rotate(zi, zi1, c, s, rows);
        }
      }
    }
    sweeps_.clear();
    cs_.clear();
  }

 private:
  static constexpr int kRows = 32;
  static constexpr std::size_t kLimit = std::size_t{1} << 18;  // 2 MB of (c, s)
  Mat z_;
  int n_;
  std::vector<int> sweeps_;
  std::vector<double> cs_;
};

}  // namespace

void tqli(double* d0, double* e0, int n, const Mat& z) {
  auto d = [d0](int i) -> double& { return d0[i - 1]; };
  auto e = [e0](int i) -> double& { return e0[i - 1]; };

  if (n < 2) return;
  for (int i = 2; i <= n; ++i) e(i - 1) = e(i);
  e(n) = 0.0;

  Rotations rotations(z, n);
  for (int l = 1; l <= n; ++l) {
    int iter = 0;
    for (;;) {
      // Look for a negligible off-diagonal entry that splits the matrix.
      int m = l;
      for (; m <= n - 1; ++m) {
        const double dd = std::fabs(d(m)) + std::fabs(d(m + 1));
        if (std::fabs(e(m)) + dd == dd) break;
      }
      if (m == l) break;

      if (iter == 50) {
        rotations.apply();
        throw Stopped(StopReason::kNoConvergence, "Too many iterations in TQLI");
      }
      ++iter;

      if (rotations.full()) rotations.apply();
      rotations.begin_sweep(m - 1, l);
      double g = (d(l + 1) - d(l)) / (2.0 * e(l));
      double r = std::sqrt(g * g + 1.0);
      g = d(m) - d(l) + e(l) / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
      double s = 1.0;
      double c = 1.0;
      double p = 0.0;
      for (int i = m - 1; i >= l; --i) {
        const double f = s * e(i);
        const double b = c * e(i);
        if (std::fabs(f) >= std::fabs(g)) {
          c = g / f;
          r = std::sqrt(c * c + 1.0);
          e(i + 1) = f * r;
          s = 1.0 / r;
          c = c * s;
        } else {
          s = f / g;
          r = std::sqrt(s * s + 1.0);
          e(i + 1) = g * r;
          c = 1.0 / r;
          s = s * c;
        }
        g = d(i + 1) - p;
        r = (d(i) - g) * s + 2.0 * c * b;
        p = s * r;
        d(i + 1) = g + p;
        g = c * r - b;
        rotations.add(c, s);
      }
      d(l) = d(l) - p;
      e(l) = g;
      e(m) = 0.0;
    }
  }
  rotations.apply();
}

}  // namespace morvenak
