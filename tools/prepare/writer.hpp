// The texts of the files that the program reads: the response file, the factor files
// and the file of file names. Values are separated by one blank, one object a line,
// after a header line "n p".
#pragma once

#include "tables/design.hpp"

#include "../common/newfiles.hpp"

#include <string>
#include <vector>

namespace prepare {

using tables::Design;
using Column = std::vector<int>;  // one value per object

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

// The names of the files of a design with `factors` factors, as the program reads them:
// prefix + Y.txt, X1.txt.. (one per factor), then files.txt, the file of file names.
std::vector<std::string> classic_names(std::size_t factors, const std::string& prefix = "");

// The files of a design in `folder`: the response file, one factor file per factor and
// the file of file names (last), named prefix + Y.txt, X1.txt.., files.txt. The names
// in the file of file names are those without the folder, as the program reads them in
// the folder. Throws tools::ToolError for names the program cannot read back.
std::vector<tools::NewFile> classic_files(const Design& d, const std::string& folder,
                                          const std::string& prefix = "");

}  // namespace prepare
