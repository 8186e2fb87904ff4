// The run, step by step: report, banner, limits, dialogue, data, checks,
// engine, closing lines. Every way out of the run passes through run_program.
#include "driver/driver.hpp"

#include <string>

#include "anova/engines.hpp"
#include "driver/channels.hpp"
#include "driver/layout.hpp"
#include "driver/listio.hpp"
#include "driver/rand.hpp"
#include "driver/runend.hpp"
#include "input/checkcol.hpp"
#include "input/read_x.hpp"
#include "input/read_y.hpp"
#include "linalg/produit.hpp"

namespace morvenak {
namespace {

void say(std::string_view text) { list_write(kConsoleOut, {text}); }
void blank_line(int unit = kConsoleOut) { list_write(unit); }

void banner() {
  write_both(R"((" (Nested) multivariate analysis of variance", /,)"
             R"( " by canonical redundancy analysis,", /,)"
             R"( " using 1, 2, or 3 factors (one main factor,", /,)"
             R"( " plus 0, 1, or 2 nested factors).", /,)"
             R"( /,)"
             R"( " Morvenak, version )" MORVENAK_VERSION R"(", /,)"
             R"( " Nested anova of community data by canonical redundancy analysis,", /,)"
             R"( " with permutation tests and canonical ordinations.", /,)"
             R"( " User guide: README.md of the Morvenak distribution.", /))");
  write(kConsoleOut,
        R"~((/, " This program can handle a maximum of", /, I7, " objects (rows of all data files)", /,)~"
        R"~( I7, " response variables in matrix Y", /,)~"
        R"~( I7, " dummy var. in all files of anova factors combined", /,)~"
        R"~( I7, " files of anova factors", /))~",
        {kMaxObjects, kMaxSpecies, kMaxDummies, kMaxFactorFiles});
}

int ask_task() {
  int task = 0;
  for (;;) {
    say("Tasks:");
    say("(0) Stop the program");
    say("(1) First, compute the nested anova");
    say("(2) Compute directly the canonical object scores");
    say("(3) Both 1 and 2");
    read_int(kConsoleIn, task);
    if (task == 0) stop("Program interrupted by user.", 0);
    if (task >= 1 && task <= 3) return task;
  }
}

void open_score_file(RunContext& ctx) {
  open_new(kScoreUnit, "FittedSc.out");
  ctx.score_unit = kScoreUnit;
  list_write(kScoreUnit, {"Object scores fitted to the anova factors"});
  list_write(kScoreUnit, {"Note: The response variables were centred ", "at the start of the calculations"});
  blank_line(kScoreUnit);
  list_write(kScoreUnit, {"                          -------------------------"});
  blank_line(kScoreUnit);
}

int ask_transformation() {
  int itrans = 0;
  blank_line();
  for (;;) {
    say("Transform species abundance data");
    say("(formulas and advice: README, section \"Transformations\")");
    blank_line();
    say("(0) No transformation (Euclidean distance preserved)");
    say("(1) Chord distance");
    say("(2) Chi-square metric");
    say("(3) Chi-square distance");
    say("(4) Distance between species profiles");
    say("(5) Hellinger distance");
    read_int(kConsoleIn, itrans);
    if (itrans >= 0 && itrans <= 5) return itrans;
  }
}

int ask_permutations() {
  int nperm = 0;
  blank_line();
  for (;;) {
    say("Permutation test:");
    say("How many permutations? (e.g. 999, 9999, ...)");
    say("No permutation test: type 0");
    read_int(kConsoleIn, nperm);
    if (nperm >= 0) return nperm;
  }
}

int ask_check() {
  int icheck = 0;
  blank_line();
  for (;;) {
    say("Check the coding of factors into orthogonal dummy variables?");
    say("(0) No");
    say("(1) Yes");
    read_int(kConsoleIn, icheck);
    if (icheck == 0 || icheck == 1) return icheck;
  }
}

// Verdicts on the factor files as a whole, the limits they must respect
// together, and their nesting order; any failure stops the run.
void check_factor_files(RunContext& ctx, Workspace& w, const int* coding, const int* collinear) {
  // Fewer than two files (nfiles may be any integer, even the least) mean no factor file.
  const int nfactors = ctx.nfiles > 1 ? ctx.nfiles - 1 : 0;
  bool coding_failed = false;
  bool any_collinear = false;
  for (int k = 0; k < nfactors; ++k) {
    coding_failed = coding_failed || coding[k] == 1;
    any_collinear = any_collinear || collinear[k] == 1;
  }
  if (ctx.icheck == 1) {
    blank_line();
    if (!coding_failed) {
      write_both(R"((" No problem was detected", " in the orthogonal coding of the dummy variables"))");
    } else {
      write_both(R"((" *** Factor incorrectly coded into orthogonal dummy", /, "     variables in one or more files"))");
      stop();
    }
  }
  if (!any_collinear) write_both(R"((/, " No collinearity detected within factor files"))");
  if (ctx.mtot >= ctx.n) stop("Too many explanatory variables (mtot >= n)");

  const int pairs[3][2] = {{1, 2}, {1, 3}, {2, 3}};
  const int npairs = ctx.nfiles > 3 ? 3 : (ctx.nfiles > 2 ? 1 : 0);
  bool pair_collinear = false;
  for (int q = 0; q < npairs; ++q) {
    int flag = 0;
    checkcol(ctx, w, pairs[q][0], pairs[q][1], flag);
    pair_collinear = pair_collinear || flag == 1;
  }
  if (pair_collinear) stop();
  write_both(R"((" No collinearity detected among factor files"))");

  for (int k = 1; k + 2 <= ctx.nfiles; ++k) {
    int below = k >= 2 ? ctx.ilast[k - 2] : 0;
    int parent = ctx.ilast[k - 1] - below;
    int nested = ctx.ilast[k] - ctx.ilast[k - 1];
    if (nested <= parent) {
      write_both(R"((/, " *** The input files are listed in an incorrect order", /,)"
                 R"( " *** or the factors are not coded correctly. Program stopped."))");
      stop();
    }
  }
}

}  // namespace

void read_data(RunContext& ctx, Workspace& w) {
  read_y(ctx, w);

  ctx.mtot = 0;
  int coding[kMaxFactorFiles] = {0, 0, 0};
  int collinear[kMaxFactorFiles] = {0, 0, 0};
  for (int k = 0; k < kMaxFactorFiles; ++k) ctx.ifirst[k] = ctx.ilast[k] = 0;
  for (int k = 1; k < ctx.nfiles; ++k) read_x(ctx, w, k, coding[k - 1], collinear[k - 1]);
  check_factor_files(ctx, w, coding, collinear);

  centre(ctx.n, 1, ctx.mtot, w.x);
}

void run(RunContext& ctx, Workspace& w) {
  open_new(kReportUnit, "Morvenak.out");
  banner();

  blank_line();
  say("Name of the file containing the groups of file names?");
  std::string fofn;
  read_text(kConsoleIn, fofn);
  open_old(kFofnUnit, fofn);
  write_both(R"((/, " File containing the file names:   ", A32, /))", {unit_name(kFofnUnit)});

  read_int(kFofnUnit, ctx.nfiles);
  if (ctx.nfiles > kMaxFactorFiles + 1) stop("Too many files for this program.");

  ctx.task = ask_task();
  if (ctx.task >= 2) open_score_file(ctx);
  ctx.itrans = ask_transformation();
  if (ctx.task == 2) {
    ctx.nperm = 0;
    ctx.test_offered = 0;
  } else {
    ctx.nperm = ask_permutations();
    ctx.test_offered = 1;
  }
  ctx.icheck = ask_check();
  ctx.start = secnds(0.0f);

  read_data(ctx, w);
  blank_line(kReportUnit);
  write(kReportUnit, R"((" Probabilities after", I6, " permutations"))", {ctx.nperm});

  if (ctx.nfiles == 2) part1(ctx, w);
  else if (ctx.nfiles == 3) part2(ctx, w);
  else if (ctx.nfiles == 4) part3(ctx, w);

  // The console tells where the results are only once they are safe on disk.
  close_output(kReportUnit);
  close_output(kScoreUnit);
  say("Results are found in file 'Morvenak.out'");
  if (ctx.task >= 2) say("and in file 'FittedSc.out'");
  blank_line();
  say("End of the program.");
}

int run_program() {
  install_signal_handlers();
  int status = 0;
  try {
    Workspace w;
    RunContext ctx;
    run(ctx, w);
  } catch (const RunEnd& end) {
    std::string message = end.message;
    status = end.status;
    // A stop keeps what was written; if that cannot be made safe either, the
    // run ends as the fatal error that says so.
    if (status != 2) {
      try {
        close_output(kReportUnit);
        close_output(kScoreUnit);
      } catch (const RunEnd& lost) {
        message += lost.message;
        status = lost.status;
      }
    }
    close_all();
    put_text(kErrorUnit, message);
  }
  close_all();
  return status;
}

}  // namespace morvenak
