// Reading a table of samples: a header row, then one row per sample, comma- or
// tab-separated, parsed by libcsv. Every cell keeps its text and the line it ends on,
// so that later checks can name file, line and column. Rows that do not have as many
// fields as the header are refused here; what the cells mean is left to design.hpp.
#pragma once

#include <string>
#include <vector>

namespace prepare {

struct Cell {
    std::string text;
    long line = 0;
};

struct Table {
    std::string name;                    // file name, as used in messages
    std::vector<std::string> header;     // field texts of the header row
    long header_line = 0;
    std::vector<std::vector<Cell>> rows; // each as wide as the header
};

// The delimiter of a table: a tab when its first line holds one, else a comma.
char detect_delimiter(const std::string& text);

// Parses text (name is used in messages). Throws tools::ToolError on a quoting error,
// an empty table or a row whose width differs from the header's.
Table parse_table(const std::string& text, const std::string& name, char delimiter);

// Reads the file at path and parses it with its detected delimiter.
Table read_table(const std::string& path);

}  // namespace prepare
