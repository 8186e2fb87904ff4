// morvenak-plot: one figure per ordination of a run, from its results folder or from a
// classic score file "FittedSc.out" (with the run's tables, to name and group samples),
// and the figures of a run's test of dispersion.
#include "classic.hpp"
#include "dispersion.hpp"
#include "figure.hpp"
#include "meter.hpp"
#include "model.hpp"
#include "render.hpp"
#include "results.hpp"
#include "text.hpp"

#include "../common/newfiles.hpp"
#include "../common/toolerror.hpp"
#include "../common/toolmain.hpp"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using tools::ToolError;

struct Args {
    std::string input = "FittedSc.out", output, prefix = "ordination-";
    std::string axes = "1,2", point_labels, formats = "svg", scores = "sites";
    std::string colour_by, shape_by;
    bool hulls = false, ellipses = false;
    std::size_t top_species = 10;
    double width = 7, height = 6, dpi = 150;
    plot::ClassicTables tables;
    std::string main_column;
    std::vector<std::string> nested;
};

// "1,2": two different axes, numbered from 1.
void parse_axes(const std::string& s, plot::FigureOptions& opt) {
    const std::size_t comma = s.find(',');
    const auto axis = [&](const std::string& part) -> std::size_t {
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string::npos)
            return 0;
        return static_cast<std::size_t>(std::stoul(part));
    };
    const std::size_t a = comma == std::string::npos ? 0 : axis(s.substr(0, comma));
    const std::size_t b = comma == std::string::npos ? 0 : axis(s.substr(comma + 1));
    if (a == 0 || b == 0 || a == b)
        throw ToolError("--axes " + s + ": give two different axes numbered from 1, such as 1,2");
    opt.axis_x = a - 1, opt.axis_y = b - 1;
}

