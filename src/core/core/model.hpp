// The analysis as values: its options, its results, the events it reports
// while it runs, and the errors it throws. The engine fills these; every
// front end (the classic dialogue, the run command, the R and Python
// packages) formats them. Nothing here does input or output.
#pragma once
#include <atomic>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvenak {

// ---------------------------------------------------------------- options

enum class Task { kAnova = 1, kScores = 2, kBoth = 3 };

// The transformations of Y, numbered as in the classic dialogue.
enum class Transform {
  kNone = 0,
  kChord = 1,
  kChiSquareMetric = 2,
  kChiSquareDistance = 3,
  kProfiles = 4,
  kHellinger = 5,
  // Beyond the classic dialogue: each value on its own (the square root, the
  // square root of the square root, 1 for a value above 0), and Wisconsin's
  // double standardization (each species divided by its largest value, then
  // each object by its total).
  kSqrt = 6,
  kFourthRoot = 7,
  kPresence = 8,
  kWisconsin = 9,
};

// The dissimilarity between objects that the analysis decomposes. Euclidean:
// the Euclidean distances of Y as transformed, the classic analysis (chord,
// Hellinger and chi-square distances are Euclidean distances of transformed
// tables). The others, of Y as transformed (and with `Options::binary`, of
// its presences), or a matrix given (Input::distances), go by Gower's
// centred matrix of -d^2 / 2.
enum class Dissimilarity {
  kEuclidean,
  kBray,        // sum |x - y| / sum (x + y)
  kJaccard,     // 2B / (1 + B), B Bray-Curtis
  kKulczynski,  // 1 - (sum min / sum x + sum min / sum y) / 2
  kManhattan,   // sum |x - y|
  kCanberra,    // sum over species present in either of |x - y| / (x + y), divided by their number
  kGower,       // sum |x - y| / range of the species, divided by the number of species
  kAltGower,    // sum |x - y| over species present in either, divided by their number
  kGiven,       // a matrix given by the caller
};

// A correction of a dissimilarity that is not Euclidean.
enum class Correction { kNone, kLingoes };

// What the main factor's permutation test exchanges in a nested design: the
// objects (rows of Y, freely) or the subgroups of the first nested factor as
// wholes. The nested factors' tests are the same either way.
enum class MainUnits { kObjects, kSubgroups };

// The generator of the permutations. kAuto: the classic generator within
// the classic limits (501 objects, 500 species, 200 dummy variables), the
// modern one (xoshiro256** with unbiased bounded draws) beyond them.
enum class GeneratorChoice { kAuto, kClassic, kModern };

// The sums of squares of a model of terms: sequential (each term after the
// terms before it, conditions first) or marginal (each term after every
// other term that does not contain it).
enum class SumsOfSquares { kSequential, kMarginal };

// The denominators of a model of nested terms (Options::denominators).
enum class Denominators { kClassic, kEms };

// How a family of P values is adjusted for its number m, the raw P
// ascending: Holm's step-down min(1, max_{j<=i} (m - j + 1) p_(j));
// Bonferroni's min(1, m p); Benjamini and Hochberg's false discovery rate
// min_{j>=i} min(1, m p_(j) / j); or not at all.
enum class PAdjust { kHolm, kBonferroni, kFdr, kNone };
constexpr const char* kPAdjustNames[] = {"holm", "bonferroni", "fdr", "none"};
inline const char* p_adjust_name(PAdjust a) { return kPAdjustNames[static_cast<int>(a)]; }
// The adjustment a name gives ("holm", "bonferroni", "fdr", "none"); false for another name.
inline bool p_adjust_of_name(const std::string& name, PAdjust& a) {
  for (int k = 0; k < 4; ++k)
    if (name == kPAdjustNames[k]) {
      a = static_cast<PAdjust>(k);
      return true;
    }
  return false;
}

// Processes that share the permutation tests of one analysis (a cluster
// run). Every process runs the whole analysis on the same data with the same
// options, so each draws the same permutations in the same order; each
// evaluates only those dealt to it (the k-th permutation of a test, counted
// from 1, to process (k - 1) mod count), and the counts are summed. Each
// count is a sum of whole numbers, so every process ends with the result of
// a single process, bit for bit. The engine knows nothing of the transport;
// a front end implements sum().
class Share {
 public:
  virtual ~Share() = default;
  virtual int index() const = 0;  // this process, 0 to count() - 1
  virtual int count() const = 0;  // at least 1
  // Replaces each of the `size` values by its sum over the processes. Every
  // process calls it at the same points of the analysis with the same size.
  virtual void sum(std::int64_t* values, int size) = 0;
};

