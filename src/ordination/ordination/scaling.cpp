// Scaling 2 of an ordination's scores from scaling 1.
#include "core/fp_contract.hpp"
#include "ordination/scaling.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace morvenak {

void scale_ordination(OrdinationResult& o, int scaling) {
  if (scaling != 1 && scaling != 2)
    throw InvalidInput("the scaling of the scores is 1 or 2, not " + std::to_string(scaling));
  if (scaling == o.scaling) return;
  if (scaling == 1) throw InvalidInput("scores in scaling 2 are not taken back to scaling 1");
  const std::size_t n = static_cast<std::size_t>(o.n), p = static_cast<std::size_t>(o.p);
  const double nm1 = static_cast<double>(o.n - 1);
  const std::size_t axes = o.eigenvalues.size();
  const auto kept = [&](const std::vector<double>& scores, std::size_t rows) {
    return rows == 0 ? std::size_t{0} : scores.size() / rows;
  };
  for (std::size_t x = 0; x < axes; ++x) {
    const double root = std::sqrt(o.eigenvalues[x]);
    if (x < kept(o.object_scores, n)) {
      double q = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        double& z = o.object_scores[i + x * n];
        z = z / root;
        q += z * z;
      }
      if (x < o.variances.size()) o.variances[x] = q / nm1;
    }
    if (x < kept(o.site_scores, n))
      for (std::size_t i = 0; i < n; ++i) o.site_scores[i + x * n] = o.site_scores[i + x * n] / root;
    if (!o.principal_coordinates && x < kept(o.species_scores, p))
      for (std::size_t j = 0; j < p; ++j) o.species_scores[j + x * p] = o.species_scores[j + x * p] * root;
  }
  o.scaling = scaling;
}

}  // namespace morvenak
