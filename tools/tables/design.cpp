// Matching the species table with the labels table; see design.hpp.
#include "design.hpp"

#include "../common/toolerror.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

namespace tables {

using tools::ToolError;
using tools::where;

namespace {

// A name or label of the tables in a message of one line: line ends and tabs, which a
// quoted field may hold, are shown as \n, \r and \t.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out + "\"";
}

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
                        quoted(name) + " (the columns are: " + column_list(labels.header) + ")");
    return found;
}

bool is_na(std::string_view text) { return text == "NA"; }

// Whether a number's text (as number_text gives it) reads as no finite double: only a
// text with an exponent or some 300 digits can be that large, so only those are read.
bool beyond_double(const std::string& v) {
    if (v.size() < 300 && v.find_first_of("eE") == std::string::npos) return false;
    return std::isinf(std::strtod(v.c_str(), nullptr));  // the C locale: a decimal point
}

// The orders of --levels, one per factor (empty: first appearance), each checked
// against the factor's labels.
std::vector<std::vector<std::string>> orders_of(const std::vector<LevelOrder>& given,
                                                const std::vector<Factor>& factors,
                                                const std::string& labels_name) {
    std::vector<std::vector<std::string>> orders(factors.size());
    std::vector<bool> seen(factors.size(), false);
    for (const LevelOrder& o : given) {
        std::size_t f = 0;
        while (f < factors.size() && factors[f].column != o.column) ++f;
        if (f == factors.size()) {
            std::string names;
            for (const Factor& fac : factors) names += (names.empty() ? "" : ", ") + fac.column;
            throw ToolError("--levels " + o.column + ": " + quoted(o.column) +
                            " is not a factor of this run (its factors: " + names + ")");
        }
        if (seen[f])
            throw ToolError("--levels " + o.column +
                            ": given twice; give the order of a factor once");
        seen[f] = true;
        const Factor& fac = factors[f];
        std::map<std::string, bool> used;
        for (const std::string& level : o.levels) used[level] = false;
        for (std::size_t i = 0; i < fac.labels.size(); ++i) {
            const auto it = used.find(fac.labels[i]);
            if (it == used.end())
                throw ToolError(where(labels_name, fac.lines[i], fac.column_number) + " (" +
                                fac.column + "): the label " + quoted(fac.labels[i]) +
                                " is not among the levels --levels gives for " + fac.column +
                                "; list every level once");
            it->second = true;
        }
        for (const std::string& level : o.levels)
            if (!used.at(level))
                throw ToolError("--levels " + o.column + ": no sample has the level " +
                                quoted(level) + " (the labels are compared as " + labels_name +
                                " writes them)");
        orders[f] = o.levels;
    }
    return orders;
}

// Sample name -> row index, refusing empty and repeated names.
std::map<std::string, std::size_t> index_samples(const Table& t) {
    std::map<std::string, std::size_t> index;
    for (std::size_t r = 0; r < t.rows.size(); ++r) {
        const Cell c = t.rows[r][0];
        if (c.text.empty())
            throw ToolError(where(t.name, c.line, 1) + ": the sample name is empty");
        auto [it, fresh] = index.emplace(std::string(c.text), r);
        if (!fresh)
            throw ToolError(where(t.name, c.line, 1) + ": sample " + quoted(c.text) +
                            " appears a second time (first at line " +
                            std::to_string(t.rows[it->second][0].line) + ")");
    }
    return index;
}

// A value of each decimal mark in the given columns (all after the first when none are
// given): the first that holds a point, the first that reads as a number only with a
// decimal comma.
struct Marks {
    std::optional<Cell> point;
    std::optional<Cell> comma;
    std::size_t point_column = 0, comma_column = 0;
};

Marks find_marks(const Table& t, const std::vector<std::size_t>& columns) {
    Marks m;
    std::vector<std::size_t> cols = columns;
    if (cols.empty())
        for (std::size_t j = 1; j < t.header.size(); ++j) cols.push_back(j);
    for (const auto& row : t.rows)
        for (std::size_t j : cols) {
            const Cell c = row[j];
            if (!m.point && c.text.find('.') != std::string_view::npos &&
                !number_text(c.text, '.').empty())
                m.point = c, m.point_column = j;
            if (!m.comma && c.text.find(',') != std::string_view::npos &&
                !number_text(c.text, ',').empty())
                m.comma = c, m.comma_column = j;
        }
    return m;
}

