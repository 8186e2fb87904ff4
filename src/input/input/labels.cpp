// Levels in order of first appearance or in a given order, and weighted Helmert
// contrasts.
#include "core/fp_contract.hpp"
#include "input/labels.hpp"

#include <cstddef>
#include <algorithm>
#include <map>
#include <numeric>
#include <utility>

namespace morvenak {

namespace {

// The levels of `c` renumbered by parent level, and within each parent level
// in the order of `order`.
LevelCoding in_order(const LevelCoding& c, const std::vector<std::string>& order) {
  std::map<std::string, std::size_t> rank;
  for (std::size_t k = 0; k < order.size(); ++k)
    if (!rank.emplace(order[k], k).second) throw InvalidInput("the level '" + order[k] + "' is given twice");
  std::vector<std::size_t> ranks(c.levels.size());
  for (std::size_t l = 0; l < c.levels.size(); ++l) {
    const auto found = rank.find(c.levels[l]);
    if (found == rank.end()) {
      std::size_t i = 0;
      while (c.level_of[i] != static_cast<int>(l)) ++i;
      throw InvalidInput("object " + std::to_string(i + 1) + " has the label '" + c.levels[l] +
                         "', which is not among the levels given");
    }
    ranks[l] = found->second;
  }
  std::vector<int> by_rank(c.levels.size());  // new level -> old level
  std::iota(by_rank.begin(), by_rank.end(), 0);
  std::sort(by_rank.begin(), by_rank.end(), [&](int a, int b) {
    const std::size_t x = static_cast<std::size_t>(a), y = static_cast<std::size_t>(b);
    return c.parent[x] != c.parent[y] ? c.parent[x] < c.parent[y] : ranks[x] < ranks[y];
  });
  std::vector<int> renumbered(c.levels.size());  // old level -> new level
  LevelCoding out;
  for (std::size_t k = 0; k < by_rank.size(); ++k) {
    const std::size_t old = static_cast<std::size_t>(by_rank[k]);
    renumbered[old] = static_cast<int>(k);
    out.levels.push_back(c.levels[old]);
    out.parent.push_back(c.parent[old]);
    out.counts.push_back(c.counts[old]);
  }
  out.level_of.reserve(c.level_of.size());
  for (int l : c.level_of) out.level_of.push_back(renumbered[static_cast<std::size_t>(l)]);
  return out;
}

}  // namespace

LevelCoding code_levels(const std::vector<std::string>& labels, const LevelCoding* parent,
                        const std::vector<std::string>& order) {
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
  return order.empty() ? c : in_order(c, order);
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