struct Options {
  Task task = Task::kBoth;
  Transform transform = Transform::kNone;
  int permutations = 999;  // 0: no test
  std::uint32_t seed = 1;  // the generator's starting state (1: the classic sequence)
  int threads = 0;  // threads of the permutation test (and of the ordinations beyond the classic limits); 0: all the
                    // process may use
  bool check_coding = true;  // check that each factor's dummy variables sum to 0 and are orthogonal
  // Stop, naming the object and species, when Y as transformed holds a value
  // that is no finite number (the square root of a negative value under
  // Hellinger) or its sum of squares overflows (values of about 1.3E154 and
  // more), rather than let the eigen-decomposition fail on them. The classic
  // dialogue does not check: it runs on to its own stop.
  bool check_values = true;
  MainUnits main_units = MainUnits::kObjects;
  // With subgroups as units: enumerate every distinct arrangement even when
  // there are more than `permutations` (refused above ten million).
  bool exact = false;
  // Polled between permutations and between the steps of an analysis; when
  // it becomes true the analysis throws Cancelled. May be null.
  const std::atomic<bool>* cancel = nullptr;
  GeneratorChoice generator = GeneratorChoice::kAuto;
  // Beyond the classic limits: the memory the analysis may use, in bytes;
  // 0: what the system has available (the smaller of MemAvailable and what
  // the process's cgroup memory limit leaves). A run whose estimate exceeds
  // it stops (Stopped) before allocating.
  std::uint64_t max_memory = 0;
  // The processes that share the permutation tests; null: this one alone.
  Share* share = nullptr;
  // The dissimilarity (kGiven: Input::distances holds it), of presences
  // only when `binary`, and its square roots taken when `sqrt_dist`.
  Dissimilarity distance = Dissimilarity::kEuclidean;
  bool binary = false;
  bool sqrt_dist = false;
  // The Lingoes correction of the dissimilarities: d' = sqrt(d^2 + 2c) between
  // two objects, c the magnitude of Gd's smallest eigenvalue, for the test
  // and the ordinations alike.
  Correction correction = Correction::kNone;
  // The residuals' ordination keeps at most this many axes (-1: all; 0: none,
  // and a dissimilarity's n x n decomposition is left out).
  int residual_axes = -1;
  // A dissimilarity's n x n eigen-decompositions (the residuals' principal
  // coordinates, the Lingoes correction) are computed for at most this many
  // objects: beyond it the analysis stops before anything of its size is made.
  int decomposition_limit = 3000;
  // The path beyond the classic limits (the grouped path, the modern
  // generator) even for data within them: each pair of a pairwise test of a
  // run beyond the limits takes its run's path.
  bool beyond_limits = false;
  // A model of terms (Input::model): its sums of squares.
  SumsOfSquares ss = SumsOfSquares::kSequential;
  // A mixed design's expected mean squares: restricted (random interaction
  // effects sum to zero over the levels of a fixed factor) or not. An
  // unbalanced design takes the unrestricted; `restricted` insists on the
  // restricted, and stops an unbalanced design.
  bool unrestricted = false;
  bool restricted = false;
  // A model of nested terms: each term over the next one's mean square
  // (kClassic), or, with kEms, its nested factors random and each term over
  // the mean square, or combination of them, its expected mean square asks.
  Denominators denominators = Denominators::kClassic;
  // The test of dispersion (Input::dispersion): each distance to the centroid
  // times sqrt(n_g / (n_g - 1)) with `bias_adjust`; its pairs' P adjusted by
  // `p_adjust`.
  bool bias_adjust = false;
  bool dispersion_median = false;  // the spatial median as the centre (else the centroid)
  PAdjust p_adjust = PAdjust::kHolm;
};

// ---------------------------------------------------------------- results

