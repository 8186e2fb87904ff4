// Reading a table of samples: a header row, then one row per sample, separated by
// commas, semicolons or tabs, parsed by libcsv. The species table and the labels
// table of `morvenak run` and `morvenak prepare` are both read here. Every cell keeps its text and
// the line it ends on, so that later checks can name file, line and column. Rows that do not have
// as many fields as the header are refused here; what the cells mean is left to design.hpp.
//
// The cells of a row are kept end to end in one string (Texts), so that a table
// of millions of cells takes about its own size in memory.
//
// The text is read in pieces and never held whole: reading stops at the first column
// or row beyond the limits given, at a NUL byte (no table is binary), and at a row
// of more than 64 MiB, so that the memory used stays near the size of what is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tables {

// Texts end to end in one string, each found by where it ends. A table of
// millions of cells so takes about its own size, and reading it allocates
// once a row, where a std::string a cell would take 32 bytes or more each.
class Texts {
public:
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t k) const {
        const std::size_t begin = k == 0 ? 0 : ends_[k - 1];
        return std::string_view(chars_).substr(begin, ends_[k] - begin);
    }
    void push_back(std::string_view text);
    std::size_t bytes() const { return chars_.size(); }
    void reserve(std::size_t count, std::size_t bytes) {
        ends_.reserve(count);
        chars_.reserve(bytes);
    }
    void clear() {
        chars_.clear();
        ends_.clear();
    }

private:
    std::string chars_;
    std::vector<std::uint32_t> ends_;
};

// A field of a row: its text and the line it ends on (a quoted field may hold line ends).
struct Cell {
    std::string_view text;
    long line = 0;
};

// The fields of one row of a table.
class Fields {
public:
    std::size_t size() const { return texts_.size(); }
    bool empty() const { return texts_.empty(); }
    Cell operator[](std::size_t k) const { return Cell{texts_[k], line(k)}; }
    Cell back() const { return (*this)[size() - 1]; }
    void push_back(std::string_view text, long line);
    std::size_t bytes() const { return texts_.bytes(); }
    void reserve(std::size_t count, std::size_t bytes) { texts_.reserve(count, bytes); }
    void clear() {
        texts_.clear();
        lines_.clear();
    }

private:
    long line(std::size_t k) const;

    Texts texts_;
    std::vector<std::pair<std::size_t, long>>
        lines_;  // (first field, its line) wherever the line changes
};

struct Table {
    std::string name;                 // file name, as used in messages
    char delimiter = ',';             // as given or detected
    std::vector<std::string> header;  // field texts of the header row
    long header_line = 0;
    std::vector<Fields> rows;  // each as wide as the header
};

// The most a table may hold; 0 means no limit. Going beyond either ends the reading
// with a tools::ToolError of status 1 naming the line and column where it happened.
// A row (or a run of blank lines) longer than this is refused (status 2).
constexpr std::size_t max_row_bytes = std::size_t{64} << 20;

struct TableLimits {
    std::size_t species = 0;                // columns after the column of sample names
    std::size_t samples = 0;                // rows after the header
    std::size_t row_bytes = max_row_bytes;  // tests set a smaller one to reach it cheaply
};

// The delimiter of a table from its first line (name is used in messages): a tab when
// the line holds one; else a semicolon or a comma, whichever the line holds outside
// quotes; a comma when it holds neither. A line with both, outside quotes, cannot be
// told: a tools::ToolError says so and names --sep.
char detect_delimiter(const std::string& text, const std::string& name = "the table");

// Parses text (name is used in messages). Throws tools::ToolError on a quoting error,
// a NUL byte, an empty table, a row whose width differs from the header's, and a table
// beyond the limits.
Table parse_table(const std::string& text, const std::string& name, char delimiter,
                  const TableLimits& limits = {});

// Reads the file at path piece by piece and parses it with `delimiter`, or with the
// delimiter its first line shows when `delimiter` is 0.
Table read_table(const std::string& path, const TableLimits& limits = {}, char delimiter = 0);

// What a table takes in memory: its rows, the header's width, and the bytes its texts,
// their ends and each row's bookkeeping take (an estimate when `estimated`).
struct TableSize {
    std::size_t rows = 0;
    std::size_t width = 0;
    double bytes = 0.0;
    bool estimated = false;
};
TableSize size_of(const Table& t);

// The size a regular file's table will take once read, told before reading it from the
// file's size and its first MiB, parsed as read_table parses it; exact for a file no
// larger. Nothing (all 0) for a file that is not regular (a pipe is not read ahead) or
// that the first MiB shows unreadable: reading it will say why.
TableSize estimate_size(const std::string& path, char delimiter = 0);

}  // namespace tables
