// The report of data in memory: the banner, the note and data lines, then the
// analysis in the classic layouts; input the library refuses ends with status 2
// and its message, with nothing past the banner.
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

TEST(ReportSession, WritesTheNotesUnderTheBannerThenTheAnalysis) {
  Input in;
  in.n = 6;
  in.p = 1;
  in.y = {1, 2, 3, 5, 6, 7};
  in.factors.push_back(Factor::from_labels("G", {"a", "a", "a", "b", "b", "b"}));
  ReportSession s;
  s.input = &in;
  s.task = Task::kAnova;
  s.permutations = 0;
  s.data_line = "Data from the tables y.csv and g.csv: 6 objects, 1 species; factors G (2 levels)";
  s.hooks.banner_note = "Options beyond the classic dialogue: --seed 7";
  std::string report;
  const ClassicOutcome out = in_fresh_folder(s, report);
  ASSERT_EQ(out.status, 0) << out.message;
  EXPECT_DOUBLE_EQ(out.result.rows[0].ss, 24.0);
  const std::string head =
      " User guide: README.md of the Morvenak distribution.\n\n"
      " Options beyond the classic dialogue: --seed 7\n"
      " Data from the tables y.csv and g.csv: 6 objects, 1 species; factors G (2 levels)\n\n"
      " No transformation of the species data\n"
      " Total sum of squares in Y [transformed] (SSY) =           28.00000\n\n";
  EXPECT_NE(report.find(head), std::string::npos) << report;
  EXPECT_NE(report.find(" Anova factor           1    4            24.00000     24.00000    24.00000\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("File"), std::string::npos) << report;
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