std::vector<std::vector<int>> integer_columns(const morvenak::CodedFactor& c, std::size_t n) {
    std::vector<std::vector<int>> cols(static_cast<std::size_t>(c.m), std::vector<int>(n));
    for (std::size_t j = 0; j < cols.size(); ++j)
        for (std::size_t i = 0; i < n; ++i) cols[j][i] = static_cast<int>(c.codes[i + j * n]);
    return cols;
}

// The f-th factor's nesting in words when it gives no more dummy variables than its
// parent, "" otherwise; `named`: the factor's name after "the nested factor".
std::string coarse_words(const Design& d, std::size_t f, bool named) {
    const Factor& fac = d.factors[f];
    const Factor& up = d.factors[f - 1];
    const std::size_t m = fac.codes.size();
    if (m > up.codes.size()) return "";
    return "the nested factor " + (named ? fac.column + " " : std::string()) + "gives " +
           std::to_string(m) + (m == 1 ? " dummy variable (" : " dummy variables (") +
           std::to_string(fac.coding.levels.size()) + " subgroups in " +
           std::to_string(up.coding.levels.size()) + " groups of " + up.column +
           "), not more than the " + std::to_string(up.codes.size()) + " of " + up.column;
}

// The checks that the program makes of the coding, in its terms: at least one dummy
// variable for the main factor, at most `max_dummies` in all (0: any number), every
// nested factor dividing some level of its parent and, with `finer_nesting`, giving
// strictly more dummy variables than its parent.
void check_coding(const Design& d, std::size_t max_dummies, bool finer_nesting) {
    std::size_t total = 0;
    std::string parts;
    for (const Factor& f : d.factors) {
        total += f.codes.size();
        parts += (parts.empty() ? "" : ", ") + f.column + " " + std::to_string(f.codes.size());
    }
    const Factor& main = d.factors[0];
    if (main.codes.empty())
        throw ToolError(d.labels_name + ", column " + std::to_string(main.column_number) + " (" +
                        main.column + "): the main factor has one level only (" +
                        quoted(main.coding.levels[0]) + "); it needs at least two");
    if (max_dummies > 0 && total > max_dummies)
        throw tools::beyond_limits(d.labels_name + ": the factors need " + std::to_string(total) +
                                   " dummy variables in all (" + parts +
                                   "); the program takes at most " + std::to_string(max_dummies));
    for (std::size_t f = 1; finer_nesting && f < d.factors.size(); ++f) {
        const std::string coarse = coarse_words(d, f, false);
        if (!coarse.empty())
            throw ToolError(d.labels_name + ", column " +
                            std::to_string(d.factors[f].column_number) + " (" +
                            d.factors[f].column + "): " + coarse +
                            "; the program needs a nested factor to give strictly more");
    }
    for (std::size_t f = 1; f < d.factors.size(); ++f) {
        const Factor& fac = d.factors[f];
        const Factor& up = d.factors[f - 1];
        if (fac.codes.empty())
            throw ToolError(d.labels_name + ", column " + std::to_string(fac.column_number) + " (" +
                            fac.column + "): the nested factor has a single subgroup within each " +
                            "level of " + up.column +
                            ", so it divides none of them and has no degrees of freedom");
    }
}

}  // namespace

std::size_t Design::dummies() const {
    std::size_t total = 0;
    for (const Factor& f : factors) total += f.codes.size();
    return total;
}

bool within(const Design& d, const DesignLimits& limits) {
    auto fits = [](std::size_t count, std::size_t limit) { return limit == 0 || count <= limit; };
    return fits(d.objects.size(), limits.objects) && fits(d.species, limits.species) &&
           fits(d.dummies(), limits.dummies) &&
           (!limits.finer_nesting || coarse_nesting(d).empty());
}

std::string coarse_nesting(const Design& d) {
    for (std::size_t f = 1; f < d.factors.size(); ++f) {
        std::string words = coarse_words(d, f, true);
        if (!words.empty()) return words;
    }
    return "";
}

