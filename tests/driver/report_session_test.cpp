// The report of data in memory when the library refuses the input: status 2 and
// its message, nothing in the report past the banner's lines (the run command's
// tables never give such input; tests/e2e/run_beyond.py checks its reports).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "driver/driver.hpp"

namespace morvenak {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the session in a fresh folder; returns the outcome, and the report in `report`.
ClassicOutcome in_fresh_folder(const ReportSession& session, std::string& report) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("report_session_" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directory(folder);
  const fs::path here = fs::current_path();
  fs::current_path(folder);
  std::FILE* console = std::tmpfile();
  ClassicOutcome out = run_report_session([&] {
    ReportSession s = session;
    s.console_fd = ::fileno(console);
    return s;
  }());
  std::fclose(console);
  report = slurp("Morvenak.out");
  // The score file is opened before the analysis, as the classic run opens it.
  EXPECT_EQ(fs::exists("FittedSc.out"), session.task != Task::kAnova);
  fs::current_path(here);
  fs::remove_all(folder);
  return out;
}

TEST(ReportSession, InputTheLibraryRefusesEndsWithStatus2) {
  Input in;
  in.n = 2;
  in.p = 2;
  in.y = {1, 2, 3};
  in.factors.push_back(Factor::from_labels("G", {"a", "b"}));
  ReportSession s;
  s.input = &in;
  s.data_line = "Data";
  std::string report;
  const ClassicOutcome out = in_fresh_folder(s, report);
  EXPECT_EQ(out.status, 2);
  EXPECT_EQ(out.message, "Y holds 3 values where 2 objects by 2 species need 4\n");
  EXPECT_FALSE(out.cancelled);
  EXPECT_EQ(report.substr(report.size() - 7), " Data\n\n");
}

}  // namespace
}  // namespace morvenak
