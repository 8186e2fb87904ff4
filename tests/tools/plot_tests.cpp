// Tests of morvenak-plot's parts: the rows of the score file's fixed layout, whole score
// files of reference runs, the text made fit to draw and the grouping of samples by place.
#include "../../fuzz/plot_harness.hpp"
#include "../../fuzz/tables_harness.hpp"
#include "common/toolerror.hpp"
#include "plot/scorefile.hpp"
#include "plot/places.hpp"
#include "plot/readfile.hpp"
#include "plot/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <filesystem>
#include <new>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

using namespace plot;
using tools::ToolError;

const std::string data_dir = TOOLS_TEST_DATA;

template <class F>
std::string error_of(F f) {
    try {
        f();
    } catch (const ToolError& e) {
        return e.what();
    }
    return "";
}

// A row in the layout (1X, 200F10.5), used again from its start for every 200 values.
std::string layout_row(const std::vector<double>& v) {
    std::string s;
    for (std::size_t j = 0; j < v.size(); ++j) {
        if (j % 200 == 0) s += (j ? "\n " : " ");
        char buf[32];
        std::snprintf(buf, sizeof buf, "%10.5f", v[j]);
        s += buf;
    }
    return s + "\n";
}

// ---------------------------------------------------------------- rows

TEST(RowFields, FieldsAreCutByColumn) {
    EXPECT_EQ(row_fields("    1.00000  -2.50000", "f", 1), (std::vector<double>{1.0, -2.5}));
    // Values that fill their field touch their neighbours.
    EXPECT_EQ(row_fields(" -999.99999-999.99999 100.00000", "f", 1),
              (std::vector<double>{-999.99999, -999.99999, 100.0}));
}

TEST(RowFields, FaultsNameLineAndColumn) {
    EXPECT_EQ(error_of([] { row_fields("    1.00000**********", "f", 7); }),
              "f, line 7, column 12: a value too large for its field (**********)");
    EXPECT_EQ(error_of([] { row_fields("    1.00000   abc.def", "f", 7); }),
              "f, line 7, column 12: \"abc.def\" is not a number");
    EXPECT_EQ(error_of([] { row_fields("    1.00000   2.0000", "f", 7); }),
              "f, line 7, column 12: the last field \"   2.0000\" is shorter than 10 columns");
    EXPECT_EQ(error_of([] { row_fields("1.00000000", "f", 7); }),
              "f, line 7: expected a row of values (a blank, then fields of 10 columns)");
    EXPECT_EQ(error_of([] { row_fields("        nan", "f", 3); }),
              "f, line 3, column 2: \"nan\" is not a number");
}

// Values far apart enough to make the drawing's extent infinite, or not numbers at all,
// are refused; the layout writes none of them.
TEST(RowFields, OnlyFixedPointValuesAreRead) {
    for (const char* field : {"     1e308", "    -1E308", "       inf", "  infinity", "      -nan",
                              "    0x1p10", "         .", "        1-", "     1.2.3", "     + 1.0"})
        EXPECT_EQ(error_of([&] { row_fields(std::string(" ") + field, "f", 4); }),
                  "f, line 4, column 2: \"" + std::string(field).substr(std::string(field).find_first_not_of(' ')) +
                      "\" is not a number")
            << field;
    EXPECT_EQ(row_fields("        12.       -.5     +3.259999999999", "f", 4),
              (std::vector<double>{12.0, -0.5, 3.25, 9999999999.0}));
}

// ---------------------------------------------------------------- score files

struct Expect {
    const char* name;
    std::vector<std::string> titles;
    std::vector<std::size_t> axes;
    std::size_t objects;
};

void PrintTo(const Expect& e, std::ostream* os) { *os << e.name; }

class ReferenceScoreFile : public ::testing::TestWithParam<Expect> {};