std::vector<std::pair<plot::Format, std::string>> parse_formats(const std::string& s) {
    std::vector<std::pair<plot::Format, std::string>> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = s.find(',', start);
        const std::string f =
            s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        plot::Format format;
        if (f == "svg")
            format = plot::Format::svg;
        else if (f == "pdf")
            format = plot::Format::pdf;
        else if (f == "png")
            format = plot::Format::png;
        else if (f == "json")
            format = plot::Format::json;
        else
            throw ToolError("--format " + s + ": \"" + f +
                            "\" is not a format; give svg, pdf, png or json (the figure model), "
                            "or several with commas, such as svg,png");
        bool again = false;
        for (const auto& have : out) again = again || have.second == f;
        if (!again) out.push_back({format, f});
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

// The dispersion figures' names start as the ordinations' do, "dispersion" in place of
// "ordination-": dispersion.svg beside ordination-1.svg, dune-dispersion.svg beside
// dune-ordination-1.svg, and with a prefix "dune-" also dune-dispersion.svg.
std::string dispersion_start(const std::string& prefix) {
    const std::string ordination = "ordination-";
    if (prefix.size() >= ordination.size() &&
        prefix.compare(prefix.size() - ordination.size(), ordination.size(), ordination) == 0)
        return prefix.substr(0, prefix.size() - ordination.size()) + "dispersion";
    return prefix + "dispersion";
}

// The output folder, when it exists, must be a folder that can be looked up.
bool folder_exists(const std::string& folder) {
    std::error_code ec;
    const fs::file_status st = fs::status(folder, ec);
    if (ec && st.type() != fs::file_type::not_found)
        throw ToolError(folder + ": cannot use the folder: " + ec.message());
    if (st.type() == fs::file_type::not_found) return false;
    if (st.type() != fs::file_type::directory)
        throw ToolError(folder + ": cannot use the folder: it is not a folder");
    return true;
}

// Creates the folder and any folder above it that is missing; returns the highest one
// created, to remove when nothing is written into it.
std::string make_folder(const std::string& folder) {
    fs::path top = fs::path(folder).lexically_normal(), p = top;
    std::error_code ec;
    while (p.has_parent_path() && p.parent_path() != p && !fs::exists(p.parent_path(), ec))
        p = p.parent_path();
    top = p;
    fs::create_directories(folder, ec);
    if (ec) throw ToolError(folder + ": cannot create the folder: " + ec.message());
    return top.string();
}

int run(const Args& a) {
    if (a.prefix.find('/') != std::string::npos)
        throw ToolError("the prefix \"" + a.prefix +
                        "\" holds a slash; give the folder with --output");
    plot::FigureOptions opt;
    parse_axes(a.axes, opt);
    opt.hulls = a.hulls, opt.ellipses = a.ellipses, opt.top_species = a.top_species;
    opt.width = a.width, opt.height = a.height;
    // Not given: names up to 50 samples, none beyond.
    opt.point_labels = a.point_labels.empty()
                           ? plot::PointLabels::automatic
                           : plot::point_labels_named(a.point_labels, "--point-labels");
    opt.fitted = a.scores == "fitted";
    opt.colour_by = a.colour_by, opt.shape_by = a.shape_by;
    const auto formats = parse_formats(a.formats);
    for (const auto& f : formats)
        if (f.first == plot::Format::png && a.width * a.height * a.dpi * a.dpi > 1e8)
            throw ToolError(
                "a PNG of " + std::to_string(static_cast<long>(a.width * a.dpi)) + " x " +
                std::to_string(static_cast<long>(a.height * a.dpi)) +
                " pixels is beyond the 100 million pixels drawn; lower --dpi, --width or --height");

    std::error_code ec;
    const bool results = fs::is_directory(a.input, ec);
    if (results && !a.tables.species.empty())
        throw ToolError(a.input +
                        " is a results folder, which names and groups its samples itself; "
                        "--species, --labels, --main and --nested serve a score file");
    const std::string folder = !a.output.empty() ? a.output
                               : results         ? (fs::path(a.input) / "figures").string()
                                         : (fs::path(a.input).parent_path() / "figures").string();
    const bool existed = folder_exists(folder);

    plot::ClassicTables tables = a.tables;
    if (!a.main_column.empty()) tables.columns.push_back(a.main_column);
    tables.columns.insert(tables.columns.end(), a.nested.begin(), a.nested.end());
    const plot::PlotInput in =
        results ? plot::read_results(a.input) : plot::read_classic(a.input, tables);
    plot::check_style_columns(in, opt);

    std::vector<tools::NewFile> files;
    std::vector<std::string> lines, warnings;
    std::string lacking;  // the ordinations that have axes, but not those asked for
    if (in.ordinations.empty())
        lines.push_back(a.input + " holds no ordination; no figure " +
                        (in.dispersion ? "of an ordination " : "") + "drawn.");
    {
        const plot::TextMeter meter;
        const plot::Measure measure = meter.measure();
        for (std::size_t k = 0; k < in.ordinations.size(); ++k) {
            const plot::Scores& o = in.ordinations[k];
            const std::size_t axes = o.eigenvalues.size();
            std::string head =
                "Ordination " + std::to_string(o.number) + ", " + plot::clean_text(o.title);
            if (axes == 0) {
                lines.push_back(head + ": total variance is 0, no ordination axes; no figure.");
                continue;
            }
            const std::string has = std::to_string(axes) + (axes == 1 ? " axis" : " axes");
            if (!plot::shows_axes(o, opt)) {
                const std::size_t missing = opt.axis_x >= axes ? opt.axis_x : opt.axis_y;
                warnings.push_back(head + ": " + has + ", no axis " + std::to_string(missing + 1) +
                                   "; no figure drawn");
                lacking += (lacking.empty() ? "" : ", ") + std::to_string(o.number) + " has " + has;
                continue;
            }
            const plot::Figure fig = plot::build_figure(in, k, opt, measure);
            head += ": " + has + ", " + std::to_string(o.objects.size()) + " samples";
            std::string names;
            for (const auto& f : formats) {
                const std::string path =
                    (fs::path(folder) / (a.prefix + std::to_string(o.number) + "." + f.second))
                        .lexically_normal()
                        .string();
                files.push_back({path, plot::render(fig, f.first, a.dpi)});
                names += (names.empty() ? ": " : ", ") + path;
            }
            if (fig.dropped_samples || fig.dropped_species || fig.dropped_centroids)
                head += " (" + fig.note.text + ")";
            lines.push_back(head + names);
        }
        // The test of dispersion, then that of a nested design's main factor's subgroups.
        for (const auto* d : {&in.dispersion, &in.dispersion_units}) {
            if (!*d) continue;
            const plot::Figure fig = plot::build_dispersion_figure(**d, opt, measure);
            const std::string start =
                dispersion_start(a.prefix) + (d == &in.dispersion_units ? "-units" : "");
            const std::size_t groups = (*d)->groups.size(), units = (*d)->units.size();
            std::string line = plot::dispersion_title(**d) + ": " + std::to_string(groups) +
                               (groups == 1 ? " group, " : " groups, ") + std::to_string(units) +
                               ((*d)->of_subgroups ? (units == 1 ? " subgroup" : " subgroups")
                                                   : (units == 1 ? " sample" : " samples"));
            std::string names;
            for (const auto& f : formats) {
                const std::string path =
                    (fs::path(folder) / (start + "." + f.second)).lexically_normal().string();
                files.push_back({path, plot::render(fig, f.first, a.dpi)});
                names += (names.empty() ? ": " : ", ") + path;
            }
            if (fig.note.text.find("left out") != std::string::npos)
                line += " (" + fig.note.text + ")";
            lines.push_back(line + names);
        }
    }
    if (files.empty() && !lacking.empty())
        throw ToolError(a.input + ": no ordination has axes " + std::to_string(opt.axis_x + 1) +
                        " and " + std::to_string(opt.axis_y + 1) + " (ordination " + lacking +
                        "); no figure drawn");
    std::string created;
    if (!existed && !files.empty()) created = make_folder(folder);
    try {
        tools::write_new_files(files);
    } catch (...) {
        if (!created.empty()) fs::remove_all(created, ec);
        throw;
    }
    // Standard output first, then the warnings on the error stream.
    for (const std::string& l : lines) std::cout << l << "\n";
    std::cout.flush();
    for (const std::string& w : warnings) std::cerr << "morvenak-plot: warning: " << w << std::endl;
    if (!std::cout)
        throw ToolError(std::string("standard output: cannot write: ") + std::strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Draws one figure per ordination of a run: the samples on two axes (a canonical "
        "ordination's at their site scores, around their groups' fitted centroids), "
        "coloured by group or by any column of the labels table, with a legend, the "
        "groups' centroids, the strongest species as arrows and the samples' names. "
        "Reads a results folder of `morvenak run`, or a classic "
        "score file (FittedSc.out), whose samples are named and grouped when the run's "
        "species and labels tables are given. A run that tested dispersion also has its "
        "figure: each group's distances to its centre as a box plot (dispersion.svg).\n\n"
        "Examples:\n"
        "  morvenak-plot dune-morvenak --format svg,png --hulls\n"
        "  morvenak-plot FittedSc.out --species dune.csv --labels dune.env.csv "
        "--main Management --nested Use",
        "morvenak-plot"};
    Args a;
    app.add_option("input", a.input, "A results folder, or a score file")->capture_default_str();
    app.add_option("-o,--output,--out-dir", a.output,
                   "Folder of the figures, made when absent (default: figures/ in the results "
                   "folder, or beside the score file)");
    app.add_option("-p,--prefix", a.prefix,
                   "Start of the figures' names, followed by the ordination's number "
                   "(\"ordination-\" becomes \"dispersion\" for the test of dispersion)")
        ->capture_default_str();
    app.add_option("--axes", a.axes, "The two axes drawn, such as 2,3")->capture_default_str();
    app.add_flag("--hulls", a.hulls, "Draw each group's convex hull");
    app.add_flag("--ellipses", a.ellipses, "Draw each group's ellipse of one standard deviation");
    app.add_option("--point-labels", a.point_labels,
                   "Label samples by name, by number, or not (default: by name up to 50 "
                   "samples, not beyond)")
        ->check(CLI::IsMember({"none", "names", "numbers"}));
    app.add_option("--scores", a.scores,
                   "Where a canonical ordination's samples are drawn: at their site scores, "
                   "around their group's fitted centroid, or at their fitted scores")
        ->check(CLI::IsMember({"sites", "fitted"}))
        ->capture_default_str();
    app.add_option("--colour-by,--color-by", a.colour_by,
                   "A column of the run's labels table that colours the samples: a column of "
                   "numbers on a continuous scale with a colour bar, one of labels by the "
                   "palette with a legend");
    app.add_option("--shape-by", a.shape_by,
                   "A column of the run's labels table whose labels (at most 6) shape the "
                   "samples");
    app.add_option("--top-species", a.top_species,
                   "Species drawn as arrows: the K longest on the axes drawn")
        ->capture_default_str();
    app.add_option("--format", a.formats,
                   "svg, pdf or png, or several with commas: svg,pdf,png; json writes each "
                   "figure's model, which the R and Python packages draw")
        ->capture_default_str();
    app.add_option("--width", a.width, "Width in inches")
        ->check(CLI::Range(2.0, 50.0))
        ->capture_default_str();
    app.add_option("--height", a.height, "Height in inches")
        ->check(CLI::Range(2.0, 50.0))
        ->capture_default_str();
    app.add_option("--dpi", a.dpi, "Pixels per inch of a PNG")
        ->check(CLI::Range(36.0, 1200.0))
        ->capture_default_str();
    auto* species = app.add_option("--species", a.tables.species,
                                   "Score file only: the species table of the run");
    auto* labels =
        app.add_option("--labels", a.tables.labels, "Score file only: the labels table of the run");
    auto* main_col =
        app.add_option("--main", a.main_column, "Score file only: the main factor's column");
    auto* nested = app.add_option("--nested", a.nested,
                                  "Score file only: a nested factor's column (again for a second)");
    species->needs(labels)->needs(main_col);
    labels->needs(species);
    main_col->needs(species);
    nested->needs(main_col);
    const int status = tools::tool_main("morvenak-plot", app, argc, argv, [&] { return run(a); });
    plot::release_drawing_caches();
    return status;
}
