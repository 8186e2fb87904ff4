// From a species table and a table of sample labels to the design of one analysis:
// the objects in the species table's order, their abundances as written, and the
// labels of the main factor and of each nested factor, with the checks that the
// program's limits and a nested design impose (each subgroup under one group only).
#pragma once

#include "table.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace prepare {

// The program's capacity.
constexpr std::size_t max_objects = 501;
constexpr std::size_t max_species = 500;
constexpr std::size_t max_dummies = 200;
constexpr std::size_t max_factors = 3;

struct Factor {
    std::string column;               // its column name in the labels table
    long column_number = 0;           // 1-based, for messages
    std::vector<std::string> levels;  // in order of first appearance over the objects
    std::vector<int> level;           // per object: index into levels
    std::vector<int> parent;          // nested factors: per level, the parent's level
};

struct Design {
    std::string labels_name;                       // labels file, for messages
    std::vector<std::string> objects;              // sample names, species-table order
    std::vector<long> label_lines;                 // per object, its line in the labels file
    std::size_t species = 0;
    std::vector<std::vector<std::string>> values;  // per object, abundances as written
    std::vector<Factor> factors;                   // main factor first, then nested ones
};

// The text of an abundance as the response file takes it, or "" when the text is no
// number: an optional sign, digits with an optional point and fraction (or a point and
// a fraction, written with its leading 0), an optional exponent with E.
std::string number_text(const std::string& text);

// Throws tools::ToolError with file, line and column for every fault it meets. The
// species and sample limits are checked while the tables are read (TableLimits), so
// the tables must come from read_table with them.
Design build_design(const Table& species, const Table& labels,
                    const std::vector<std::string>& columns);

}  // namespace prepare
