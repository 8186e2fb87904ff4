// Tests of morvenak-prepare's parts: table reading, the design checks, the contrast
// coding (exact zero sums and cross-products on unbalanced designs) and the file texts.
#include "common/newfiles.hpp"
#include "common/toolerror.hpp"
#include "prepare/writer.hpp"
#include "tables/design.hpp"
#include "tables/table.hpp"

#include "text/channels.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <unistd.h>

namespace {

using namespace prepare;
using namespace tables;
using tools::error_of;
using tools::failure_of;

const std::string data_dir = TOOLS_TEST_DATA;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The two sums that the program's coding check forms, in its order, in double
// precision, compared with 0 exactly.
void expect_exact_coding(const std::vector<Column>& cols) {
    for (std::size_t j = 0; j < cols.size(); ++j) {
        double sum = 0;
        for (int v : cols[j]) sum += static_cast<double>(v);
        EXPECT_EQ(sum, 0.0) << "column " << j + 1;
        for (std::size_t k = j + 1; k < cols.size(); ++k) {
            double cross = 0;
            for (std::size_t i = 0; i < cols[j].size(); ++i)
                cross += static_cast<double>(cols[j][i]) * static_cast<double>(cols[k][i]);
            EXPECT_EQ(cross, 0.0) << "columns " << j + 1 << " and " << k + 1;
        }
    }
}

// The row of object i across the columns.
std::vector<int> row_of(const std::vector<Column>& cols, std::size_t i) {
    std::vector<int> r;
    for (const Column& c : cols) r.push_back(c[i]);
    return r;
}

// ---------------------------------------------------------------- tables

TEST(Table, ReadsQuotedFieldsAndKeepsLineNumbers) {
    Table t = parse_table("\"\",\"a b\",c\n\"s1\",1, 2\n\n\"s,2\",3,\"4\"\n", "t.csv", ',');
    ASSERT_EQ(t.header, (std::vector<std::string>{"", "a b", "c"}));
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0][2].text, "2");  // blanks around an unquoted field go
    EXPECT_EQ(t.rows[1][0].text, "s,2");
    EXPECT_EQ(t.rows[1][0].line, 4);  // the blank line 3 still counts
}

// A quoted field may hold line ends: each field keeps the line it ends on, and
// the fields of a row after it keep theirs. Empty fields keep their place.
TEST(Table, FieldsKeepTheirLinesAcrossQuotedLineEnds) {
    Table t = parse_table("id,a,b,c\ns1,\"x\ny\",,z\ns2,,\"\n\n\",w\n", "t.csv", ',');
    ASSERT_EQ(t.rows.size(), 2u);
    const Fields& r = t.rows[0];
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].text, "s1");
    EXPECT_EQ(r[0].line, 2);
    EXPECT_EQ(r[1].text, "x\ny");
    EXPECT_EQ(r[1].line, 3);
    EXPECT_EQ(r[2].text, "");
    EXPECT_EQ(r[2].line, 3);
    EXPECT_EQ(r[3].text, "z");
    EXPECT_EQ(r[3].line, 3);
    const Fields& s = t.rows[1];
    EXPECT_EQ(s[0].line, 4);
    EXPECT_EQ(s[1].text, "");
    EXPECT_EQ(s[1].line, 4);
    EXPECT_EQ(s[2].text, "\n\n");
    EXPECT_EQ(s[2].line, 6);
    EXPECT_EQ(s.back().text, "w");
    EXPECT_EQ(s.back().line, 6);
}

TEST(Table, TabsCrLfAndByteOrderMark) {
    const std::string text = "\xEF\xBB\xBFid\tsp 1\tsp2\r\nx\t0.5\t 7\r\n";
    ASSERT_EQ(detect_delimiter(text), '\t');
    Table t = parse_table(text, "t.tsv", '\t');
    EXPECT_EQ(t.header, (std::vector<std::string>{"id", "sp 1", "sp2"}));
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.rows[0][1].text, "0.5");
    EXPECT_EQ(t.rows[0][2].text, "7");
    EXPECT_EQ(detect_delimiter("a,b\nc\td\n"), ',');
}

