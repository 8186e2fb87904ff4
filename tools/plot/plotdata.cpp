// Levels of factors and the factor of each ordination; see plotdata.hpp.
#include "plotdata.hpp"

#include "morvenak/analysis.hpp"

#include <utility>

namespace plot {

int factor_of(const PlotInput& in, int number) {
    const int factors = static_cast<int>(in.factors.size());
    if (factors == 0) return -1;
    return number <= factors ? number - 1 : 0;
}

std::vector<FactorLevels> factor_levels(const std::vector<std::string>& names,
                                        const std::vector<std::vector<std::string>>& labels,
                                        const std::vector<std::vector<std::string>>& orders) {
    const std::vector<morvenak::CodedFactor> coded = morvenak::code_factors(labels, orders);
    std::vector<FactorLevels> out;
    for (std::size_t f = 0; f < coded.size(); ++f) {
        const morvenak::LevelCoding& c = coded[f].levels;
        FactorLevels fl;
        fl.name = names[f];
        fl.levels = c.levels;
        if (f > 0) fl.parent = c.parent;
        fl.level_of = c.level_of;
        fl.counts = c.counts;
        out.push_back(std::move(fl));
    }
    return out;
}

}  // namespace plot
