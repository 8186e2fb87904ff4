// Levels in order of first appearance, and weighted Helmert contrasts.
#include "core/fp_contract.hpp"
#include "input/labels.hpp"

#include <cstddef>
#include <map>
#include <utility>

namespace morvenak {

LevelCoding code_levels(const std::vector<std::string>& labels, const LevelCoding* parent) {
  LevelCoding c;
  std::map<std::pair<int, std::string>, int> seen;  // (parent level, label) -> level
  c.level_of.reserve(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i].empty()) throw InvalidInput("object " + std::to_string(i + 1) + " has an empty label");
    const int up = parent != nullptr ? parent->level_of[i] : -1;
    auto found = seen.emplace(std::make_pair(up, labels[i]), static_cast<int>(c.levels.size()));
    if (found.second) {
      c.levels.push_back(labels[i]);
      c.parent.push_back(up);
      c.counts.push_back(0);
    }
    const int level = found.first->second;
    ++c.counts[static_cast<std::size_t>(level)];
    c.level_of.push_back(level);
  }
  return c;
}

std::vector<double> helmert_codes(const LevelCoding& coding, const LevelCoding* parent, int& m) {
  const std::size_t n = coding.level_of.size();
  // The levels of each parent level, in order (one group for a main factor).
  const std::size_t ngroups = parent != nullptr ? parent->levels.size() : 1;
  std::vector<std::vector<int>> groups(ngroups);
  for (std::size_t l = 0; l < coding.levels.size(); ++l)
    groups[parent != nullptr ? static_cast<std::size_t>(coding.parent[l]) : 0].push_back(static_cast<int>(l));
  std::vector<int> rank(coding.levels.size(), 0);  // position of a level within its group
  for (const auto& g : groups)
    for (std::size_t r = 0; r < g.size(); ++r) rank[static_cast<std::size_t>(g[r])] = static_cast<int>(r);
  m = 0;
  for (const auto& g : groups) m += g.empty() ? 0 : static_cast<int>(g.size()) - 1;
  std::vector<double> codes(n * static_cast<std::size_t>(m), 0.0);
  std::size_t column = 0;
  for (const auto& g : groups) {
    int before = 0;  // objects of the group's levels 1..j
    for (std::size_t j = 0; j + 1 < g.size(); ++j, ++column) {
      before += coding.counts[static_cast<std::size_t>(g[j])];
      const int next = coding.counts[static_cast<std::size_t>(g[j + 1])];
      double* c = codes.data() + column * n;
      for (std::size_t i = 0; i < n; ++i) {
        const int level = coding.level_of[i];
        const bool in_group =
            parent == nullptr || coding.parent[static_cast<std::size_t>(level)] == static_cast<int>(&g - groups.data());
        if (!in_group) continue;
        const int r = rank[static_cast<std::size_t>(level)];
        if (r <= static_cast<int>(j))
          c[i] = next;
        else if (r == static_cast<int>(j) + 1)
          c[i] = -before;
      }
    }
  }
  return codes;
}

}  // namespace morvenak