TEST(Table, RaggedRowsNameLineAndColumn) {
    EXPECT_EQ(error_of([] { parse_table("id,a,b\nx,1,2\ny,1\n", "t.csv", ','); }),
              "t.csv, line 3, column 3: the row has 2 fields, the header has 3");
    EXPECT_EQ(error_of([] { parse_table("id,a,b\nx,1,2,3\n", "t.csv", ','); }),
              "t.csv, line 2, column 4: the row has 4 fields, the header has 3");
}

TEST(Table, BadQuotingAndEmptyFile) {
    std::string e = error_of([] { parse_table("id,a\nx,\"1\"2\n", "t.csv", ','); });
    EXPECT_EQ(e.rfind("t.csv, line 2: ", 0), 0u) << e;
    EXPECT_EQ(error_of([] { parse_table("id,a\nx,\"1\n", "t.csv", ','); }),
              "t.csv, line 2: a quoted field is not closed");
    EXPECT_EQ(error_of([] { parse_table("\n\n", "t.csv", ','); }), "t.csv: the table is empty");
}

// ---------------------------------------------------------------- design checks

TEST(NumberText, KeepsNumbersAsWrittenAndRefusesTheRest) {
    EXPECT_EQ(number_text("7"), "7");
    EXPECT_EQ(number_text("-0.50"), "-0.50");
    EXPECT_EQ(number_text("+3."), "+3.");
    EXPECT_EQ(number_text("1.5e-3"), "1.5e-3");
    EXPECT_EQ(number_text("2E+10"), "2E+10");
    EXPECT_EQ(number_text(".25"), "0.25");  // the one form that gets a digit added
    EXPECT_EQ(number_text("-.25"), "-0.25");
    for (const char* bad : {"", ".", "-", "NA", "1,5", "1e", "1e+", "0x10", "inf", "3 4", "1.2.3", "5*2"})
        EXPECT_EQ(number_text(bad), "") << bad;
}

std::vector<std::string> strings(const Texts& texts) {
    std::vector<std::string> out;
    for (std::size_t k = 0; k < texts.size(); ++k) out.emplace_back(texts[k]);
    return out;
}

Table table(const std::string& text, const std::string& name) {
    return parse_table(text, name, ',');
}

const char* species_text = "id,sp1,sp2\na,1,0\nb,2,.5\nc,0,3\nd,4,4\n";

TEST(Design, MatchesSamplesInSpeciesOrder) {
    Table sp = table(species_text, "sp.csv");
    Table lab = table("id,G,H\nd,x,p\nc,y,q\nb,x,r\na,y,s\n", "lab.csv");
    Design d = build_design(sp, lab, {"G", "H"});
    EXPECT_EQ(d.objects, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(strings(d.values[1]), (std::vector<std::string>{"2", "0.5"}));
    // Levels in order of first appearance over the objects a, b, c, d.
    EXPECT_EQ(d.factors[0].coding.levels, (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(d.factors[0].coding.level_of, (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(d.factors[1].coding.levels, (std::vector<std::string>{"s", "r", "q", "p"}));
    EXPECT_EQ(d.factors[1].coding.parent, (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(d.ignored, 0u);
    EXPECT_EQ(d.label_lines, (std::vector<long>{5, 4, 3, 2}));
}

TEST(Design, SpeciesSamplesMissingFromTheLabelsAndLabelsOfOtherSamples) {
    Table sp = table(species_text, "sp.csv");
    EXPECT_EQ(error_of([&] { build_design(sp, table("id,G\na,x\nb,x\nd,y\n", "lab.csv"), {"G"}); }),
              "sp.csv, line 4, column 1: sample \"c\" is not in lab.csv; add its labels there, or "
              "leave the sample out of sp.csv");
    // Labels of samples the species table does not hold are counted and left out.
    Design d = build_design(sp, table("id,G\ne,z\na,x\nb,x\nf,z\nc,y\nd,y\n", "lab.csv"), {"G"});
    EXPECT_EQ(d.ignored, 2u);
    EXPECT_EQ(d.factors[0].coding.levels, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(d.label_lines, (std::vector<long>{3, 4, 6, 7}));
    EXPECT_EQ(error_of([&] {
                  build_design(sp, table("id,G\na,x\nb,x\nc,y\nd,y\nb,y\n", "lab.csv"), {"G"});
              }),
              "lab.csv, line 6, column 1: sample \"b\" appears a second time (first at line 3)");
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,s\na,1\nb,2\na,3\n", "sp.csv"),
                               table("id,G\na,x\nb,y\n", "lab.csv"), {"G"});
              }),
              "sp.csv, line 4, column 1: sample \"a\" appears a second time (first at line 2)");
    // A quoted name that holds a line end stays on the message's one line.
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,s\n\"a\n1\",1\nb,2\n", "sp.csv"), table("id,G\nb,x\n", "lab.csv"),
                               {"G"});
              }),
              "sp.csv, line 3, column 1: sample \"a\\n1\" is not in lab.csv; add its labels there, or leave "
              "the sample out of sp.csv");
}

