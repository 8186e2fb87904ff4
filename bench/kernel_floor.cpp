// The floor of the distance path's kernel on this machine: on a matrix the
// size of Gower's at n (random values, one factor of g equal cells, random
// dealings), the terms a nanosecond of
//   - a contiguous pass: the upper triangle summed row by row in sixteen lanes,
//     every term read (what one permutation costs if it reads every term once);
//   - a scattered pass: for one dealing, each row's terms in the columns of its
//     own cell, found from the cell's member list (the n^2 / (2g) terms a
//     permutation needs, read scattered);
//   - the kernel itself (block_ss, kMostDealings dealings a call), counting
//     the n^2 / 2 terms it reads for each dealing.
// usage: bench-kernel-floor N [G] [SECONDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "linalg/blocks.hpp"

using namespace morvenak;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-kernel-floor N [G] [SECONDS]\n");
    return 2;
  }
  const int n = std::atoi(argv[1]);
  const int groups = argc > 2 ? std::atoi(argv[2]) : 5;
  const double budget = argc > 3 ? std::atof(argv[3]) : 2.0;  // seconds for each measurement, at least
  RowMatrix m;
  m.n = m.p = n;
  m.a.resize(static_cast<size_t>(n) * n);
  std::mt19937_64 gen(20261208);
  for (double& v : m.a) v = static_cast<double>(gen() % 100000) / 977.0 - 50.0;
  Grouping g;
  g.n = n;
  g.levels = 1;
  g.size = {{n}, std::vector<int>(static_cast<size_t>(groups), n / groups)};
  g.inverse = {{1.0 / n}, std::vector<double>(static_cast<size_t>(groups), 1.0 / (n / groups))};
  std::vector<int> base(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) base[static_cast<size_t>(i)] = i % groups;
  std::vector<std::vector<int>> dealt(kMostDealings, base);
  for (auto& c : dealt) std::shuffle(c.begin(), c.end(), gen);
  const double half = static_cast<double>(n) * (n - 1) / 2.0;
  double sink = 0.0;

  // Contiguous: every term of the upper triangle, in sixteen lanes.
  int reps = 0;
  auto t0 = std::chrono::steady_clock::now();
  do {
    for (int r = 0; r < n; ++r) sink += block_lanes_avx2(m.row(r), nullptr, 0, r + 1, n);
    ++reps;
  } while (seconds_since(t0) < budget);
  const double contiguous = half * reps / seconds_since(t0) / 1e9;

  // Scattered: one dealing's own-cell terms from its member lists.
  std::vector<std::vector<int>> members(static_cast<size_t>(groups));
  for (int s = 0; s < n; ++s) members[static_cast<size_t>(dealt[0][static_cast<size_t>(s)])].push_back(s);
  double needed = 0.0;
  for (const auto& c : members) needed += static_cast<double>(c.size()) * static_cast<double>(c.size() - 1) / 2.0;
  reps = 0;
  t0 = std::chrono::steady_clock::now();
  do {
    for (const auto& c : members)
      for (size_t i = 0; i < c.size(); ++i) {
        const double* row = m.row(c[i]);
        double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
        size_t j = i + 1;
        for (; j + 4 <= c.size(); j += 4) {
          a0 += row[c[j]];
          a1 += row[c[j + 1]];
          a2 += row[c[j + 2]];
          a3 += row[c[j + 3]];
        }
        for (; j < c.size(); ++j) a0 += row[c[j]];
        sink += (a0 + a1) + (a2 + a3);
      }
    ++reps;
  } while (seconds_since(t0) < budget);
  const double scattered = needed * reps / seconds_since(t0) / 1e9;

  // The kernel.
  const int* by_level[kMostDealings][4] = {};
  const int* const* cells[kMostDealings];
  for (int b = 0; b < kMostDealings; ++b) {
    by_level[b][1] = dealt[static_cast<size_t>(b)].data();
    cells[b] = by_level[b];
  }
  std::vector<double> d(kMostDealings * 4);
  reps = 0;
  t0 = std::chrono::steady_clock::now();
  do {
    block_ss(g, m, cells, kMostDealings, 1, 0.0, d.data());
    sink += d[1];
    ++reps;
  } while (seconds_since(t0) < budget);
  const double kernel = half * kMostDealings * reps / seconds_since(t0) / 1e9;

  std::printf("n %d, %d cells: terms a nanosecond: contiguous %.2f, scattered %.2f, kernel %.2f (for each dealing)\n",
              n, groups, contiguous, scattered, kernel);
  std::printf("a permutation: every term once %.3f ms, its own cells' terms scattered %.3f ms, the kernel %.3f ms\n",
              half / contiguous / 1e6, needed / scattered / 1e6, half / kernel / 1e6);
  std::fprintf(stderr, "(%g)\n", sink);
  return 0;
}
