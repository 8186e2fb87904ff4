// The dialogue's questions: a menu, read, asked again until accepted.
#include "driver/dialogue.hpp"

#include <initializer_list>
#include <string_view>

#include "text/channels.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"

namespace morvenak {
namespace {

void say(std::string_view text) { list_write(kConsoleOut, {text}); }

// Writes the menu lines and reads an integer until `accept` takes it; with
// `blank_first`, an empty line comes once before the first menu.
template <class Accept>
int ask_choice(bool blank_first, std::initializer_list<std::string_view> menu, Accept accept) {
  if (blank_first) list_write(kConsoleOut);
  int answer = 0;
  for (;;) {
    for (std::string_view line : menu) {
      if (line.empty())
        list_write(kConsoleOut);
      else
        say(line);
    }
    read_int(kConsoleIn, answer);
    if (accept(answer)) return answer;
  }
}

}  // namespace

int ask_task() {
  return ask_choice(false,
                    {"Tasks:", "(0) Stop the program", "(1) First, compute the nested anova",
                     "(2) Compute directly the canonical object scores", "(3) Both 1 and 2"},
                    [](int task) {
                      if (task == 0) stop("Program interrupted by user.", 0);
                      return task >= 1 && task <= 3;
                    });
}

int ask_transformation() {
  return ask_choice(
      true,
      {"Transform species abundance data", "(formulas and advice: README, section \"Transformations\")", "",
       "(0) No transformation (Euclidean distance preserved)", "(1) Chord distance", "(2) Chi-square metric",
       "(3) Chi-square distance", "(4) Distance between species profiles", "(5) Hellinger distance"},
      [](int t) { return t >= 0 && t <= 5; });
}

int ask_permutations() {
  return ask_choice(
      true, {"Permutation test:", "How many permutations? (e.g. 999, 9999, ...)", "No permutation test: type 0"},
      [](int nperm) { return nperm >= 0; });
}

int ask_check() {
  return ask_choice(true, {"Check the coding of factors into orthogonal dummy variables?", "(0) No", "(1) Yes"},
                    [](int check) { return check == 0 || check == 1; });
}

}  // namespace morvenak