TEST(Design, NonNumericAndEmptyAbundances) {
    Table lab = table("id,G\na,x\nb,x\nc,y\nd,y\n", "lab.csv");
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,sp1,sp2\na,1,0\nb,2,x7\nc,0,3\nd,4,4\n", "sp.csv"), lab,
                               {"G"});
              }),
              "sp.csv, line 3, column 3 (sp2): \"x7\" is not a number");
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,sp1,sp2\na,1,0\nb,2,1\nc,,3\nd,4,4\n", "sp.csv"), lab,
                               {"G"});
              }),
              "sp.csv, line 4, column 2 (sp1): the abundance is empty; write 0 for a species not "
              "found");
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,sp1,sp2\na,1,0\nb,2,1\nc,NA,3\nd,4,4\n", "sp.csv"), lab,
                               {"G"});
              }),
              "sp.csv, line 4, column 2 (sp1): the abundance is missing (NA); write 0 for a species "
              "not found");
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,sp1,sp1\na,1,0\nb,2,1\nc,0,3\nd,4,4\n", "sp.csv"), lab,
                               {"G"});
              }),
              "sp.csv, line 1, column 3: species \"sp1\" appears a second time (first in column 2); "
              "give each species column its own name");
    // A decimal comma in a comma-separated table (quoted) says which option reads it.
    EXPECT_EQ(error_of([&] {
                  build_design(table("id,sp1\na,1\nb,\"2,5\"\nc,0\nd,4\n", "sp.csv"), lab, {"G"});
              }),
              "sp.csv, line 3, column 2 (sp1): \"2,5\" is not a number with a decimal point; for "
              "decimal commas give --decimal ,");
}

TEST(Design, SemicolonsAndDecimalCommasAreToldFromEachTable) {
    EXPECT_EQ(detect_delimiter("\"\";\"a,b\";c\n"), ';');  // the comma is inside quotes
    EXPECT_EQ(detect_delimiter("id\n"), ',');
    EXPECT_EQ(error_of([] { detect_delimiter("id,a;b\n", "t.csv"); }),
              "t.csv, line 1: the header holds both commas and semicolons, so the separator "
              "cannot be told; name it with --sep , or --sep ';'");
    EXPECT_EQ(number_text("-1,5e2", ','), "-1.5e2");
    EXPECT_EQ(number_text(",5", ','), "0.5");

    Table lab = parse_table("id;G\na;x\nb;x\nc;y\nd;y\n", "lab.csv", ';');
    DesignOptions o;
    o.species_delimiter = o.labels_delimiter = ';';
    Table sp = parse_table("id;sp1;sp2\na;1,5;0\nb;2;0,25\nc;0;3\nd;4;4\n", "sp.csv", ';');
    Design d = build_design(sp, lab, {"G"}, o);
    EXPECT_EQ(d.decimal, ',');
    EXPECT_EQ(strings(d.values[0]), (std::vector<std::string>{"1.5", "0"}));
    EXPECT_EQ(strings(d.values[1]), (std::vector<std::string>{"2", "0.25"}));
    Table both = parse_table("id;sp1;sp2\na;1,5;0\nb;2;0.25\nc;0;3\nd;4;4\n", "sp.csv", ';');
    tools::Failure f = failure_of([&] { build_design(both, lab, {"G"}, o); });
    EXPECT_EQ(f.message, "sp.csv: \"0.25\" (line 3, column 3) has a decimal point and \"1,5\" "
                         "(line 2, column 2) a decimal comma, so the decimal mark cannot be told; "
                         "name it with --decimal . or --decimal ,");
    EXPECT_EQ(f.status, 2);
    o.decimal = ',';  // named: "0.25" is then no number
    EXPECT_EQ(error_of([&] { build_design(both, lab, {"G"}, o); }),
              "sp.csv, line 3, column 3 (sp2): \"0.25\" is not a number");
}

