// The test of multivariate dispersion: whether the groups of a factor differ
// in how widely their objects scatter around their centre, not in where the
// centre lies.
//
// Each object's distance to its group's centroid comes from Gower's centred
// matrix G of the analysis (G = Y Y' for the Euclidean distances of the
// centred table), with k and l over the object's group g:
//   z_i^2 = G_ii - 2 mean_k G_ik + mean_kl G_kl,
// set to 0 where a dissimilarity that is not Euclidean makes it negative; with
// the bias adjustment, z_i times sqrt(n_g / (n_g - 1)). The centre may be the
// group's spatial median instead, in the table's space or the principal
// coordinates of G. The groups' distances are compared by the F of their
// anova, of the groups within their strata (one stratum: the one-way anova),
//   F = (SS_between / (G - S)) / (SS_within / (n - G)),
// P by permuting the anova's residuals z_i - mean_g(z) within the strata:
// (1 + #{F* >= F}) / (permutations + 1). Each pair of groups of one stratum
// by Welch's t of their distances, P by permuting the pair's residuals among
// its objects, two-sided (|t*| >= |t|); the pairs' P adjusted together.
// Every sum runs over the objects in their order, the columns ascending.
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

// Each distance of `z` times sqrt(n_g / (n_g - 1)), n_g the units of its
// group (group[i]); a group of one unit as it is.
void adjust_for_bias(std::vector<double>& z, const std::vector<int>& group);

// Points in the space of the analysis: the rows of x, its first `positive`
// columns real axes and the others imaginary (the axes of a dissimilarity's
// negative eigenvalues), so that a squared distance is the sum of the
// squared differences over the first less that over the others.
//
// Each group's spatial median (groups x p, by rows): the median of the real
// axes and that of the imaginary ones, each by Weiszfeld's iteration (see
// dispersion.cpp); `unconverged` counts the medians that did not settle.
std::vector<double> spatial_medians(const RowMatrix& x, int positive, const std::vector<int>& group, int groups,
                                    int* unconverged);
// Each point's distance to its group's centre (`centres`, groups x p by
// rows), 0 where the squared distance is negative.
std::vector<double> distances_to_centres(const RowMatrix& x, int positive, const std::vector<int>& group,
                                         const std::vector<double>& centres, bool bias_adjust);

// The distance of each unit's centroid (the objects of `unit`) to the
// centroid of its level's objects (`level_of_unit`), from the table or from
// Gower's matrix, as distances_to_centroid.
std::vector<double> unit_distances_to_centroid(const RowMatrix* y, const RowMatrix* gd, const std::vector<int>& unit,
                                               int units, const std::vector<int>& level_of_unit, int levels);

// The test of the distances `z` among the groups within their strata
// (`stratum` of each group; empty: one), the residuals permuted within the
// strata: `permutations` from `generator` for F, then as many for each pair
// of groups of one stratum in turn. (Its levels' names are the caller's to
// give.)
DispersionResult dispersion_test(std::vector<double> z, const std::vector<int>& group, int groups,
                                 std::vector<int> stratum, std::int64_t permutations, Generator& generator,
                                 PAdjust adjust);

}  // namespace morvenak
