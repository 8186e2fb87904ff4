// The benchmark driver of the path beyond the classic limits: reads the
// tables of gen_large.py, runs the analysis through the library API and
// prints the table, the generator, the threads and the times (reading the
// files, then the analysis alone), with a hash of the bits of every
// ordination's eigenvalues, variances and scores, so that two builds can be
// compared for the same results. Not a test: it times nothing it checks.
//
// usage: bench-large DIR [--task anova|both] [--nperm N] [--threads T]
//                        [--generator auto|classic|modern] [--seed S] [--max-memory BYTES]
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fnv.hpp"
#include "morvenak/analysis.hpp"

namespace {

std::uint64_t fnv(std::uint64_t h, const std::vector<double>& x) { return ::fnv(h, x.data(), x.size()); }

}  // namespace

int main(int argc, char** argv) {
  using namespace morvenak;
  if (argc < 2) {
    std::cerr << "usage: bench-large DIR [--task anova|both] [--nperm N] [--threads T] [--generator G] [--seed S]\n";
    return 2;
  }
  const std::string dir = argv[1];
  Options o;
  o.task = Task::kAnova;
  o.transform = Transform::kHellinger;
  for (int k = 2; k + 1 < argc; k += 2) {
    const std::string key = argv[k], value = argv[k + 1];
    if (key == "--task") o.task = value == "both" ? Task::kBoth : value == "scores" ? Task::kScores : Task::kAnova;
    else if (key == "--nperm") o.permutations = std::atoi(value.c_str());
    else if (key == "--threads") o.threads = std::atoi(value.c_str());
    else if (key == "--seed") o.seed = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else if (key == "--max-memory") o.max_memory = std::strtoull(value.c_str(), nullptr, 10);
    else if (key == "--generator")
      o.generator = value == "classic" ? GeneratorChoice::kClassic
                    : value == "modern" ? GeneratorChoice::kModern : GeneratorChoice::kAuto;
    else {
      std::cerr << "unknown option " << key << "\n";
      return 2;
    }
  }
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::vector<double>> rows;
  {
    std::ifstream in(dir + "/Y.tsv");
    std::string line;
    while (std::getline(in, line)) {
      std::vector<double> row;
      const char* s = line.c_str();
      char* end = nullptr;
      for (double v = std::strtod(s, &end); end != s; v = std::strtod(s, &end)) {
        row.push_back(v);
        s = end;
      }
      rows.push_back(std::move(row));
    }
  }
  Input input;
  input.n = static_cast<int>(rows.size());
  input.p = input.n > 0 ? static_cast<int>(rows[0].size()) : 0;
  input.y.resize(static_cast<std::size_t>(input.n) * static_cast<std::size_t>(input.p));
  for (int i = 0; i < input.n; ++i)
    for (int j = 0; j < input.p; ++j)
      input.y[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * static_cast<std::size_t>(input.n)] =
          rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
  rows.clear();
  rows.shrink_to_fit();
  {
    std::ifstream in(dir + "/factors.tsv");
    std::string line;
    std::vector<std::vector<std::string>> labels;
    while (std::getline(in, line)) {
      std::stringstream s(line);
      std::size_t f = 0;
      for (std::string cell; std::getline(s, cell, '\t'); ++f) {
        if (labels.size() <= f) labels.emplace_back();
        labels[f].push_back(cell);
      }
    }
    for (std::size_t f = 0; f < labels.size(); ++f)
      input.factors.push_back(Factor::from_labels("F" + std::to_string(f + 1), std::move(labels[f])));
  }
  const auto t1 = std::chrono::steady_clock::now();
  try {
    const Result r = analyse(input, o);
    const auto t2 = std::chrono::steady_clock::now();
    std::printf("n %d p %d  generator %s seed %u  threads %d  beyond limits %s  memory estimate %.0f MB\n", r.n, r.p,
                r.generator == GeneratorChoice::kModern ? "modern" : "classic", r.seed, r.threads,
                r.beyond_limits ? "yes" : "no", static_cast<double>(r.memory_estimate) / 1048576.0);
    for (const Row& row : r.rows)
      std::printf("%-20s %6d %6d %22.15g %22.15g %8.6f\n", row.label.c_str(), row.df1, row.df2, row.ss,
                  row.formed ? row.f : 0.0, row.tested ? row.p : -1.0);
    for (const OrdinationResult& ord : r.ordinations) {
      std::uint64_t h = 14695981039346656037ull;
      for (const std::vector<double>* x : {&ord.eigenvalues, &ord.variances, &ord.object_scores, &ord.species_scores})
        h = fnv(h, *x);
      std::printf("ordination: %s, %d axes, first eigenvalue %.15g, bits %016llx\n", ord.title.c_str(), ord.axes,
                  ord.axes > 0 ? ord.eigenvalues[0] : 0.0, static_cast<unsigned long long>(h));
    }
    std::printf("read %.3f s  anova %.3f s  ordinations %.3f s  analysis %.3f s\n",
                std::chrono::duration<double>(t1 - t0).count(), r.anova_seconds, r.ordination_seconds,
                std::chrono::duration<double>(t2 - t1).count());
  } catch (const Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return e.status();
  }
  return 0;
}