TEST(Design, ColumnsAndLabels) {
    Table sp = table(species_text, "sp.csv");
    Table lab = table("id,G,H\na,x,p\nb,x,\nc,y,q\nd,y,q\n", "lab.csv");
    EXPECT_EQ(error_of([&] { build_design(sp, lab, {"K"}); }),
              "lab.csv, line 1: no column is named \"K\" (the columns are: G, H)");
    EXPECT_EQ(error_of([&] { build_design(sp, lab, {"G", "G"}); }),
              "column \"G\" was given for two factors; each factor needs its own column");
    EXPECT_EQ(error_of([&] { build_design(sp, lab, {"G", "H"}); }),
              "lab.csv, line 3, column 3 (H): the label of sample \"b\" is empty; give every sample "
              "a label, or leave it out of sp.csv");
    EXPECT_EQ(error_of([&] { build_design(sp, lab, {"G", "H", "G", "H"}); }),
              "4 factor columns were given; the program takes at most 3 (a main factor and "
              "two nested ones)");
}

TEST(Design, NestedLabelsAreReadWithinTheirParent) {
    // Use repeats its labels under several managements: read within Management it
    // gives the management-by-use cells, coded as the reference files of Cell.
    Table sp = read_table(data_dir + "/dune/dune.csv");
    Table env = read_table(data_dir + "/dune/dune.env.csv");
    Design d = build_design(sp, env, {"Management", "Use"});
    EXPECT_EQ(d.factors[1].coding.levels.size(), 11u);
    EXPECT_EQ(factor_text(d.factors[1].codes, 20), slurp(data_dir + "/dune/expected/X2.txt"));
    // The second nested factor is read within the first one, which is read within the
    // main factor: "q" under "x" and under "y" are two subgroups, "u" under each of them
    // a sub-subgroup of its own.
    Table sp8 = table("id,s\na,1\nb,2\nc,3\nd,4\ne,5\nf,6\ng,7\nh,8\n", "sp.csv");
    Table lab = table("id,G,H,K\na,x,p,u\nb,x,p,v\nc,x,q,u\nd,x,q,v\ne,y,q,u\nf,y,q,v\n"
                      "g,y,s,u\nh,y,s,v\n", "lab.csv");
    Design d3 = build_design(sp8, lab, {"G", "H", "K"});
    EXPECT_EQ(d3.factors[1].coding.levels, (std::vector<std::string>{"p", "q", "q", "s"}));
    EXPECT_EQ(d3.factors[1].coding.parent, (std::vector<int>{0, 0, 1, 1}));
    EXPECT_EQ(d3.factors[2].coding.levels,
              (std::vector<std::string>{"u", "v", "u", "v", "u", "v", "u", "v"}));
    EXPECT_EQ(d3.factors[2].coding.parent, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3}));
}

