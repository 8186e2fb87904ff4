// Table reading with libcsv, piece by piece; see table.hpp.
#include "table.hpp"

#include "../common/toolerror.hpp"

#include <csv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tables {

using tools::ToolError;
using tools::where;

void Texts::push_back(std::string_view text) {
    chars_.append(text);
    // A row is at most max_row_bytes long (the reader stops before); the ends
    // are 32 bits for that.
    if (chars_.size() > UINT32_MAX)
        throw ToolError("a row of a table holds more than 4 GiB of text");
    ends_.push_back(static_cast<std::uint32_t>(chars_.size()));
}

void Fields::push_back(std::string_view text, long line) {
    if (lines_.empty() || lines_.back().second != line) lines_.emplace_back(texts_.size(), line);
    texts_.push_back(text);
}

long Fields::line(std::size_t k) const {
    // The last change at or before field k; a row rarely has more than one.
    std::size_t at = lines_.size() - 1;
    while (lines_[at].first > k) --at;
    return lines_[at].second;
}

namespace {

constexpr std::size_t piece_bytes = 1 << 16;  // the most fed to the parser at once

std::string plural(std::size_t k, const char* word) {
    return std::to_string(k) + " " + word + (k == 1 ? "" : "s");
}

// What libcsv's callbacks build. They must not throw through the C parser: the first
// fault is kept in `error` and thrown once the parser returns.
struct Collector {
    std::string name;
    TableLimits limits;
    Table table;
    Fields current;
    std::size_t fields = 0;  // fields of the current row, kept or not
    long extra_line = 0;     // line of its first field beyond the header's width
    long line = 0;           // the physical line being fed to the parser
    bool header_done = false;
    bool row_kept = false;  // a row was kept during the last piece
    std::optional<ToolError> error;

    void fail(ToolError e) {
        if (!error) error = std::move(e);
    }

    void field(const char* data, std::size_t len) {
        if (error) return;
        ++fields;
        if (!header_done) {
            if (limits.species > 0 && fields > limits.species + 1) {
                fail(tools::beyond_limits(where(name, line, static_cast<long>(fields)) +
                                          ": more than " + std::to_string(limits.species) +
                                          " species; the program takes at most " +
                                          std::to_string(limits.species)));
                return;
            }
        } else if (fields > table.header.size()) {
            // Counted for the message about the row's width, not kept.
            if (fields == table.header.size() + 1) extra_line = line;
            return;
        }
        current.push_back(std::string_view(data, len), line);
    }

    void row() {
        if (error) return;
        // A line of blanks only comes as one empty field: it is no row.
        const bool blank = fields == 1 && current[0].text.empty();
        const std::size_t count = fields;
        fields = 0;
        if (blank) {
            current.clear();
            return;
        }
        row_kept = true;
        if (!header_done) {
            header_done = true;
            table.header_line = current.empty() ? 1 : current[0].line;
            for (std::size_t k = 0; k < current.size(); ++k)
                table.header.emplace_back(current[k].text);
            current.clear();
            return;
        }
        const std::size_t width = table.header.size();
        if (count < width) {
            long at = current.empty() ? 0 : current.back().line;
            fail(ToolError(where(name, at, static_cast<long>(count + 1)) + ": the row has " +
                           plural(count, "field") + ", the header has " + std::to_string(width)));
            return;
        }
        if (count > width) {
            fail(ToolError(where(name, extra_line, static_cast<long>(width + 1)) +
                           ": the row has " + plural(count, "field") + ", the header has " +
                           std::to_string(width)));
            return;
        }
        if (limits.samples > 0 && table.rows.size() == limits.samples) {
            fail(tools::beyond_limits(where(name, current[0].line, 1) + ": more than " +
                                      std::to_string(limits.samples) +
                                      " samples; the program takes at most " +
                                      std::to_string(limits.samples) + " objects"));
            return;
        }
        const std::size_t bytes = current.bytes();
        table.rows.push_back(std::move(current));
        current = Fields();
        current.reserve(width, bytes);  // the next row is as wide, and likely as long
    }
};

void on_field(void* data, std::size_t len, void* self) {
    static_cast<Collector*>(self)->field(static_cast<const char*>(data), len);
}

void on_row(int, void* self) { static_cast<Collector*>(self)->row(); }

int space_only(unsigned char ch) { return ch == CSV_SPACE ? 1 : 0; }
int space_or_tab(unsigned char ch) { return (ch == CSV_SPACE || ch == CSV_TAB) ? 1 : 0; }

// Feeds the text to libcsv as it comes. The first line is held until it is complete,
// since it decides the delimiter; after it, pieces never cross a line end, so that every
// field knows its line.
class TableReader {
public:
    TableReader(const std::string& name, char delimiter, const TableLimits& limits)
        : delimiter_(delimiter) {
        if (csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI) != 0)
            throw ToolError("cannot start the table parser");
        c_.name = name;
        c_.limits = limits;
        c_.table.name = name;
    }
    ~TableReader() { csv_free(&parser_); }
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    void feed(const char* data, std::size_t n) {
        if (!started_) {
            const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
            const std::size_t head = nl ? static_cast<std::size_t>(nl - data) + 1 : n;
            if (std::memchr(data, '\0', head)) nul_byte(1);
            first_.append(data, head);
            if (first_.size() > c_.limits.row_bytes) too_long(1);
            if (!nl) return;
            start();
            data += head;
            n -= head;
        }
        parse(data, n);
    }

