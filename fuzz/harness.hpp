// What the fuzz targets do with one input, shared by the libFuzzer entry points
// (fuzz_listio.cpp, fuzz_input.cpp) and by the replay of the kept inputs in the
// ordinary test suite (tests/fuzz/replay_test.cpp).
//
//   listio_one  the free-format reader: a plan of integer, real and text reads,
//               then the text they read; every statement ends with its values
//               or with one of the reader's fatal errors.
//   input_one   the whole input path: a response file and up to three factor
//               files through reading, transformation and the checks; the run
//               ends normally with a consistent design, by a stop, or by a
//               fatal error of the text layer.
// A broken expectation aborts, which libFuzzer reports as a crash; crashes,
// hangs and undefined behaviour are the sanitizers' and libFuzzer's to catch.
#pragma once
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "text/channels.hpp"
#include "driver/driver.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"
#include "core/limits.hpp"
#include "morvenak/analysis.hpp"
#include "scratch.hpp"

namespace morvenak::fuzz {

using fuzz_common::broken;

// A private folder for the files of one input, removed when the process ends.
inline const std::string& scratch() { return fuzz_common::scratch_folder("input"); }

inline std::string put_file(const std::string& name, const char* data, std::size_t size) {
  std::string path = scratch() + "/" + name;
  fuzz_common::write_file(path, data, size);
  return path;
}

// Output channels go nowhere: only the behaviour is under test.
inline void silence_outputs() {
  static const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull < 0) broken("no /dev/null");
  for (int unit : {int(kErrorUnit), int(kConsoleOut), int(kReportUnit), int(kScoreUnit)})
    attach_output_fd(unit, devnull, unit == kReportUnit ? "Morvenak.out" : "");
}

inline std::string first_line(const std::string& s) { return s.substr(0, s.find('\n')); }

// The fatal errors that reading a file can end with (opening excepted).
inline bool known_read_error(const std::string& line) {
  for (const char* known : {"list in: end of file", "invalid integer: read unexpected character",
                            "invalid integer: value out of range", "invalid number: incomprehensible list input",
                            "invalid number: value out of range", "bad repetition count: incomprehensible list input",
                            "exponent field: incomprehensible list input", "list in: line too long (more than 64 MiB)"})
    if (line == known) return true;
  return false;
}

// ------------------------------------------------------------ the reader

// Input: a first line holding the plan, then the text to read. Plan letters:
// 'i' an integer, 'r' followed by a digit 1-8 a row of that many reals (1
// without a digit), 't' a text, ';' the end of a statement (also after four
// variables); other characters are ignored. The plan is repeated until a
// fatal error ends it, which the end of the text always does.
inline int listio_one(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t eol = 0;
  while (eol < size && eol < 64 && text[eol] != '\n') ++eol;
  const bool has_plan = eol < size && text[eol] == '\n';
  const std::size_t body = has_plan ? eol + 1 : 0;

  struct Var {
    char kind;
    int count;
  };
  std::vector<std::vector<Var>> plan(1);
  for (std::size_t k = 0; has_plan && k < eol; ++k) {
    char c = text[k];
    if (c == ';' && !plan.back().empty()) plan.emplace_back();
    if (c != 'i' && c != 'r' && c != 't') continue;
    int count = 1;
    if (c == 'r' && k + 1 < eol && text[k + 1] >= '1' && text[k + 1] <= '8') count = text[++k] - '0';
    if (plan.back().size() == 4) plan.emplace_back();
    plan.back().push_back(Var{c, count});
  }
  if (plan.back().empty()) plan.pop_back();
  if (plan.empty()) plan.push_back({Var{'r', 1}});

  attach_input_file(kResponseUnit, put_file("listio.txt", text + body, size - body));
  if (!is_open(kResponseUnit)) broken("input not attached");
  int ints[4];
  double reals[4][8];
  std::string texts[4];
  for (int statement = 0; statement < 100000; ++statement) {
    const std::vector<Var>& vars = plan[static_cast<std::size_t>(statement) % plan.size()];
    std::vector<ReadVar> read;
    for (std::size_t v = 0; v < vars.size(); ++v) {
      ints[v] = -1;
      for (double& r : reals[v]) r = -1.0;
      texts[v] = "(unread)";
      if (vars[v].kind == 'i')
        read.push_back(ReadVar::integer(ints[v]));
      else if (vars[v].kind == 'r')
        read.push_back(ReadVar::reals(reals[v], vars[v].count, 1));
      else
        read.push_back(ReadVar::text(texts[v]));
    }
    try {
      list_read(kResponseUnit, read.data(), read.size());
    } catch (const RunEnd& end) {
      if (end.status != 2) broken("a read ended with status " + std::to_string(end.status));
      if (!known_read_error(first_line(end.message))) broken("unknown fatal error: " + first_line(end.message));
      if (end.message.find("\napparent state: unit 11 named ") == std::string::npos) broken("unit not named");
      close_unit(kResponseUnit);
      return 0;
    }
    for (std::size_t v = 0; v < vars.size(); ++v) {
      if (vars[v].kind == 'r')
        for (double r : reals[v])
          if (!std::isfinite(r)) broken("a real read as infinite or not a number");
      if (vars[v].kind == 't' && texts[v] != "(unread)" && texts[v].size() != static_cast<std::size_t>(kNameLength))
        broken("a text of " + std::to_string(texts[v].size()) + " characters");
    }
  }
  broken("the reader never reached the end of its input");
}

