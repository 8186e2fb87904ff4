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

// The program reads a file name as a text of 79 characters, padded with blanks.
constexpr std::size_t max_name_length = 79;

// Throws tools::ToolError (status 2) for a name that the program's free-format reader
// cannot return as it is: an empty one, one with a line end or a NUL byte, one that
// ends in a blank (dropped with the padding) and one of more than 79 characters.
void check_file_name(const std::string& name);

// The number of files, then one name a line, each between apostrophes with every
// apostrophe inside doubled, so that blanks, commas, slashes and a leading "2*" are
// read as part of the name. Checks every name with check_file_name.
std::string names_text(const std::vector<std::string>& names);

}  // namespace prepare
