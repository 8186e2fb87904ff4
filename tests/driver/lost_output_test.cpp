// A whole run whose report or score file cannot be written: a write that
// fails at the first, a middle or the last record, a flush or a close that
// fails. Each ends the run with status 2 and the reason naming the file, the
// file holds exactly what the disk took, and the console never announces the
// results. A failing console changes nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "text/channels.hpp"
#include "driver/driver.hpp"
#include "support/capture.hpp"

namespace morvenak {
namespace {

// Two-level design, task 3, no permutation test: the run draws nothing at random.
const char* const kFiles = "3\nY.txt\nA.txt\nB.txt\n";
const char* const kMain = "12 1\n1\n1\n1\n1\n1\n1\n-1\n-1\n-1\n-1\n-1\n-1\n";
const char* const kNested =
    "12 4\n1 1 0 0\n1 1 0 0\n-1 1 0 0\n-1 1 0 0\n0 -2 0 0\n0 -2 0 0\n"
    "0 0 1 1\n0 0 1 1\n0 0 -1 1\n0 0 -1 1\n0 0 0 -2\n0 0 0 -2\n";
const char* const kY =
    "12 4\n0 3 6 2\n5 1 4 0\n3 6 2 5\n1 4 0 3\n7 3 6 2\n5 1 4 7\n"
    "3 6 2 5\n1 4 7 3\n7 3 6 2\n5 8 4 7\n3 6 2 5\n8 4 7 3\n";
const char* const kTask3 = "files.txt\n3\n0\n0\n1\n";
const char* const kTask0 = "files.txt\n0\n";

const char* const kEnd = " End of the program.\n";
const char* const kWhere = " Results are found in file 'Morvenak.out'\n";

struct Outcome {
  int status = -1;
  std::string console, errors, report, scores;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void spill(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Timings may differ from run to run by a hundredth of a second: the figure
// between "Computation time for ...:" and " sec." is masked.
std::string masked(std::string text) {
  const std::string label = "Computation time for ";
  for (std::size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
    const std::size_t colon = text.find(':', at);
    const std::size_t sec = text.find(" sec.", at);
    const std::size_t eol = text.find('\n', at);
    if (colon < sec && sec < eol) text.replace(colon + 1, sec - colon - 1, "<TIME>");
  }
  return text;
}

// The run in a fresh folder with the data files, answering from `answers`.
Outcome run_with(const std::string& answers) {
  char folder[] = "/tmp/morvenak-lost-XXXXXX";
  EXPECT_NE(::mkdtemp(folder), nullptr);
  const std::string dir = folder;
  spill(dir + "/files.txt", kFiles);
  spill(dir + "/A.txt", kMain);
  spill(dir + "/B.txt", kNested);
  spill(dir + "/Y.txt", kY);
  spill(dir + "/answers.txt", answers);
  char here[4096];
  EXPECT_NE(::getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(::chdir(folder), 0);
  Outcome out;
  {
    Capture console(kConsoleOut);
    Capture errors(kErrorUnit);
    attach_input_file(kConsoleIn, dir + "/answers.txt");
    out.status = run_program();
    close_unit(kConsoleIn);
    out.console = console.text();
    out.errors = errors.text();
  }
  attach_output_fd(kErrorUnit, 2, "");
  EXPECT_EQ(::chdir(here), 0);
  out.report = slurp(dir + "/Morvenak.out");
  out.scores = slurp(dir + "/FittedSc.out");
  for (const char* name : {"files.txt", "A.txt", "B.txt", "Y.txt", "answers.txt", "Morvenak.out", "FittedSc.out"})
    std::remove((dir + "/" + name).c_str());
  ::rmdir(folder);
  return out;
}

// Where each record (line) of `text` starts.
std::vector<std::size_t> record_starts(const std::string& text) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) starts.push_back(at);
  return starts;
}

class LostOutput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { complete_ = new Outcome(run_with(kTask3)); }
  static void TearDownTestSuite() {
    delete complete_;
    complete_ = nullptr;
  }
  void TearDown() override {
    inject_output_fault(kReportUnit, OutputFault{});
    inject_output_fault(kScoreUnit, OutputFault{});
    inject_output_fault(kConsoleOut, OutputFault{});
  }

  // Status 2, the reason and the file, no closing console lines, and the
  // console otherwise as in the complete run, up to where it stopped.
  static void expect_lost(const Outcome& got, const std::string& reason, int unit, const char* name) {
    EXPECT_EQ(got.status, 2);
    const std::string head = reason + "\napparent state: unit " + std::to_string(unit) + " named " + name + "\n";
    EXPECT_EQ(got.errors.substr(0, head.size()), head) << got.errors;
    EXPECT_NE(got.errors.find("\nlast transfer: writing\n"), std::string::npos) << got.errors;
    EXPECT_EQ(got.console.find(kWhere), std::string::npos);
    EXPECT_EQ(got.console.find(kEnd), std::string::npos);
    const std::string before = masked(complete_->console);
    EXPECT_EQ(masked(got.console), before.substr(0, masked(got.console).size()));
  }

