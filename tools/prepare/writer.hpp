// The texts of the files that the program reads: the response file, the factor files
// and the file of file names. Values are separated by one blank, one object a line,
// after a header line "n p".
#pragma once

#include "coding.hpp"
#include "design.hpp"

#include <string>
#include <vector>

namespace prepare {

std::string response_text(const Design& d);

// columns: the dummy variables of one factor, each of length n.
std::string factor_text(const std::vector<Column>& columns, std::size_t n);

// The number of files, then one name a line; a name with a blank, comma, slash or quote
// is put between apostrophes. Throws tools::ToolError for a name of more than 79
// characters, which the program would cut.
std::string names_text(const std::vector<std::string>& names);

}  // namespace prepare
