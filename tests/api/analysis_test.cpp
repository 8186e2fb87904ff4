// The library API alone: labels coded in the engine as the classic files of
// the same design code them, the numbers of the classic report, two analyses
// at once in two threads, cancellation, and the errors of bad input.
#include "morvenak/analysis.hpp"
#include "morvenak/notes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvenak {
namespace {

const std::string kCase = std::string(MORVENAK_TEST_ROOT) + "/cases/real/dune_nested_hellinger";

// A classic data file: "rows cols", then the values row by row; column-major out.
std::vector<double> read_classic(const std::string& path, int& rows, int& cols) {
  std::ifstream in(path);
  in >> rows >> cols;
  std::vector<double> v(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) in >> v[static_cast<std::size_t>(i + j * rows)];
  EXPECT_TRUE(in) << path;
  return v;
}

// A column of the dune environment table, quotes removed.
std::vector<std::string> env_column(const std::string& name) {
  std::ifstream in(std::string(MORVENAK_TEST_ROOT) + "/tools/data/dune/dune.env.csv");
  std::string line;
  std::vector<std::vector<std::string>> table;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream s(line);
    for (std::string cell; std::getline(s, cell, ',');) {
      if (cell.size() >= 2 && cell.front() == '"') cell = cell.substr(1, cell.size() - 2);
      cells.push_back(cell);
    }
    table.push_back(cells);
  }
  std::size_t at = 0;
  while (at < table[0].size() && table[0][at] != name) ++at;
  std::vector<std::string> out;
  for (std::size_t r = 1; r < table.size(); ++r) out.push_back(table[r].at(at));
  return out;
}

Input dune_by_labels() {
  Input in;
  in.y = read_classic(kCase + "/in/Y.txt", in.n, in.p);
  in.factors.push_back(Factor::from_labels("Management", env_column("Management")));
  in.factors.push_back(Factor::from_labels("Use", env_column("Use")));
  return in;
}

Options dune_options() {
  Options o;  // the answers of the case: task 3, Hellinger, 99 permutations, coding check
  o.task = Task::kBoth;
  o.transform = Transform::kHellinger;
  o.permutations = 99;
  return o;
}

std::string fixed5(double v) {
  char s[64];
  std::snprintf(s, sizeof s, "%.5f", v);
  return s;
}

TEST(Api, LabelsAreCodedAsTheClassicFilesOfTheSameDesign) {
  // "Use" repeats across management types: read within its parent, it gives
  // the cells that the classic files code.
  int n = 0, m1 = 0, m2 = 0;
  const std::vector<double> x1 = read_classic(kCase + "/in/F1.txt", n, m1);
  const std::vector<double> x2 = read_classic(kCase + "/in/F2.txt", n, m2);
  const Result r = analyse(dune_by_labels(), dune_options());
  ASSERT_EQ(r.codings.size(), 2u);
  EXPECT_EQ(r.codings[0].levels, (std::vector<std::string>{"SF", "BF", "HF", "NM"}));
  EXPECT_EQ(r.checks[0].dummies, m1);
  EXPECT_EQ(r.checks[1].dummies, m2);
  EXPECT_EQ(r.codings[1].levels.size(), 11u);

  // The same coding, written out, is that of the classic files.
  const std::vector<CodedFactor> written = code_factors({env_column("Management"), env_column("Use")});
  EXPECT_EQ(written[0].codes, x1);
  EXPECT_EQ(written[1].codes, x2);

  Input coded;
  coded.y = read_classic(kCase + "/in/Y.txt", coded.n, coded.p);
  coded.factors.push_back(Factor::from_codes("", m1, x1));
  coded.factors.push_back(Factor::from_codes("", m2, x2));
  const Result c = analyse(coded, dune_options());
  ASSERT_EQ(c.rows.size(), r.rows.size());
  for (std::size_t k = 0; k < r.rows.size(); ++k) {
    EXPECT_EQ(c.rows[k].ss, r.rows[k].ss) << "row " << k;
    EXPECT_EQ(c.rows[k].count, r.rows[k].count) << "row " << k;
  }
}

