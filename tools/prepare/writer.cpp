// Texts of the program's input files; see writer.hpp.
#include "writer.hpp"

#include "../common/toolerror.hpp"

namespace prepare {

std::string response_text(const Design& d) {
    std::string s = std::to_string(d.objects.size()) + " " + std::to_string(d.species) + "\n";
    std::size_t size = s.size();
    for (const auto& row : d.values) size += row.bytes() + row.size();
    s.reserve(size);
    for (const auto& row : d.values) {
        for (std::size_t j = 0; j < row.size(); ++j) {
            if (j) s += ' ';
            s += row[j];
        }
        s += '\n';
    }
    return s;
}

std::string factor_text(const std::vector<Column>& columns, std::size_t n) {
    std::string s = std::to_string(n) + " " + std::to_string(columns.size()) + "\n";
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < columns.size(); ++j)
            s += (j ? " " : "") + std::to_string(columns[j][i]);
        s += "\n";
    }
    return s;
}

void check_file_name(const std::string& name) {
    // Shown with its control characters as '?', so that the message stays one line.
    std::string shown = name;
    for (char& ch : shown)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
    const std::string head = "the file name \"" + shown + "\" ";
    if (name.empty()) throw tools::ToolError("a file name is empty");
    if (name.find('\n') != std::string::npos)
        throw tools::ToolError(head +
                               "holds a line end; the program reads each name from "
                               "one line");
    if (name.find('\0') != std::string::npos)
        throw tools::ToolError(head + "holds a NUL byte, which no file name can hold");
    if (name.back() == ' ')
        throw tools::ToolError(head + "ends in a blank, which the program drops");
    if (name.size() > max_name_length)
        throw tools::ToolError(head + "has " + std::to_string(name.size()) +
                               " characters; the program reads at most " +
                               std::to_string(max_name_length));
}

std::string names_text(const std::vector<std::string>& names) {
    std::string s = std::to_string(names.size()) + "\n";
    for (const std::string& name : names) {
        check_file_name(name);
        s += '\'';
        for (char ch : name) s += ch == '\'' ? std::string("''") : std::string(1, ch);
        s += "'\n";
    }
    return s;
}

}  // namespace prepare

namespace prepare {

namespace {

std::string in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder == ".") return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::vector<std::string> classic_names(std::size_t factors, const std::string& prefix) {
    std::vector<std::string> names{prefix + "Y.txt"};
    for (std::size_t f = 0; f < factors; ++f)
        names.push_back(prefix + "X" + std::to_string(f + 1) + ".txt");
    names.push_back(prefix + "files.txt");
    return names;
}

std::vector<tools::NewFile> classic_files(const Design& d, const std::string& folder,
                                          const std::string& prefix) {
    if (prefix.find('/') != std::string::npos)
        throw tools::ToolError("the prefix \"" + prefix +
                               "\" holds a slash; give the folder with --out-dir");
    // The names the program will read: those in the file of file names and the name
    // of that file, which is typed at its first question.
    std::vector<std::string> names = classic_names(d.factors.size(), prefix);
    const std::string names_file = names.back();
    names.pop_back();
    check_file_name(names_file);
    for (const std::string& name : names) check_file_name(name);
    std::vector<tools::NewFile> files;
    files.push_back({in_folder(folder, names[0]), response_text(d)});
    for (std::size_t f = 0; f < d.factors.size(); ++f)
        files.push_back(
            {in_folder(folder, names[f + 1]), factor_text(d.factors[f].codes, d.objects.size())});
    files.push_back({in_folder(folder, names_file), names_text(names)});
    return files;
}

}  // namespace prepare
