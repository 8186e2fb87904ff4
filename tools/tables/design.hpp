// From a species table and a table of sample labels to the design of one analysis:
// the objects in the species table's order, their abundances, and the labels of the
// main factor and of each nested factor, coded by the engine (morvenak::code_factors:
// levels in the order --levels gives or in order of first appearance, a nested
// factor's labels read within its parent), with the checks that the program's limits
// and a nested design impose.
// `morvenak run` and `morvenak prepare` both build their design here.
#pragma once

#include "table.hpp"

#include "morvenak/analysis.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace tables {

// The program's capacity.
constexpr std::size_t max_objects = 501;
constexpr std::size_t max_species = 500;
constexpr std::size_t max_dummies = 200;
constexpr std::size_t max_factors = 3;

// The limits a design is read within; 0 is no limit. `morvenak prepare` writes the
// classic files and reads within the classic ones; `morvenak run` reads any size and
// analyses a design beyond them through the library. Three factors are the limit of both.
// `finer_nesting`: every nested factor must give strictly more dummy variables than its
// parent, as the classic program checks its files' nesting order; the labels show the
// nesting, so the library needs only that a nested factor divide some level.
struct DesignLimits {
    std::size_t objects = 0;
    std::size_t species = 0;
    std::size_t dummies = 0;
    bool finer_nesting = false;
    // The columns are a model's variables (crossed factors, covariates, strata): each
    // coded on its own, with no nesting and no limit on their number.
    bool crossed = false;
};
constexpr DesignLimits classic_limits{max_objects, max_species, max_dummies, true};
constexpr DesignLimits no_limits{};

struct Factor {
    std::string column;                   // its column name in the labels table
    long column_number = 0;               // 1-based, for messages
    std::vector<std::string> labels;      // per object, as written
    std::vector<long> lines;              // per object, the line of its label
    std::vector<std::string> order;       // the levels' order given (--levels); empty: none
    morvenak::LevelCoding coding;         // levels, parents, counts, the level of each object
    std::vector<std::vector<int>> codes;  // the dummy variables, one column per variable
};

struct Design {
    std::string species_name;                // species file, for messages
    std::string labels_name;                 // labels file, for messages
    std::vector<std::string> objects;        // sample names, species-table order
    std::vector<long> label_lines;           // per object, its line in the labels file
    std::vector<long> species_lines;         // per object, its line in the species file
    std::vector<std::string> species_names;  // the species table's header, after the first
    std::size_t species = 0;
    std::vector<Texts> values;    // per object, abundances as the response file takes them
    std::vector<Factor> factors;  // main factor first, then nested ones
    std::size_t ignored = 0;      // labels rows of samples the species table lacks
    char decimal = '.';           // the species table's decimal mark
    char labels_decimal = '.';    // the labels table's, for the warnings

    std::size_t dummies() const;  // of all factors together
};

// Whether the design lies within `limits` (objects, species, dummy variables, the
// nesting).
bool within(const Design& d, const DesignLimits& limits);

// "" when every nested factor gives strictly more dummy variables than its parent;
// else the first that does not, in words ("the nested factor Moisture gives 7 dummy
// variables (18 subgroups in 11 groups of Use), not more than the 7 of Use").
std::string coarse_nesting(const Design& d);

// The text of an abundance as the response file takes it, or "" when the text is no
// number: an optional sign, digits with an optional decimal mark and fraction (or a mark
// and a fraction, written with its leading 0), an optional exponent with E. The decimal
// mark `decimal` is written as a point.
std::string number_text(std::string_view text, char decimal = '.');

// The decimal mark of the abundances of a table (columns 2 on): ',' when some value
// reads as a number only with a decimal comma and none holds a point, '.' otherwise.
// A table whose values hold both cannot be told: a tools::ToolError says so, names a
// value of each kind and --decimal. A comma-separated table has decimal points.
char detect_decimal(const Table& t, char delimiter, const std::vector<std::size_t>& columns = {});

// The order of a factor's levels (--levels COLUMN=L1,L2,...): its labels as the labels
// table writes them. For a nested factor it orders the subgroups within each parent.
struct LevelOrder {
    std::string column;
    std::vector<std::string> levels;
};

// The option's text read into an order; a tools::ToolError names the option and what
// is wrong (no "=", no column, an empty level, a level given twice).
LevelOrder parse_level_order(const std::string& text);

// Throws tools::ToolError with file, line and column for every fault it meets. The
// species and sample limits are checked while the tables are read (TableLimits), so
// the tables must come from read_table with them; the dummy variables' limit is
// `max_dummies` (0: none). `decimal` is the decimal mark of
// both tables, or 0 to detect it in each; the delimiters are those the tables were
// read with (for the detection).
struct DesignOptions {
    char decimal = 0;
    char species_delimiter = ',';
    char labels_delimiter = ',';
    std::size_t max_dummies = tables::max_dummies;
    bool finer_nesting = true;  // refuse a nested factor no finer than its parent (DesignLimits)
    bool crossed = false;       // each column coded on its own (DesignLimits)
    // Levels in these orders; every label of the factor must be listed, and every
    // level listed must be some sample's.
    std::vector<LevelOrder> level_orders;
};
Design build_design(const Table& species, const Table& labels,
                    const std::vector<std::string>& columns, const DesignOptions& options = {});

}  // namespace tables
