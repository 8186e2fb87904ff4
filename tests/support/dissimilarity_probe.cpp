// The dissimilarities and the transformations of single values on a table, for
// the peer check against R (tests/e2e/vegdist_check.py).
//
//   dissimilarity_probe TABLE.csv [METHOD] [--binary] [--transform NAME]
//
// TABLE.csv: a header row, then a row per object, its name first and its
// values after, comma-separated. NAME: sqrt, fourthroot, presence or wisconsin,
// done first. Prints the n x n dissimilarities by METHOD (a name of
// dissimilarity_of_name), or the table as transformed when no METHOD is given,
// a row a line, with 17 significant digits.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/model.hpp"
#include "input/dissimilarity.hpp"

namespace {

int fail(const std::string& why) {
  std::fprintf(stderr, "dissimilarity_probe: %s\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace morvenak;
  std::string file, method, transform;
  bool binary = false;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--binary") {
      binary = true;
    } else if (arg == "--transform" && a + 1 < argc) {
      transform = argv[++a];
    } else if (file.empty()) {
      file = arg;
    } else if (method.empty()) {
      method = arg;
    } else {
      return fail("usage: dissimilarity_probe TABLE.csv [METHOD] [--binary] [--transform NAME]");
    }
  }
  Transform t = Transform::kNone;
  if (transform == "sqrt") t = Transform::kSqrt;
  if (transform == "fourthroot") t = Transform::kFourthRoot;
  if (transform == "presence") t = Transform::kPresence;
  if (transform == "wisconsin") t = Transform::kWisconsin;
  if (!transform.empty() && t == Transform::kNone) return fail("unknown transformation " + transform);
  Dissimilarity kind = Dissimilarity::kEuclidean;
  if (!method.empty() && !dissimilarity_of_name(method, kind)) return fail("unknown method " + method);

  std::ifstream in(file);
  if (!in) return fail("cannot read " + file);
  std::vector<std::vector<double>> rows;
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream cells(line);
    std::string cell;
    std::getline(cells, cell, ',');  // the object's name
    rows.emplace_back();
    while (std::getline(cells, cell, ',')) {
      char* end = nullptr;
      rows.back().push_back(std::strtod(cell.c_str(), &end));
      if (end == cell.c_str() || *end != '\0') return fail("not a number: '" + cell + "' in " + file);
    }
    if (rows.back().size() != rows.front().size()) return fail("rows of different lengths in " + file);
  }
  const int n = static_cast<int>(rows.size());
  const int p = n == 0 ? 0 : static_cast<int>(rows.front().size());
  std::vector<double> y(static_cast<std::size_t>(n) * p);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < p; ++j) y[i + static_cast<std::size_t>(j) * n] = rows[i][j];

  try {
    pretransform(n, p, y.data(), t);
    int columns = p;
    std::vector<double> out = y;
    if (!method.empty()) {
      columns = n;
      out.assign(static_cast<std::size_t>(n) * n, 0.0);
      dissimilarities(n, p, y.data(), kind, binary, out.data());
    }
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < columns; ++j)
        std::printf("%.17g%c", out[i + static_cast<std::size_t>(j) * n], j + 1 < columns ? ' ' : '\n');
  } catch (const Error& e) {
    std::fprintf(stderr, "dissimilarity_probe: %s\n", e.what());
    return 1;
  }
  return 0;
}
