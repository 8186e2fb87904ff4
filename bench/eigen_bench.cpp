// Times the project's eigen-decomposition (tred2, then tqli) of a dense
// symmetric matrix of each size given, and prints a hash of the bits of the
// eigenvalues and eigenvectors, so that two builds can be compared for the
// same results as well as for time. Not a test: it checks nothing.
//
// usage: bench-eigen N [N ...]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "fnv.hpp"
#include "linalg/tqli.hpp"
#include "linalg/tred2.hpp"

namespace {

// The process's CPU time: on a shared machine the wall time says more
// about the other processes than about this one.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace morvenak;
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-eigen N [N ...]\n");
    return 2;
  }
  for (int arg = 1; arg < argc; ++arg) {
    const int n = std::atoi(argv[arg]);
    const std::size_t ns = static_cast<std::size_t>(n);
    std::vector<double> s(ns * ns);
    std::uint64_t state = 0x9e3779b97f4a7c15ull + ns;
    for (std::size_t j = 0; j < ns; ++j)
      for (std::size_t i = j; i < ns; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double v = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
        s[i + j * ns] = v;
        s[j + i * ns] = v;
      }
    std::vector<double> d(ns), e(ns);
    const Mat a{s.data(), n, n};
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    tred2(a, n, d.data(), e.data());
    const auto t1 = std::chrono::steady_clock::now();
    const double c1 = cpu_seconds();
    tqli(d.data(), e.data(), n, a);
    const auto t2 = std::chrono::steady_clock::now();
    const double c2 = cpu_seconds();
    const std::uint64_t h = fnv(fnv(14695981039346656037ull, d.data(), ns), s.data(), ns * ns);
    std::printf("n %5d  tred2 %8.3f s (cpu %8.3f s)  tqli %8.3f s (cpu %8.3f s)  bits %016llx\n", n,
                std::chrono::duration<double>(t1 - t0).count(), c1 - c0, std::chrono::duration<double>(t2 - t1).count(),
                c2 - c1, static_cast<unsigned long long>(h));
  }
  return 0;
}
