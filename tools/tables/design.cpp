// Matching the species table with the labels table; see design.hpp.
#include "design.hpp"

#include "../common/toolerror.hpp"

#include <cctype>
#include <map>

namespace prepare {

using tools::ToolError;
using tools::where;

namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string column_list(const std::vector<std::string>& header) {
    std::string s;
    for (std::size_t j = 1; j < header.size(); ++j) s += (j > 1 ? ", " : "") + header[j];
    return s;
}

long find_column(const Table& labels, const std::string& name) {
    long found = 0;
    for (std::size_t j = 1; j < labels.header.size(); ++j) {
        if (labels.header[j] != name) continue;
        if (found != 0)
            throw ToolError(where(labels.name, labels.header_line) + ": two columns are named " +
                            quoted(name) + " (columns " + std::to_string(found) + " and " +
                            std::to_string(j + 1) + ")");
        found = static_cast<long>(j + 1);
    }
    if (found == 0)
        throw ToolError(where(labels.name, labels.header_line) + ": no column is named " +
                        quoted(name) + " (the columns are: " + column_list(labels.header) +
                        ")");
    return found;
}

// Sample name -> row index, refusing empty and repeated names.
std::map<std::string, std::size_t> index_samples(const Table& t) {
    std::map<std::string, std::size_t> index;
    for (std::size_t r = 0; r < t.rows.size(); ++r) {
        const Cell& c = t.rows[r][0];
        if (c.text.empty())
            throw ToolError(where(t.name, c.line, 1) + ": the sample name is empty");
        auto [it, fresh] = index.emplace(c.text, r);
        if (!fresh)
            throw ToolError(where(t.name, c.line, 1) + ": sample " + quoted(c.text) +
                            " appears a second time (first at line " +
                            std::to_string(t.rows[it->second][0].line) + ")");
    }
    return index;
}

}  // namespace

std::string number_text(const std::string& text) {
    std::size_t i = 0, n = text.size();
    std::string out;
    if (i < n && (text[i] == '+' || text[i] == '-')) out += text[i++];
    auto digits = [&](std::size_t from) {
        std::size_t j = from;
        while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        return j - from;
    };
    std::size_t whole = digits(i);
    if (whole == 0) out += '0';  // ".5" is written "0.5"
    out += text.substr(i, whole);
    i += whole;
    std::size_t fraction = 0;
    if (i < n && text[i] == '.') {
        fraction = digits(i + 1);
        out += text.substr(i, 1 + fraction);
        i += 1 + fraction;
    }
    if (whole == 0 && fraction == 0) return "";
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        std::size_t e = digits(j);
        if (e == 0) return "";
        out += text.substr(i, j + e - i);
        i = j + e;
    }
    return i == n ? out : "";
}

Design build_design(const Table& species, const Table& labels,
                    const std::vector<std::string>& columns) {
    Design d;
    d.labels_name = labels.name;

    // The species and object limits are the reader's (TableLimits).
    if (species.header.size() < 2)
        throw ToolError(where(species.name, species.header_line) +
                        ": no species columns after the column of sample names");
    d.species = species.header.size() - 1;
    if (species.rows.empty()) throw ToolError(species.name + ": no sample rows");
    if (columns.empty()) throw ToolError("no main factor column was given");
    if (columns.size() > max_factors)
        throw tools::beyond_limits(std::to_string(columns.size()) +
                        " factor columns were given; the program takes at most " +
                        std::to_string(max_factors) + " (a main factor and two nested ones)");

    std::vector<long> column_numbers;
    for (std::size_t f = 0; f < columns.size(); ++f) {
        column_numbers.push_back(find_column(labels, columns[f]));
        for (std::size_t g = 0; g < f; ++g)
            if (columns[g] == columns[f])
                throw ToolError("column " + quoted(columns[f]) +
                                " was given for two factors; each factor needs its own column");
    }

    // Every sample in both tables, once each.
    std::map<std::string, std::size_t> in_species = index_samples(species);
    std::map<std::string, std::size_t> in_labels = index_samples(labels);
    for (const auto& row : species.rows)
        if (!in_labels.count(row[0].text))
            throw ToolError(where(species.name, row[0].line, 1) + ": sample " +
                            quoted(row[0].text) + " is not in " + labels.name);
    for (const auto& row : labels.rows)
        if (!in_species.count(row[0].text))
            throw ToolError(where(labels.name, row[0].line, 1) + ": sample " +
                            quoted(row[0].text) + " is not in " + species.name);

    // Abundances, kept as written.
    for (const auto& row : species.rows) {
        d.objects.push_back(row[0].text);
        std::vector<std::string> values;
        for (std::size_t j = 1; j < row.size(); ++j) {
            std::string v = number_text(row[j].text);
            if (v.empty())
                throw ToolError(where(species.name, row[j].line, static_cast<long>(j + 1)) +
                                " (" + species.header[j] + "): " +
                                (row[j].text.empty() ? std::string("the abundance is empty")
                                                     : quoted(row[j].text) + " is not a number"));
            values.push_back(v);
        }
        d.values.push_back(std::move(values));
        d.label_lines.push_back(labels.rows[in_labels.at(row[0].text)][0].line);
    }

    // Factors, levels in order of first appearance over the objects.
    for (std::size_t f = 0; f < columns.size(); ++f) {
        Factor fac;
        fac.column = columns[f];
        fac.column_number = column_numbers[f];
        const std::size_t col = static_cast<std::size_t>(fac.column_number - 1);
        std::map<std::string, int> index;
        std::vector<long> first_line;  // per level, the labels line where it first shows
        for (std::size_t i = 0; i < d.objects.size(); ++i) {
            const Cell& c = labels.rows[in_labels.at(d.objects[i])][col];
            if (c.text.empty())
                throw ToolError(where(labels.name, c.line, fac.column_number) + " (" +
                                fac.column + "): the label is empty");
            auto [it, fresh] = index.emplace(c.text, static_cast<int>(fac.levels.size()));
            if (fresh) {
                fac.levels.push_back(c.text);
                first_line.push_back(c.line);
            }
            fac.level.push_back(it->second);
            if (f == 0) continue;
            const Factor& up = d.factors[f - 1];
            int group = up.level[i];
            if (fresh) {
                fac.parent.push_back(group);
            } else if (fac.parent[static_cast<std::size_t>(it->second)] != group) {
                int other = fac.parent[static_cast<std::size_t>(it->second)];
                throw ToolError(
                    where(labels.name, c.line, fac.column_number) + " (" + fac.column +
                    "): subgroup " + quoted(c.text) + " is under " +
                    quoted(up.levels[static_cast<std::size_t>(group)]) + " here but under " +
                    quoted(up.levels[static_cast<std::size_t>(other)]) + " at line " +
                    std::to_string(first_line[static_cast<std::size_t>(it->second)]) + " (" +
                    up.column + "); a nested factor needs each subgroup within one group:"
                    " give the subgroups of different groups their own labels");
            }
        }
        d.factors.push_back(std::move(fac));
    }
    return d;
}

}  // namespace prepare
