// Texts of the program's input files; see writer.hpp.
#include "writer.hpp"

#include "../common/toolerror.hpp"

namespace prepare {

std::string response_text(const Design& d) {
    std::string s = std::to_string(d.objects.size()) + " " + std::to_string(d.species) + "\n";
    for (const auto& row : d.values) {
        for (std::size_t j = 0; j < row.size(); ++j) s += (j ? " " : "") + row[j];
        s += "\n";
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

std::string names_text(const std::vector<std::string>& names) {
    constexpr std::size_t longest = 79;
    std::string s = std::to_string(names.size()) + "\n";
    for (const std::string& name : names) {
        if (name.size() > longest)
            throw tools::ToolError("the file name \"" + name + "\" has " +
                                   std::to_string(name.size()) +
                                   " characters; the program reads at most 79");
        if (name.find_first_of(" \t,/'\"") == std::string::npos) {
            s += name + "\n";
            continue;
        }
        std::string q = "'";
        for (char c : name) q += (c == '\'') ? std::string("''") : std::string(1, c);
        s += q + "'\n";
    }
    return s;
}

}  // namespace prepare