// The rows of an anova table, in table order.
// A model read from the model language (parse_model): its tested terms and
// the terms partialled out first (Condition()), each term its variables'
// names, and every variable in the order it first appears.
struct ModelFormula {
  std::vector<std::vector<std::string>> terms;
  std::vector<std::vector<std::string>> conditions;
  std::vector<std::string> variables;
  // The term's name in the results: its variables joined by ':'.
  static std::string label(const std::vector<std::string>& term) {
    std::string s;
    for (const std::string& v : term) s += (s.empty() ? "" : ":") + v;
    return s;
  }
  // Whether the model is a nested design of these factors, in nesting
  // order: no condition, and its terms A, A:B, A:B:C, ... each the one before
  // and one variable more (`A / B / C`, or `A + A:B`).
  bool nested(std::vector<std::string>& factors) const {
    if (!conditions.empty() || terms.empty()) return false;
    std::vector<std::string> chain;
    for (const std::vector<std::string>& t : terms) {
      if (t.size() != chain.size() + 1) return false;
      for (const std::string& v : chain) {
        bool in = false;
        for (const std::string& w : t) in = in || w == v;
        if (!in) return false;
      }
      for (const std::string& w : t) {
        bool old = false;
        for (const std::string& v : chain) old = old || w == v;
        if (!old) chain.push_back(w);
      }
    }
    factors = chain;
    return true;
  }
};

// A model of terms (Input::model) has a kTerm row for each term, named by
// Row::label, then the residual (kWithin, "Residual") and total rows.
enum class Source { kMain, kNested1, kNested2, kWithin, kTotal, kTerm };

// A source's name as the results tables write it.
inline const char* source_name(Source s) {
  switch (s) {
    case Source::kMain:
      return "main";
    case Source::kNested1:
      return "nested1";
    case Source::kNested2:
      return "nested2";
    case Source::kWithin:
      return "within";
    case Source::kTotal:
      return "total";
    case Source::kTerm:
      return "term";
  }
  return "";
}

struct Row {
  Source source = Source::kMain;
  std::string label;  // the classic label, trimmed: "Anova factor", "Main factor", "Within groups", ...
  int df1 = 0;
  int df2 = 0;  // 0 in the within and total rows
  double ss = 0.0;
  double ms = 0.0;         // ss / df1; not set in the total row
  bool formed = false;     // F exists: both dfs at least 1 and a positive denominator
  double f = 0.0;          // when formed
  bool tested = false;     // formed and permutations were run
  std::int64_t count = 0;  // permuted F* >= F, the observed F counted once
  std::int64_t permutations = 0;
  double p = 0.0;            // count / (permutations + 1), when tested
  bool significant = false;  // p <= 0.05 (single precision), when tested
  std::string note;          // why the row was not tested; empty when it was
  // A model of terms: a term partialled out first (not tested), and the terms
  // of the reduced model whose residuals the test permuted (none: the rows
  // as they are).
  bool condition = false;
  std::vector<std::string> reduced;
  // A mixed design (Result::mixed): whether the term is random, its expected
  // mean square ("sigma2 + 11 sigma2(ditch within dose) + 22 theta(dose)"),
  // its denominator in words ("MS(ditch within dose)", "MS(Residual)"), the
  // units its test permuted, and its component of variation (NaN: none).
  bool random = false;
  std::string ems, denominator, permuted;
  double component = std::numeric_limits<double>::quiet_NaN();
  // The same EMS, each component with its coefficient ("sigma2", 1), ...; the
  // denominator's mean squares with their weights ("MS(Residual)", 1), ...;
  // and a denominator combined from several mean squares, its degrees of
  // freedom by Satterthwaite's approximation in approximate_df2 (df2 0; NaN
  // for the others).
  std::vector<std::pair<std::string, double>> ems_parts, denominator_parts;
  double approximate_df2 = std::numeric_limits<double>::quiet_NaN();
};

// A row's figures as the run's tables, R and Python show them. A row without
// degrees of freedom (the within row of a saturated design) has a sum of
// squares of 0, whatever rounding left, and no mean square; the total row has
// no mean square; R2 = SS / SSY, kept within [0, 1] (rounding can put a
// saturated fit a few units in the last place beyond them), with no value
// when SSY is 0. NaN is no value.
struct RowFigures {
  double ss = 0.0, ms = 0.0, r2 = 0.0;
};
inline RowFigures row_figures(const Row& row, double ssy) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  RowFigures f;
  f.ss = row.df1 == 0 ? 0.0 : row.ss;
  f.ms = row.df1 == 0 || row.source == Source::kTotal ? none : row.ms;
  f.r2 = ssy > 0.0 ? f.ss / ssy : none;  // no value when the total sum of squares is 0
  if (f.r2 > 1.0) f.r2 = 1.0;
  if (f.r2 < 0.0) f.r2 = 0.0;
  return f;
}

