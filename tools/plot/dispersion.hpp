// The figure of a test of dispersion: each group's distances to its centre as a box
// plot, every unit drawn over its box, the groups along the x axis in the run's order
// of levels, the test's F, df and P under the title. Built into the figure model of
// figure.hpp, drawn by render.hpp as the ordinations are.
#pragma once

#include "figure.hpp"
#include "plotdata.hpp"

#include <string>
#include <vector>

namespace plot {

// A box plot's five numbers, as R's boxplot.stats (coef 1.5) finds them: Tukey's
// hinges and the median, and the whiskers' ends, the most extreme values within 1.5
// times the hinges' spread of the hinges.
struct BoxStats {
    double lower = 0, q1 = 0, median = 0, q3 = 0, upper = 0;
};
BoxStats box_stats(std::vector<double> values);  // values not empty

// "Dispersion of Shrub within Topo", or of a nested design's main factor's units,
// "Dispersion of Shrub's subgroups around Topo's levels".
std::string dispersion_title(const Dispersion& d);

// The test in a line: "F = 2.31 on 2 and 67 df, P = 0.094, 999 permutations", or that
// there is none.
std::string dispersion_caption(const Dispersion& d);

// The figure of the test, the options' width and height. Its ticks are those of the y
// axis, then the groups' names (the parents' levels first: "Topo: Shrub (12)") across,
// wrapped or upright under their boxes, with every unit as one marker.
Figure build_dispersion_figure(const Dispersion& d, const FigureOptions& options,
                               const Measure& measure);

}  // namespace plot
