// Tests of the figure of a test of dispersion: its boxes are R's boxplot.stats of each
// group's distances, every unit is one marker inside its group's slot, apart from the
// others, and no name or tick label overlaps another, across, wrapped or upright; the
// dispersion section of results.json is read, and its faults named.
#include "common/toolerror.hpp"
#include "plot/dispersion.hpp"
#include "plot/meter.hpp"
#include "plot/render.hpp"
#include "plot/results.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

using namespace plot;

// Values and R's boxplot.stats(x)$stats of them: one value, two, no outlier, outliers
// on both sides, and an even count.
TEST(Dispersion, BoxesAreRsBoxplotStats) {
    const std::vector<std::pair<std::vector<double>, std::vector<double>>> cases = {
        {{3}, {3, 3, 3, 3, 3}},
        {{2, 7}, {2, 2, 4.5, 7, 7}},
        {{5, 1, 4, 2, 3}, {1, 2, 3, 4, 5}},
        {{0.5, 9, 1, 1.2, 1.1, 0.9, 1.3, -4, 1.05, 1}, {0.5, 0.9, 1.025, 1.2, 1.3}},
        {{10.19, 9.30, 7.74, 7.25, 6.83, 6.26}, {6.26, 6.83, 7.495, 9.30, 10.19}},
    };
    for (const auto& c : cases) {
        const BoxStats s = box_stats(c.first);
        EXPECT_EQ((std::vector<double>{s.lower, s.q1, s.median, s.q3, s.upper}), c.second);
    }
}

// Shrub within Topo: groups of 1 to 40 units, the parents' names long or not.
Dispersion nested(const std::string& parent) {
    Dispersion d;
    d.factor = "Shrub", d.within = "Topo";
    d.formed = d.tested = true, d.f = 2.3149, d.df1 = 5, d.df2 = 67, d.p = 0.094,
    d.permutations = 999;
    const std::vector<std::string> shrubs{"None", "Few", "Many"};
    unsigned long long r = 7;
    for (std::size_t g = 0; g < 6; ++g) {
        d.groups.push_back(
            {g < 3 ? parent : "Hummock", shrubs[g % 3], g == 0 ? 1L : static_cast<long>(8 * g)});
        for (long i = 0; i < d.groups.back().n; ++i) {
            r = r * 6364136223846793005ULL + 1442695040888963407ULL;
            d.units.push_back(
                {"u", g,
                 0.2 + 0.05 * static_cast<double>(g) + static_cast<double>(r >> 11) / 3.6e16});
        }
    }
    return d;
}

TEST(Dispersion, EveryUnitIsAMarkerInItsSlotAndNoNameOverlapsAnother) {
    TextMeter meter;
    const Measure measure = [&](const std::string& s, double size, bool bold) {
        return meter(s, size, bold);
    };
    for (const std::string parent :
         {"Blanket", "Blanket bog grazed by sheep and cattle in the long winter"})
        for (const double width : {7.0, 3.0}) {
            SCOPED_TRACE(parent + " " + std::to_string(width));
            const Dispersion d = nested(parent);
            FigureOptions opt;
            opt.width = width;
            const Figure fig = build_dispersion_figure(d, opt, measure);
            EXPECT_EQ(fig.title.text, "Dispersion of Shrub within Topo");
            EXPECT_EQ(fig.subtitle.text, "F = 2.31 on 5 and 67 df, P = 0.094, 999 permutations");
            EXPECT_EQ(fig.y_title.text, "Distance to centroid");

            // One marker per unit, inside its group's slot and apart from the group's
            // other markers (the end-to-end test reads their heights and the boxes back).
            ASSERT_EQ(fig.markers.size(), d.units.size());
            const double slot = (fig.frame.x1 - fig.frame.x0) / 6;
            std::vector<int> seen(d.units.size(), 0);
            for (const Marker& m : fig.markers) {
                ASSERT_EQ(m.samples.size(), 1u);
                const DispersionUnit& u = d.units[m.samples[0]];
                ++seen[m.samples[0]];
                EXPECT_GT(m.x - m.radius, fig.frame.x0 + slot * static_cast<double>(u.group));
                EXPECT_LT(m.x + m.radius, fig.frame.x0 + slot * static_cast<double>(u.group + 1));
                EXPECT_TRUE(m.box().within(fig.frame));
                for (const Marker& o : fig.markers)
                    if (&o != &m && d.units[o.samples[0]].group == u.group) {
                        EXPECT_GE(std::hypot(o.x - m.x, o.y - m.y), 2 * m.radius - 1e-9);
                    }
            }
            EXPECT_EQ(seen, std::vector<int>(d.units.size(), 1));

            // Texts on the canvas, off the frame and apart; the groups' names, whole when
            // they are not cut, in order under their ticks.
            const Box canvas{0, 0, fig.width, fig.height};
            std::vector<Text> texts = fig.ticks;
            texts.insert(texts.end(), {fig.title, fig.subtitle, fig.y_title});
            for (std::size_t i = 0; i < texts.size(); ++i) {
                EXPECT_TRUE(texts[i].box.within(canvas)) << texts[i].text;
                EXPECT_FALSE(texts[i].box.overlaps(fig.frame)) << texts[i].text;
                for (std::size_t j = i + 1; j < texts.size(); ++j)
                    EXPECT_FALSE(texts[i].box.overlaps(texts[j].box))
                        << texts[i].text << " | " << texts[j].text;
            }
            std::vector<std::string> names(6);
            for (const Text& t : fig.ticks)
                if (t.box.y0 > fig.frame.y1) {
                    const std::size_t g =
                        static_cast<std::size_t>(((t.box.x0 + t.box.x1) / 2 - fig.frame.x0) / slot);
                    names[g] += (names[g].empty() ? "" : " ") + t.text;
                    EXPECT_EQ(t.vertical, width == 3.0 || parent != "Blanket") << t.text;
                }
            for (std::size_t g = 0; g < 6; ++g) {
                const DispersionGroup& x = d.groups[g];
                const std::string whole =
                    x.within + ": " + x.level + " (" + std::to_string(x.n) + ")";
                if (names[g].find("\xE2\x80\xA6") == std::string::npos) {
                    EXPECT_EQ(names[g], whole);
                } else {
                    EXPECT_NE(names[g].find(x.level + " (" + std::to_string(x.n) + ")"),
                              std::string::npos)
                        << names[g];
                }
            }
        }
}