// The limits are the reader's: it stops at the first column or row beyond them, so
// whatever follows (here quoting errors) is never reached.
TEST(Table, StopsAtTheFirstColumnOrRowBeyondTheLimits) {
    const TableLimits limits{max_species, max_objects};
    auto wide = [](std::size_t species) {
        std::string s = "id";
        for (std::size_t j = 0; j < species; ++j) s += ",s" + std::to_string(j);
        return s;
    };
    EXPECT_EQ(parse_table(wide(500) + "\n", "sp.csv", ',', limits).header.size(), 501u);
    // 100,000 columns, then more than a parser's piece of text before a stray quote.
    const std::string header = wide(100000) + std::string(70000, 'x') + "\"\n";
    EXPECT_EQ(error_of([&] { parse_table(header, "sp.csv", ','); }),
              "sp.csv, line 1: error parsing data while strict checking enabled (a quote "
              "inside a field must be doubled)");
    tools::Failure f = failure_of([&] { parse_table(header, "sp.csv", ',', limits); });
    EXPECT_EQ(f.message, "sp.csv, line 1, column 502: more than 500 species; the program takes "
                         "at most 500");
    EXPECT_EQ(f.status, 1);

    std::string tall = "id,sp\n";
    for (int i = 0; i < 501; ++i) tall += "o" + std::to_string(i) + ",1\n";
    EXPECT_EQ(parse_table(tall, "sp.csv", ',', limits).rows.size(), 501u);
    tall += "\n\"o501\",1\n\"unclosed";
    f = failure_of([&] { parse_table(tall, "lab.csv", ',', {0, max_objects}); });
    EXPECT_EQ(f.message, "lab.csv, line 504, column 1: more than 501 samples; the program takes "
                         "at most 501 objects");
    EXPECT_EQ(f.status, 1);
    // Without limits the same text goes on to its quoting error.
    f = failure_of([&] { parse_table(tall, "lab.csv", ','); });
    EXPECT_EQ(f.message, "lab.csv, line 505: a quoted field is not closed");
    EXPECT_EQ(f.status, 2);
}

TEST(Table, BinaryAndEndlessInputEndWithAMessage) {
    tools::Failure f = failure_of([] { parse_table(std::string("id,a\nx,1\0\n", 11), "t.csv", ','); });
    EXPECT_EQ(f.message, "t.csv, line 2: the file holds a NUL byte; a table is plain text");
    EXPECT_EQ(f.status, 2);
    f = failure_of([] { read_table("/dev/zero"); });
    EXPECT_EQ(f.message, "/dev/zero, line 1: the file holds a NUL byte; a table is plain text");
    EXPECT_EQ(f.status, 2);
    // A row that never ends: in the header (held whole to find the delimiter), later on,
    // and as a quoted field that runs over line after line. The reading stops at the
    // row limit; here 256 KiB, so that the sanitizer builds reach it quickly too.
    TableLimits small;
    small.row_bytes = std::size_t{256} << 10;
    const std::string endless(small.row_bytes + 1, 'a');
    EXPECT_EQ(error_of([&] { parse_table(endless, "t.csv", ',', small); }),
              "t.csv, line 1: more than 256 KiB without the end of a row; a row of a table "
              "takes at most 256 KiB");
    EXPECT_EQ(error_of([&] { parse_table("id,a\nx," + endless, "t.csv", ',', small); }),
              "t.csv, line 2: more than 256 KiB without the end of a row; a row of a table "
              "takes at most 256 KiB");
    std::string lines = "id,a\nx,\"";
    while (lines.size() <= small.row_bytes + 16) lines += std::string(1023, 'b') + "\n";
    EXPECT_EQ(error_of([&] { parse_table(lines, "t.csv", ',', small); }),
              "t.csv, line 257: more than 256 KiB without the end of a row; a row of a table "
              "takes at most 256 KiB");
    // The limit of every real reading is 64 MiB.
    EXPECT_EQ(TableLimits{}.row_bytes, std::size_t{64} << 20);
}

TEST(Table, FilesThatCannotBeRead) {
    EXPECT_EQ(error_of([] { read_table(data_dir); }),
              data_dir + ": cannot open the file: Is a directory");
    EXPECT_EQ(error_of([] { read_table(data_dir + "/none.csv"); }),
              data_dir + "/none.csv: cannot open the file: No such file or directory");
}

TEST(Design, TooManyFactorsIsBeyondTheLimits) {
    Table sp = table(species_text, "sp.csv");
    Table lab = table("id,G,H\na,x,p\nb,x,q\nc,y,r\nd,y,s\n", "lab.csv");
    tools::Failure f = failure_of([&] { build_design(sp, lab, {"G", "H", "G", "H"}); });
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(failure_of([&] { build_design(sp, lab, {"K"}); }).status, 2);
}

// ---------------------------------------------------------------- coding

