// Grouping samples by place; see places.hpp.
#include "places.hpp"

#include <algorithm>
#include <numeric>

namespace plot {

std::vector<std::vector<std::size_t>> group_by_place(const std::vector<std::string>& keys,
                                                     std::size_t* comparisons) {
    const std::size_t n = keys.size();
    std::size_t counted = 0;
    // The samples sorted by place, those at one place in file order; each run of
    // equal places is one group, headed by its first sample.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        ++counted;
        return keys[a] < keys[b];
    });
    std::vector<std::size_t> head(n);
    for (std::size_t k = 0; k < n; ++k) {
        const bool same = k > 0 && (++counted, keys[order[k]] == keys[order[k - 1]]);
        head[order[k]] = same ? head[order[k - 1]] : order[k];
    }
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> slot(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (head[i] == i) {
            slot[i] = groups.size();
            groups.emplace_back();
        }
        groups[slot[head[i]]].push_back(i);
    }
    if (comparisons) *comparisons = counted;
    return groups;
}

}  // namespace plot