TEST(Api, AGivenLevelOrderNumbersTheLevelsAndCodesThem) {
  const std::vector<std::string> management{"NM", "HF", "BF", "SF", "unused"};
  const std::vector<std::string> use{"Pasture", "Haypastu", "Hayfield"};
  Input in = dune_by_labels();
  in.factors[0].order = management;
  in.factors[1].order = use;
  const Result r = analyse(in, dune_options());
  EXPECT_EQ(r.codings[0].levels, (std::vector<std::string>{"NM", "HF", "BF", "SF"}));
  EXPECT_EQ(r.codings[0].counts, (std::vector<int>{6, 5, 3, 6}));
  // Within each management type its uses come in the order given.
  for (std::size_t a = 1; a < r.codings[1].levels.size(); ++a)
    for (std::size_t b = 0; b < a; ++b) {
      if (r.codings[1].parent[a] != r.codings[1].parent[b]) continue;
      EXPECT_LE(std::find(use.begin(), use.end(), r.codings[1].levels[b]) - use.begin(),
                std::find(use.begin(), use.end(), r.codings[1].levels[a]) - use.begin());
    }

  // The codes written out for that order give the labels' numbers bit for bit
  // (the classic files of a run with --levels reproduce its report).
  const std::vector<CodedFactor> written =
      code_factors({env_column("Management"), env_column("Use")}, {management, use});
  Input coded;
  coded.y = read_classic(kCase + "/in/Y.txt", coded.n, coded.p);
  coded.factors.push_back(Factor::from_codes("", written[0].m, written[0].codes));
  coded.factors.push_back(Factor::from_codes("", written[1].m, written[1].codes));
  const Result c = analyse(coded, dune_options());
  const Result first = analyse(dune_by_labels(), dune_options());
  for (std::size_t k = 0; k < r.rows.size(); ++k) {
    EXPECT_EQ(c.rows[k].ss, r.rows[k].ss) << "row " << k;
    EXPECT_EQ(c.rows[k].f, r.rows[k].f) << "row " << k;
    // Other dummy variables of the same space: equal to rounding, the same P.
    EXPECT_NEAR(r.rows[k].ss, first.rows[k].ss, 1e-12 * first.ssy) << "row " << k;
    EXPECT_EQ(r.rows[k].count, first.rows[k].count) << "row " << k;
  }

  in.factors[0].order = {"NM", "HF", "BF"};
  try {
    analyse(in, dune_options());
    FAIL() << "a label missing from the order accepted";
  } catch (const InvalidInput& e) {
    EXPECT_STREQ(e.what(), "factor 'Management': object 1 has the label 'SF', which is not among the levels given");
  }
}

TEST(Api, NumbersAreThoseOfTheClassicReport) {
  const Result r = analyse(dune_by_labels(), dune_options());
  std::ifstream report(kCase + "/expected/Morvenak.out");
  std::stringstream text;
  text << report.rdbuf();
  ASSERT_EQ(r.rows.size(), 4u);  // main, nested, within, total
  for (const Row& row : r.rows) {
    EXPECT_NE(text.str().find(fixed5(row.ss)), std::string::npos) << row.label;
    if (row.tested) {
      EXPECT_NE(text.str().find(fixed5(row.f) + "   " + fixed5(row.p)), std::string::npos) << row.label;
      EXPECT_EQ(row.permutations, 99);
    }
  }
  EXPECT_NE(text.str().find("(SSY) =" + std::string(19 - fixed5(r.ssy).size(), ' ') + fixed5(r.ssy)),
            std::string::npos);
  ASSERT_EQ(r.ordinations.size(), 3u);
  EXPECT_EQ(r.ordinations[2].title, "Object scores, PCA of unexplained variation (residuals)");
}

bool same_numbers(const Result& a, const Result& b) {
  if (a.rows.size() != b.rows.size() || a.ordinations.size() != b.ordinations.size()) return false;
  for (std::size_t k = 0; k < a.rows.size(); ++k)
    if (a.rows[k].ss != b.rows[k].ss || a.rows[k].f != b.rows[k].f || a.rows[k].count != b.rows[k].count) return false;
  for (std::size_t k = 0; k < a.ordinations.size(); ++k)
    if (a.ordinations[k].eigenvalues != b.ordinations[k].eigenvalues ||
        a.ordinations[k].object_scores != b.ordinations[k].object_scores ||
        a.ordinations[k].species_scores != b.ordinations[k].species_scores)
      return false;
  return true;
}

TEST(Api, TwoAnalysesInTwoThreadsGiveTheSequentialResults) {
  const Input dune = dune_by_labels();
  Options other = dune_options();
  other.transform = Transform::kChord;
  other.permutations = 999;
  other.seed = 12345;
  const Result first = analyse(dune, dune_options());
  const Result second = analyse(dune, other);
  Result a, b;
  std::thread ta([&] { a = analyse(dune, dune_options()); });
  std::thread tb([&] { b = analyse(dune, other); });
  ta.join();
  tb.join();
  EXPECT_TRUE(same_numbers(a, first));
  EXPECT_TRUE(same_numbers(b, second));
  EXPECT_NE(first.rows[0].ss, second.rows[0].ss);  // the two analyses differ
}

TEST(Api, ASeedStartsTheGeneratorElsewhere) {
  Options seeded = dune_options();
  seeded.seed = 7;
  const Result classic = analyse(dune_by_labels(), dune_options());
  const Result other = analyse(dune_by_labels(), seeded);
  EXPECT_EQ(other.rows[0].ss, classic.rows[0].ss);
  EXPECT_NE(other.rows[0].count * 1000 + other.rows[1].count, classic.rows[0].count * 1000 + classic.rows[1].count);
}

// Counts the permutations drawn, and cancels after the first thousand.
struct CancelSoon : Events {
  std::atomic<bool>* flag;
  std::int64_t drawn = 0;
  explicit CancelSoon(std::atomic<bool>* f) : flag(f) {}
  void permutation(std::int64_t done, bool) override {
    drawn = done;
    if (done == 1000) flag->store(true);
  }
};

