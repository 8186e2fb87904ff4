// The library API's result for a design in two plain files, every number in
// hexadecimal floating point, so that another build of the engine (the
// Python package's) can be compared with this one bit for bit.
//
// usage: morvenak_result_dump Y.txt LABELS.txt TRANSFORM PERMUTATIONS TASK SEED UNITS [SCALING]
//   Y.txt       "n p", then the n rows of Y (decimal numbers that round-trip)
//   LABELS.txt  a header line of factor names (NAME=LEVEL1,LEVEL2,... gives the
//               levels' order), then one line per object: its label of each
//               factor, separated by tabs
//   TRANSFORM 0-5, TASK 1-3, UNITS objects|subgroups, SCALING 1 (default) or 2
// Output: "ssy X", a "row" line per table row (source df1 df2 ss ms f p count
// permutations; f and p as "-" when absent), and for each ordination an
// "eigenvalues", an "objects", a "species" and a "sites" line (scores column
// by column; no site scores for the residuals).
// Engine errors: their message on stderr, status 1 or 2.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "morvenak/analysis.hpp"

namespace {

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream s(line);
  for (std::string cell; std::getline(s, cell, '\t');) cells.push_back(cell);
  return cells;
}

void print_all(const char* what, const std::vector<double>& values) {
  std::printf("%s", what);
  for (double v : values) std::printf(" %a", v);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8 && argc != 9) {
    std::fprintf(stderr, "usage: %s Y.txt LABELS.txt TRANSFORM PERMUTATIONS TASK SEED UNITS [SCALING]\n", argv[0]);
    return 2;
  }
  morvenak::Input in;
  std::ifstream y(argv[1]);
  y >> in.n >> in.p;
  std::vector<double> rows(static_cast<std::size_t>(in.n) * static_cast<std::size_t>(in.p));
  for (double& v : rows) y >> v;
  if (!y) {
    std::fprintf(stderr, "%s: cannot read %d x %d numbers\n", argv[1], in.n, in.p);
    return 2;
  }
  in.y.resize(rows.size());
  for (int i = 0; i < in.n; ++i)
    for (int j = 0; j < in.p; ++j)
      in.y[static_cast<std::size_t>(i + j * in.n)] = rows[static_cast<std::size_t>(i * in.p + j)];

  std::ifstream labels(argv[2]);
  std::string line;
  std::getline(labels, line);
  const std::vector<std::string> names = split_tabs(line);
  std::vector<std::vector<std::string>> columns(names.size());
  while (std::getline(labels, line)) {
    const std::vector<std::string> cells = split_tabs(line);
    if (cells.size() != names.size()) {
      std::fprintf(stderr, "%s: a line of %zu labels for %zu factors\n", argv[2], cells.size(), names.size());
      return 2;
    }
    for (std::size_t k = 0; k < cells.size(); ++k) columns[k].push_back(cells[k]);
  }
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::string name = names[k].substr(0, names[k].find('='));
    std::vector<std::string> order;
    if (name.size() < names[k].size()) {
      std::stringstream s(names[k].substr(name.size() + 1));
      for (std::string level; std::getline(s, level, ',');) order.push_back(level);
    }
    in.factors.push_back(morvenak::Factor::from_labels(name, columns[k], order));
  }

  morvenak::Options o;
  o.transform = static_cast<morvenak::Transform>(std::atoi(argv[3]));
  o.permutations = std::atoi(argv[4]);
  o.task = static_cast<morvenak::Task>(std::atoi(argv[5]));
  o.seed = static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10));
  o.main_units = std::string(argv[7]) == "subgroups" ? morvenak::MainUnits::kSubgroups : morvenak::MainUnits::kObjects;
  try {
    morvenak::Result r = morvenak::analyse(in, o);
    morvenak::scale_scores(r, argc == 9 ? std::atoi(argv[8]) : 1);
    std::printf("ssy %a\n", r.ssy);
    for (const morvenak::Row& row : r.rows) {
      std::printf("row %s %d %d %a %a", source_name(row.source), row.df1, row.df2, row.ss, row.ms);
      if (row.formed) std::printf(" %a", row.f); else std::printf(" -");
      if (row.tested) std::printf(" %a", row.p); else std::printf(" -");
      std::printf(" %lld %lld\n", static_cast<long long>(row.count), static_cast<long long>(row.permutations));
    }
    for (const morvenak::OrdinationResult& ord : r.ordinations) {
      print_all("eigenvalues", ord.eigenvalues);
      print_all("objects", ord.object_scores);
      print_all("species", ord.species_scores);
      print_all("sites", ord.site_scores);
    }
  } catch (const morvenak::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return e.status();
  }
  return 0;
}
