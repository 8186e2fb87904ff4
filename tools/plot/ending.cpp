// The end of a run of morvenak-plot; see ending.hpp.
#include "ending.hpp"

#include "../common/toolerror.hpp"

#include <filesystem>
#include <new>
#include <stdexcept>

namespace plot {

int run_to_end(const std::function<int()>& body, const std::string& input, std::ostream& err) {
    const std::string tool = "morvenak-plot: ";
    try {
        return body();
    } catch (const tools::ToolError& e) {
        err << tool << e.what() << "\n";
    } catch (const std::filesystem::filesystem_error& e) {
        err << tool << e.path1().string() << ": " << e.code().message() << "\n";
    } catch (const std::bad_alloc&) {
        err << tool << input << ": not enough memory to read the file and draw its ordinations\n";
    } catch (const std::exception& e) {
        err << tool << e.what() << "\n";
    }
    err.flush();
    return 2;
}

}  // namespace plot
