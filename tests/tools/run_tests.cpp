// Tests of the run command's parts: its numbers, its table of results from a result
// with untested rows and values that are not finite, and the text of the progress bar.
#include "run/memory_plan.hpp"
#include "run/memory_size.hpp"
#include "run/numbers.hpp"
#include "run/outputs.hpp"
#include "run/progress.hpp"
#include "run/staging.hpp"

#include "tables/design.hpp"
#include "tables/table.hpp"

#include "common/toolerror.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using morvenak::Row;
using morvenak::Source;

TEST(RunNumbers, ShortestRoundTripAndNonFinite) {
    EXPECT_EQ(run::number(0.1), "0.1");
    EXPECT_EQ(run::number(1.0), "1");
    EXPECT_EQ(run::number(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(run::number(2.4201350197252007), "2.4201350197252007");
    EXPECT_EQ(run::number(1e-300), "1e-300");
    EXPECT_EQ(run::number(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(run::number(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(run::number(-std::numeric_limits<double>::infinity()), "-inf");
    for (double x : {0.006, 3.167158049916176, 1.0557193499720587e-17, 123456789.125})
        EXPECT_EQ(std::stod(run::number(x)), x);
}

tables::Design design(const std::string& labels, const std::vector<std::string>& columns) {
    // One species row per labels row, same names, in the labels' order.
    std::string species = "id,sp\n";
    std::size_t start = labels.find('\n') + 1;
    while (start < labels.size()) {
        const std::size_t end = labels.find('\n', start);
        species += labels.substr(start, labels.find(',', start) - start) + ",1\n";
        start = end + 1;
    }
    return tables::build_design(tables::parse_table(species, "sp.csv", ','),
                                tables::parse_table(labels, "lab.csv", ','), columns);
}

TEST(RunOutputs, UntestedRowsAndValuesThatAreNotFinite) {
    tables::Design d =
        design("id,Site,Plot\na,s1,p1\nb,s1,p2\nc,s2,p1\nd,s2,p2\n", {"Site", "Plot"});
    morvenak::Result r;
    r.ssy = 4.0;
    Row main;
    main.source = Source::kMain;
    main.df1 = 1, main.df2 = 2, main.ss = 1.0, main.ms = 1.0, main.formed = true, main.f = 0.5;
    main.tested = true, main.permutations = 99, main.p = 0.25;
    Row nested;
    nested.source = Source::kNested1;
    nested.df1 = 2, nested.df2 = 0, nested.ss = 3.0, nested.ms = 1.5;
    nested.note = "cannot be tested: no degrees of freedom in the denominator";
    Row within;
    within.source = Source::kWithin;
    // A saturated fit: what rounding leaves of the within sum of squares, over no
    // degrees of freedom.
    within.df1 = 0, within.ss = -1.16e-10, within.ms = -std::numeric_limits<double>::infinity();
    Row total;
    total.source = Source::kTotal;
    total.df1 = 3, total.ss = 4.0;
    r.rows = {main, nested, within, total};
    EXPECT_EQ(
        run::results_tsv(d, r),
        "source\tfactor\tdf1\tdf2\tSS\tMS\tF\tP\tR2\tpermutations\tnote\n"
        "main\tSite\t1\t2\t1\t1\t0.5\t0.25\t0.25\t99\t\n"
        "nested1\tPlot\t2\t0\t3\t1.5\t\t\t0.75\t0\tcannot be tested: no degrees of freedom in the "
        "denominator\n"
        "within\t\t0\t\t0\t\t\t\t0\t0\tno degrees of freedom within the groups, so no mean square\n"
        "total\t\t3\t\t4\t\t\t\t1\t0\t\n");
    const run::Json j = run::Json::parse(run::results_json(d, r, {}));
    EXPECT_TRUE(j["rows"][2]["MS"].is_null());
    EXPECT_EQ(j["rows"][2]["note"], "no degrees of freedom within the groups, so no mean square");
    EXPECT_TRUE(j["rows"][1]["P"].is_null());
    EXPECT_EQ(j["rows"][0]["P"], 0.25);
    EXPECT_EQ(j["design"]["samples"][2],
              (run::Json{{"sample", "c"}, {"Site", "s2"}, {"Plot", "p1"}}));
    EXPECT_EQ(j["design"]["factors"][1]["levels"][2],
              (run::Json{{"label", "p1"}, {"parent", "s2"}, {"count", 1}}));
    Row over = main;
    over.ss = std::nextafter(4.0, 5.0);  // rounding above the total: R2 stays 1
    EXPECT_EQ(morvenak::row_figures(over, 4.0).r2, 1.0);
    r.ssy = 0.0;  // R2 has no value
    EXPECT_EQ(run::row_note(main, 0.0), "R2 has no value: the total sum of squares is 0");
}

TEST(RunMemorySize, UnitsAndMalformedSizes) {
    EXPECT_EQ(run::parse_memory_size("512M"), std::uint64_t{512} << 20);
    EXPECT_EQ(run::parse_memory_size("8G"), std::uint64_t{8} << 30);
    EXPECT_EQ(run::parse_memory_size("8gb"), std::uint64_t{8} << 30);
    EXPECT_EQ(run::parse_memory_size("2T"), std::uint64_t{2} << 40);
    EXPECT_EQ(run::parse_memory_size("64k"), std::uint64_t{65536});
    EXPECT_EQ(run::parse_memory_size("1000"), std::uint64_t{1000});
    EXPECT_EQ(run::parse_memory_size("1000B"), std::uint64_t{1000});
    EXPECT_EQ(run::parse_memory_size("16777215T"), std::uint64_t{16777215} << 40);
    for (const char* bad : {"", "G", "0", "0G", "1.5G", "-1G", "8 G", "8GG", "8X", "8BB",
                            "16777216T", "18446744073709551616"})
        EXPECT_EQ(run::parse_memory_size(bad), std::nullopt) << bad;
}

// The size a table will take, told from its file before reading it, is the size it
// takes once read: exactly for a file of at most a MiB, within a few percent for a
// larger one whose rows vary in length; a pipe is not read ahead.
TEST(RunMemory, TablesAreSizedBeforeTheyAreRead) {
    namespace fs = std::filesystem;
    const fs::path top = fs::temp_directory_path() / ("run-memory-" + std::to_string(::getpid()));
    fs::create_directories(top);
    const auto write = [&](const std::string& name, int rows) {
        std::ofstream f(top / name);
        f << "sample";
        for (int j = 0; j < 300; ++j) f << ",sp" << j;
        f << "\n";
        unsigned x = 7;
        for (int i = 0; i < rows; ++i) {
            f << "s" << i;
            for (int j = 0; j < 300; ++j) {
                x = x * 1103515245u + 12345u;
                f << "," << ((x >> 16) % 7 == 0 ? (x >> 8) % 1000 : (x >> 16) % 3);
            }
            f << "\n";
        }
        return (top / name).string();
    };
    const std::string small = write("small.csv", 200), large = write("large.csv", 6000);
    const tables::TableSize s = tables::estimate_size(small),
                            exact_s = tables::size_of(tables::read_table(small));
    EXPECT_FALSE(s.estimated);
    EXPECT_EQ(s.rows, 200u);
    EXPECT_EQ(s.bytes, exact_s.bytes);
    const tables::TableSize l = tables::estimate_size(large),
                            exact_l = tables::size_of(tables::read_table(large));
    EXPECT_TRUE(l.estimated);
    EXPECT_EQ(l.width, 301u);
    EXPECT_NEAR(static_cast<double>(l.rows), 6000.0, 6000.0 * 0.03);
    EXPECT_NEAR(l.bytes, exact_l.bytes, exact_l.bytes * 0.03);
    const std::string fifo = (top / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(tables::estimate_size(fifo).rows, 0u);  // returns at once: no writer is waited for

    // The run is refused (status 1) when its peak exceeds the budget, and never without one.
    const run::RunMemory m = run::run_memory(exact_l, {}, 1, morvenak::MemoryNeed{});
    EXPECT_GT(m.tables, 2.0 * exact_l.bytes);  // the table and its parsed copy
    EXPECT_NO_THROW(run::check_run_memory(m, exact_l, "large.csv", 0, false));
    const tools::Failure f =
        tools::failure_of([&] { run::check_run_memory(m, exact_l, "large.csv", 1 << 20, true); });
    EXPECT_EQ(f.status, 1);
    EXPECT_NE(f.message.find("6000 samples and 300 species of large.csv needs about"),
              std::string::npos)
        << f.message;
    fs::remove_all(top);
}

TEST(RunProgress, CountRateAndTimeLeft) {
    EXPECT_EQ(run::ProgressBar::line(250, 1000, 2.0),
              "Permutation test [#####...............] 250/1000, 125/s, 0:00:06 left");
    EXPECT_EQ(run::ProgressBar::line(1000, 1000, 4.0),
              "Permutation test [####################] 1000/1000, 250/s, 0:00:00 left");
    EXPECT_EQ(run::ProgressBar::line(0, 999, 0.0), "Permutation test [....................] 0/999");
    EXPECT_EQ(run::ProgressBar::line(1, 9000001, 1.0),
              "Permutation test [....................] 1/9000001, 1/s, 2500:00:00 left");
    EXPECT_EQ(run::ProgressBar::line(9, 45, 3.0, "Pairs of Dose"),
              "Pairs of Dose [####................] 9/45, 3/s, 0:00:12 left");
}

// A temporary folder a killed run left is removed by a later run of the same output:
// only one of this host, older than the age given, of a process that no longer runs.
TEST(RunStaging, StaleFoldersOfDeadProcessesAreRemoved) {
    namespace fs = std::filesystem;
    const fs::path top = fs::temp_directory_path() / ("run-staging-" + std::to_string(::getpid()));
    fs::create_directories(top);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);  // a process id that no longer runs
    const std::string dead = std::to_string(child), alive = std::to_string(::getpid());
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    auto make = [&](const std::string& name, bool aged) {
        fs::create_directories(top / name / "classic");
        if (aged) fs::last_write_time(top / name, old);
        return (top / name).string();
    };
    const std::string stale = make(".out.tmp-" + std::string(host) + "-" + dead + "-abcdef", true);
    const std::vector<std::string> kept{
        make(".out.tmp-" + std::string(host) + "-" + alive + "-abcdef", true),   // still runs
        make(".out.tmp-" + std::string(host) + "-" + dead + "-ghijkl", false),   // recent
        make(".out.tmp-elsewhere-" + dead + "-abcdef", true),                    // another host
        make(".other.tmp-" + std::string(host) + "-" + dead + "-abcdef", true),  // another output
    };
    EXPECT_EQ(run::remove_stale((top / "out").string(), 24 * 3600.0), std::vector<std::string>{stale});
    EXPECT_FALSE(fs::exists(stale));
    for (const std::string& k : kept) EXPECT_TRUE(fs::exists(k)) << k;
    fs::remove_all(top);
}

}  // namespace
