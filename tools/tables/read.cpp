// Table options and the design of two files; see read.hpp.
#include "read.hpp"

namespace tables {

char TableOptions::delimiter() const {
    if (sep.empty()) return 0;
    return sep == "tab" ? '\t' : sep[0];
}

char TableOptions::decimal_mark() const { return decimal.empty() ? 0 : decimal[0]; }

void add_table_options(CLI::App& app, TableOptions& options) {
    app.add_option("--sep", options.sep,
                   "Column separator of both tables: , or ';' or tab (default: told from each "
                   "table's header line)")
        ->check(CLI::IsMember({",", ";", "tab"}));
    app.add_option("--decimal", options.decimal,
                   "Decimal mark of both tables: . or , (default: told from each table's "
                   "values; a comma-separated table has decimal points)")
        ->check(CLI::IsMember({".", ","}));
    app.add_option("--levels", options.levels,
                   "Order of a factor's levels in every output, COLUMN=LEVEL1,LEVEL2,... "
                   "(dose=0,0.1,0.9,6,44), the labels as the labels table writes them; "
                   "repeatable, one per factor (default: order of first appearance)")
        ->expected(1)
        ->take_all();
}

Design read_design(const std::string& species_path, const std::string& labels_path,
                   const std::vector<std::string>& columns, const TableOptions& options,
                   const DesignLimits& limits, const TablesRead& read) {
    DesignOptions d;
    for (const std::string& text : options.levels)
        d.level_orders.push_back(parse_level_order(text));
    const char delimiter = options.delimiter();
    Table species = read_table(species_path, {limits.species, limits.objects}, delimiter);
    // The labels table may hold samples that the species table does not: no row limit.
    Table labels = read_table(labels_path, {}, delimiter);
    if (read) read(species, labels);
    d.decimal = options.decimal_mark();
    d.species_delimiter = species.delimiter;
    d.labels_delimiter = labels.delimiter;
    d.max_dummies = limits.dummies;
    d.finer_nesting = limits.finer_nesting;
    d.crossed = limits.crossed;
    return build_design(species, labels, columns, d);
}

}  // namespace tables