// Why an ordination has no axes.
enum class NoAxes { kNone, kZeroTotalVariance, kZeroCanonicalVariance };

struct OrdinationResult {
  std::string title;              // as in the score file
  std::string term;               // a model of terms: the term whose added fit it is ("" for the residuals)
  Source source = Source::kMain;  // the fitted factor, or kWithin for the residuals
  bool canonical = true;          // fitted values (true) or residuals (false)
  NoAxes no_axes = NoAxes::kNone;
  int n = 0, p = 0, axes = 0;
  std::vector<double> eigenvalues;         // lambda / (n - 1), axes entries
  std::vector<double> proportions;         // eigenvalue / total variance (SSY / (n - 1))
  std::vector<double> percent;             // 100 x eigenvalue / total variance
  std::vector<double> cumulative_percent;  // of the total variance
  std::vector<double> percent_of_sum;      // cumulative, of the canonical (or residual) variance
  double sum = 0.0;                        // sum of the eigenvalues
  std::vector<double> object_scores;       // n x axes, column-major: Z = M U
  std::vector<double> species_scores;      // p x axes, column-major: U, unit eigenvectors
  std::vector<double> variances;           // of the object scores, per axis
  // A canonical ordination's site scores, n x axes, column-major: B U, B the
  // table less the fits of the terms fitted before this one (the centred
  // table itself for the main factor or a model's first term; for a nested
  // factor, the table less its parent's fit), so that the site scores of
  // each cell of the term average to its object score, the cell's centroid.
  // Principal coordinates: (I - H_before) Gd V Lambda^(-1/2), V the unit
  // eigenvectors and Lambda the eigenvalues of the fitted matrix, the same
  // construction in Gd (ordination/pcoa.hpp). Empty for the residuals.
  std::vector<double> site_scores;
  // The scaling of the object, site and species scores: 1, as computed
  // (distances among objects); 2, correlations among species: object and
  // site scores times eigenvalue^(-1/2), a table's species scores times
  // eigenvalue^(1/2) (scale_scores, morvenak/analysis.hpp).
  int scaling = 1;
  // Principal coordinates of a dissimilarity (ordination/pcoa.hpp): the
  // object scores are the eigenvectors times the square roots of their
  // eigenvalues, the species scores each species' correlation with them
  // (none for a matrix given), and the eigenvalues below 0 are listed too
  // (lambda / (n - 1), ascending), with the sum of their magnitudes as a
  // share of the sum of the positive ones.
  bool principal_coordinates = false;
  std::vector<double> negative_eigenvalues;
  double negative_share = 0.0;
};

// The main factor's test in a nested design: its units, the number of
// distinct arrangements of its subgroups among the main groups (each keeping
// its number of subgroups; saturated at 2^64 - 1), and how they were used.
struct MainTest {
  MainUnits units = MainUnits::kObjects;
  int groups = 0;
  int subgroups = 0;
  std::uint64_t arrangements = 0;
  bool exact = false;             // every arrangement enumerated
  std::int64_t permutations = 0;  // arrangements besides the observed one
  std::int64_t near_ties = 0;     // comparisons settled in double-double
};

// How each factor's coding fared in the checks.
struct FactorCheck {
  int dummies = 0;
  bool coding_checked = false;
  bool sums_to_zero = true;  // every dummy variable sums to 0
  bool orthogonal = true;    // every two dummy variables have a cross-product of 0
  bool collinear = false;    // the centred dummy variables are collinear
};

// The coding of one factor given as labels: levels in order of first
// appearance; for a nested factor a level is a label within its parent's
// level, so the same label under two parents gives two subgroups.
struct LevelCoding {
  std::vector<std::string> levels;  // the label of each level, as given
  std::vector<int> parent;          // the parent level of each level (-1 for the main factor)
  std::vector<int> counts;          // objects per level
  std::vector<int> level_of;        // the level of each object
};

