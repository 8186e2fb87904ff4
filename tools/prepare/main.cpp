// morvenak-prepare: writes the response file, one factor file per factor and the file
// of file names of an analysis, from a species table and a table of sample labels.
#include "coding.hpp"
#include "design.hpp"
#include "table.hpp"
#include "writer.hpp"

#include "../common/newfiles.hpp"
#include "../common/toolerror.hpp"
#include "../common/toolmain.hpp"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

std::string in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder == ".") return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

int run(const std::string& species_path, const std::string& labels_path,
        const std::vector<std::string>& columns, const std::string& folder,
        const std::string& prefix) {
    using namespace prepare;
    if (prefix.find('/') != std::string::npos)
        throw tools::ToolError("the prefix \"" + prefix +
                               "\" holds a slash; give the folder with --out-dir");
    // The names the program will read: those in the file of file names and the name
    // of that file, which is typed at its first question.
    std::vector<std::string> names{prefix + "Y.txt"};
    for (std::size_t f = 0; f < columns.size(); ++f)
        names.push_back(prefix + "X" + std::to_string(f + 1) + ".txt");
    const std::string names_file = prefix + "files.txt";
    check_file_name(names_file);
    for (const std::string& name : names) check_file_name(name);
    std::error_code ec;
    const bool is_folder = std::filesystem::is_directory(folder, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        throw tools::ToolError(folder + ": cannot use the folder: " + ec.message());
    if (!is_folder) throw tools::ToolError(folder + ": no such folder");
    Table species = read_table(species_path, {max_species, max_objects});
    Table labels = read_table(labels_path, {0, max_objects});
    Design d = build_design(species, labels, columns);
    std::vector<std::vector<Column>> coded = code_design(d);

    const std::size_t n = d.objects.size();
    std::vector<tools::NewFile> files;
    files.push_back({in_folder(folder, names[0]), response_text(d)});
    for (std::size_t f = 0; f < coded.size(); ++f)
        files.push_back({in_folder(folder, names[f + 1]), factor_text(coded[f], n)});
    files.push_back({in_folder(folder, names_file), names_text(names)});
    tools::write_new_files(files);

    std::cout << n << " objects, " << d.species << " species: " << files[0].path << "\n";
    for (std::size_t f = 0; f < coded.size(); ++f) {
        const Factor& fac = d.factors[f];
        std::cout << "Factor " << f + 1 << ", " << fac.column;
        if (f > 0) std::cout << " within " << d.factors[f - 1].column;
        std::cout << ": " << fac.levels.size() << (f ? " subgroups, " : " levels, ")
                  << coded[f].size() << " dummy variables: " << files[f + 1].path << "\n";
    }
    std::cout << "File of file names: " << files.back().path << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes the input files of a nested analysis of variance: the response "
                 "file, one factor file per factor (weighted Helmert contrasts, nested "
                 "factors coded within their parent) and the file of file names.",
                 "morvenak-prepare"};
    std::string species, labels, main_column, folder = ".", prefix;
    std::vector<std::string> nested;
    app.add_option("-s,--species", species,
                   "Species table (CSV or tab-separated): a header row of species names, "
                   "one row per sample, the sample name first")
        ->required();
    app.add_option("-l,--labels", labels,
                   "Table of sample labels, the sample name first, one column per factor")
        ->required();
    app.add_option("-m,--main", main_column, "Column of the main factor")->required();
    app.add_option("-n,--nested", nested,
                   "Column of a nested factor; give it twice for two levels of nesting, "
                   "the outer one first")
        ->expected(1)
        ->take_all();
    app.add_option("-o,--out-dir", folder, "Folder of the files written (it must exist)")
        ->capture_default_str();
    app.add_option("-p,--prefix", prefix,
                   "Text put before the names Y.txt, X1.txt.., files.txt");
    return tools::tool_main("morvenak-prepare", app, argc, argv, [&] {
        std::vector<std::string> columns{main_column};
        columns.insert(columns.end(), nested.begin(), nested.end());
        return run(species, labels, columns, folder, prefix);
    });
}