// ------------------------------------------------------------ the input path

// Input: three characters giving the number of data files (a digit as it
// stands, any other byte one of 0, -1, 5 and the least and greatest integers),
// the transformation (0 to 5) and the coding check (0 or 1), both taken
// modulo their range; then, after an optional line end, the response file and
// the factor files, separated by '|'. Missing files are empty.
// Ends an analysis as soon as its factors have passed every check: the
// harness exercises the reading and the checks, not the anova.
struct ChecksPassed {};
struct StopAfterChecks : Events {
  void factors_checked() override { throw ChecksPassed{}; }
};

inline int input_one(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  static const int kOddCounts[] = {0, -1, 5, INT_MIN, INT_MAX};
  const int nfiles = data[0] >= '0' && data[0] <= '9' ? data[0] - '0' : kOddCounts[data[0] % 5];
  Options options;
  options.transform = static_cast<Transform>(data[1] % 6);
  options.check_coding = data[2] % 2 == 1;
  options.task = Task::kAnova;
  options.permutations = 0;
  std::size_t at = 3;
  if (at < size && text[at] == '\n') ++at;

  std::string fofn = std::to_string(nfiles) + "\n";  // then 4 names, whatever nfiles says
  const char* names[] = {"Y.txt", "X1.txt", "X2.txt", "X3.txt"};
  for (const char* name : names) {
    std::size_t end = at;
    while (end < size && text[end] != '|') ++end;
    fofn += "'" + put_file(name, text + at, end - at) + "'\n";
    at = end < size ? end + 1 : end;
  }
  open_old(kFofnUnit, put_file("files.txt", fofn.data(), fofn.size()));
  silence_outputs();

  ClassicSettings settings;
  StopAfterChecks events;
  try {
    read_int(kFofnUnit, settings.nfiles);
    // The driver stops on more than 4 files before it asks anything else.
    if (settings.nfiles > kMaxFactorFiles + 1) stop("Too many files for this program.");
    Analysis analysis(options, &events);
    read_data(settings, analysis);
    analysis.run();
    broken("the analysis ran past its checks");
  } catch (const ChecksPassed&) {
    // A design that passed every check.
    if (settings.nfiles != nfiles) broken("nfiles");
  } catch (const Stopped&) {
    // A stop of the analysis: the classic program says it and ends with status 1.
  } catch (const Error& e) {
    broken(std::string("the classic input reached the engine as: ") + e.what());
  } catch (const RunEnd& end) {
    close_all();
    const std::string line = first_line(end.message);
    const bool stop_text = end.message.empty() || line == "STOP" ||
                           (line.rfind("STOP ", 0) == 0 && line.find(" statement executed") != std::string::npos);
    if (end.status == 1) {
      // A stop of the classic reading, or a pause that nobody can answer.
      if (!stop_text && line != "No terminal to answer the pause; the run ends.")
        broken("a stop with the text: " + line);
    } else if (end.status == 2) {
      if (!known_read_error(line)) broken("unknown fatal error: " + line);
    } else {
      broken("run ended with status " + std::to_string(end.status) + ": " + line);
    }
    return 0;
  }
  close_all();
  return 0;
}

}  // namespace morvenak::fuzz
