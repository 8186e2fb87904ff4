// The engine's table for two CSV tables, written as the run command's
// results.tsv: a row per source of variation, numbers as shortest
// round-trip decimals. The R package's tests compare against this output.
//
//   morvenak_api_results SPECIES.csv LABELS.csv TRANSFORM PERMUTATIONS SEED COLUMN [COLUMN...]
//
// A COLUMN may be written COLUMN=LEVEL1,LEVEL2,... to give its levels' order.
// SPECIES.csv: sample names first, a header row of species names; LABELS.csv:
// sample names first, a header row naming the factor columns; both in the
// same sample order, cells without commas (quotes around a cell are removed).
// TRANSFORM: none, chord, chi2-metric, chi2-distance, profiles, hellinger; or
// TRANSFORM:DISTANCE (none:bray) for a dissimilarity of the table so transformed.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "input/dissimilarity.hpp"
#include "morvenak/analysis.hpp"

namespace {

using Table = std::vector<std::vector<std::string>>;

Table read_csv(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  Table t;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::stringstream s(line);
    for (std::string cell; std::getline(s, cell, ',');) {
      if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') cell = cell.substr(1, cell.size() - 2);
      cells.push_back(cell);
    }
    t.push_back(cells);
  }
  return t;
}

std::string number(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

morvenak::Transform transform_named(const std::string& name) {
  const char* names[] = {"none", "chord", "chi2-metric", "chi2-distance", "profiles", "hellinger"};
  for (int k = 0; k < 6; ++k)
    if (name == names[k]) return static_cast<morvenak::Transform>(k);
  throw std::runtime_error("unknown transformation " + name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::cerr << "usage: morvenak_api_results SPECIES.csv LABELS.csv TRANSFORM PERMUTATIONS SEED COLUMN [COLUMN...]\n";
    return 2;
  }
  try {
    const Table species = read_csv(argv[1]);
    const Table labels = read_csv(argv[2]);
    morvenak::Input in;
    in.n = static_cast<int>(species.size()) - 1;
    in.p = static_cast<int>(species.at(0).size()) - 1;
    in.y.resize(static_cast<std::size_t>(in.n) * static_cast<std::size_t>(in.p));
    for (int i = 0; i < in.n; ++i)
      for (int j = 0; j < in.p; ++j)
        in.y[static_cast<std::size_t>(i + j * in.n)] =
            std::stod(species.at(static_cast<std::size_t>(i + 1)).at(static_cast<std::size_t>(j + 1)));
    std::vector<std::string> names;
    for (int a = 6; a < argc; ++a) {
      const std::string given = argv[a];
      const std::string name = given.substr(0, given.find('='));
      std::vector<std::string> order;
      if (name.size() < given.size()) {
        std::stringstream s(given.substr(name.size() + 1));
        for (std::string level; std::getline(s, level, ',');) order.push_back(level);
      }
      std::size_t column = 0;
      while (column < labels[0].size() && labels[0][column] != name) ++column;
      if (column == labels[0].size()) throw std::runtime_error("no column " + name + " in " + argv[2]);
      std::vector<std::string> values;
      for (int i = 0; i < in.n; ++i) values.push_back(labels.at(static_cast<std::size_t>(i + 1)).at(column));
      in.factors.push_back(morvenak::Factor::from_labels(name, values, order));
      names.push_back(name);
    }
    morvenak::Options options;
    // TRANSFORM, or TRANSFORM:DISTANCE for a dissimilarity of the table so transformed.
    const std::string how = argv[3];
    const std::size_t colon = how.find(':');
    options.transform = transform_named(how.substr(0, colon));
    if (colon != std::string::npos && !morvenak::dissimilarity_of_name(how.substr(colon + 1), options.distance))
      throw std::runtime_error("unknown dissimilarity " + how.substr(colon + 1));
    options.permutations = std::atoi(argv[4]);
    options.seed = static_cast<std::uint32_t>(std::stoul(argv[5]));
    options.task = morvenak::Task::kAnova;
    const morvenak::Result r = morvenak::analyse(in, options);

    std::cout << "source\tfactor\tdf1\tdf2\tSS\tMS\tF\tP\tR2\tpermutations\tnote\n";
    std::size_t factor = 0;
    for (const morvenak::Row& row : r.rows) {
      const bool is_factor = row.source != morvenak::Source::kWithin && row.source != morvenak::Source::kTotal;
      std::cout << source_name(row.source) << '\t' << (is_factor ? names.at(factor++) : "") << '\t' << row.df1 << '\t'
                << (is_factor ? std::to_string(row.df2) : "") << '\t' << number(row.ss) << '\t'
                << (row.source == morvenak::Source::kTotal ? "" : number(row.ms)) << '\t'
                << (is_factor && row.formed ? number(row.f) : "") << '\t' << (row.tested ? number(row.p) : "") << '\t'
                << number(row.ss / r.ssy) << '\t' << row.permutations << '\t' << row.note << '\n';
    }
  } catch (const std::exception& e) {
    std::cerr << "morvenak_api_results: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
