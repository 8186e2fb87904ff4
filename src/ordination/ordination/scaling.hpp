// The scalings of an ordination's scores (Legendre & Legendre 2012,
// Numerical Ecology, sections 9.1 and 11.1). The ordinations are computed in
// scaling 1, which preserves the distances among objects: object and site
// scores as computed (Z = F U, (Y - F_before) U), species scores U, the unit
// eigenvectors. Scaling 2 preserves the correlations among species: object
// and site scores times Lambda^(-1/2), species scores U Lambda^(1/2), Lambda
// the eigenvalues (lambda / (n - 1)). Principal coordinates scale their
// object and site scores alike; their species scores are correlations, which
// no scaling changes.
#pragma once
#include "core/model.hpp"

namespace morvenak {

// Takes o from its scaling to `scaling` (1 or 2): from 1 to 2, each object
// and site score of axis k divided by sqrt(eigenvalue_k), each species score
// (not of principal coordinates) multiplied by it, and the variances of the
// object scores summed again (objects ascending, over n - 1). Nothing
// changes when o is in that scaling already. Throws InvalidInput for another
// scaling, or to take a scaling 2 back to 1.
void scale_ordination(OrdinationResult& o, int scaling);

}  // namespace morvenak
