// The prepare command's options and run; see command.hpp.
#include "command.hpp"

#include "writer.hpp"

#include "tables/read.hpp"

#include "../common/newfiles.hpp"
#include "../common/toolerror.hpp"
#include "../common/toolmain.hpp"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <system_error>

namespace prepare {

namespace {

int run(const std::string& species_path, const std::string& labels_path,
        const std::vector<std::string>& columns, const std::string& folder,
        const std::string& prefix, const tables::TableOptions& table_options) {
    if (prefix.find('/') != std::string::npos)
        throw tools::ToolError("the prefix \"" + prefix +
                               "\" holds a slash; give the folder with --out-dir");
    check_file_name(prefix + "files.txt");
    std::error_code ec;
    const bool is_folder = std::filesystem::is_directory(folder, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        throw tools::ToolError(folder + ": cannot use the folder: " + ec.message());
    if (!is_folder) throw tools::ToolError(folder + ": no such folder");
    Design d = tables::read_design(species_path, labels_path, columns, table_options,
                                   tables::classic_limits);
    std::vector<tools::NewFile> files = classic_files(d, folder, prefix);
    tools::write_new_files(files);

    std::cout << d.objects.size() << " objects, " << d.species << " species: " << files[0].path
              << "\n";
    if (d.ignored > 0)
        std::cout << d.ignored << (d.ignored == 1 ? " sample" : " samples") << " of "
                  << d.labels_name << " not in the species table ignored\n";
    for (std::size_t f = 0; f < d.factors.size(); ++f) {
        const tables::Factor& fac = d.factors[f];
        std::cout << "Factor " << f + 1 << ", " << fac.column;
        if (f > 0) std::cout << " within " << d.factors[f - 1].column;
        std::cout << ": " << fac.coding.levels.size() << (f ? " subgroups, " : " levels, ")
                  << fac.codes.size() << " dummy variables: " << files[f + 1].path << "\n";
    }
    std::cout << "File of file names: " << files.back().path << "\n";
    return 0;
}

}  // namespace

int prepare_command(const std::string& name, int argc, const char* const* argv) {
    CLI::App app{
        "Writes the input files of a nested analysis of variance: the response "
        "file, one factor file per factor (weighted Helmert contrasts, nested "
        "factors coded within their parent) and the file of file names.",
        name};
    std::string species, labels, main_column, folder = ".", prefix;
    std::vector<std::string> nested;
    tables::TableOptions table_options;
    app.add_option("-s,--species", species,
                   "Species table (comma, semicolon or tab separated): a header row of species "
                   "names, one row per sample, the sample name first")
        ->required();
    app.add_option("-l,--labels", labels,
                   "Table of sample labels, the sample name first, one column per factor")
        ->required();
    app.add_option("-m,--main", main_column, "Column of the main factor")->required();
    app.add_option("-n,--nested", nested,
                   "Column of a nested factor, its labels read within the factor above; give "
                   "it twice for two levels of nesting, the outer one first")
        ->expected(1)
        ->take_all();
    app.add_option("-o,--out-dir", folder, "Folder of the files written (it must exist)")
        ->capture_default_str();
    app.add_option("-p,--prefix", prefix, "Text put before the names Y.txt, X1.txt.., files.txt");
    tables::add_table_options(app, table_options);
    return tools::tool_main(name, app, argc, argv, [&] {
        std::vector<std::string> columns{main_column};
        columns.insert(columns.end(), nested.begin(), nested.end());
        return run(species, labels, columns, folder, prefix, table_options);
    });
}

}  // namespace prepare