TEST(Coding, WorkedExampleOfThreeUnequalLevels) {
    // Levels a (2 objects), b (1), c (3), met in the order a b a c c c.
    Table sp = table("id,s\n1,1\n2,2\n3,3\n4,4\n5,5\n6,6\n", "sp.csv");
    Table lab = table("id,G\n1,a\n2,b\n3,a\n4,c\n5,c\n6,c\n", "lab.csv");
    const std::vector<Column> cols = build_design(sp, lab, {"G"}).factors[0].codes;
    ASSERT_EQ(cols.size(), 2u);
    EXPECT_EQ(cols[0], (Column{1, -2, 1, 0, 0, 0}));
    EXPECT_EQ(cols[1], (Column{3, 3, 3, -3, -3, -3}));
    expect_exact_coding(cols);
}

// Random unbalanced designs: main factor, then one and two nested factors whose labels
// repeat under every parent.
TEST(Coding, ExactZeroSumsAndCrossProductsOnUnbalancedDesigns) {
    std::mt19937 gen(20240611);
    int checked = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 20 + gen() % 482;  // up to 501 objects
        const int groups = 2 + static_cast<int>(gen() % 6);
        const int per_group = 1 + static_cast<int>(gen() % 5);
        const int per_sub = 1 + static_cast<int>(gen() % 3);
        std::string s = "id,sp\n", l = "id,A,B,C\n";
        for (std::size_t i = 0; i < n; ++i) {
            int g = static_cast<int>(gen() % static_cast<unsigned>(groups));
            if (i < static_cast<std::size_t>(groups)) g = static_cast<int>(i);  // every group met
            const int b = static_cast<int>(gen() % static_cast<unsigned>(per_group));
            const int c = static_cast<int>(gen() % static_cast<unsigned>(per_sub));
            s += "o" + std::to_string(i) + "," + std::to_string(i % 7) + "\n";
            l += "o" + std::to_string(i) + ",g" + std::to_string(g) + ",b" + std::to_string(b) + ",c" +
                 std::to_string(c) + "\n";
        }
        Design d;
        try {
            d = build_design(table(s, "sp.csv"), table(l, "lab.csv"), {"A", "B", "C"});
        } catch (const tools::ToolError& e) {
            // Only a draw whose nested factor adds no dummy variable is refused.
            EXPECT_NE(std::string(e.what()).find("the program needs a nested factor to give strictly more"),
                      std::string::npos) << e.what();
            continue;
        }
        ++checked;
        std::vector<Column> all;
        for (std::size_t f = 0; f < 3; ++f) {
            const std::vector<Column>& cols = d.factors[f].codes;
            const morvenak::LevelCoding& c = d.factors[f].coding;
            std::size_t groups_above = f == 0 ? 1 : d.factors[f - 1].coding.levels.size();
            ASSERT_EQ(cols.size(), c.levels.size() - groups_above) << "factor " << f;
            expect_exact_coding(cols);
            // Equal rows exactly for objects of one level, different rows otherwise
            // (taken with the rows of the factors above, which tell the groups apart).
            std::vector<Column> upto = all;
            upto.insert(upto.end(), cols.begin(), cols.end());
            for (std::size_t i = 0; i < n; i += 7)
                for (std::size_t k = i + 1; k < n; k += 5)
                    EXPECT_EQ(row_of(upto, i) == row_of(upto, k), c.level_of[i] == c.level_of[k]);
            // Nested contrasts are 0 outside their group.
            if (f > 0)
                for (const Column& col : cols) {
                    int group = -1;
                    for (std::size_t i = 0; i < n; ++i)
                        if (col[i] != 0) {
                            int g = d.factors[f - 1].coding.level_of[i];
                            if (group < 0) group = g;
                            EXPECT_EQ(g, group);
                        }
                }
            for (const Column& col : cols)
                for (int v : col) EXPECT_LT(std::abs(v), static_cast<int>(n));
            all.insert(all.end(), cols.begin(), cols.end());
        }
        // All files together are orthogonal too: no collinearity between them.
        expect_exact_coding(all);
    }
    EXPECT_GE(checked, 10);
}

