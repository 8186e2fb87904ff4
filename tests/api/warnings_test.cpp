// The analysis' warnings: what the labels show about the design and what the
// transformation meets in Y, in the words every front end shows, each given
// to the observer as it is met and kept in the result, also before a stop.
#include "morvenak/analysis.hpp"
#include "morvenak/notes.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace morvenak {
namespace {

using Texts = std::vector<std::string>;

// One analysis of Y (n x 1, all ones unless given) on the factors given as
// lines of labels ("x x y y"); its warnings as the observer got them, which
// must be those of the result.
Texts warnings_of(const std::vector<std::pair<std::string, std::string>>& factors, std::vector<double> y = {},
                  Transform t = Transform::kNone) {
  Input in;
  for (const auto& [name, line] : factors) {
    std::istringstream words(line);
    std::vector<std::string> labels;
    for (std::string w; words >> w;) labels.push_back(w);
    in.factors.push_back(Factor::from_labels(name, labels));
  }
  in.n = static_cast<int>(in.factors[0].labels.size());
  if (y.empty()) y.assign(static_cast<std::size_t>(in.n), 1.0);
  in.p = static_cast<int>(y.size()) / in.n;
  in.y = y;
  Options o;
  o.permutations = 0;
  o.task = Task::kAnova;
  o.transform = t;
  TextNotes notes({});
  const Result r = analyse(in, o, &notes);
  EXPECT_EQ(notes.warnings, r.warnings);
  return notes.warnings;
}

TEST(Warnings, WhatTheLabelsShow) {
  EXPECT_EQ(warnings_of({{"G", "x x y y"}}), Texts{});
  EXPECT_EQ(warnings_of({{"G", "x x y z"}}), Texts{"factor \"G\": 2 levels have a single sample: \"y\", \"z\""});
  // With the labels' warnings, those of the main test's arrangements, which
  // come when the test is planned.
  const std::string few =
      "the main factor has 4 subgroups; permuting them as units, the smallest reachable P is "
      "1/3 = 0.333333";
  EXPECT_EQ(
      warnings_of({{"G", "x x x y y y"}, {"H", "1 2 2 1 1 2"}}),
      (Texts{"factor \"H\" (nested in \"G\"): 2 subgroups have a single sample: \"1\" in \"x\", \"2\" in \"y\"", few}));
  EXPECT_EQ(warnings_of({{"G", "x x y y"}, {"H", "1 2 1 2"}}),
            (Texts{"factor \"H\" (nested in \"G\"): every subgroup has a single sample, so no variation is left "
                   "within its subgroups and its row cannot be tested (its F needs the mean square within "
                   "subgroups)",
                   few}));
  // Numbers with more than half as many values as samples; half exactly is
  // no warning, and either decimal mark makes a number.
  EXPECT_EQ(warnings_of({{"G", "1.5 1.5 2 2"}}), Texts{});
  EXPECT_EQ(warnings_of({{"G", "1,5 1,5 2 3e0 3e0"}}),
            (Texts{"factor \"G\": level \"2\" has a single sample",
                   "factor \"G\" looks continuous: its labels are numbers, with 3 different values among 5 samples; "
                   "a factor groups samples, so check that this column is the one you mean"}));
  EXPECT_EQ(warnings_of({{"G", "1a 1a 2 3 3"}}), Texts{"factor \"G\": level \"2\" has a single sample"});
}

TEST(Warnings, WhatTheTransformationMeetsOnceForEachKind) {
  // Six objects by two species, column-major: three negative values, two
  // empty rows.
  const std::vector<double> y{1, 0, -2, 3, 0, -1, 2, 0, 1, -4, 0, 5};
  EXPECT_EQ(warnings_of({{"G", "x x x y y y"}}, y, Transform::kProfiles),
            (Texts{"Y holds 3 negative values (the first: object 3, species 1)",
                   "2 objects have no species: 2, 5; their rows are left as they were"}));
  EXPECT_EQ(warnings_of({{"G", "x x x y y y"}}, y), Texts{});  // untransformed, nothing is met
}

TEST(Warnings, TheyReachTheObserverBeforeAStop) {
  // A chi-square transformation stops on a species that sums to 0; the
  // negative value met before is said all the same.
  Input in;
  in.n = 4, in.p = 2;
  in.y = {1, -1, 2, 3, 0, 0, 0, 0};
  in.factors.push_back(Factor::from_labels("G", {"x", "x", "y", "y"}));
  Options o;
  o.transform = Transform::kChiSquareMetric;
  TextNotes notes({"G"});
  EXPECT_THROW(analyse(in, o, &notes), Stopped);
  EXPECT_EQ(notes.warnings, Texts{"Y holds a negative value (object 2, species 1)"});
}

}  // namespace
}  // namespace morvenak
