// The model language: each operator's terms and their order, as R's terms()
// gives them for the same formula; the nested designs recognised; and the
// refusals' words, each naming the column.
#include "input/formula.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvenak {
namespace {

std::string labels(const std::vector<std::vector<std::string>>& terms) {
  std::string s;
  for (const auto& t : terms) s += (s.empty() ? "" : " + ") + ModelFormula::label(t);
  return s;
}

std::string refusal(const std::string& text) {
  try {
    parse_formula(text);
  } catch (const InvalidInput& e) {
    return e.what();
  }
  return "no refusal";
}

TEST(Formula, TermsInROrder) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Topo * Substrate", "Topo + Substrate + Topo:Substrate"},
      {"A*B*C", "A + B + C + A:B + A:C + B:C + A:B:C"},
      {"A / B / C", "A + A:B + A:B:C"},
      {"(A + B) / C", "A + B + A:B:C"},
      {"A:B + A + A", "A + A:B"},
      {"B:A + A", "A + B:A"},
      {"WatrCont + Topo + Condition(Shrub + SubsDens)", "WatrCont + Topo"},
      {"`water content` +Topo_2 + x.y", "water content + Topo_2 + x.y"},
      {"dose * week + Condition(ditch)", "dose + week + dose:week"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(labels(parse_formula(text).terms), want) << text;
  EXPECT_EQ(labels(parse_formula("WatrCont + Topo + Condition(Shrub + SubsDens)").conditions), "Shrub + SubsDens");
}

TEST(Formula, NestedDesigns) {
  std::vector<std::string> f;
  EXPECT_TRUE(parse_formula("A / B / C").nested(f));
  EXPECT_EQ(f, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_TRUE(parse_formula("B:A + A").nested(f));
  EXPECT_EQ(f, (std::vector<std::string>{"A", "B"}));
  EXPECT_TRUE(parse_formula("Management").nested(f));
  for (const char* crossed : {"A * B", "A + B", "A / B + C", "A + A:B:C", "A / B + Condition(C)"})
    EXPECT_FALSE(parse_formula(crossed).nested(f)) << crossed;
}

TEST(Formula, Refusals) {
  EXPECT_EQ(refusal("A + "), "the model 'A + ', column 5: a variable was expected, and the model ends");
  EXPECT_EQ(refusal("A B"), "the model 'A B', column 3: 'B' where '+', '*', ':' or '/' or the end was expected");
  EXPECT_EQ(refusal("A * Condition(B)"),
            "the model 'A * Condition(B)', column 17: Condition() stands alone in the model, joined to it by '+'");
  EXPECT_EQ(refusal("A - B"), "the model 'A - B', column 3: '-' where '+', '*', ':' or '/' or the end was expected");
  EXPECT_EQ(refusal("(A + B"), "the model '(A + B', column 7: ')' was expected");
  EXPECT_EQ(refusal("`A + B"), "the model '`A + B', column 1: the backquote is not closed");
  EXPECT_EQ(refusal("Condition(A)"), "the model 'Condition(A)', column 13: no term to test");
  EXPECT_EQ(refusal("A + Condition(A)"), "the model gives A both as a term and in Condition()");
}

}  // namespace
}  // namespace morvenak
