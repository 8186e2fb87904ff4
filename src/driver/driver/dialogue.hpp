// The questions of the classic dialogue, each asked until the answer is one
// it accepts.
#pragma once

namespace morvenak {

int ask_task();            // 1..3; 0 stops the run (status 0)
int ask_transformation();  // 0..5
int ask_permutations();    // >= 0
int ask_check();           // 0 or 1

}  // namespace morvenak
