// add_row's variants: the AVX2 one, the portable one and the one chosen at
// run time give the bits of one scalar addition per element, at every width
// (odd ones exercise each tail) and alignment, and touch nothing past the
// width; and the AVX2 one is chosen on a processor that has it. The cells'
// sums of rows sorted by cell give add_row's bits at every window width.
#include "linalg/grouping.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/bits.hpp"

namespace morvenak {
namespace {

// Values whose sums round, cancel, overflow, underflow and carry signed zeros
// and NaNs, so that any reordering or fusion would show in the bits.
std::vector<double> awkward(std::mt19937_64& gen, std::size_t count) {
  const double specials[] = {0.0,           -0.0,      1e308,    -1e308,
                             4.9e-324,      -4.9e-324, 2.2e-308, std::numeric_limits<double>::infinity(),
                             1.0 + 0x1p-52, 0x1p53};
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-60, 60);
  std::uniform_int_distribution<int> pick(0, 15);
  std::vector<double> v(count);
  for (double& x : v) {
    const int k = pick(gen);
    x = k < 10 ? specials[k] : std::ldexp(unit(gen), exponent(gen));
  }
  return v;
}

using AddRow = void (*)(double*, const double*, int);

void expect_elementwise(AddRow add, const char* name) {
  std::mt19937_64 gen(20261207);
  for (int offset = 0; offset < 4; ++offset)
    for (int w = 0; w <= 67; ++w) {
      const std::size_t total = static_cast<std::size_t>(offset + w + 3);
      std::vector<double> acc = awkward(gen, total);
      const std::vector<double> row = awkward(gen, total);
      std::vector<double> want = acc;
      for (int j = 0; j < w; ++j) {
        const std::size_t k = static_cast<std::size_t>(offset + j);
        volatile double sum = want[k] + row[k];
        want[k] = sum;
      }
      add(acc.data() + offset, row.data() + offset, w);
      for (std::size_t k = 0; k < total; ++k)
        ASSERT_EQ(bits_of(acc[k]), bits_of(want[k]))
            << name << ": width " << w << ", offset " << offset << ", element " << k;
    }
}

TEST(AddRow, EveryVariantAddsElementByElementAtOddWidthsAndOffsets) {
  expect_elementwise(add_row_portable, "portable");
  expect_elementwise(add_row, "chosen");
  if (add_row_avx2_available()) expect_elementwise(add_row_avx2, "avx2");
}

TEST(AddRow, ChoosesAvx2WhereTheProcessorHasIt) {
  if (!MORVENAK_HAVE_AVX2_ADD_ROW) {  // not an x86 build: the portable variant only
    EXPECT_FALSE(add_row_avx2_available());
    return;
  }
  std::ifstream in("/proc/cpuinfo");
  ASSERT_TRUE(in) << "no /proc/cpuinfo to compare with";
  std::string line;
  bool listed = false;
  bool avx2 = false;
  while (std::getline(in, line))
    if (line.rfind("flags", 0) == 0) {
      listed = true;
      std::istringstream words(line);
      for (std::string word; words >> word;) avx2 = avx2 || word == "avx2";
      break;
    }
  ASSERT_TRUE(listed) << "/proc/cpuinfo lists no flags";
  EXPECT_EQ(add_row_avx2_available(), avx2);
}

TEST(SortedCellSums, TheProcessorsKernelGivesAddRowsBits) {
  std::mt19937_64 gen(81226);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-30, 30);
  RowMatrix m;
  m.n = 57;
  m.p = 150;
  m.a.resize(static_cast<std::size_t>(m.n) * m.p);
  for (double& v : m.a) v = std::ldexp(unit(gen), exponent(gen));
  const int cells = 6;  // cell 5 left empty
  std::vector<int> order, start(cells + 1, 0);
  for (int c = 0; c < cells; ++c) {
    start[static_cast<std::size_t>(c)] = static_cast<int>(order.size());
    for (int r = 0; r < m.n && c < 5; ++r)
      if (r * 7 % 5 == c) order.push_back(r);
  }
  start[cells] = static_cast<int>(order.size());
  for (int j0 : {0, 3}) {
    for (int w : {1, 7, 31, 32, 33, 55, 64, 65, 147}) {
      std::vector<double> want(static_cast<std::size_t>(cells) * w, 1.0), got(want.size(), 2.0);
      sorted_cell_sums(m, order.data(), start.data(), cells, j0, w, want.data(), 0);
      sorted_cell_sums(m, order.data(), start.data(), cells, j0, w, got.data(), 1);
      for (std::size_t k = 0; k < want.size(); ++k) ASSERT_EQ(bits_of(got[k]), bits_of(want[k])) << w << " " << k;
    }
  }
}

TEST(Transpose, EveryShapeMovesEachElementOnce) {
  for (auto [rows, cols] : {std::pair{1, 1}, {8, 8}, {13, 21}, {55, 132}, {132, 55}}) {
    const int lda = cols + 3, ldo = rows + 5;
    std::vector<double> a(static_cast<std::size_t>(rows) * lda);
    for (std::size_t k = 0; k < a.size(); ++k) a[k] = static_cast<double>(k) + 0.5;
    for (int kernel : {0, 1}) {
      std::vector<double> out(static_cast<std::size_t>(cols) * ldo, -1.0);
      transpose(a.data(), rows, cols, lda, out.data(), ldo, kernel);
      for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j)
          ASSERT_EQ(out[static_cast<std::size_t>(j) * ldo + i], a[static_cast<std::size_t>(i) * lda + j])
              << rows << "x" << cols << " kernel " << kernel;
      for (int j = 0; j < cols; ++j)  // the padding of each row untouched
        for (int i = rows; i < ldo; ++i) ASSERT_EQ(out[static_cast<std::size_t>(j) * ldo + i], -1.0);
    }
  }
}

}  // namespace
}  // namespace morvenak
