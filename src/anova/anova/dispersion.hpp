// The test of multivariate dispersion: whether the groups of a factor differ
// in how widely their objects scatter around their centre, not in where the
// centre lies.
//
// Each object's distance to its group's centroid comes from Gower's centred
// matrix G of the analysis (G = Y Y' for the Euclidean distances of the
// centred table), with k and l over the object's group g:
//   z_i^2 = G_ii - 2 mean_k G_ik + mean_kl G_kl,
// set to 0 where a dissimilarity that is not Euclidean makes it negative; with
// the bias adjustment, z_i times sqrt(n_g / (n_g - 1)). The groups' distances
// are compared by the F of their one-way anova,
//   F = (SS_between / (G - 1)) / (SS_within / (n - G)),
// P by permuting the anova's residuals z_i - mean_g(z) among all the objects:
// (1 + #{F* >= F}) / (permutations + 1). Each pair of groups by Welch's t of
// their distances, P by permuting the pair's residuals among its objects,
// two-sided (|t*| >= |t|); the pairs' P adjusted together. Every sum runs
// over the objects in their order, the columns ascending.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/generator.hpp"
#include "core/model.hpp"
#include "linalg/grouping.hpp"

namespace morvenak {

// The adjusted P of `p`, in its order.
std::vector<double> adjust_p(const std::vector<double>& p, PAdjust how);

// Each object's distance to its group's centroid (group[i] in 0..groups-1),
// from the table by rows (`y`, its Euclidean distances) or from Gower's
// centred matrix (`gd`, n x n), the other null.
std::vector<double> distances_to_centroid(const RowMatrix* y, const RowMatrix* gd, const std::vector<int>& group,
                                          int groups, bool bias_adjust);

// The test of the distances `z` among the groups: `permutations` of the
// residuals from `generator` for F, then as many for each pair in turn.
// (Its levels' names are the caller's to give.)
DispersionResult dispersion_test(std::vector<double> z, const std::vector<int>& group, int groups,
                                 std::int64_t permutations, Generator& generator, PAdjust adjust);

}  // namespace morvenak
