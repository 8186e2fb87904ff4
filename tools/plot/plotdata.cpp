// Levels of factors and the factor of each ordination; see plotdata.hpp.
#include "plotdata.hpp"

#include <map>
#include <utility>

namespace plot {

int factor_of(const PlotInput& in, int number) {
    const int factors = static_cast<int>(in.factors.size());
    if (factors == 0) return -1;
    return number <= factors ? number - 1 : 0;
}

FactorLevels levels_from_labels(const std::string& name, const std::vector<std::string>& labels,
                                const FactorLevels* parent) {
    FactorLevels f;
    f.name = name;
    std::map<std::pair<int, std::string>, int> seen;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const int up = parent ? parent->level_of[i] : -1;
        auto [it, fresh] =
            seen.emplace(std::make_pair(up, labels[i]), static_cast<int>(f.levels.size()));
        if (fresh) {
            f.levels.push_back(labels[i]);
            if (parent) f.parent.push_back(up);
            f.counts.push_back(0);
        }
        f.level_of.push_back(it->second);
        ++f.counts[static_cast<std::size_t>(it->second)];
    }
    return f;
}

}  // namespace plot