TEST_P(ReferenceScoreFile, ParsesAndHoldsTogether) {
    const Expect& e = GetParam();
    std::vector<Ordination> all =
        read_score_file(data_dir + "/scores/" + e.name + "/FittedSc.out");
    ASSERT_EQ(all.size(), e.titles.size());
    for (std::size_t o = 0; o < all.size(); ++o) {
        const Ordination& ord = all[o];
        SCOPED_TRACE(ord.title);
        EXPECT_EQ(ord.title, e.titles[o]);
        const std::size_t k = ord.eigenvalues.size();
        if (k > 0) {
            EXPECT_EQ(ord.canonical, ord.title.find("residuals") == std::string::npos);
        }
        ASSERT_EQ(k, e.axes[o]);
        if (k == 0) continue;
        ASSERT_EQ(ord.percent.size(), k);
        ASSERT_EQ(ord.scores.size(), e.objects);
        const double n = static_cast<double>(e.objects);
        for (std::size_t j = 0; j < k; ++j) {
            // Scores are centred, and the variance of each axis' scores is its
            // eigenvalue: the two are printed apart, so this checks the columns.
            double sum = 0, squares = 0;
            for (const auto& row : ord.scores) {
                ASSERT_EQ(row.size(), k);
                sum += row[j];
                squares += row[j] * row[j];
            }
            EXPECT_NEAR(sum, 0.0, 1e-5 * n) << "axis " << j + 1;
            EXPECT_NEAR(squares / (n - 1), ord.eigenvalues[j], 1e-4) << "axis " << j + 1;
            // Every axis holds the same share of variance per unit of eigenvalue.
            EXPECT_NEAR(ord.percent[j] * ord.eigenvalues[0], ord.percent[0] * ord.eigenvalues[j],
                        2e-5 * (ord.percent[0] + ord.eigenvalues[0]) + 1e-9);
        }
    }
}

const std::string main_t = "Object scores fitted to the main factor";
const std::string resid_t = "Object scores, PCA of unexplained variation (residuals)";

INSTANTIATE_TEST_SUITE_P(
    Runs, ReferenceScoreFile,
    ::testing::Values(
        Expect{"worked_41_task3", {"Object scores fitted to the anova factor", resid_t}, {1, 1}, 4},
        Expect{"six_task2", {"Object scores fitted to the anova factor", resid_t}, {2, 3}, 6},
        Expect{"two_level_task2",
               {main_t, "Object scores fitted to the nested factor", resid_t}, {1, 4, 4}, 12},
        Expect{"three_level_dfw0_task2",
               {main_t, "Object scores fitted to the first nested factor",
                "Object scores fitted to the second nested factor", resid_t},
               {1, 4, 4, 0}, 12},
        Expect{"dune_nested_hellinger",
               {main_t, "Object scores fitted to the nested factor", resid_t}, {3, 7, 9}, 20},
        Expect{"nfiles1_task3", {}, {}, 0}),
    [](const ::testing::TestParamInfo<Expect>& run) { return std::string(run.param.name); });

// A score file with 203 axes, so that every row goes on over a second line.
std::string wide_score_file(std::size_t k, std::size_t n) {
    std::vector<double> ev(k), pct(k);
    for (std::size_t j = 0; j < k; ++j) ev[j] = 10.0 - 0.01 * static_cast<double>(j), pct[j] = 0.25;
    std::string s = " Object scores fitted to the anova factors\n"
                    " Note: The response variables were centred at the start of the calculations\n"
                    "\n                           -------------------------\n\n"
                    " Object scores fitted to the anova factor\n\n"
                    " Canonical eigenvalues ( " + std::to_string(k) + " eigenvalues)\n";
    s += layout_row(ev) + "\n % of total variance of PCA\n" + layout_row(pct);
    s += "\n Cumulative % of total variance of PCA\n" + layout_row(pct);
    s += "\n Cumulative % of canonical variance\n" + layout_row(pct);
    s += "\n Sum of all canonical eigenvalues   1.00000\n\n Object scores\n";
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> row(k);
        for (std::size_t j = 0; j < k; ++j)
            row[j] = static_cast<double>(i + 1) * 1000 + static_cast<double>(j) / 1000;
        s += layout_row(row);
    }
    s += "\n Variances\n" + layout_row(ev) + "\n";
    s += "\n Computation time for canonical object scores:      0.00 sec.\n\n";
    return s;
}

TEST(ScoreFile, RowsOfMoreThan200ValuesGoOnOverLines) {
    std::vector<Ordination> all = parse_score_file(wide_score_file(203, 3), "w");
    ASSERT_EQ(all.size(), 1u);
    const Ordination& o = all[0];
    ASSERT_EQ(o.eigenvalues.size(), 203u);
    EXPECT_DOUBLE_EQ(o.eigenvalues[200], 8.0);
    ASSERT_EQ(o.scores.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j : {0u, 199u, 200u, 202u})
            EXPECT_NEAR(o.scores[i][j], static_cast<double>(i + 1) * 1000 + static_cast<double>(j) / 1000, 1e-9);
}