// The test of multivariate dispersion among the levels of a factor: each
// unit's distance to its level's centre (the centroid, or the spatial
// median), per level their number, mean and standard deviation (n - 1; NaN
// for one unit), the anova F of the distances and its P, and each pair of
// levels' Welch t, its degrees of freedom, raw and adjusted P (NaN: no t, a
// level of one unit or no variation). The units are the objects, or (the
// main factor of a nested design, `units` its first nested factor) the
// centres of that factor's subgroups. A nested factor's levels are its
// subgroups, compared within each level of its parents: the anova's F is of
// the subgroups within the parents, its residuals permuted within them, and
// pairs are of subgroups of one parent.
struct DispersionPair {
  int a = 0, b = 0;  // the levels, a < b
  double t = 0.0, df = 0.0;
  bool formed = false;
  std::int64_t count = 0;  // |t*| >= |t|, the observed counted once
  double p = 0.0, p_adjusted = 0.0;
};
struct DispersionResult {
  std::string factor;   // empty: no test asked
  std::string within;   // a nested factor's parents ("Shrub within Topo"); empty otherwise
  std::string units;    // the factor whose subgroups are the units; empty: the objects
  bool median = false;  // the centres are spatial medians (else centroids)
  bool bias_adjust = false;
  PAdjust adjust = PAdjust::kHolm;
  std::vector<std::string> levels;
  std::vector<std::string> level_within;  // each level's parents' levels, joined by ": "
  std::vector<std::string> unit_names;    // each unit's name (empty: the objects)
  std::vector<int> group;                 // each unit's level
  int unconverged = 0;                    // spatial medians whose iteration did not settle
  std::vector<double> z;                  // each unit's distance to its centre
  std::vector<int> n;
  std::vector<double> mean, sd;
  int df1 = 0, df2 = 0;
  bool formed = false;  // both dfs at least 1 and some variation within the levels
  double f = 0.0, p = 0.0;
  std::int64_t count = 0, permutations = 0;
  std::vector<DispersionPair> pairs;  // (0,1), (0,2), ..., (1,2), ...
};

// Pairwise tests of a factor's levels: for each pair, within each level of
// the factor's parents (`within`, the parents' levels joined by ": "; empty
// for the main factor), the F that the design gives the factor on the
// samples of the two levels alone, its pseudo-t sqrt(F) where df1 is 1 (NaN
// otherwise), its P and the P adjusted with the other pairs of the factor.
struct PairwiseRow {
  std::string within, a, b;
  int df1 = 0, df2 = 0;
  double approximate_df2 = std::numeric_limits<double>::quiet_NaN();  // a combined denominator's
  bool formed = false, tested = false;
  double f = 0.0, t = 0.0, p = 0.0, p_adjusted = 0.0;
  std::int64_t permutations = 0;
  std::string note;  // why a pair has no F or no P; empty when it has both
};
// The average distance between the samples of two levels of one parents'
// level (a == b: among the samples of one level, each pair of them once), in
// the space of the analysis; NaN where there is no pair.
struct MeanDistance {
  std::string within, a, b;
  std::int64_t pairs = 0;
  double mean = 0.0;
};
struct PairwiseResult {
  std::string term;  // the factor, as asked ("Shrub within Topo")
  std::string factor;
  PAdjust adjust = PAdjust::kHolm;
  std::string note;  // why the factor has no pairwise tests (its rows then empty)
  std::vector<PairwiseRow> rows;
  // Within each parents' level, for each level a in order, a with itself and
  // then with each later level b.
  std::vector<MeanDistance> distances;
};

struct Result {
  int n = 0, p = 0;
  double ssy = 0.0;  // total sum of squares of the transformed, centred Y
  int permutations = 0;
  std::vector<Row> rows;                      // factors, then within, then total (anova tasks)
  std::vector<FactorCheck> checks;            // one per factor
  std::vector<LevelCoding> codings;           // one per factor given as labels (empty otherwise)
  std::vector<OrdinationResult> ordinations;  // fitted factors in order, then residuals (score tasks)
  MainTest main_test;                         // nested designs only
  std::vector<std::string> warnings;          // what the user should know about this design
  double anova_seconds = 0.0;
  double ordination_seconds = 0.0;
  // How the analysis ran: the generator (kClassic or kModern) and its seed,
  // whether the data lay beyond the classic limits (the grouped path), the
  // threads of the permutation test, and the memory estimate of the grouped
  // path (0 within the limits).
  GeneratorChoice generator = GeneratorChoice::kClassic;
  std::uint32_t seed = 1;
  bool beyond_limits = false;
  int threads = 1;
  std::uint64_t memory_estimate = 0;
  // With Options::correction kLingoes: the constant c added (2c to each
  // squared dissimilarity between two objects).
  double lingoes_constant = 0.0;
  // A model of terms: its text, its sums of squares, and the column whose
  // levels restricted the permutations ("" for none).
  std::string model;
  SumsOfSquares ss = SumsOfSquares::kSequential;
  std::string strata;
  // A mixed design: some term random; the convention of its expected mean squares.
  bool mixed = false;
  bool restricted = true;
  bool balanced = true;                     // a mixed design's; an unbalanced one's EMS are unrestricted
  std::vector<std::string> random_factors;  // the factors named random
  DispersionResult dispersion;
  DispersionResult dispersion_units;     // the main factor of a nested design's, its subgroups the units
  std::vector<PairwiseResult> pairwise;  // one per factor asked (Input::pairwise)
};