    Table finish() {
        if (!started_) start();
        if (csv_fini(&parser_, on_field, on_row, &c_) != 0)
            c_.fail(ToolError(where(c_.name, c_.line) + ": a quoted field is not closed"));
        if (c_.error) throw *c_.error;
        if (!c_.header_done) throw ToolError(c_.name + ": the table is empty");
        c_.table.delimiter = delimiter_;
        return std::move(c_.table);
    }

private:
    void start() {
        started_ = true;
        if (first_.compare(0, 3, "\xEF\xBB\xBF") == 0) first_.erase(0, 3);  // byte-order mark
        if (delimiter_ == 0) delimiter_ = detect_delimiter(first_, c_.name);
        csv_set_delim(&parser_, static_cast<unsigned char>(delimiter_));
        csv_set_space_func(&parser_, delimiter_ == '\t' ? space_only : space_or_tab);
        std::string first = std::move(first_);
        first_.clear();
        header_ = first;
        parse(first.data(), first.size());
    }

    void parse(const char* data, std::size_t n) {
        while (n > 0) {
            std::size_t len = n < piece_bytes ? n : piece_bytes;
            const char* nl = static_cast<const char*>(std::memchr(data, '\n', len));
            if (nl) len = static_cast<std::size_t>(nl - data) + 1;
            c_.line = next_line_;
            if (std::memchr(data, '\0', len)) nul_byte(c_.line);
            c_.row_kept = false;
            if (csv_parse(&parser_, data, len, on_field, on_row, &c_) != len && !c_.error)
                c_.fail(ToolError(where(c_.name, c_.line) + ": " +
                                  csv_strerror(csv_error(&parser_)) +
                                  " (a quote inside a field must be doubled)" + separator_hint()));
            if (c_.error) throw *c_.error;
            pending_ = c_.row_kept ? 0 : pending_ + len;
            if (pending_ > c_.limits.row_bytes) too_long(c_.line);
            if (nl) ++next_line_;
            data += len;
            n -= len;
        }
    }

    // When the header line holds no separator of the table's but another one, the
    // separator (given, or told from the header) is likely wrong: say what was found.
    std::string separator_hint() const {
        const auto name = [](char c) {
            return c == '\t' ? std::string("tabs") : "'" + std::string(1, c) + "'";
        };
        if (header_.find(delimiter_) != std::string::npos) return "";
        for (const char other : {',', ';', '\t'})
            if (other != delimiter_ && header_.find(other) != std::string::npos)
                return "; the header line holds no " + name(delimiter_) +
                       ", the separator read with, but " + name(other) + ": give --sep " +
                       (other == '\t'  ? "tab"
                        : other == ';' ? "';'"
                                       : ",");
        return "";
    }

    [[noreturn]] void nul_byte(long line) const {
        throw ToolError(where(c_.name, line) +
                        ": the file holds a NUL byte; a table is plain text");
    }

    [[noreturn]] void too_long(long line) const {
        const std::size_t b = c_.limits.row_bytes;
        const std::string size = b % (std::size_t{1} << 20) == 0 ? std::to_string(b >> 20) + " MiB"
                                 : b % 1024 == 0                 ? std::to_string(b >> 10) + " KiB"
                                                                 : std::to_string(b) + " bytes";
        throw ToolError(where(c_.name, line) + ": more than " + size +
                        " without the end of a row;"
                        " a row of a table takes at most " +
                        size);
    }