TEST(ScoreFile, FaultsNameTheLine) {
    EXPECT_EQ(error_of([] { parse_score_file("Morvenak report\n", "s"); }),
              "s, line 1: not a score file (its first line is not \"Object scores fitted to "
              "the anova factors\")");
    std::string full = wide_score_file(2, 3);
    // Cut after the eigenvalue heading: the rows are missing.
    std::string cut = full.substr(0, full.find('\n', full.find(" Canonical eigenvalues")) + 1);
    EXPECT_EQ(error_of([&] { parse_score_file(cut, "s"); }),
              "s, line 8: the file ends here, before the end of the score file (the file is "
              "incomplete)");
    // A row with one value too few.
    std::string short_row = full;
    short_row.replace(short_row.find("   10.00000   9.99000"), 21, "   10.00000");
    EXPECT_EQ(error_of([&] { parse_score_file(short_row, "s"); }),
              "s, line 9: 1 values where 2 were expected");
    std::string late = full;
    late.replace(late.find("0.00 sec."), 9, "0.00 min.");
    EXPECT_EQ(error_of([&] { parse_score_file(late, "s"); }),
              "s, line 31: the closing line is not \"Computation time for canonical object "
              "scores: <seconds> sec.\" followed by an empty line");
    std::string odd = full;
    odd.replace(odd.find(" Variances"), 10, " Variance?");
    EXPECT_EQ(error_of([&] { parse_score_file(odd, "s"); }),
              "s, line 27: unexpected line \"Variance?\" in the ordination \"Object scores "
              "fitted to the anova factor\"");
}

std::string text_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::size_t lines_in(const std::string& text) {
    std::size_t n = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return n + (!text.empty() && text.back() != '\n');
}

// Cut after any byte, a score file is incomplete and says where it ends. The one
// exception is the cut after the separator below the heading: that is the whole score
// file of a run without ordinations.
TEST(ScoreFile, AFileCutShortIsIncompleteWhereverItIsCut) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* run : {"worked_41_task3", "six_task2", "two_level_task2",
                            "three_level_dfw0_task2", "dune_nested_hellinger", "nfiles1_task3"})
        files.emplace_back(run, text_of(data_dir + "/scores/" + run + "/FittedSc.out"));
    files.emplace_back("wide", wide_score_file(203, 3));
    std::string crlf;
    for (char c : files[1].second) crlf += (c == '\n' ? "\r\n" : std::string(1, c));
    files.emplace_back("six_task2 with CRLF", crlf);
    for (const auto& [run, text] : files) {
        SCOPED_TRACE(run);
        ASSERT_FALSE(text.empty());
        ASSERT_NO_THROW(parse_score_file(text, "s"));
        // The end of the empty line after the first separator.
        const std::size_t prelude = text.find('\n', text.find("-\r\n") != std::string::npos
                                                       ? text.find("-\r\n") + 3
                                                       : text.find("-\n") + 2) + 1;
        std::size_t accepted = 0;
        for (std::size_t cut = 1; cut < text.size(); ++cut) {
            const std::string part = text.substr(0, cut);
            const std::string error = error_of([&] { parse_score_file(part, "s"); });
            if (error.empty()) {
                EXPECT_EQ(cut, prelude);
                EXPECT_TRUE(parse_score_file(part, "s").empty());
                ++accepted;
                continue;
            }
            ASSERT_EQ(error, "s, line " + std::to_string(lines_in(part)) +
                                 ": the file ends here, before the end of the score file (the "
                                 "file is incomplete)")
                << "cut after byte " << cut << ": ..." << part.substr(part.size() - std::min<std::size_t>(part.size(), 40));
        }
        EXPECT_EQ(accepted, prelude < text.size() ? 1u : 0u);
    }
}

TEST(ScoreFile, OrdinationsWithoutTheirEndOrOfOtherObjectsAreRefused) {
    const std::string full = text_of(data_dir + "/scores/two_level_task2/FittedSc.out");
    // The variances of the first ordination left out: the next one follows.
    std::string no_variances = full;
    const std::size_t v = no_variances.find(" Variances\n");
    no_variances.erase(v, no_variances.find("\n\n", v) + 1 - v);
    EXPECT_EQ(error_of([&] { parse_score_file(no_variances, "s"); }),
              "s, line 6: the ordination \"Object scores fitted to the main factor\" has no "
              "line \"Variances\"");
    // One object too few in the second ordination.
    std::string fewer = full;
    const std::size_t second = fewer.find(" Object scores\n", fewer.find("nested factor"));
    const std::size_t row = fewer.find('\n', second) + 1;
    fewer.erase(row, fewer.find('\n', row) + 1 - row);
    EXPECT_EQ(error_of([&] { parse_score_file(fewer, "s"); }),
              "s, line 57: 11 object scores in \"Object scores fitted to the nested factor\", "
              "12 in \"Object scores fitted to the main factor\" (line 22)");
}