// ---------------------------------------------------------------- events

// What an analysis reports while it runs, at the points where the classic
// program writes it, so that a run that stops keeps what was reported
// before. Every method has an empty default; an observer overrides what it
// shows. Methods are called on the caller's thread.
class Events {
 public:
  virtual ~Events() = default;
  // Preparing Y: problems met by the transformation, then the
  // transformation done and the total sum of squares.
  virtual void zero_column(int column) { (void)column; }  // 1-based; chi-square transformations
  virtual void negative_value(int row, int column) { (void)row, (void)column; }
  virtual void transformed(Transform t) { (void)t; }
  virtual void zero_row(int row) { (void)row; }  // left as it was
  virtual void total_ss(double ssy) { (void)ssy; }
  // A dissimilarity analysis, before its total: the dissimilarity used, of
  // presences when `binary`, its square roots when `sqrt_dist`; the total
  // that follows is tr(Gd).
  virtual void dissimilarity(Dissimilarity d, bool binary, bool sqrt_dist) { (void)d, (void)binary, (void)sqrt_dist; }
  // The dissimilarities the analysis decomposes, n x n (d[i + k * n]), before
  // their square roots are taken; valid during the call.
  virtual void dissimilarities_made(int n, const double* d) { (void)n, (void)d; }
  // The Lingoes correction made: 2c added to every squared dissimilarity
  // between two objects.
  virtual void corrected(double c) { (void)c; }
  // An n x n eigen-decomposition is about to start, expected to take about
  // `seconds` (what: "the Lingoes correction" or the ordination's title).
  virtual void decomposition_started(const std::string& what, int n, double seconds) {
    (void)what, (void)n, (void)seconds;
  }
  // Adding factor k (1-based): one call per column that does not sum to 0,
  // per pair of columns that are not orthogonal, and when they are collinear.
  virtual void column_not_centred(int factor) { (void)factor; }
  virtual void columns_not_orthogonal(int factor) { (void)factor; }
  virtual void factor_collinear(int factor) { (void)factor; }
  // The factors as a whole, before the analysis.
  virtual void coding_verdict(bool correct) { (void)correct; }  // when the coding is checked
  virtual void no_collinearity_within() {}
  virtual void factors_collinear(int a, int b) { (void)a, (void)b; }
  virtual void no_collinearity_among() {}
  virtual void nesting_order_wrong() {}
  virtual void factors_checked() {}  // every check passed
  // A nested design's main test as planned (before the table), and each
  // warning about the design.
  virtual void main_test_planned(const MainTest& plan) { (void)plan; }
  virtual void warning(const std::string& text) { (void)text; }
  // The anova: its table starts, the nested coding check fails (levels 2
  // or 3, with the excess of the parts over the full fit), the test starts,
  // each permutation is drawn, the table is complete.
  virtual void table_started() {}
  virtual void nested_coding_failed(int levels, double excess) { (void)levels, (void)excess; }
  // `large`: the design is large enough (n x p above the engine's threshold)
  // that a console should show the count as it goes.
  virtual void test_started(int permutations, bool large) { (void)permutations, (void)large; }
  virtual void permutation(std::int64_t done, bool large) { (void)done, (void)large; }
  virtual void table_done(const Result& result) { (void)result; }
  // Pairwise tests: the pairs of one factor as asked start, each one is done
  // (its count), all are done.
  virtual void pairs_started(const std::string& term, int pairs) { (void)term, (void)pairs; }
  virtual void pair_done(int done) { (void)done; }
  virtual void pairs_done() {}
  // The ordinations: before the first; before each is computed, its title
  // (so that a stop while it is computed keeps it written); each one; after
  // the last.
  virtual void ordinations_started() {}
  virtual void ordination_started(const std::string& title, int index, int count) {
    (void)title, (void)index, (void)count;
  }
  virtual void ordination(const OrdinationResult& o, int index, int count) { (void)o, (void)index, (void)count; }
  virtual void ordinations_done(const Result& result) { (void)result; }
  // A singular matrix met where the elimination cannot tell which pivot to
  // take: return true to go on, false to stop (Stopped, "singular matrix").
  virtual bool go_on_after_singular() { return false; }
};

