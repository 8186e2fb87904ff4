// The label checks that warn; see warnings.hpp.
#include "warnings.hpp"

#include <set>

namespace run {

namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// A level as a user finds it: its label, and for a nested factor its parent's label.
std::string level_name(const tables::Design& d, std::size_t f, std::size_t level) {
    const morvenak::LevelCoding& c = d.factors[f].coding;
    std::string s = quoted(c.levels[level]);
    if (f > 0)
        s += " in " +
             quoted(d.factors[f - 1].coding.levels[static_cast<std::size_t>(c.parent[level])]);
    return s;
}

std::string factor_name(const tables::Design& d, std::size_t f) {
    std::string s = "factor " + quoted(d.factors[f].column);
    if (f > 0) s += " (nested in " + quoted(d.factors[f - 1].column) + ")";
    return s;
}

}  // namespace

std::vector<std::string> design_warnings(const tables::Design& d) {
    std::vector<std::string> out;
    const std::size_t n = d.objects.size();
    for (std::size_t f = 0; f < d.factors.size(); ++f) {
        const tables::Factor& fac = d.factors[f];
        const std::vector<int>& counts = fac.coding.counts;
        std::vector<std::size_t> single;
        for (std::size_t l = 0; l < counts.size(); ++l)
            if (counts[l] == 1) single.push_back(l);

        if (f > 0 && single.size() == counts.size()) {
            out.push_back(factor_name(d, f) +
                          ": every subgroup has a single sample, so no "
                          "variation is left within its subgroups and its row cannot be tested "
                          "(its F needs the mean square within subgroups)");
        } else if (!single.empty()) {
            std::string list;
            for (std::size_t k = 0; k < single.size() && k < 5; ++k)
                list += (k ? ", " : "") + level_name(d, f, single[k]);
            if (single.size() > 5) list += ", ...";
            const char* what = f == 0 ? "level" : "subgroup";
            if (single.size() == 1)
                out.push_back(factor_name(d, f) + ": " + what + " " + list +
                              " has a single sample");
            else
                out.push_back(factor_name(d, f) + ": " + std::to_string(single.size()) + " " +
                              what + "s have a single sample: " + list);
        }

        bool numbers = true;
        for (const std::string& label : fac.labels)
            if (tables::number_text(label, d.labels_decimal).empty()) numbers = false;
        // Distinct labels as written: plots numbered 1, 2, .. again under every site are
        // many subgroups but few numbers.
        const std::size_t levels =
            std::set<std::string>(fac.labels.begin(), fac.labels.end()).size();
        if (numbers && 2 * levels > n)
            out.push_back(factor_name(d, f) + " looks continuous: its labels are numbers, with " +
                          std::to_string(levels) + " different values among " + std::to_string(n) +
                          " samples; a factor groups samples, so check that this column is the one "
                          "you mean");
    }
    return out;
}

}  // namespace run
