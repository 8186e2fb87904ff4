// Parser of the score file; see scorefile.hpp.
#include "scorefile.hpp"

#include "readfile.hpp"

#include "../common/toolerror.hpp"

#include <cstdlib>

namespace plot {

using tools::ToolError;
using tools::where;

namespace {

constexpr std::size_t per_line = 200;  // values on one line of a row
constexpr std::size_t width = 10;      // F10.5

std::string trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    std::size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

bool starts_with(const std::string& s, const std::string& head) {
    return s.compare(0, head.size(), head) == 0;
}

// An optional sign, digits and a decimal point, at least one digit ("-0.51268", "12.").
bool fixed_point(const std::string& s) {
    std::size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    std::size_t digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (s[i] >= '0' && s[i] <= '9')
            ++digits;
        else if (s[i] == '.' && !point)
            point = true;
        else
            return false;
    }
    return digits > 0;
}

const std::string separator = std::string(25, '-');
const std::string heading = "Object scores fitted to the anova factors";
const std::string no_axes = "Total variance is 0.";
const std::string closing = "Computation time for canonical object scores:";

// Walks the lines of the file, one at a time.
class Lines {
public:
    Lines(const std::string& text, std::string name) : name_(std::move(name)) {
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t nl = text.find('\n', pos);
            std::string line =
                text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(std::move(line));
            if (nl == std::string::npos) break;
            pos = nl + 1;
        }
    }
    bool done() const { return next_ >= lines_.size(); }
    std::size_t count() const { return lines_.size(); }
    long number() const { return static_cast<long>(next_) + 1; }  // of the next line
    const std::string& peek() const { return lines_[next_]; }
    std::string take() {
        if (done()) ends_early();
        return lines_[next_++];
    }
    void skip_empty() {
        while (!done() && trim(lines_[next_]).empty()) ++next_;
    }
    const std::string& name() const { return name_; }

    // The file stops before the end that the program writes to every score file.
    [[noreturn]] void ends_early() const {
        throw ToolError(where(name_, static_cast<long>(lines_.size())) +
                        ": the file ends here, before the end of the score file (the file "
                        "is incomplete)");
    }

    // One row of k values, over as many lines as it takes.
    std::vector<double> row(std::size_t k) {
        std::vector<double> values;
        while (values.size() < k) {
            long at = number();
            std::vector<double> part = row_fields(take(), name_, at);
            std::size_t want = std::min(per_line, k - values.size());
            if (part.size() != want)
                throw ToolError(where(name_, at) + ": " + std::to_string(part.size()) +
                                " values where " + std::to_string(want) + " were expected");
            values.insert(values.end(), part.begin(), part.end());
        }
        return values;
    }

private:
    std::string name_;
    std::vector<std::string> lines_;
    std::size_t next_ = 0;
};

std::size_t axis_count(const std::string& label, const std::string& name, long at) {
    // "Canonical eigenvalues (   3 eigenvalues)"
    std::size_t open = label.find('(');
    const char* digits = label.c_str() + open + 1;
    char* end = nullptr;
    long k = std::strtol(digits, &end, 10);
    if (open == std::string::npos || end == digits || k < 1 || trim(end) != "eigenvalues)")
        throw ToolError(where(name, at) + ": cannot read the number of eigenvalues in \"" + label +
                        "\"");
    return static_cast<std::size_t>(k);
}

// The body of an ordination with axes, from the line after its eigenvalue heading.
void read_axes(Lines& in, Ordination& o, std::size_t k) {
    o.eigenvalues = in.row(k);
    bool have_percent = false, have_variances = false;
    for (;;) {
        in.skip_empty();
        if (in.done()) break;
        const std::string label = trim(in.peek());
        if (label == separator || starts_with(label, "Computation time")) break;
        long at = in.number();
        in.take();
        if (label == "% of total variance of PCA") {
            o.percent = in.row(k);
            have_percent = true;
        } else if (label == "Cumulative % of total variance of PCA" ||
                   label == "Cumulative % of canonical variance" ||
                   label == "Cumulative % of residual variance") {
            in.row(k);
        } else if (label == "Variances") {
            in.row(k);
            have_variances = true;
        } else if (starts_with(label, "Sum of all canonical eigenvalues") ||
                   starts_with(label, "Sum of non-canonical eigenvalues")) {
            // one value on the label's line; not drawn
        } else if (label == "Object scores") {
            o.scores_line = at;
            while (!in.done() && !trim(in.peek()).empty()) o.scores.push_back(in.row(k));
            if (o.scores.empty() && in.done()) in.ends_early();
            if (o.scores.empty())
                throw ToolError(where(in.name(), at) + ": no object scores follow");
        } else {
            throw ToolError(where(in.name(), at) + ": unexpected line \"" + label +
                            "\" in the ordination \"" + o.title + "\"");
        }
    }
    // Every ordination ends with its variances: a file without them ends too soon.
    if (!have_variances && in.done()) in.ends_early();
    if (!have_percent)
        throw ToolError(where(in.name(), o.title_line) + ": the ordination \"" + o.title +
                        "\" has no line \"% of total variance of PCA\"");
    if (o.scores.empty())
        throw ToolError(where(in.name(), o.title_line) + ": the ordination \"" + o.title +
                        "\" has no object scores");
    if (!have_variances)
        throw ToolError(where(in.name(), o.title_line) + ": the ordination \"" + o.title +
                        "\" has no line \"Variances\"");
}

}  // namespace

