// Writes a results folder as the run command lays it out, from a species table and a
// labels table, with the engine's own numbers: results.json (the factors, the samples'
// levels and the ordinations' titles, eigenvalues, proportions and score files) and
// ordination-K-objects.tsv and ordination-K-species.tsv. The plotting tests draw the
// figures of these folders.
//
// usage: results_fixture SPECIES LABELS OUTPUT TRANSFORM MAIN [NESTED ...]
#include "morvenak/analysis.hpp"
#include "tables/table.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

namespace {

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush()) throw std::runtime_error(path + ": cannot write");
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc < 6) {
        std::cerr << "usage: results_fixture SPECIES LABELS OUTPUT TRANSFORM MAIN [NESTED ...]\n";
        return 2;
    }
    const std::string out = argv[3];
    const tables::Table sp = tables::read_table(argv[1]);
    const tables::Table lab = tables::read_table(argv[2]);
    std::vector<std::string> columns(argv + 5, argv + argc);

    morvenak::Input in;
    in.n = static_cast<int>(sp.rows.size());
    in.p = static_cast<int>(sp.header.size() - 1);
    in.y.resize(static_cast<std::size_t>(in.n) * static_cast<std::size_t>(in.p));
    std::vector<std::string> samples;
    for (std::size_t i = 0; i < sp.rows.size(); ++i) {
        samples.emplace_back(sp.rows[i][0].text);
        for (std::size_t j = 1; j < sp.header.size(); ++j)
            in.y[i + (j - 1) * sp.rows.size()] = std::stod(std::string(sp.rows[i][j].text));
    }
    std::map<std::string, std::size_t> row_of;
    for (std::size_t r = 0; r < lab.rows.size(); ++r) row_of[std::string(lab.rows[r][0].text)] = r;
    std::vector<std::vector<std::string>> labels;
    for (const std::string& c : columns) {
        std::size_t col = 0;
        for (std::size_t k = 1; k < lab.header.size(); ++k)
            if (lab.header[k] == c) col = k;
        if (!col) throw std::runtime_error("no column " + c);
        labels.emplace_back();
        for (const std::string& s : samples) labels.back().emplace_back(lab.rows.at(row_of.at(s))[col].text);
        in.factors.push_back(morvenak::Factor::from_labels(c, labels.back()));
    }
    morvenak::Options opt;
    opt.task = morvenak::Task::kScores;
    opt.permutations = 0;
    opt.transform = static_cast<morvenak::Transform>(std::atoi(argv[4]));
    const morvenak::Result r = morvenak::analyse(in, opt);

    std::filesystem::create_directories(out);
    nlohmann::json doc;
    doc["version"] = morvenak::version();
    doc["inputs"] = {{"species", {{"path", argv[1]}}}, {"labels", {{"path", argv[2]}}}};
    doc["options"] = {{"main", columns[0]}, {"transform", std::atoi(argv[4])}, {"task", "scores"}};
    // The fields of morvenak run's results.json that the figures read.
    doc["design"]["factors"] = nlohmann::json::array();
    for (std::size_t f = 0; f < columns.size(); ++f) {
        const morvenak::LevelCoding& c = r.codings.at(f);
        nlohmann::json levels = nlohmann::json::array();  // as the run lays them out
        for (std::size_t l = 0; l < c.levels.size(); ++l) {
            nlohmann::json level = {{"label", c.levels[l]}, {"count", c.counts[l]}};
            if (f > 0) level["parent"] = r.codings.at(f - 1).levels.at(static_cast<std::size_t>(c.parent[l]));
            levels.push_back(level);
        }
        doc["design"]["factors"].push_back({{"column", columns[f]}, {"levels", levels}});
    }
    doc["samples"] = nlohmann::json::array();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        nlohmann::json levels;
        for (std::size_t f = 0; f < columns.size(); ++f) levels[columns[f]] = labels[f][i];
        doc["samples"].push_back({{"name", samples[i]}, {"levels", levels}});
    }
    doc["warnings"] = nlohmann::json::array();
    doc["timings"] = {{"ordinations", r.ordination_seconds}};
    doc["ordinations"] = nlohmann::json::array();
    for (std::size_t k = 0; k < r.ordinations.size(); ++k) {
        const morvenak::OrdinationResult& o = r.ordinations[k];
        const std::string base = "ordination-" + std::to_string(k + 1);
        nlohmann::json entry = {{"title", o.title}, {"eigenvalues", o.eigenvalues}, {"proportions", o.proportions}};
        if (o.axes > 0) {
            entry["objects_file"] = base + "-objects.tsv";
            entry["species_file"] = base + "-species.tsv";
            std::string t = "sample";
            for (const std::string& c : columns) t += "\t" + c;
            for (int a = 1; a <= o.axes; ++a) t += "\taxis" + std::to_string(a);
            t += "\n";
            for (int i = 0; i < o.n; ++i) {
                t += samples[static_cast<std::size_t>(i)];
                for (const auto& l : labels) t += "\t" + l[static_cast<std::size_t>(i)];
                for (int a = 0; a < o.axes; ++a)
                    t += "\t" + number(o.object_scores[static_cast<std::size_t>(i + a * o.n)]);
                t += "\n";
            }
            write(out + "/" + base + "-objects.tsv", t);
            t = "species";
            for (int a = 1; a <= o.axes; ++a) t += "\taxis" + std::to_string(a);
            t += "\n";
            for (int j = 0; j < o.p; ++j) {
                t += sp.header[static_cast<std::size_t>(j) + 1];
                for (int a = 0; a < o.axes; ++a)
                    t += "\t" + number(o.species_scores[static_cast<std::size_t>(j + a * o.p)]);
                t += "\n";
            }
            write(out + "/" + base + "-species.tsv", t);
        }
        doc["ordinations"].push_back(entry);
    }
    write(out + "/results.json", doc.dump(2) + "\n");
    write(out + "/results.tsv", "source\tfactor\tdf1\tdf2\tSS\tMS\tF\tP\tR2\tpermutations\tnote\n");
    return 0;
} catch (const std::exception& e) {
    std::cerr << "results_fixture: " << e.what() << "\n";
    return 1;
}