TEST(Dispersion, TitlesAndCaptionsNameTheTest) {
    Dispersion d = nested("Blanket");
    d.formed = false;
    EXPECT_EQ(dispersion_caption(d), "No test: F cannot be formed on 5 and 67 df");
    d.formed = true, d.tested = false, d.f = 1234.6;
    EXPECT_EQ(dispersion_caption(d), "F = 1235 on 5 and 67 df, not tested (no permutations)");
    d.tested = true, d.f = 0.0123456, d.p = 1, d.permutations = 1;
    EXPECT_EQ(dispersion_caption(d), "F = 0.0123 on 5 and 67 df, P = 1, 1 permutation");
    d.within.clear(), d.factor = "Topo", d.of_subgroups = true, d.subgroups = "Shrub";
    EXPECT_EQ(dispersion_title(d), "Dispersion of Shrub's subgroups around Topo's levels");
}

const std::string section =
    R"({"factor": "Shrub", "within": "Topo", "centre": "median", "bias_adjust": false,
 "levels": [{"within": "Blanket", "level": "Few", "n": 2}, {"within": "Hummock", "level": "Few", "n": 1}],
 "df1": 1, "df2": 1, "F": null, "P": null, "permutations": 0,
 "samples": [{"sample": "a", "within": "Hummock", "level": "Few", "distance": 0.5},
             {"sample": 2, "within": "Blanket", "level": "Few", "distance": 0.25},
             {"sample": "c", "within": "Blanket", "level": "Few", "distance": 0}]})";

// results.json of no ordination with the dispersion section given.
std::string read_section(const std::string& dispersion, Dispersion* out = nullptr) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / "plot-dispersion-tests";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "results.json")
        << R"({"design": {"factors": [{"column": "Topo"}, {"column": "Shrub"}]}, "ordinations": [], "dispersion": )"
        << dispersion << "}";
    const tools::Failure f = tools::failure_of([&] {
        const PlotInput in = read_results(dir.string());
        if (out) *out = *in.dispersion;
    });
    std::filesystem::remove_all(dir);
    return f.message.empty() ? "" : f.message.substr(f.message.find(": ") + 2);
}

TEST(Results, TheDispersionSectionIsReadAndItsFaultsNamed) {
    Dispersion d;
    ASSERT_EQ(read_section(section, &d), "");
    EXPECT_TRUE(d.median && !d.formed && !d.tested);
    ASSERT_EQ(d.units.size(), 3u);
    EXPECT_EQ(d.units[1].name, "2");
    EXPECT_EQ((std::vector<std::size_t>{d.units[0].group, d.units[1].group, d.units[2].group}),
              (std::vector<std::size_t>{1, 0, 0}));
    const auto with = [&](const std::string& from, const std::string& to) {
        std::string s = section;
        s.replace(s.find(from), from.size(), to);
        return read_section(s);
    };
    EXPECT_EQ(with(R"("within": "Topo", )", ""), "the dispersion section has no field \"within\"");
    EXPECT_EQ(
        with(R"("within": "Hummock", "level": "Few", "distance")", R"("level": "Few", "distance")"),
        "the dispersion section's sample 1 has no field \"within\"");
    EXPECT_EQ(with(R"("sample": "c", "within": "Blanket")", R"("sample": "c", "within": "Blank")"),
              "the dispersion section's sample 3 (\"c\") is of level \"Blank: Few\", which the "
              "dispersion "
              "section's levels do not list");
    EXPECT_EQ(with(R"("n": 1)", R"("n": 2)"),
              "the dispersion section's level 2 counts 2 samples, and 1 samples are of it");
    EXPECT_EQ(with(R"("median")", R"("mean")"),
              "the dispersion section's centre \"mean\" is neither \"centroid\" nor \"median\"");
    EXPECT_EQ(with(R"("distance": 0})", R"("distance": null})"),
              "the dispersion section's sample 3's distance is null, not a number");
}

}  // namespace