// ---------------------------------------------------------------- text and places

// Titles and sample names come from the user's files as bytes: whatever they hold,
// the text drawn is valid UTF-8 without control characters.
TEST(Text, ControlCharactersAndBytesThatAreNotUtf8AreReplaced) {
    EXPECT_EQ(clean_text("a & <b> \"q\" 'r' caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8C\xBF"),
              "a & <b> \"q\" 'r' caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8C\xBF");
    const std::string fffd = "\xEF\xBF\xBD";
    // Control characters, C1 controls too; DEL.
    EXPECT_EQ(clean_text(std::string("\x01\t\x1B[31m\r\x7F\xC2\x85x\0y", 14)), "???[31m???x?y");
    // Bytes that are not UTF-8: stray continuations, a lead byte without its
    // continuation, overlong forms, surrogates, beyond U+10FFFF, cut at the end.
    EXPECT_EQ(clean_text("\x80\xBF|\xC3(|\xC0\xAF|\xE0\x80\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xFF|\xE2\x82"),
              fffd + fffd + "|" + fffd + "(|" + fffd + fffd + "|" + fffd + fffd + fffd + "|" + fffd +
                  fffd + fffd + "|" + fffd + fffd + fffd + fffd + "|" + fffd + "|" + fffd + fffd);
    // Not characters, though valid UTF-8.
    EXPECT_EQ(clean_text("\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD"), fffd + fffd + fffd);
    // The largest code points of each length stay.
    EXPECT_EQ(clean_text("\x7E\xDF\xBF\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"),
              "\x7E\xDF\xBF\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF");
}

// ---------------------------------------------------------------- bounded reading

struct Scratch {
    std::string path;
    Scratch() {
        char name[] = "/tmp/plot-read-XXXXXX";
        path = mkdtemp(name);
    }
    ~Scratch() { std::filesystem::remove_all(path); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        return path + "/" + name;
    }
};

constexpr ReadLimits small{"a test file", 64, 8};

TEST(ReadBounded, TextWithinTheBoundsIsReadWhole) {
    Scratch d;
    const std::string text = "ab\n01234567\n\r\nlast";  // a line of 8 bytes, a last one unended
    EXPECT_EQ(read_bounded(d.write("f", text), small), text);
    EXPECT_EQ(read_bounded(d.write("empty", ""), small), "");
    EXPECT_EQ(read_bounded(d.write("full", std::string(7, 'x') + "\n" + std::string(56, 'y')),
                           {"a test file", 64, 0}),
              std::string(7, 'x') + "\n" + std::string(56, 'y'));
}

TEST(ReadBounded, FaultsNameTheFileAndTheLine) {
    Scratch d;
    const auto fault = [&](const std::string& text, const ReadLimits& limits = small) {
        std::string e = tools::error_of([&] { read_bounded(d.write("f", text), limits); });
        const std::size_t at = e.find(d.path);
        if (at != std::string::npos) e.replace(at, d.path.size(), "D");
        return e;
    };
    EXPECT_EQ(fault(std::string("ab\ncd\nef\0gh", 11)),
              "D/f, line 3: the file holds a NUL byte; a test file is plain text");
    // A line too long is found where it ends, and where the file ends without one.
    EXPECT_EQ(fault("short\n0123456789\nx\n"),
              "D/f, line 2: more than 8 bytes without a line end; a line of a test file takes at "
              "most 8 bytes");
    EXPECT_EQ(fault("short\nok\n012345678"),
              "D/f, line 3: more than 8 bytes without a line end; a line of a test file takes at "
              "most 8 bytes");
    // Across the pieces the file is read in.
    EXPECT_EQ(fault(std::string(100000, 'z'), {"a test file", 1 << 20, 1 << 16}),
              "D/f, line 1: more than 64 KiB without a line end; a line of a test file takes at "
              "most 64 KiB");
    EXPECT_EQ(fault(std::string(65, '\n')),
              "D/f: the file holds more than 64 bytes; a test file takes at most 64 bytes");
    EXPECT_EQ(tools::error_of([&] { read_bounded(d.path, small); }),
              d.path + ": cannot open the file: Is a directory");
    EXPECT_EQ(tools::error_of([&] { read_bounded(d.path + "/none", small); }),
              d.path + "/none: cannot open the file: No such file or directory");
}