char detect_decimal(const Table& t, char delimiter, const std::vector<std::size_t>& columns) {
    if (delimiter == ',') return '.';
    Marks m = find_marks(t, columns);
    if (m.point && m.comma)
        throw ToolError(t.name + ": " + quoted(m.point->text) + " (line " +
                        std::to_string(m.point->line) + ", column " +
                        std::to_string(m.point_column + 1) + ") has a decimal point and " +
                        quoted(m.comma->text) + " (line " + std::to_string(m.comma->line) +
                        ", column " + std::to_string(m.comma_column + 1) +
                        ") a decimal comma, so the decimal mark cannot be told; name it with "
                        "--decimal . or --decimal ,");
    return m.comma ? ',' : '.';
}

std::string number_text(std::string_view text, char decimal) {
    std::size_t i = 0, n = text.size();
    std::string out;
    out.reserve(n + 1);
    if (i < n && (text[i] == '+' || text[i] == '-')) out += text[i++];
    auto digits = [&](std::size_t from) {
        std::size_t j = from;
        while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        return j - from;
    };
    std::size_t whole = digits(i);
    if (whole == 0) out += '0';  // ".5" is written "0.5"
    out.append(text, i, whole);
    i += whole;
    std::size_t fraction = 0;
    if (i < n && text[i] == decimal) {
        fraction = digits(i + 1);
        out += '.';
        out.append(text, i + 1, fraction);
        i += 1 + fraction;
    }
    if (whole == 0 && fraction == 0) return "";
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        std::size_t e = digits(j);
        if (e == 0) return "";
        out.append(text, i, j + e - i);
        i = j + e;
    }
    return i == n ? out : "";
}