// ---------------------------------------------------------------- errors

// Every error of the engine. status() is the exit status a command gives it.
class Error : public std::runtime_error {
 public:
  Error(const std::string& message, int status) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Why an analysis stopped, as a code that a front end can act on without
// reading text; stop_reason_name() gives the code's name in results files
// and in the R and Python packages.
enum class StopReason {
  kSingularMatrix,      // the elimination met a singular matrix
  kEmptyMatrix,         // the elimination was given no column
  kNoConvergence,       // the eigen-decomposition did not converge
  kZeroColumnSums,      // a chi-square transformation met a species that sums to 0
  kCodingIncorrect,     // the dummy variables do not sum to 0 or are not orthogonal
  kTooManyVariables,    // the dummy variables are as many as the objects or more
  kFactorsCollinear,    // two factors' dummy variables are collinear
  kNestingOrder,        // the factors are not nested in the order given
  kNestedCoding,        // the parts of a nested coding exceed the full fit
  kTooManyDummies,      // more dummy variables than the limit
  kBeyondLimits,        // factors given as codes beyond the classic limits
  kNotEnoughMemory,     // the estimate exceeds the memory available or allowed
  kValuesOutOfRange,    // Y as transformed holds values the analysis cannot square
  kTooManyObjects,      // an n x n eigen-decomposition beyond Options::decomposition_limit
  kNoDegreesOfFreedom,  // a term of a model has no degree of freedom left
  kUnbalanced,          // a mixed design that is not balanced, or not made of factors alone
};

inline const char* stop_reason_name(StopReason r) {
  switch (r) {
    case StopReason::kSingularMatrix:
      return "singular_matrix";
    case StopReason::kEmptyMatrix:
      return "empty_matrix";
    case StopReason::kNoConvergence:
      return "no_convergence";
    case StopReason::kZeroColumnSums:
      return "zero_column_sums";
    case StopReason::kCodingIncorrect:
      return "coding_incorrect";
    case StopReason::kTooManyVariables:
      return "too_many_variables";
    case StopReason::kFactorsCollinear:
      return "factors_collinear";
    case StopReason::kNestingOrder:
      return "nesting_order";
    case StopReason::kNestedCoding:
      return "nested_coding";
    case StopReason::kTooManyDummies:
      return "too_many_dummies";
    case StopReason::kBeyondLimits:
      return "beyond_limits";
    case StopReason::kNotEnoughMemory:
      return "not_enough_memory";
    case StopReason::kValuesOutOfRange:
      return "values_out_of_range";
    case StopReason::kTooManyObjects:
      return "too_many_objects";
    case StopReason::kNoDegreesOfFreedom:
      return "no_degrees_of_freedom";
    case StopReason::kUnbalanced:
      return "unbalanced";
  }
  return "";
}

// The analysis cannot be done with this data: a singular matrix, collinear
// or wrongly coded factors, data beyond the limits, ... (status 1). what()
// is the classic stop text ("Singular matrix"); reason() says why as a code;
// words() is the whole of it as every front end shows it, with what the
// events reported before the stop ("Collinearity detected between files X1
// and X2"), the same as what() when there is nothing more to say.
// `reported` is true when an event has already told the user (the classic
// program then writes nothing more).
class Stopped : public Error {
 public:
  Stopped(StopReason reason, const std::string& message, bool reported = false, std::string words = std::string())
      : Error(message, 1), reason_(reason), reported_(reported), words_(words.empty() ? message : std::move(words)) {}
  StopReason reason() const { return reason_; }
  bool reported() const { return reported_; }
  const std::string& words() const { return words_; }

 private:
  StopReason reason_;
  bool reported_;
  std::string words_;
};

// The caller cancelled the analysis (status 1).
class Cancelled : public Error {
 public:
  Cancelled() : Error("The analysis was cancelled.", 1) {}
};

// The input does not make an analysis: sizes that disagree, values that are
// not finite, a nested factor that is not nested, ... (status 2).
class InvalidInput : public Error {
 public:
  explicit InvalidInput(const std::string& message) : Error(message, 2) {}
};

}  // namespace morvenak
