// Classic score files and their tables; see classic.hpp.
#include "classic.hpp"

#include "scorefile.hpp"

#include "../common/toolerror.hpp"
#include "../tables/table.hpp"

#include <map>

namespace plot {

using tools::ToolError;
using tools::where;

PlotInput read_classic(const std::string& score_file, const ClassicTables& t) {
    PlotInput in;
    in.source = score_file;
    const std::vector<Ordination> all = read_score_file(score_file);
    std::size_t objects = 0;
    for (std::size_t k = 0; k < all.size(); ++k) {
        Scores s;
        s.number = static_cast<int>(k + 1);
        s.title = all[k].title;
        s.eigenvalues = all[k].eigenvalues;
        for (double p : all[k].percent) s.proportions.push_back(p / 100);
        s.objects = all[k].scores;
        if (!s.objects.empty()) objects = s.objects.size();
        in.ordinations.push_back(s);
    }
    if (t.species.empty()) return in;

    const tables::Table species = tables::read_table(t.species);
    if (!all.empty() && species.rows.size() != objects)
        throw ToolError(t.species + ": " + std::to_string(species.rows.size()) + " samples, but " +
                        score_file + " has " + std::to_string(objects) +
                        " objects; give the species table the run was made from");
    if (!all.empty() && all.size() != t.columns.size() + 1)
        throw ToolError(score_file + " holds " + std::to_string(all.size()) +
                        " ordinations, those of " + std::to_string(all.size() - 1) +
                        " factors and of the residuals, but " + std::to_string(t.columns.size()) +
                        " factor columns were given (--main, --nested)");
    for (const auto& row : species.rows) in.samples.emplace_back(row[0].text);

    const tables::Table labels = tables::read_table(t.labels);
    std::map<std::string, std::size_t> row_of;
    for (std::size_t r = 0; r < labels.rows.size(); ++r) {
        auto [it, fresh] = row_of.emplace(std::string(labels.rows[r][0].text), r);
        if (!fresh)
            throw ToolError(where(t.labels, labels.rows[r][0].line, 1) + ": sample \"" + it->first +
                            "\" is named twice (line " +
                            std::to_string(labels.rows[it->second][0].line) + ")");
    }
    std::vector<std::vector<std::string>> labels_of;  // per factor, per sample
    for (std::size_t f = 0; f < t.columns.size(); ++f) {
        const std::string& name = t.columns[f];
        std::size_t column = 0;
        for (std::size_t c = 1; c < labels.header.size() && !column; ++c)
            if (labels.header[c] == name) column = c;
        if (!column) {
            std::string list;
            for (std::size_t c = 1; c < labels.header.size(); ++c)
                list += (c > 1 ? ", " : "") + labels.header[c];
            throw ToolError(where(t.labels, labels.header_line) + ": no column is named \"" + name +
                            "\" (the columns are: " + list + ")");
        }
        std::vector<std::string> values;
        for (std::size_t i = 0; i < species.rows.size(); ++i) {
            const tables::Cell s = species.rows[i][0];
            const std::string sample(s.text);
            const auto it = row_of.find(sample);
            if (it == row_of.end())
                throw ToolError(where(t.species, s.line, 1) + ": sample \"" + sample +
                                "\" is not in " + t.labels);
            const tables::Cell cell = labels.rows[it->second][column];
            if (cell.text.empty())
                throw ToolError(where(t.labels, cell.line, static_cast<long>(column + 1)) + " (" +
                                name + "): the label of sample \"" + sample + "\" is empty");
            values.emplace_back(cell.text);
        }
        labels_of.push_back(std::move(values));
    }
    in.factors = factor_levels(t.columns, labels_of);
    // The labels table whole, in the species table's order, for the colours and shapes
    // by any column.
    for (std::size_t c = 0; c < labels.header.size(); ++c) {
        bool again = false;
        for (const LabelColumn& have : in.columns) again = again || have.name == labels.header[c];
        if (again) continue;
        LabelColumn col;
        col.name = labels.header[c];
        for (const auto& row : species.rows)
            col.values.emplace_back(labels.rows[row_of.at(std::string(row[0].text))][c].text);
        in.columns.push_back(std::move(col));
    }
    return in;
}

}  // namespace plot