TEST(Coding, DuneManagementWithItsCellsGivesTheReferenceFiles) {
    Table sp = read_table(data_dir + "/dune/dune.csv");
    Table env = read_table(data_dir + "/dune/dune.env.cells.csv");
    Design d = build_design(sp, env, {"Management", "Cell"});
    ASSERT_EQ(d.factors.size(), 2u);
    EXPECT_EQ(d.factors[0].codes.size(), 3u);
    EXPECT_EQ(d.factors[1].codes.size(), 7u);
    EXPECT_EQ(response_text(d), slurp(data_dir + "/dune/expected/Y.txt"));
    EXPECT_EQ(factor_text(d.factors[0].codes, 20), slurp(data_dir + "/dune/expected/X1.txt"));
    EXPECT_EQ(factor_text(d.factors[1].codes, 20), slurp(data_dir + "/dune/expected/X2.txt"));
}

TEST(Coding, ChecksThatTheProgramMakes) {
    Table sp = table(species_text, "sp.csv");
    // One level per group: the nested factor adds nothing.
    Table lab = table("id,G,H,One\na,x,p,o\nb,x,q,o\nc,y,r,o\nd,z,s,o\n", "lab.csv");
    EXPECT_EQ(error_of([&] { build_design(sp, lab, {"One"}); }),
              "lab.csv, column 4 (One): the main factor has one level only (\"o\"); it needs "
              "at least two");
    EXPECT_EQ(error_of([&] { build_design(sp, lab, {"G", "H"}); }),
              "lab.csv, column 3 (H): the nested factor gives 1 dummy variable (4 subgroups in "
              "3 groups of G), not more than the 2 of G; the program needs a nested factor to "
              "give strictly more");
    // As many dummy variables as the parent is not enough either; one more is.
    Table sp6 = table("id,s\na,1\nb,2\nc,3\nd,4\ne,5\nf,6\ng,7\n", "sp.csv");
    Table lab6 = table("id,G,H,K\na,x,p,p\nb,x,q,q\nc,y,r,r\nd,y,t,t\ne,z,s,s\nf,z,s,u\ng,z,s,u\n",
                       "lab.csv");
    EXPECT_EQ(error_of([&] { build_design(sp6, lab6, {"G", "H"}); }),
              "lab.csv, column 3 (H): the nested factor gives 2 dummy variables (5 subgroups in "
              "3 groups of G), not more than the 2 of G; the program needs a nested factor to "
              "give strictly more");
    EXPECT_EQ(build_design(sp6, lab6, {"G", "K"}).factors[1].codes.size(), 3u);
    // 202 levels: 201 dummy variables.
    std::string s = "id,sp\n", l = "id,G\n";
    for (int i = 0; i < 202; ++i) {
        s += "o" + std::to_string(i) + ",1\n";
        l += "o" + std::to_string(i) + ",L" + std::to_string(i) + "\n";
    }
    Table sp202 = table(s, "sp.csv"), lab202 = table(l, "lab.csv");
    EXPECT_EQ(error_of([&] { build_design(sp202, lab202, {"G"}); }),
              "lab.csv: the factors need 201 dummy variables in all (G 201); the program takes "
              "at most 200");
    // Without the limit (the run command) the same design builds, and lies beyond the
    // classic limits by its dummy variables alone.
    DesignOptions unlimited;
    unlimited.max_dummies = 0;
    const Design d202 = build_design(sp202, lab202, {"G"}, unlimited);
    EXPECT_EQ(d202.dummies(), 201u);
    EXPECT_FALSE(within(d202, classic_limits));
    EXPECT_TRUE(within(d202, no_limits));
    EXPECT_TRUE(within(build_design(sp6, lab6, {"G", "K"}), classic_limits));
}

// ---------------------------------------------------------------- file texts

