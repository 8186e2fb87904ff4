// The dissimilarities between objects besides the Euclidean distance, and the
// transformations of single values that go with them (square and fourth roots,
// presences, Wisconsin's double standardization). What an analysis does with
// a dissimilarity matrix (Gower's centred matrix) is left to the layers above.
#pragma once
#include <string>

#include "core/model.hpp"

namespace morvenak {

// Y (n x p, column-major: y[i + j * n]) rewritten in place by one of the
// transformations beyond the classic five:
//   kSqrt        sqrt(x)
//   kFourthRoot  sqrt(sqrt(x))
//   kPresence    1 for x > 0, else 0
//   kWisconsin   each species divided by its largest value, then each object
//                by its total (summed over the species in ascending order); a
//                species or an object of zeros stays zeros.
// kNone leaves Y as it is. Throws InvalidInput naming the first object and
// species (1-based, object by object) of a negative value under kSqrt,
// kFourthRoot or kWisconsin, and for the classic transformations (transform()
// of input/transform.hpp does them).
void pretransform(int n, int p, double* y, Transform t);

// The dissimilarities between the objects (rows of y, n x p column-major) by
// `kind`, of their presences (1 for x > 0, else 0) when `binary`: d is n x n,
// d[i + k * n], exactly symmetric (each pair computed once), 0 on the diagonal.
// Every sum runs over the species in four lanes (lane k takes the species
// j = k, k + 4, ... in ascending order, from 0), combined as (lane 0 + lane 1)
// + (lane 2 + lane 3). For objects x and y:
//   kBray        sum |x - y| / sum (x + y)
//   kJaccard     2B / (1 + B), B the Bray-Curtis dissimilarity
//   kKulczynski  1 - (sum min(x, y) / sum x + sum min(x, y) / sum y) / 2
//   kManhattan   sum |x - y|
//   kCanberra    sum of |x - y| / (x + y) over the species present in either,
//                divided by their number
//   kGower       sum |x' - y'| / p, each species scaled over all objects as
//                x' = (x - min) / (max - min); a species of one value (range 0)
//                adds 0 and still counts in p
//   kAltGower    sum |x - y| over the species present in either (of Y as
//                given, not scaled), divided by their number
// Refused, by Stopped(StopReason::kValuesOutOfRange) naming the objects (and
// the species) 1-based:
//   - a negative value under kBray, kJaccard, kKulczynski, kCanberra and
//     kAltGower (of presences, with `binary`, there is none); kManhattan and
//     kGower take any value;
//   - a dissimilarity of 0/0: two objects that hold no species under kBray,
//     kJaccard, kCanberra and kAltGower, one that holds none under
//     kKulczynski, a table of no species (p = 0) under kGower;
//   - a result that is no finite number (sums that overflow, or a value of Y
//     that is not finite).
// Throws InvalidInput for kEuclidean and kGiven, which are no computation here.
void dissimilarities(int n, int p, const double* y, Dissimilarity kind, bool binary, double* d);

// The same, the Bray-Curtis, Jaccard, Manhattan and Gower dissimilarities
// eight pairs at a time when `vectors` (which needs AVX-512:
// dissimilarities_vectorized() says whether the processor has it and
// dissimilarities uses them), else a pair at a time: the same bits, for the
// tests.
bool dissimilarities_vectorized();
void dissimilarities_with(bool vectors, int n, int p, const double* y, Dissimilarity kind, bool binary, double* d);

// The names the front ends take and write: "euclidean", "bray", "jaccard",
// "kulczynski", "manhattan", "canberra", "gower", "altgower", "given".
const char* dissimilarity_name(Dissimilarity kind);
bool dissimilarity_of_name(const std::string& name, Dissimilarity& kind);  // false when unknown

}  // namespace morvenak