TEST(Api, CancellingALongTestEndsItAndTheApiStaysUsable) {
  std::atomic<bool> cancel{false};
  CancelSoon events(&cancel);
  Options long_test = dune_options();
  long_test.task = Task::kAnova;
  long_test.permutations = 50000000;
  long_test.cancel = &cancel;
  EXPECT_THROW(analyse(dune_by_labels(), long_test, &events), Cancelled);
  EXPECT_EQ(events.drawn, 1000);
  // A cancelled analysis leaves nothing behind: the next one is whole.
  EXPECT_TRUE(same_numbers(analyse(dune_by_labels(), dune_options()), analyse(dune_by_labels(), dune_options())));
  // A flag already set stops before anything is computed.
  std::atomic<bool> set{true};
  Options at_once = dune_options();
  at_once.cancel = &set;
  EXPECT_THROW(analyse(dune_by_labels(), at_once), Cancelled);
}

TEST(Api, AnAnalysisOnItsOwnThreadAnswersAsAnalyseAndStopsOnAnInterrupt) {
  const std::chrono::milliseconds every(1);
  bool interrupted = true;
  int asked = 0;
  const auto never = [&asked] {
    ++asked;
    return false;
  };
  const Result r = analyse_interruptibly(dune_by_labels(), dune_options(), nullptr, every, never, interrupted);
  EXPECT_FALSE(interrupted);
  EXPECT_TRUE(same_numbers(r, analyse(dune_by_labels(), dune_options())));

  // The third answer interrupts a test of minutes; nothing is asked after it.
  Options long_test = dune_options();
  long_test.task = Task::kAnova;
  long_test.permutations = 50000000;
  asked = 0;
  const auto third = [&asked] { return ++asked == 3; };
  EXPECT_THROW(analyse_interruptibly(dune_by_labels(), long_test, nullptr, every, third, interrupted), Cancelled);
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(asked, 3);

  // A question that throws cancels the analysis, and its exception goes on.
  const auto broken = []() -> bool { throw std::runtime_error("no answer"); };
  EXPECT_THROW(analyse_interruptibly(dune_by_labels(), long_test, nullptr, every, broken, interrupted),
               std::runtime_error);

  // The analysis's own errors come through as they are.
  Input bad = dune_by_labels();
  bad.y.pop_back();
  EXPECT_THROW(analyse_interruptibly(bad, dune_options(), nullptr, every, never, interrupted), InvalidInput);
  EXPECT_FALSE(interrupted);
}

TEST(Api, BadInputAndStopsAreTypedWithTheirStatus) {
  Input in = dune_by_labels();
  in.y.pop_back();
  EXPECT_THROW(analyse(in, dune_options()), InvalidInput);

  in = dune_by_labels();
  in.y[5] = std::nan("");
  try {
    analyse(in, dune_options());
    FAIL() << "NaN accepted";
  } catch (const InvalidInput& e) {
    EXPECT_EQ(e.status(), 2);
    EXPECT_STREQ(e.what(), "Y holds a value that is not a finite number (object 6, species 1)");
  }

  in = dune_by_labels();
  in.factors[1].labels.pop_back();
  EXPECT_THROW(analyse(in, dune_options()), InvalidInput);

  // The same factor twice: the nested factor divides nothing, said in its own words.
  in = dune_by_labels();
  in.factors[1] = Factor::from_labels("Management again", env_column("Management"));
  try {
    analyse(in, dune_options());
    FAIL() << "a nested factor that divides nothing was accepted";
  } catch (const InvalidInput& e) {
    EXPECT_STREQ(e.what(),
                 "factor 'Management again' is not nested in 'Management': it has a single level within each level "
                 "of 'Management', so it divides none of them into subgroups");
  }

  // One management type split in two: fewer dummy variables than the main
  // factor's. Given as labels, the labels show the nesting and it runs; given
  // as codes, it is the classic nesting-order stop, whose reason the
  // packages' notes give in words.
  in = dune_by_labels();
  std::vector<std::string> split = env_column("Management");
  for (std::size_t i = 0; i < split.size(); ++i)
    if (split[i] == "SF") split[i] += i % 2 == 0 ? "a" : "b";
  in.factors[1] = Factor::from_labels("Split", split);
  const Result by_labels = analyse(in, dune_options());
  EXPECT_EQ(by_labels.rows[1].df1, 1);
  const std::vector<CodedFactor> coded = code_factors({env_column("Management"), split});
  in.factors[1] = Factor::from_codes("Split", coded[1].m, coded[1].codes);
  TextNotes notes({"Management", "Split"});
  try {
    analyse(in, dune_options(), &notes);
    FAIL() << "a nesting order the checks refuse was accepted";
  } catch (const Stopped& e) {
    EXPECT_EQ(e.status(), 1);
    EXPECT_TRUE(e.reported());
  }
  EXPECT_EQ(notes.reasons,
            std::vector<std::string>{"the factors are not nested in the order given (main factor first)"});
}

}  // namespace
}  // namespace morvenak
