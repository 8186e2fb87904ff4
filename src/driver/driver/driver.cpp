// The run, step by step: report, banner, limits, dialogue, data, checks,
// engine, closing lines. Every way out of the run passes through run_program,
// or through the outcome of a session that a front end drives (the classic
// run on its files, or an analysis of data already in memory).
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

// The banner; the classic run adds the limits to the console (a run of data
// already in memory has its own).
void banner(const ClassicText& text, bool limits) {
  text.both(R"((" (Nested) multivariate analysis of variance", /,)"
            R"( " by canonical redundancy analysis,", /,)"
            R"( " using 1, 2, or 3 factors (one main factor,", /,)"
            R"( " plus 0, 1, or 2 nested factors).", /,)"
            R"( /,)"
            R"( " Morvenak, version )" MORVENAK_VERSION R"(", /,)"
            R"( " Nested anova of community data by canonical redundancy analysis,", /,)"
            R"( " with permutation tests and canonical ordinations.", /,)"
            R"( " User guide: README.md of the Morvenak distribution.", /))");
  if (!limits) return;
  text.screen(R"~((/, " This program can handle a maximum of", /, I7, " objects (rows of all data files)", /,)~"
              R"~( I7, " response variables in matrix Y", /,)~"
              R"~( I7, " dummy var. in all files of anova factors combined", /,)~"
              R"~( I7, " files of anova factors", /))~",
              {kMaxObjects, kMaxSpecies, kMaxDummies, kMaxFactorFiles});
}

void open_score_file(const std::string& path = "FittedSc.out") {
  open_new(kScoreUnit, path);
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

ClassicReportFiles::ClassicReportFiles(const std::string& folder, Task task, int permutations,
                                       const std::string& banner_note, bool console)
    : text_(console), report_(task == Task::kScores ? 0 : permutations, secnds(0.0f), text_) {
  const auto in_folder = [&](const char* name) {
    return folder.empty() || folder == "." ? std::string(name) : folder + "/" + name;
  };
  open_new(kReportUnit, in_folder("Morvenak.out"));
  banner(text_, false);
  if (!banner_note.empty()) list_write(kReportUnit, {banner_note});
  if (task != Task::kAnova) open_score_file(in_folder("FittedSc.out"));
}

ClassicReportFiles::~ClassicReportFiles() {
  close_unit(kReportUnit);
  close_unit(kScoreUnit);
}

void ClassicReportFiles::data_line(const std::string& line) { write(kReportUnit, "(A, /)", {" " + line}); }

void ClassicReportFiles::echo_names_file(const std::string& name) { morvenak::echo_names_file(text_, name); }

void ClassicReportFiles::echo_response_file(const std::string& name, int n, int p) {
  morvenak::echo_response_file(text_, name, n, p);
}

void ClassicReportFiles::echo_factor_file(int f, const std::string& name, int n, int m) {
  morvenak::echo_factor_file(text_, f, name, n, m);
  end_factor_file();
}

void ClassicReportFiles::close() {
  close_output(kReportUnit);
  close_output(kScoreUnit);
}

void read_data(const ClassicSettings& settings, Analysis& analysis) {
  const int n = read_response_file(analysis);
  int mtot = 0;
  for (int k = 1; k < settings.nfiles; ++k) read_factor_file(analysis, k, n, mtot);
}

namespace {

void take_hooks(const ClassicHooks& hooks, Options& options) {
  options.threads = hooks.threads;
  options.seed = hooks.seed;
  options.generator = hooks.generator;
  options.main_units = hooks.main_units;
  options.exact = hooks.exact;
  options.max_memory = hooks.max_memory;
  options.cancel = hooks.cancel;
  options.share = hooks.share;
}

// The console tells where the results are only once they are safe on disk.
void closing_lines(int task) {
  close_output(kReportUnit);
  close_output(kScoreUnit);
  say("Results are found in file 'Morvenak.out'");
  if (task >= 2) say("and in file 'FittedSc.out'");
  blank_line();
  say("End of the program.");
}

Result run(const ClassicHooks& hooks) {
  open_new(kReportUnit, "Morvenak.out");
  banner(ClassicText(), true);
  if (!hooks.banner_note.empty()) list_write(kReportUnit, {hooks.banner_note});

  blank_line();
  say("Name of the file containing the groups of file names?");
  std::string fofn;
  read_text(kConsoleIn, fofn);
  open_old(kFofnUnit, fofn);
  echo_names_file(ClassicText(), unit_name(kFofnUnit));

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
  options.check_values = false;  // the dialogue runs on to its own stop
  take_hooks(hooks, options);
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

  closing_lines(task);
  return result;
}

// The run of data in memory: banner, notes, the analysis, the closing lines.
Result report(const ReportSession& s) {
  ClassicReportFiles files(".", s.task, s.permutations, s.hooks.banner_note, true);
  files.data_line(s.data_line);
  Options options;
  options.task = s.task;
  options.transform = s.transform;
  options.permutations = s.task == Task::kScores ? 0 : s.permutations;
  options.check_coding = true;
  take_hooks(s.hooks, options);
  files.events().set_factors(static_cast<int>(s.input->factors.size()));
  Events no_pause;  // nobody to ask at a singular matrix: the run stops
  EventsTee tee(files.events(), s.hooks.observer != nullptr ? s.hooks.observer : &no_pause);
  Result result;
  try {
    result = analyse(*s.input, options, &tee);
  } catch (const Stopped& stopped) {
    throw classic_stop(stopped);
  }
  closing_lines(static_cast<int>(s.task));
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

namespace {

// A run driven by a front end: the console and error text go to `console_fd`,
// every way out ends in an outcome, and the channels are as they were after.
template <class Body>
ClassicOutcome session_of(int console_fd, Body body) {
  attach_output_fd(kConsoleOut, console_fd, "");
  attach_output_fd(kErrorUnit, console_fd, "");
  ClassicOutcome out;
  try {
    out.result = body();
  } catch (const RunEnd& end) {
    out.status = finish(end, out.message);
  } catch (const Error& e) {
    // Cancelled, or input the library refuses (InvalidInput): nothing more is written.
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

}  // namespace

ClassicOutcome run_session(const ClassicSession& session) {
  attach_input_file(kConsoleIn, session.answers);
  return session_of(session.console_fd, [&] { return run(session.hooks); });
}

ClassicOutcome run_report_session(const ReportSession& session) {
  return session_of(session.console_fd, [&] { return report(session); });
}

}  // namespace morvenak
