// Each event of the analysis in the classic program's layouts.
#include "driver/classic_report.hpp"

#include <string>

#include "text/channels.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"
#include "text/timer.hpp"

namespace morvenak {
namespace {

constexpr const char* kRule =
    "(' ---------------------------------------------------------------------------------------')";
constexpr const char* kSeparator = "                          -------------------------";
constexpr const char* kRow = "(1X, 200F10.5)";

// A row label as the table prints it: a blank, the label, blanks to 20.
std::string label20(const std::string& label) {
  std::string s = " " + label;
  s.resize(20, ' ');
  return s;
}

void factor_row(const Row& r, bool nested) {
  const std::string label = label20(r.label);
  if (!r.formed) {
    if (nested)
      write(kReportUnit, R"((A20, 2I5, F20.5, F13.5, 4X, "Cannot be tested"))", {label, r.df1, r.df2, r.ss, r.ms});
    else
      write(kReportUnit, "(A20, 2I5, F20.5, F13.5)", {label, r.df1, r.df2, r.ss, r.ms});
    return;
  }
  if (r.tested)
    write(kReportUnit, "(A20, 2I5, F20.5, F13.5, F12.5, F10.5, 1X, A1)",
          {label, r.df1, r.df2, r.ss, r.ms, r.f, r.p, r.significant ? "*" : " "});
  else
    write(kReportUnit, "(A20, 2I5, F20.5, F13.5, F12.5)", {label, r.df1, r.df2, r.ss, r.ms, r.f});
}

void time_line(const ClassicText& text, const char* layout, float start, int second_unit) {
  const double t = static_cast<double>(secnds(start));
  text.screen(layout, {t});
  write(second_unit, layout, {t});
}

}  // namespace

void ClassicText::both(std::string_view layout, std::initializer_list<Value> values) const {
  if (console_)
    write_both(layout, values);
  else
    write(kReportUnit, layout, values);
}

void ClassicText::screen(std::string_view layout, std::initializer_list<Value> values) const {
  if (console_) write(kConsoleOut, layout, values);
}

void ClassicText::screen_list(std::initializer_list<ListItem> items) const {
  if (console_) list_write(kConsoleOut, items);
}

void ClassicReport::zero_column(int column) {
  text_.screen(R"((" Transformation subroutine: Column", I4, " has total species abundance = 0"))", {column});
}

void ClassicReport::negative_value(int row, int column) {
  text_.screen(R"((" Negative species frequency in row", I4, " column", I4))", {row, column});
}

void ClassicReport::transformed(Transform t) {
  static const char* const kLine[] = {"No transformation of the species data",
                                      "Chord transformation",
                                      "Chi-square metric transformation",
                                      "Chi-square distance transformation",
                                      "Species profile transformation",
                                      "Hellinger transformation",
                                      "Square-root transformation",
                                      "Fourth-root transformation",
                                      "Presence-absence transformation",
                                      "Wisconsin double standardization"};
  list_write(kReportUnit, {kLine[static_cast<int>(t)]});
}

void ClassicReport::dissimilarity(Dissimilarity d, bool binary, bool sqrt_dist) {
  static const char* const kName[] = {"Euclidean", "Bray-Curtis", "Jaccard", "Kulczynski",
                                      "Manhattan", "Canberra",    "Gower",   "altGower"};
  std::string line = d == Dissimilarity::kGiven
                         ? std::string("Dissimilarities given as a matrix")
                         : std::string(kName[static_cast<int>(d)]) + " dissimilarities of the species data" +
                               (binary ? " as presences" : "");
  if (sqrt_dist) line += ", their square roots taken";
  list_write(kReportUnit, {line.c_str()});
  distances_ = true;
}

void ClassicReport::corrected(double c) {
  write(kReportUnit, R"((" Lingoes correction: 2c added to each squared dissimilarity, c =", F19.10))", {c});
}

void ClassicReport::zero_row(int row) {
  text_.screen(R"((" Transformation subroutine warning: Row", I4, " has total species abundance = 0"))", {row});
}

void ClassicReport::total_ss(double ssy) {
  if (distances_)
    write(kReportUnit, R"((" Total sum of squares (from distances) =", F19.5, /))", {ssy});
  else
    write(kReportUnit, R"((" Total sum of squares in Y [transformed] (SSY) =", F19.5, /))", {ssy});
}

void ClassicReport::column_not_centred(int factor) {
  text_.both(R"((" *** The variables coding for factor", I2, " do not all sum to 0", /))", {factor});
}

void ClassicReport::columns_not_orthogonal(int factor) {
  text_.both(R"((" *** The variables coding for factor", I2, " are not orthogonal", /))", {factor});
}

void ClassicReport::factor_collinear(int factor) {
  text_.both(R"((" *** The variables coding for factor", I2, " are collinear", /))", {factor});
}

void ClassicReport::coding_verdict(bool correct) {
  text_.screen_list();
  if (correct)
    text_.both(R"((" No problem was detected", " in the orthogonal coding of the dummy variables"))");
  else
    text_.both(R"((" *** Factor incorrectly coded into orthogonal dummy", /, "     variables in one or more files"))");
}

void ClassicReport::no_collinearity_within() { text_.both(R"((/, " No collinearity detected within factor files"))"); }

void ClassicReport::factors_collinear(int a, int b) {
  text_.both(R"((" *** Collinearity detected between files X", I1, " and X", I1))", {a, b});
}

void ClassicReport::no_collinearity_among() { text_.both(R"((" No collinearity detected among factor files"))"); }

void ClassicReport::nesting_order_wrong() {
  text_.both(R"((/, " *** The input files are listed in an incorrect order", /,)"
             R"( " *** or the factors are not coded correctly. Program stopped."))");
}

void ClassicReport::factors_checked() {
  list_write(kReportUnit);
  write(kReportUnit, R"((" Probabilities after", I6, " permutations"))", {nperm_});
}

void ClassicReport::main_test_planned(const MainTest& plan) {
  if (plan.units != MainUnits::kSubgroups || nperm_ < 1) return;
  const std::string units = std::to_string(plan.subgroups) + " subgroups";
  const std::string line =
      plan.exact ? " Main factor: " + std::to_string(plan.arrangements) + " distinct arrangements of " + units +
                       ", all enumerated (exact test)"
                 : " Main factor: " + std::to_string(nperm_) + " random arrangements of " + units + " as units";
  write(kReportUnit, "(A)", {line});
}

void ClassicReport::table_started() {
  list_write(kReportUnit);
  write(kReportUnit, kRule);
  write(kReportUnit, "(' Source of variation  df1  df2               SS        ', '   MS           F      P(perm)')");
  write(kReportUnit, kRule);
}

void ClassicReport::nested_coding_failed(int levels, double excess) {
  text_.screen_list(
      {levels == 2 ? "Error in coding the nested factors: [b] =" : "Error in coding the nested factors: [d+e+f+g] =",
       excess});
}

void ClassicReport::test_started(int, bool) {
  text_.screen_list();
  text_.screen_list({"Permutation test: please wait..."});
  text_.screen_list();
}

void ClassicReport::permutation(std::int64_t done, bool large) {
  if (large && done % 10 == 0) text_.screen(R"(("+", "Permutation no", I6))", {static_cast<long long>(done)});
}

void ClassicReport::table_done(const Result& result) {
  const bool nested = factors_ >= 2;
  const std::size_t nrows = result.rows.size();
  for (std::size_t k = 0; k + 2 < nrows; ++k) {
    if (k > 0) list_write(kReportUnit);
    factor_row(result.rows[k], nested);
  }
  const Row& within = result.rows[nrows - 2];
  const Row& total = result.rows[nrows - 1];
  list_write(kReportUnit);
  write(kReportUnit, "(A20, I5, 5X, F20.5, F13.5)", {label20(within.label), within.df1, within.ss, within.ms});
  write(kReportUnit, kRule);
  write(kReportUnit, "(A20, I5, 5X, F20.5)", {label20(total.label), total.df1, total.ss});
  write(kReportUnit, kRule);
  time_line(text_,
            nested ? R"((/, " Computation time for nested anova:", F10.2, " sec.", /))"
                   : R"((/, " Computation time for anova:", F10.2, " sec.", /))",
            start_, kReportUnit);
}

void ClassicReport::ordinations_started() { start_ = secnds(0.0f); }

// The title before the ordination is computed: a stop inside it leaves the
// title written, as the classic program leaves it.
void ClassicReport::ordination_started(const std::string& title, int index, int) {
  if (index > 0) list_write(kScoreUnit);
  list_write(kScoreUnit, {title});
}

void ClassicReport::ordination(const OrdinationResult& o, int index, int count) {
  const int unit = kScoreUnit;
  const int k = o.axes;
  if (o.no_axes == NoAxes::kZeroTotalVariance) {
    list_write(unit);
    list_write(unit, {"Total variance is 0. There are no ordination axes."});
    list_write(unit);
  } else if (o.no_axes == NoAxes::kZeroCanonicalVariance) {
    list_write(unit, {" Total variance is 0. There are no canonical axes."});
  } else {
    if (o.canonical)
      write(unit, R"~((/, " Canonical eigenvalues (", I4, " eigenvalues)"))~", {k});
    else
      write(unit, R"~((/, " Non-canonical eigenvalues (", I4, " eigenvalues)"))~", {k});
    write_reals(unit, kRow, o.eigenvalues.data(), k);
    write(unit, R"((/, " % of total variance of PCA"))");
    write_reals(unit, kRow, o.percent.data(), k);
    write(unit, R"((/, " Cumulative % of total variance of PCA"))");
    write_reals(unit, kRow, o.cumulative_percent.data(), k);
    write(unit, o.canonical ? R"((/, " Cumulative % of canonical variance"))"
                            : R"((/, " Cumulative % of residual variance"))");
    write_reals(unit, kRow, o.percent_of_sum.data(), k);
    if (o.canonical)
      write(unit, R"((/, " Sum of all canonical eigenvalues", F10.5))", {o.sum});
    else
      write(unit, R"((/, " Sum of non-canonical eigenvalues", F10.5))", {o.sum});
    write(unit, R"((/, " Object scores"))");
    for (int i = 0; i < o.n; ++i) write_reals(unit, kRow, o.object_scores.data() + i, k, o.n);
    list_write(unit);
    list_write(unit, {"Variances"});
    write_reals(unit, kRow, o.variances.data(), k);
    list_write(unit);
  }
  // The nested engines close their last ordination with a separator too.
  if (index + 1 < count || factors_ >= 2) list_write(unit, {kSeparator});
}

void ClassicReport::ordinations_done(const Result&) {
  time_line(text_, R"((/, " Computation time for canonical object scores:", F10.2, " sec.", /))", start_, kScoreUnit);
}

bool ClassicReport::go_on_after_singular() {
  pause("singular matrix");  // ends the run unless the user types "go"
  return true;
}

}  // namespace morvenak
