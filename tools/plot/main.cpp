// morvenak-plot: one SVG drawing per ordination of a score file "FittedSc.out".
#include "../common/toolmain.hpp"
#include "scorefile.hpp"
#include "svg.hpp"

#include "../common/newfiles.hpp"
#include "../common/toolerror.hpp"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

// The output folder must exist; a name that cannot be looked up says why.
void check_folder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(folder, ec);
    if (ec && st.type() != fs::file_type::not_found)
        throw tools::ToolError(folder + ": cannot use the folder: " + ec.message());
    if (st.type() != fs::file_type::directory)
        throw tools::ToolError(folder + ": no such folder");
}

int run(const std::string& input, const std::string& folder, const std::string& prefix) {
    if (prefix.find('/') != std::string::npos)
        throw tools::ToolError("the prefix \"" + prefix +
                               "\" holds a slash; give the folder with --out-dir");
    check_folder(folder);
    std::vector<plot::Ordination> all = plot::read_score_file(input);
    std::vector<tools::NewFile> files;
    std::vector<std::string> lines;
    if (all.empty()) lines.push_back(input + " holds no ordination; no SVG written.");
    for (std::size_t i = 0; i < all.size(); ++i) {
        const plot::Ordination& o = all[i];
        const std::string head = "Ordination " + std::to_string(i + 1) + ", " + o.title;
        if (o.eigenvalues.empty()) {
            lines.push_back(head + ": total variance is 0, no ordination axes; no SVG.");
            continue;
        }
        std::filesystem::path path = std::filesystem::path(folder) /
                                     (prefix + std::to_string(i + 1) + ".svg");
        files.push_back({path.lexically_normal().string(), plot::render_svg(o)});
        const std::size_t k = o.eigenvalues.size();
        lines.push_back(head + ": " + std::to_string(k) + (k == 1 ? " axis, " : " axes, ") +
                        std::to_string(o.scores.size()) + " objects: " + files.back().path);
    }
    tools::write_new_files(files);
    for (const std::string& l : lines) std::cout << l << "\n";
    std::cout.flush();
    if (!std::cout)
        throw tools::ToolError(std::string("standard output: cannot write: ") +
                               std::strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Draws each ordination of a score file as an SVG scatter plot of the "
                 "object scores on the first two axes (the first axis against the object "
                 "number when there is one axis).",
                 "morvenak-plot"};
    std::string input = "FittedSc.out", folder = ".", prefix = "ordination";
    app.add_option("scores", input, "Score file written by morvenak")->capture_default_str();
    app.add_option("-o,--out-dir", folder, "Folder of the SVG files (it must exist)")
        ->capture_default_str();
    app.add_option("-p,--prefix", prefix,
                   "Start of the SVG names, followed by the ordination's number")
        ->capture_default_str();
    return tools::tool_main("morvenak-plot", app, argc, argv,
                            [&] { return run(input, folder, prefix); });
}