// A stream has no size to look at: its bytes are counted as they come.
TEST(ReadBounded, AStreamBeyondTheBoundIsRefused) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string bytes(65, '\n');
    ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), 65);
    ::close(ends[1]);
    const std::string path = "/dev/fd/" + std::to_string(ends[0]);
    const tools::Failure f = tools::failure_of([&] { read_bounded(path, small); });
    ::close(ends[0]);
    EXPECT_EQ(f.message, path + ": the file holds more than 64 bytes; a test file takes at most 64 bytes");
    EXPECT_EQ(f.status, 2);
}

// Many samples: the places are sorted, never each compared with all the others.
TEST(Places, GroupingByPlaceTakesNLogNComparisons) {
    const std::size_t n = 100000;
    std::vector<std::string> keys(n);
    unsigned long long r = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        r = r * 6364136223846793005ULL + 1442695040888963407ULL;
        // About n / 3 places: most samples share theirs with others.
        keys[i] = std::to_string((r >> 33) % (n / 3)) + " 1.00";
    }
    std::size_t comparisons = 0;
    const std::vector<std::vector<std::size_t>> groups = group_by_place(keys, &comparisons);
    EXPECT_LE(comparisons, 2 * n * 17);  // 2 n log2 n; each with all others: n^2 / 2

    // The same groups as comparing each sample with the places found before it.
    std::vector<std::vector<std::size_t>> naive;
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < n; ++i) {
        auto [it, fresh] = seen.emplace(keys[i], naive.size());
        if (fresh) naive.emplace_back();
        naive[it->second].push_back(i);
    }
    EXPECT_EQ(groups, naive);
    EXPECT_GT(n / groups.size(), 2u);
}

// ---------------------------------------------------------------- the fuzz target's seeds

// The seeds of the readers' fuzz target, through its harness, in the ordinary suite (the
// sanitizer build's too), where clang and libFuzzer may be missing: each is a results
// folder or a score file that is read whole and drawn with every expectation held.
TEST(FuzzSeeds, EverySeedIsReadWholeByThePlotHarness) {
    std::size_t count = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(data_dir + "/../../fuzz/plot/seeds")) {
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string data = bytes.str();
        EXPECT_TRUE(plot::fuzz::plot_read(reinterpret_cast<const std::uint8_t*>(data.data()),
                                          data.size()))
            << e.path();
        ++count;
    }
    EXPECT_GE(count, 7u);
}

// The inputs that once broke the harness's expectations (a JSON number beyond a double,
// a score of 1e308, a line end in a factor's name) are refused, with one line naming
// the file, where they aborted.
TEST(FuzzSeeds, TheKeptCrashInputsAreRefused) {
    std::size_t count = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(data_dir + "/../../fuzz/plot/crashes")) {
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string data = bytes.str();
        EXPECT_FALSE(plot::fuzz::plot_read(reinterpret_cast<const std::uint8_t*>(data.data()),
                                           data.size()))
            << e.path();
        ++count;
    }
    EXPECT_GE(count, 3u);
}

// The seeds of the fuzz target of the run's table reader, through its harness: a pair of
// tables named read_... is read into a design (within the classic limits too, where it
// lies within them), one named refused_... is refused with a message that starts with the
// file or the --levels text at fault; every expectation of the harness holds for both.
TEST(FuzzSeeds, EverySeedIsReadOrRefusedAsNamedByTheTablesHarness) {
    std::size_t read = 0, refused = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(data_dir + "/../../fuzz/tables/seeds")) {
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string data = bytes.str();
        const bool expected = e.path().filename().string().rfind("read_", 0) == 0;
        EXPECT_EQ(tables::fuzz::tables_read(reinterpret_cast<const std::uint8_t*>(data.data()),
                                            data.size()),
                  expected)
            << e.path();
        ++(expected ? read : refused);
    }
    EXPECT_GE(read, 5u);
    EXPECT_GE(refused, 6u);
}

}  // namespace