Design build_design(const Table& species, const Table& labels,
                    const std::vector<std::string>& columns, const DesignOptions& options) {
    Design d;
    d.species_name = species.name;
    d.labels_name = labels.name;

    // The species and object limits are the reader's (TableLimits).
    if (species.header.size() < 2)
        throw ToolError(where(species.name, species.header_line) +
                        ": no species columns after the column of sample names");
    d.species = species.header.size() - 1;
    std::map<std::string, std::size_t> species_seen;
    for (std::size_t j = 1; j < species.header.size(); ++j) {
        const std::string& name = species.header[j];
        if (name.empty())
            throw ToolError(where(species.name, species.header_line, static_cast<long>(j + 1)) +
                            ": the species name is empty; give every species column a name");
        auto [it, fresh] = species_seen.emplace(name, j);
        if (!fresh)
            throw ToolError(
                where(species.name, species.header_line, static_cast<long>(j + 1)) + ": species " +
                quoted(name) + " appears a second time (first in column " +
                std::to_string(it->second + 1) + "); give each species column its own name");
        d.species_names.push_back(name);
    }
    if (species.rows.empty()) throw ToolError(species.name + ": no sample rows");
    if (columns.empty()) throw ToolError("no main factor column was given");
    if (!options.crossed && columns.size() > max_factors)
        throw tools::beyond_limits(std::to_string(columns.size()) +
                                   " factor columns were given; the program takes at most " +
                                   std::to_string(max_factors) +
                                   " (a main factor and two nested ones)");

    std::vector<long> column_numbers;
    for (std::size_t f = 0; f < columns.size(); ++f) {
        column_numbers.push_back(find_column(labels, columns[f]));
        for (std::size_t g = 0; g < f; ++g)
            if (columns[g] == columns[f])
                throw ToolError("column " + quoted(columns[f]) +
                                " was given for two factors; each factor needs its own column");
    }

    // Every species sample in the labels, once each; labels of other samples are ignored.
    std::map<std::string, std::size_t> in_species = index_samples(species);
    std::map<std::string, std::size_t> in_labels = index_samples(labels);
    for (const auto& row : species.rows)
        if (!in_labels.count(std::string(row[0].text)))
            throw ToolError(where(species.name, row[0].line, 1) + ": sample " +
                            quoted(row[0].text) + " is not in " + labels.name +
                            "; add its labels there, or leave the sample out of " + species.name);
    for (const auto& row : labels.rows)
        if (!in_species.count(std::string(row[0].text))) ++d.ignored;

    // Abundances, kept as written but for the decimal mark.
    d.decimal =
        options.decimal ? options.decimal : detect_decimal(species, options.species_delimiter);
    for (const auto& row : species.rows) {
        d.objects.emplace_back(row[0].text);
        Texts values;
        values.reserve(row.size() - 1, row.bytes());
        for (std::size_t j = 1; j < row.size(); ++j) {
            const std::string_view text = row[j].text;
            const std::string v = number_text(text, d.decimal);
            if (v.empty()) {
                std::string why;
                if (text.empty())
                    why = "the abundance is empty; write 0 for a species not found";
                else if (is_na(text))
                    why = "the abundance is missing (NA); write 0 for a species not found";
                else {
                    why = quoted(text) + " is not a number";
                    if (d.decimal == '.' && !number_text(text, ',').empty())
                        why += " with a decimal point; for decimal commas give --decimal ,";
                }
                throw ToolError(where(species.name, row[j].line, static_cast<long>(j + 1)) + " (" +
                                species.header[j] + "): " + why);
            }
            if (beyond_double(v))
                throw ToolError(
                    where(species.name, row[j].line, static_cast<long>(j + 1)) + " (" +
                    species.header[j] + "): " + quoted(text.substr(0, 40)) +
                    (text.size() > 40 ? "... (" + std::to_string(text.size()) + " characters)"
                                      : "") +
                    " is beyond the range of a double-precision number (about 1.8E308)");
            values.push_back(v);
        }
        d.values.push_back(std::move(values));
        d.label_lines.push_back(labels.rows[in_labels.at(d.objects.back())][0].line);
        d.species_lines.push_back(row[0].line);
    }

    // Labels, as written, in the species table's order.
    std::vector<std::vector<std::string>> label_columns;
    for (std::size_t f = 0; f < columns.size(); ++f) {
        Factor fac;
        fac.column = columns[f];
        fac.column_number = column_numbers[f];
        const std::size_t col = static_cast<std::size_t>(fac.column_number - 1);
        for (const std::string& object : d.objects) {
            const Cell c = labels.rows[in_labels.at(object)][col];
            if (c.text.empty() || is_na(c.text))
                throw ToolError(where(labels.name, c.line, fac.column_number) + " (" + fac.column +
                                "): the label of sample " + quoted(object) + " is " +
                                (c.text.empty() ? "empty" : "missing (NA)") +
                                "; give every sample a label, or leave it out of " + species.name);
            fac.labels.emplace_back(c.text);
            fac.lines.push_back(c.line);
        }
        label_columns.push_back(fac.labels);
        d.factors.push_back(std::move(fac));
    }
    if (options.decimal) {
        d.labels_decimal = options.decimal;
    } else {
        std::vector<std::size_t> used;
        for (long c : column_numbers) used.push_back(static_cast<std::size_t>(c - 1));
        try {
            d.labels_decimal = detect_decimal(labels, options.labels_delimiter, used);
        } catch (const ToolError&) {
            d.labels_decimal = '.';  // labels are kept as written; only the warnings read them
        }
    }

    // The engine's coding: levels in the order given or of first appearance, nested
    // labels within their parent.
    const std::vector<std::vector<std::string>> orders =
        orders_of(options.level_orders, d.factors, labels.name);
    std::vector<morvenak::CodedFactor> coded;
    if (!options.crossed)
        coded = morvenak::code_factors(label_columns, orders);
    else
        for (std::size_t f = 0; f < label_columns.size(); ++f)
            coded.push_back(std::move(morvenak::code_factors({label_columns[f]}, {orders[f]})[0]));
    for (std::size_t f = 0; f < coded.size(); ++f) {
        d.factors[f].order = orders[f];
        d.factors[f].coding = std::move(coded[f].levels);
        d.factors[f].codes = integer_columns(coded[f], d.objects.size());
    }
    if (!options.crossed) check_coding(d, options.max_dummies, options.finer_nesting);
    return d;
}

LevelOrder parse_level_order(const std::string& text) {
    const std::size_t eq = text.find('=');
    const std::string option = "--levels " + text;
    if (eq == std::string::npos)
        throw ToolError(option +
                        ": give a factor's column and its levels in order, "
                        "COLUMN=LEVEL1,LEVEL2,... (dose=0,0.1,0.9,6,44)");
    LevelOrder o;
    o.column = text.substr(0, eq);
    if (o.column.empty()) throw ToolError(option + ": the factor's column is missing before =");
    std::string rest = text.substr(eq + 1);
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = rest.find(',', start);
        std::string level =
            rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (level.empty())
            throw ToolError(option + ": an empty level; separate the levels by single commas");
        for (const std::string& before : o.levels)
            if (before == level)
                throw ToolError(option + ": the level " + quoted(level) + " is given twice");
        o.levels.push_back(std::move(level));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return o;
}

}  // namespace tables