  static Outcome* complete_;
};

Outcome* LostOutput::complete_ = nullptr;

TEST_F(LostOutput, CompleteRunIsTheReference) {
  const Outcome& c = *complete_;
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.errors, "");
  ASSERT_GE(c.console.size(), std::string(kEnd).size());
  EXPECT_EQ(c.console.substr(c.console.size() - std::string(kEnd).size()), kEnd);
  EXPECT_NE(c.console.find(kWhere), std::string::npos);
  EXPECT_GT(record_starts(c.report).size(), 20u);
  EXPECT_GT(record_starts(c.scores).size(), 20u);
}

// The disk fills at the first record, inside and at the start of a middle
// record, and at the last record: the file keeps exactly the bytes before.
TEST_F(LostOutput, WriteFailsAtFirstMiddleAndLastRecord) {
  struct File {
    int unit;
    const char* name;
    std::string Outcome::*text;
  };
  for (const File& f :
       {File{kReportUnit, "Morvenak.out", &Outcome::report}, File{kScoreUnit, "FittedSc.out", &Outcome::scores}}) {
    const std::string& full = (*complete_).*f.text;
    const std::vector<std::size_t> starts = record_starts(full);
    const std::size_t middle = starts[starts.size() / 2];
    for (std::size_t room : {std::size_t{0}, middle, middle + 3, starts.back()}) {
      SCOPED_TRACE(std::string(f.name) + ", room " + std::to_string(room) + " of " + std::to_string(full.size()));
      inject_output_fault(f.unit, OutputFault{room, ENOSPC, 0, 0});
      const Outcome got = run_with(kTask3);
      inject_output_fault(f.unit, OutputFault{});
      expect_lost(got, "write: No space left on device", f.unit, f.name);
      EXPECT_EQ(masked(got.*f.text), masked(full.substr(0, room)));
      // The other file stops where the run stopped.
      const std::string other = masked(f.unit == kScoreUnit ? got.report : got.scores);
      EXPECT_EQ(other, masked(f.unit == kScoreUnit ? complete_->report : complete_->scores).substr(0, other.size()));
    }
  }
}

// Errors that come only when the file is made safe: every record was written.
TEST_F(LostOutput, FlushOrCloseFails) {
  inject_output_fault(kReportUnit, OutputFault{0, 0, EIO, 0});
  Outcome got = run_with(kTask3);
  inject_output_fault(kReportUnit, OutputFault{});
  expect_lost(got, "flush: Input/output error", kReportUnit, "Morvenak.out");
  EXPECT_EQ(masked(got.report), masked(complete_->report));

  inject_output_fault(kScoreUnit, OutputFault{0, 0, 0, EDQUOT});
  got = run_with(kTask3);
  inject_output_fault(kScoreUnit, OutputFault{});
  expect_lost(got, "close: Disk quota exceeded", kScoreUnit, "FittedSc.out");
  EXPECT_EQ(masked(got.report), masked(complete_->report));
  EXPECT_EQ(masked(got.scores), masked(complete_->scores));
}

// The user's task 0 ends with status 0 only if the report's lines are safe.
TEST_F(LostOutput, StopThatCannotKeepTheReport) {
  Outcome got = run_with(kTask0);
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.errors, "STOP Program interrupted by user. statement executed\n");

  inject_output_fault(kReportUnit, OutputFault{0, 0, 0, EIO});
  got = run_with(kTask0);
  inject_output_fault(kReportUnit, OutputFault{});
  EXPECT_EQ(got.status, 2);
  const std::string head =
      "STOP Program interrupted by user. statement executed\n"
      "close: Input/output error\napparent state: unit 4 named Morvenak.out\n";
  EXPECT_EQ(got.errors.substr(0, head.size()), head);
}

// A console that cannot be written to (a reader that went away) ends nothing.
TEST_F(LostOutput, FailingConsoleIsIgnored) {
  inject_output_fault(kConsoleOut, OutputFault{100, EPIPE, 0, 0});
  const Outcome got = run_with(kTask3);
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.errors, "");
  EXPECT_EQ(got.console, complete_->console.substr(0, 100));
  EXPECT_EQ(masked(got.report), masked(complete_->report));
  EXPECT_EQ(masked(got.scores), masked(complete_->scores));
}

}  // namespace
}  // namespace morvenak
