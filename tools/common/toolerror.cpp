// Location prefix of the tools' error messages; see toolerror.hpp.
#include "toolerror.hpp"

namespace tools {

std::string where(const std::string& file, long line, long column) {
    std::string s = file;
    if (line > 0) s += ", line " + std::to_string(line);
    if (line > 0 && column > 0) s += ", column " + std::to_string(column);
    return s;
}

}  // namespace tools
