// The run, step by step: report, banner, limits, dialogue, data, checks,
// engine, closing lines. Every way out of the run passes through run_program.
#include "driver/driver.hpp"

#include <string>

#include "core/limits.hpp"
#include "driver/classic_files.hpp"
#include "driver/classic_report.hpp"
#include "driver/dialogue.hpp"
#include "morvenak/events_tee.hpp"
#include "morvenak/analysis.hpp"
#include "text/channels.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"
#include "text/timer.hpp"

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

void open_score_file() {
  open_new(kScoreUnit, "FittedSc.out");
  list_write(kScoreUnit, {"Object scores fitted to the anova factors"});
  list_write(kScoreUnit, {"Note: The response variables were centred ", "at the start of the calculations"});
  list_write(kScoreUnit);
  list_write(kScoreUnit, {"                          -------------------------"});
  list_write(kScoreUnit);
}

// The engine's stops in the classic words: its text as "STOP ... statement
// executed" on the error stream, or nothing when the console and the report
// have already said it.
RunEnd classic_stop(const Stopped& s) {
  return RunEnd{1, s.reported() ? std::string() : "STOP " + std::string(s.what()) + " statement executed\n"};
}

}  // namespace

void read_data(const ClassicSettings& settings, Analysis& analysis) {
  const int n = read_response_file(analysis);
  int mtot = 0;
  for (int k = 1; k < settings.nfiles; ++k) read_factor_file(analysis, k, n, mtot);
}

namespace {

Result run(const ClassicHooks& hooks) {
  open_new(kReportUnit, "Morvenak.out");
  banner();
  if (!hooks.banner_note.empty()) list_write(kReportUnit, {hooks.banner_note});

  blank_line();
  say("Name of the file containing the groups of file names?");
  std::string fofn;
  read_text(kConsoleIn, fofn);
  open_old(kFofnUnit, fofn);
  write_both(R"((/, " File containing the file names:   ", A32, /))", {unit_name(kFofnUnit)});

  ClassicSettings settings;
  read_int(kFofnUnit, settings.nfiles);
  if (settings.nfiles > kMaxFactorFiles + 1) stop("Too many files for this program.");

  Options options;
  const int task = ask_task();
  options.task = static_cast<Task>(task);
  if (task >= 2) open_score_file();
  options.transform = static_cast<Transform>(ask_transformation());
  options.permutations = task == 2 ? 0 : ask_permutations();
  options.check_coding = ask_check() == 1;
  options.threads = hooks.threads;
  options.seed = hooks.seed;
  options.generator = hooks.generator;
  options.main_units = hooks.main_units;
  options.exact = hooks.exact;
  options.max_memory = hooks.max_memory;
  options.cancel = hooks.cancel;
  const float start = secnds(0.0f);

  ClassicReport report(options.permutations, start);
  // Fewer than two files (nfiles may be any integer, even the least) mean no factor file.
  report.set_factors(settings.nfiles > 1 ? settings.nfiles - 1 : 0);
  EventsTee tee(report, hooks.observer);
  Result result;
  try {
    Analysis analysis(options, &tee);
    read_data(settings, analysis);
    result = analysis.run();
  } catch (const Stopped& s) {
    throw classic_stop(s);
  }

  // The console tells where the results are only once they are safe on disk.
  close_output(kReportUnit);
  close_output(kScoreUnit);
  say("Results are found in file 'Morvenak.out'");
  if (task >= 2) say("and in file 'FittedSc.out'");
  blank_line();
  say("End of the program.");
  return result;
}

// Ends the run: a stop keeps what was written, then every channel is closed.
int finish(const RunEnd& end, std::string& message) {
  message = end.message;
  int status = end.status;
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
  return status;
}

}  // namespace

int run_program() {
  install_signal_handlers();
  int status = 0;
  try {
    run(ClassicHooks{});
  } catch (const RunEnd& end) {
    std::string message;
    status = finish(end, message);
    put_text(kErrorUnit, message);
  }
  close_all();
  return status;
}

ClassicOutcome run_session(const ClassicSession& session) {
  attach_input_file(kConsoleIn, session.answers);
  attach_output_fd(kConsoleOut, session.console_fd, "");
  attach_output_fd(kErrorUnit, session.console_fd, "");
  ClassicOutcome out;
  try {
    out.result = run(session.hooks);
  } catch (const RunEnd& end) {
    out.status = finish(end, out.message);
  } catch (const Error& e) {
    // Cancelled, or input the classic reading let through: nothing more is written.
    RunEnd end{e.status(), std::string(e.what()) + "\n"};
    out.status = finish(end, out.message);
    out.cancelled = dynamic_cast<const Cancelled*>(&e) != nullptr;
  }
  close_all();
  close_unit(kConsoleIn);
  attach_output_fd(kConsoleOut, 1, "");
  attach_output_fd(kErrorUnit, 2, "");
  return out;
}

}  // namespace morvenak
