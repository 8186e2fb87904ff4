// The main factor tested by permuting whole subgroups: the subgroups of the
// first nested factor are shared among the main groups, each main group
// keeping its number of subgroups, a subgroup's objects moving together.
// Under that scheme the main groups' sizes change from one arrangement to
// the next, so each arrangement's F* comes from the subgroups' totals and
// sizes: the main SS from the totals of the groups as arranged, the nested
// SS as the cells' SS less that, F* = (df_den x main SS) / (df_num x nested
// SS). For a fixed cells' SS, F* grows with the main SS, so F* >= F exactly
// when the arrangement's main SS is at least the observed one's.
//
// The comparison is exact: each main SS is formed in a fixed order (the
// groups by their first subgroup, the subgroups of a group in ascending
// order), so the same arrangement gives the same bits, and a main SS within
// a rounding bound of the observed one is formed again in double-double
// arithmetic, where values within 2^-100 of each other (relative) count as
// equal.
#pragma once
#include <cstdint>
#include <vector>

#include "core/generator.hpp"
#include "core/workspace.hpp"

namespace morvenak {

struct SubgroupDesign {
  int groups = 0;     // main groups
  int subgroups = 0;  // subgroups of the first nested factor
  int p = 0;
  std::vector<int> group_of;   // the observed main group of each subgroup (0-based, in order of first object)
  std::vector<int> sizes;      // objects per subgroup
  std::vector<int> per_group;  // subgroups per main group, observed
  std::vector<double> totals;  // p x subgroups: column s is the total of Y over subgroup s
  // A distance analysis (totals empty, p 0): subgroups x subgroups, entry
  // (s, t) the sum of Gower's centred matrix over the rows of s and the
  // columns of t. A group's SS term is then the sum of the entries between
  // its subgroups (s, then t, ascending) over its size.
  std::vector<double> gram;
};

// The subgroups and main groups of the design, from the dummy variables of
// the main factor and of the first nested factor (objects with the same
// codes share a group or a subgroup), and the totals of centred Y.
SubgroupDesign subgroup_design(const RunContext& ctx, const Workspace& w);

// The number of distinct arrangements: the partitions of the subgroups into
// groups of the observed numbers of subgroups, groups of equal number not
// told apart. Saturates at UINT64_MAX.
std::uint64_t distinct_arrangements(const SubgroupDesign& d);

// Calls visit(group_of) once for every distinct arrangement, in a fixed
// order, the observed one among them.
template <class Visit>
void enumerate_arrangements(const SubgroupDesign& d, Visit&& visit);

struct SubgroupTest {
  std::uint64_t arrangements = 0;  // distinct arrangements (saturated)
  bool exact = false;              // every arrangement enumerated
  std::int64_t count = 0;          // arrangements with F* >= F, the observed one included
  std::int64_t permutations = 0;   // arrangements besides the observed one: A - 1, or the random draws
  std::int64_t near_ties = 0;      // comparisons settled in double-double
};

// The test: every arrangement when `exact` or when there are at most
// `nperm` of them, else `nperm` arrangements drawn with `generator` (the
// subgroups shuffled, the first ones to the first group, and so on).
// The cancellation (ctx) is polled between arrangements.
SubgroupTest subgroup_test(const RunContext& ctx, const SubgroupDesign& d, int nperm, bool exact, Generator& generator);

// The starting state of the arrangements' generator, from the run's seed.
std::uint32_t arrangement_seed(std::uint32_t seed);

}  // namespace morvenak

#include "anova/subgroups_enumerate.hpp"