    csv_parser parser_;
    Collector c_;
    char delimiter_;  // 0 until the first line decides it
    bool started_ = false;
    std::string first_;   // the first line, while it is incomplete
    std::string header_;  // the first line, for the messages
    long next_line_ = 1;
    std::size_t pending_ = 0;  // bytes fed since the last row was kept
};

// The file descriptor of a table, or an exception naming the path and the reason.
int open_table(const std::string& path) {
    // Not blocking while opening: a named pipe without a writer reads as empty.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw ToolError(path + ": cannot open the file: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw ToolError(path + ": cannot open the file: " + std::strerror(EISDIR));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

struct Fd {
    int fd;
    ~Fd() { ::close(fd); }
};

}  // namespace

char detect_delimiter(const std::string& text, const std::string& name) {
    const std::string first = text.substr(0, text.find('\n'));
    if (first.find('\t') != std::string::npos) return '\t';
    bool quoted = false, comma = false, semicolon = false;
    for (char ch : first) {
        if (ch == '"')
            quoted = !quoted;  // a doubled quote turns it off and on again
        else if (!quoted && ch == ',')
            comma = true;
        else if (!quoted && ch == ';')
            semicolon = true;
    }
    if (comma && semicolon)
        throw ToolError(where(name, 1) +
                        ": the header holds both commas and semicolons, so "
                        "the separator cannot be told; name it with --sep , or --sep ';'");
    return semicolon ? ';' : ',';
}

Table parse_table(const std::string& text, const std::string& name, char delimiter,
                  const TableLimits& limits) {
    TableReader reader(name, delimiter, limits);
    reader.feed(text.data(), text.size());
    return reader.finish();
}

Table read_table(const std::string& path, const TableLimits& limits, char delimiter) {
    try {
        Fd in{open_table(path)};
        TableReader reader(path, delimiter, limits);
        std::vector<char> buffer(piece_bytes);
        for (;;) {
            ssize_t got = ::read(in.fd, buffer.data(), buffer.size());
            if (got < 0) {
                if (errno == EINTR) continue;
                throw ToolError(path + ": cannot read the file: " + std::strerror(errno));
            }
            if (got == 0) break;
            reader.feed(buffer.data(), static_cast<std::size_t>(got));
        }
        return reader.finish();
    } catch (const std::bad_alloc&) {
        throw tools::beyond_limits(path + ": not enough memory to read the table");
    }
}

TableSize size_of(const Table& t) {
    // Per row: its characters and their ends, the row in the table's vector (which
    // grows by doubling), the line of its first field, and the allocator's own share
    // of its three allocations.
    constexpr double row_bytes = 2.0 * sizeof(Fields) + 16.0 + 3 * 16.0;
    TableSize s;
    s.rows = t.rows.size();
    s.width = t.header.size();
    for (const std::string& h : t.header) s.bytes += static_cast<double>(sizeof h + h.size());
    for (const Fields& row : t.rows)
        s.bytes +=
            static_cast<double>(row.bytes()) + 4.0 * static_cast<double>(row.size()) + row_bytes;
    return s;
}

TableSize estimate_size(const std::string& path, char delimiter) {
    constexpr std::size_t sample_bytes = std::size_t{1} << 20;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    Fd in{fd};
    std::string text(sample_bytes, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t k = ::read(in.fd, &text[got], text.size() - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        got += static_cast<std::size_t>(k);
    }
    text.resize(got);
    const double file = static_cast<double>(st.st_size);
    const bool whole = got >= static_cast<std::size_t>(st.st_size);
    if (!whole) text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    try {
        const Table t = parse_table(text, path, delimiter);
        TableSize s = size_of(t);
        if (whole || t.rows.empty()) return s;
        // The rows after the sample are taken to be as long, on average, as its own.
        const double header = static_cast<double>(text.find('\n') + 1);
        const double scale = (file - header) / (static_cast<double>(text.size()) - header);
        s.rows = static_cast<std::size_t>(static_cast<double>(s.rows) * scale);
        s.bytes *= scale;
        s.estimated = true;
        return s;
    } catch (const ToolError&) {
        return {};
    }
}

}  // namespace tables
