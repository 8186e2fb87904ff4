// Reading the score file "FittedSc.out": its heading, then for each ordination a title
// and either the line saying it has no axes or its eigenvalues, percentages, object
// scores and variances. Rows of values are the fixed layout (1X, 200F10.5): a blank,
// then fields of 10 columns, 200 to a line, a longer row going on over further lines.
// The fields are cut by column, so values that fill their field still come apart.
#pragma once

#include <string>
#include <vector>

namespace plot {

struct Ordination {
    std::string title;  // as written, without its leading blank
    long title_line = 0;
    long scores_line = 0;                     // of the line "Object scores"
    bool canonical = false;                   // fitted values (true) or residuals
    std::vector<double> eigenvalues;          // one per axis; empty: no axes
    std::vector<double> percent;              // % of total variance, per axis
    std::vector<std::vector<double>> scores;  // per object, one value per axis
};

// The values of the fields of one line of a row (name and line number for messages).
// Throws tools::ToolError naming line and column for a line that does not fit the
// layout or a field that is no number written as the layout writes it: a sign, digits
// and a decimal point, no exponent, no "nan" or "inf" (asterisks: a value too large for
// its field). The values are therefore finite and at most 10 digits long.
std::vector<double> row_fields(const std::string& line, const std::string& name, long number);

// Throws tools::ToolError naming file and line when the text is not a score file.
std::vector<Ordination> parse_score_file(const std::string& text, const std::string& name);

std::vector<Ordination> read_score_file(const std::string& path);

}  // namespace plot
