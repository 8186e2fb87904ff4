// Weighted Helmert coding of main and nested factors; see coding.hpp.
#include "coding.hpp"

#include "../common/toolerror.hpp"

#include <string>

namespace prepare {

using tools::ToolError;

std::vector<Column> helmert(const std::vector<int>& level,
                            const std::vector<std::size_t>& members, std::size_t n) {
    // Levels in order of first appearance among the members, with their counts.
    std::vector<int> count;
    std::vector<int> rank;  // level -> position in order, -1 while unseen
    for (std::size_t i : members) {
        std::size_t l = static_cast<std::size_t>(level[i]);
        if (l >= rank.size()) rank.resize(l + 1, -1);
        int& r = rank[l];
        if (r < 0) {
            r = static_cast<int>(count.size());
            count.push_back(0);
        }
        ++count[static_cast<std::size_t>(r)];
    }
    std::vector<Column> cols;
    int before = 0;  // objects of levels 1..j
    for (std::size_t j = 0; j + 1 < count.size(); ++j) {
        before += count[j];
        const int next = count[j + 1];
        Column c(n, 0);
        for (std::size_t i : members) {
            std::size_t r = static_cast<std::size_t>(rank[static_cast<std::size_t>(level[i])]);
            if (r <= j) c[i] = next;
            else if (r == j + 1) c[i] = -before;
        }
        cols.push_back(std::move(c));
    }
    return cols;
}

std::vector<Column> code_factor(const Design& d, std::size_t f) {
    const std::size_t n = d.objects.size();
    const Factor& fac = d.factors[f];
    if (f == 0) {
        std::vector<std::size_t> all(n);
        for (std::size_t i = 0; i < n; ++i) all[i] = i;
        return helmert(fac.level, all, n);
    }
    const Factor& up = d.factors[f - 1];
    std::vector<std::vector<std::size_t>> groups(up.levels.size());
    for (std::size_t i = 0; i < n; ++i) groups[static_cast<std::size_t>(up.level[i])].push_back(i);
    std::vector<Column> cols;
    for (const auto& members : groups)
        for (Column& c : helmert(fac.level, members, n)) cols.push_back(std::move(c));
    return cols;
}

std::vector<std::vector<Column>> code_design(const Design& d) {
    std::vector<std::vector<Column>> coded;
    std::size_t total = 0;
    std::string parts;
    for (std::size_t f = 0; f < d.factors.size(); ++f) {
        coded.push_back(code_factor(d, f));
        total += coded.back().size();
        parts += (f ? ", " : "") + d.factors[f].column + " " + std::to_string(coded.back().size());
    }
    const Factor& main = d.factors[0];
    const std::string main_at = d.labels_name + ", column " +
                                std::to_string(main.column_number) + " (" + main.column + ")";
    if (coded[0].empty())
        throw ToolError(main_at + ": the main factor has one level only (" +
                        "\"" + main.levels[0] + "\"); it needs at least two");
    if (total > max_dummies)
        throw tools::beyond_limits(d.labels_name + ": the factors need " + std::to_string(total) +
                        " dummy variables in all (" + parts + "); the program takes at most " +
                        std::to_string(max_dummies));
    for (std::size_t f = 1; f < d.factors.size(); ++f) {
        const Factor& fac = d.factors[f];
        const Factor& up = d.factors[f - 1];
        if (coded[f].size() <= coded[f - 1].size())
            throw ToolError(
                d.labels_name + ", column " + std::to_string(fac.column_number) + " (" +
                fac.column + "): the nested factor gives " + std::to_string(coded[f].size()) +
                (coded[f].size() == 1 ? " dummy variable (" : " dummy variables (") + std::to_string(fac.levels.size()) + " subgroups in " +
                std::to_string(up.levels.size()) + " groups of " + up.column +
                "), not more than the " + std::to_string(coded[f - 1].size()) + " of " +
                up.column + "; the program needs a nested factor to give strictly more");
    }
    return coded;
}

}  // namespace prepare
