// The columns of a run's labels table that colour and shape the samples (--colour-by,
// --shape-by): a column of numbers on a continuous scale, any other as labels, each
// value a colour of the palette or a shape. The figure (figure.hpp) draws them and
// their keys; the continuous scale's colours are here.
#pragma once

#include "plotdata.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace plot {

// A column read for its colours or shapes. A column of numbers has every value a
// number (a decimal point or comma) but those missing ("" or "NA"), and one at least;
// any other column is of labels, its values in order of first appearance; as_labels
// reads a column of numbers as labels too.
struct ColumnKey {
    std::string name;
    bool numeric = false;
    // Labels: the values, each sample's, and how many samples have each.
    std::vector<std::string> categories;
    std::vector<int> category_of;
    std::vector<int> counts;
    // Numbers: each sample's (missing ones 0), whether it is missing, the range.
    std::vector<double> values;
    std::vector<bool> missing;
    std::size_t missing_count = 0;
    double lo = 0, hi = 0;
};

ColumnKey column_key(const LabelColumn& column, bool as_labels = false);

// The column named by an option ("--colour-by"), as a key; throws tools::ToolError
// naming the option and the column when the labels table lacks it or was not read,
// and as_labels reads it as labels even when it holds numbers (shapes do).
ColumnKey style_column(const PlotInput& in, const std::string& option, const std::string& name,
                       bool as_labels = false);

}  // namespace plot