// A temporary folder, removed with everything in it at the end of the test.
struct TempFolder {
    std::filesystem::path path;
    explicit TempFolder(const std::string& tag)
        : path(std::filesystem::temp_directory_path() /
               ("prepare_tests_" + tag + "_" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempFolder() { std::filesystem::remove_all(path); }
};

// The names of a file of file names as the program takes them: its reader reads the
// count and each name, and each file is opened by the name read (in folder, where a
// file of each name is made first). The names of the units opened come back.
std::vector<std::string> names_as_the_program_reads(const std::string& text,
                                                    const std::vector<std::string>& names,
                                                    const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    for (const std::string& name : names) {
        fs::create_directories((folder / name).parent_path());
        std::ofstream(folder / name) << "";
    }
    const fs::path fofn = folder / "fofn.txt";
    std::ofstream(fofn, std::ios::binary) << text;
    const fs::path before = fs::current_path();
    fs::current_path(folder);
    std::vector<std::string> got;
    try {
        morvenak::open_old(morvenak::kFofnUnit, "fofn.txt");
        int count = 0;
        morvenak::read_int(morvenak::kFofnUnit, count);
        for (int k = 0; k < count; ++k) {
            std::string name;
            morvenak::read_text(morvenak::kFofnUnit, name);
            morvenak::open_old(morvenak::kResponseUnit, name);
            std::string opened = morvenak::unit_name(morvenak::kResponseUnit);
            got.push_back(opened.substr(0, opened.find_last_not_of(' ') + 1));
            morvenak::close_unit(morvenak::kResponseUnit);
        }
    } catch (const morvenak::RunEnd& end) {
        got.push_back("RunEnd: " + end.message);
    }
    morvenak::close_all();
    fs::current_path(before);
    return got;
}

TEST(Writer, EveryNameIsReadBackByTheProgramAsWritten) {
    const std::vector<std::string> names{
        "Y.txt",          "2*Y.txt",         "2*'Y.txt'",        "3*",
        "my Y.txt",       "it's,X1.txt",     "''.txt",           "\"dq\" X2.txt",
        "a/b c/Y.txt",    "../up.txt",       " lead.txt",        "tab\there.txt",
        "cr\rhere.txt",   "end\r",           "a/b,/c.txt",       "r*v/x.txt",
        "\xC3\xA9t\xC3\xA9 \xE6\x9D\xB1.txt", "\xFF\xFE\x80.txt", "*", ",",
        std::string(72, 'n') + "Y.txt" + "xx"};  // 79 characters
    EXPECT_EQ(names.back().size(), max_name_length);
    std::vector<std::string> in_folder;  // "../up.txt" must stay inside the folder
    for (const std::string& n : names) in_folder.push_back(n == "../up.txt" ? "d/../up.txt" : n);
    TempFolder dir("names");
    const std::string text = names_text(in_folder);
    EXPECT_EQ(names_as_the_program_reads(text, in_folder, dir.path), in_folder);
    EXPECT_EQ(names_text({"Y.txt", "it's,X1.txt"}), "2\n'Y.txt'\n'it''s,X1.txt'\n");
}

TEST(Writer, NamesTheProgramCannotReadBackAreRefused) {
    std::string long_name(80, 'a');
    EXPECT_EQ(error_of([&] { names_text({"Y.txt", long_name}); }),
              "the file name \"" + long_name + "\" has 80 characters; the program reads at most 79");
    tools::Failure f = failure_of([] { names_text({"2\nY.txt"}); });
    EXPECT_EQ(f.message, "the file name \"2?Y.txt\" holds a line end; the program reads each "
                         "name from one line");
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(error_of([] { check_file_name(std::string("a\0b", 3)); }),
              "the file name \"a?b\" holds a NUL byte, which no file name can hold");
    EXPECT_EQ(error_of([] { check_file_name("Y.txt "); }),
              "the file name \"Y.txt \" ends in a blank, which the program drops");
    EXPECT_EQ(error_of([] { check_file_name(""); }), "a file name is empty");
}

TEST(NewFiles, NothingIsWrittenWhenOneExists) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("prepare_tests_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string a = (dir / "a.txt").string(), b = (dir / "b.txt").string();
    { std::ofstream(b) << "keep"; }
    EXPECT_EQ(error_of([&] { tools::write_new_files({{a, "new a"}, {b, "new b"}}); }),
              b + ": the file exists already; nothing was written (remove it or choose another "
                  "output folder or prefix)");
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(slurp(b), "keep");
    fs::remove(b);
    tools::write_new_files({{a, "new a"}, {b, "new b"}});
    EXPECT_EQ(slurp(a), "new a");
    EXPECT_EQ(slurp(b), "new b");
    fs::remove_all(dir);
}

}  // namespace
