// Table reading with libcsv; see table.hpp.
#include "table.hpp"

#include "../common/toolerror.hpp"

#include <csv.h>

#include <fstream>
#include <sstream>

namespace prepare {

using tools::ToolError;
using tools::where;

namespace {

struct Collector {
    std::vector<std::vector<Cell>> rows;
    std::vector<Cell> current;
    long line = 0;  // the physical line being fed to the parser
};

void on_field(void* data, std::size_t len, void* self) {
    auto* c = static_cast<Collector*>(self);
    c->current.push_back(Cell{std::string(static_cast<const char*>(data), len), c->line});
}

void on_row(int, void* self) {
    auto* c = static_cast<Collector*>(self);
    // A line of blanks only comes as one empty field: it is no row.
    bool blank = c->current.size() == 1 && c->current[0].text.empty();
    if (!blank) c->rows.push_back(std::move(c->current));
    c->current.clear();
}

int space_only(unsigned char ch) { return ch == CSV_SPACE ? 1 : 0; }
int space_or_tab(unsigned char ch) { return (ch == CSV_SPACE || ch == CSV_TAB) ? 1 : 0; }

struct Parser {
    csv_parser p;
    Parser() {
        if (csv_init(&p, CSV_STRICT | CSV_STRICT_FINI) != 0)
            throw ToolError("cannot start the table parser");
    }
    ~Parser() { csv_free(&p); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
};

std::string plural(std::size_t k, const char* word) {
    return std::to_string(k) + " " + word + (k == 1 ? "" : "s");
}

}  // namespace

char detect_delimiter(const std::string& text) {
    std::size_t end = text.find('\n');
    std::string first = text.substr(0, end);
    return first.find('\t') != std::string::npos ? '\t' : ',';
}

Table parse_table(const std::string& text_in, const std::string& name, char delimiter) {
    std::string text = text_in;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // byte-order mark

    Parser parser;
    csv_set_delim(&parser.p, static_cast<unsigned char>(delimiter));
    csv_set_space_func(&parser.p, delimiter == '\t' ? space_only : space_or_tab);

    // Fed one physical line at a time, so that every field knows its line.
    Collector c;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t len = (nl == std::string::npos ? text.size() : nl + 1) - pos;
        ++c.line;
        if (csv_parse(&parser.p, text.data() + pos, len, on_field, on_row, &c) != len)
            throw ToolError(where(name, c.line) + ": " +
                            csv_strerror(csv_error(&parser.p)) +
                            " (a quote inside a field must be doubled)");
        pos += len;
    }
    if (csv_fini(&parser.p, on_field, on_row, &c) != 0)
        throw ToolError(where(name, c.line) + ": a quoted field is not closed");

    if (c.rows.empty()) throw ToolError(name + ": the table is empty");

    Table t;
    t.name = name;
    t.header_line = c.rows[0].empty() ? 1 : c.rows[0][0].line;
    for (Cell& h : c.rows[0]) t.header.push_back(std::move(h.text));
    const std::size_t width = t.header.size();
    for (std::size_t r = 1; r < c.rows.size(); ++r) {
        std::vector<Cell>& row = c.rows[r];
        if (row.size() < width) {
            long line = row.empty() ? 0 : row.back().line;
            throw ToolError(where(name, line, static_cast<long>(row.size() + 1)) +
                            ": the row has " + plural(row.size(), "field") +
                            ", the header has " + std::to_string(width));
        }
        if (row.size() > width)
            throw ToolError(where(name, row[width].line, static_cast<long>(width + 1)) +
                            ": the row has " +
                            plural(row.size(), "field") + ", the header has " +
                            std::to_string(width));
        t.rows.push_back(std::move(row));
    }
    return t;
}

Table read_table(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError(path + ": cannot open the file");
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) throw ToolError(path + ": cannot read the file");
    std::string text = all.str();
    return parse_table(text, path, detect_delimiter(text));
}

}  // namespace prepare
