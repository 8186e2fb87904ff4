// The options that say how both tables are written and read (--sep, --decimal, the
// levels' order --levels), and the design read from the two files with them: what
// `morvenak run` and `morvenak prepare` share.
#pragma once

#include "design.hpp"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace tables {

struct TableOptions {
    std::string sep;                  // ",", ";" or "tab"; empty: detected in each table
    std::string decimal;              // "." or ","; empty: detected in each table
    std::vector<std::string> levels;  // --levels COLUMN=L1,L2,..., as given
    char delimiter() const;
    char decimal_mark() const;
};

void add_table_options(CLI::App& app, TableOptions& options);

// Reads both tables (the species table within the limits of species and objects) and
// builds their design (within the limit of dummy variables). Throws tools::ToolError;
// a design beyond the limits has status 1. `read`, when given, is told the tables
// (species, labels) once both are read, before the design is built from them; what it
// throws goes on.
using TablesRead = std::function<void(const Table& species, const Table& labels)>;
Design read_design(const std::string& species_path, const std::string& labels_path,
                   const std::vector<std::string>& columns, const TableOptions& options,
                   const DesignLimits& limits, const TablesRead& read = {});

}  // namespace tables
