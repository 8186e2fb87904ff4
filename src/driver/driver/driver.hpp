// The classic run: the order of a whole run, from the report's creation and
// the dialogue to the analysis and the closing lines.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "driver/classic_report.hpp"
#include "morvenak/analysis.hpp"

namespace morvenak {

// Runs the program as its user sees it; returns the exit status.
int run_program();

// What a front end adds to the classic run: an observer of the analysis'
// events besides the report (it also answers the singular-matrix question,
// which the dialogue would ask on the terminal), the cancel flag, the
// threads, the generator and its start, the main factor's test units, the
// memory allowed, and a line under the report's banner for options that the
// dialogue cannot express. The defaults are the classic run's.
struct ClassicHooks {
  Events* observer = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  int threads = 0;
  std::uint32_t seed = 1;
  GeneratorChoice generator = GeneratorChoice::kAuto;
  MainUnits main_units = MainUnits::kObjects;
  bool exact = false;
  std::uint64_t max_memory = 0;
  Share* share = nullptr;  // the processes sharing the permutation tests
  std::string banner_note;
};

// The classic run in the current folder, driven by a front end: the dialogue
// reads its answers from the file `answers`, the console and error text go
// to `console_fd` (never to the user's terminal), and no signal handler is
// installed. The report and the score file are written as the dialogue
// writes them.
struct ClassicSession {
  std::string answers;
  int console_fd = -1;
  ClassicHooks hooks;
};
struct ClassicOutcome {
  int status = 0;          // as run_program would return
  std::string message;     // the error text run_program would write
  bool cancelled = false;  // the cancel flag ended the run
  Result result;           // when status is 0
};
ClassicOutcome run_session(const ClassicSession& session);

// An analysis of data already in memory (a front end read it, of any size the
// library takes), reported as the classic run reports it: Morvenak.out, and
// FittedSc.out for the score tasks, in the current folder. The report holds
// the banner, the hooks' note, `data_line` under it (where the data came
// from), then the analysis in the classic layouts; there is no dialogue and
// no echo of input files. The console text goes to `console_fd`; the
// hooks' observer (when given) answers the singular-matrix question, else
// the run stops there. A stop of the analysis keeps what was written, as
// run_session does.
struct ReportSession {
  const Input* input = nullptr;
  Task task = Task::kBoth;
  Transform transform = Transform::kNone;
  int permutations = 999;  // ignored by the scores task
  std::string data_line;
  int console_fd = -1;
  ClassicHooks hooks;
};
ClassicOutcome run_report_session(const ReportSession& session);

// The classic report of an analysis that a front end runs itself on data
// held in memory (with Analysis or analyse, giving it events()):
// Morvenak.out, and FittedSc.out for the score tasks, created in `folder`
// (never over a file) with the banner and `banner_note` under it (when
// given). The front end then writes what says where its data came from (the
// echo of the classic files that hold it, as the dialogue writes it when it
// reads them, or a line of its own), and the analysis' events write the rest
// in the classic layouts. The console lines of the classic run are written
// only with `console`. close() makes both files safe on the disk. A failure
// to write (a full disk) throws RunEnd (text/runend.hpp: status 2, the
// message of the fatal error); a run that ends otherwise leaves the files as
// they stand, closed by the destructor.
class ClassicReportFiles {
 public:
  ClassicReportFiles(const std::string& folder, Task task, int permutations, const std::string& banner_note,
                     bool console = false);
  ~ClassicReportFiles();
  ClassicReportFiles(const ClassicReportFiles&) = delete;
  ClassicReportFiles& operator=(const ClassicReportFiles&) = delete;

  void data_line(const std::string& line);
  void echo_names_file(const std::string& name);
  void echo_response_file(const std::string& name, int n, int p);
  // The factor file's echo, and the report's blank line after its values.
  void echo_factor_file(int f, const std::string& name, int n, int m);
  // The report as an observer of the analysis. Its factors must be set
  // before the analysis runs; at a singular matrix it asks the console.
  ClassicReport& events() { return report_; }
  void close();

 private:
  ClassicText text_;
  ClassicReport report_;
};

// What the file of file names and the dialogue decide before the data.
struct ClassicSettings {
  int nfiles = 0;  // the count at the head of the file of file names
};

// The data of a run, once channel 2 stands after the file count: Y and the
// factor files, each handed to the analysis as it is read. A stop of the
// classic reading throws RunEnd; the analysis' own errors pass through.
void read_data(const ClassicSettings& settings, Analysis& analysis);

}  // namespace morvenak