std::vector<double> row_fields(const std::string& line, const std::string& name, long number) {
    std::size_t len = line.find_last_not_of(' ');
    len = (len == std::string::npos) ? 0 : len + 1;
    if (len < 1 + width || line[0] != ' ')
        throw ToolError(where(name, number) +
                        ": expected a row of values (a blank, then "
                        "fields of 10 columns)");
    if ((len - 1) % width != 0) {
        std::size_t partial = 1 + (len - 1) / width * width;
        throw ToolError(where(name, number, static_cast<long>(partial + 1)) +
                        ": the last field \"" + line.substr(partial, len - partial) +
                        "\" is shorter than 10 columns");
    }
    std::vector<double> values;
    for (std::size_t at = 1; at < len; at += width) {
        const std::string text = trim(line.substr(at, width));
        const long column = static_cast<long>(at + 1);
        if (!text.empty() && text.find_first_not_of('*') == std::string::npos)
            throw ToolError(where(name, number, column) + ": a value too large for its field (" +
                            text + ")");
        // Only what an F field holds: no exponent, so every value is finite and the
        // drawing's extent too.
        if (!fixed_point(text))
            throw ToolError(where(name, number, column) + ": \"" + text + "\" is not a number");
        values.push_back(std::strtod(text.c_str(), nullptr));
    }
    return values;
}

std::vector<Ordination> parse_score_file(const std::string& text, const std::string& name) {
    Lines in(text, name);
    const std::string first = " " + heading;
    if (!in.done() && text.find('\n') == std::string::npos &&
        first.compare(0, in.peek().size(), in.peek()) == 0)
        in.ends_early();  // the heading cut short
    if (in.done() || trim(in.peek()) != heading)
        throw ToolError(where(name, 1) + ": not a score file (its first line is not \"" + heading +
                        "\")");
    // Every line the program writes ends with a line end: a last line without one was
    // cut short.
    if (text.back() != '\n') in.ends_early();
    in.take();
    std::vector<Ordination> found;
    int separators = 0;
    long separator_at = 0;
    for (;;) {
        in.skip_empty();
        if (in.done()) {
            // A run without ordinations writes the heading and one separator only.
            if (found.empty() && separators == 1 && separator_at < static_cast<long>(in.count()))
                break;
            in.ends_early();
        }
        const std::string line = trim(in.peek());
        if (starts_with(line, closing)) {
            const long at = in.number();
            in.take();
            // The closing line, then an empty line.
            if (in.done()) in.ends_early();
            if (line.size() < 4 || line.compare(line.size() - 4, 4, "sec.") != 0 ||
                !trim(in.peek()).empty())
                throw ToolError(where(name, at) + ": the closing line is not \"" + closing +
                                " <seconds> sec.\" followed by an empty line");
            break;
        }
        if (line == separator || starts_with(line, "Note:")) {
            if (line == separator) ++separators, separator_at = in.number();
            in.take();
            continue;
        }
        Ordination o;
        o.title_line = in.number();
        o.title = line;
        in.take();
        in.skip_empty();
        long at = in.number();
        const std::string label = trim(in.take());
        if (starts_with(label, no_axes)) {
            found.push_back(std::move(o));
            continue;
        }
        if (starts_with(label, "Canonical eigenvalues ("))
            o.canonical = true;
        else if (!starts_with(label, "Non-canonical eigenvalues ("))
            throw ToolError(where(name, at) + ": expected the eigenvalues of \"" + o.title +
                            "\" or the line \"Total variance is 0. There are no ordination "
                            "axes.\"");
        read_axes(in, o, axis_count(label, name, at));
        // All ordinations are of the same objects.
        for (const Ordination& before : found)
            if (!before.eigenvalues.empty() && before.scores.size() != o.scores.size())
                throw ToolError(where(name, o.scores_line) + ": " +
                                std::to_string(o.scores.size()) + " object scores in \"" + o.title +
                                "\", " + std::to_string(before.scores.size()) + " in \"" +
                                before.title + "\" (line " + std::to_string(before.scores_line) +
                                ")");
        found.push_back(std::move(o));
    }
    return found;
}

std::vector<Ordination> read_score_file(const std::string& path) {
    return parse_score_file(read_bounded(path, score_file_limits), path);
}

}  // namespace plot
