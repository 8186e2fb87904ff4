// enumerate_arrangements, written out in the header because it takes any
// visitor. Groups are filled by classes of equal size: a class of r groups
// of k subgroups first takes r * k of the subgroups left, then splits them
// into r groups, each starting with the smallest subgroup not yet placed in
// the class, so that groups of one class are never told apart.
#pragma once
#include <algorithm>
#include <map>
#include <vector>

namespace morvenak {
namespace subgroups_detail {

struct Class {
  int size;              // subgroups per group
  std::vector<int> ids;  // the groups of this size
};

template <class Visit>
struct Enumerator {
  const std::vector<Class>& classes;
  std::vector<int>& group_of;
  Visit& visit;

  // Splits `pool` (sorted) into the groups ids[g..] of class c, then goes on.
  void split(std::size_t c, std::size_t g, std::vector<int>& pool, std::vector<char>& free_left) {
    const Class& cls = classes[c];
    if (g == cls.ids.size()) {
      choose_class(c + 1, free_left);
      return;
    }
    // The smallest of the pool starts this group; choose its other members.
    std::vector<int> rest;
    for (std::size_t i = 1; i < pool.size(); ++i) rest.push_back(pool[i]);
    group_of[static_cast<std::size_t>(pool[0])] = cls.ids[g];
    const int k = cls.size - 1;
    std::vector<int> pick(static_cast<std::size_t>(k));
    combine(rest, 0, 0, k, pick, [&] {
      std::vector<int> left;
      std::size_t q = 0;
      for (int v : rest) {
        if (q < pick.size() && pick[q] == v) {
          group_of[static_cast<std::size_t>(v)] = cls.ids[g];
          ++q;
        } else {
          left.push_back(v);
        }
      }
      split(c, g + 1, left, free_left);
    });
  }

  // Chooses which of the free subgroups go to class c.
  void choose_class(std::size_t c, std::vector<char>& free_left) {
    if (c == classes.size()) {
      visit(static_cast<const std::vector<int>&>(group_of));
      return;
    }
    std::vector<int> free;
    for (std::size_t s = 0; s < free_left.size(); ++s)
      if (free_left[s]) free.push_back(static_cast<int>(s));
    const int take = classes[c].size * static_cast<int>(classes[c].ids.size());
    std::vector<int> pick(static_cast<std::size_t>(take));
    combine(free, 0, 0, take, pick, [&] {
      for (int v : pick) free_left[static_cast<std::size_t>(v)] = 0;
      split(c, 0, pick, free_left);
      for (int v : pick) free_left[static_cast<std::size_t>(v)] = 1;
    });
  }

  // Every k-subset of from[start..] in increasing order, into pick[depth..].
  template <class Then>
  void combine(const std::vector<int>& from, std::size_t start, int depth, int k, std::vector<int>& pick, Then&& then) {
    if (depth == k) {
      then();
      return;
    }
    for (std::size_t i = start; i + static_cast<std::size_t>(k - depth) <= from.size(); ++i) {
      pick[static_cast<std::size_t>(depth)] = from[i];
      combine(from, i + 1, depth + 1, k, pick, then);
    }
  }
};

}  // namespace subgroups_detail

template <class Visit>
void enumerate_arrangements(const SubgroupDesign& d, Visit&& visit) {
  std::map<int, std::vector<int>> by_size;  // subgroups per group -> groups
  for (int g = 0; g < d.groups; ++g) by_size[d.per_group[static_cast<std::size_t>(g)]].push_back(g);
  std::vector<subgroups_detail::Class> classes;
  for (auto& entry : by_size) classes.push_back({entry.first, entry.second});
  std::vector<int> group_of(static_cast<std::size_t>(d.subgroups), -1);
  std::vector<char> free_left(static_cast<std::size_t>(d.subgroups), 1);
  subgroups_detail::Enumerator<Visit> e{classes, group_of, visit};
  e.choose_class(0, free_left);
}

}  // namespace morvenak
