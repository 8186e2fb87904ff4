// Tests of the figure model and its drawing: on the dune tables (the engine's own
// ordinations, Management with Use nested in it) and on synthetic designs, every figure
// keeps its labels on the canvas and apart from each other and from the points, names
// each centroid by its level and each arrow by its species; a PNG holds each group's
// colour. Also the reader of a run's results folder and its messages.
#include "common/toolerror.hpp"
#include "morvenak/analysis.hpp"
#include "plot/figure.hpp"
#include "plot/placement.hpp"
#include "plot/meter.hpp"
#include "plot/render.hpp"
#include "plot/results.hpp"
#include "plot/text.hpp"
#include "tables/table.hpp"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

namespace {

using namespace plot;

const std::string data_dir = TOOLS_TEST_DATA;

// Cairo's and fontconfig's caches are released when the tests end, as the tool does.
struct ReleaseCaches : ::testing::Environment {
    void TearDown() override { release_drawing_caches(); }
};
const auto* const release = ::testing::AddGlobalTestEnvironment(new ReleaseCaches);

// One meter for all figures of a test; gone before the caches are released.
Measure meter() {
    static TextMeter* m = nullptr;
    struct Drop : ::testing::Environment {
        void TearDown() override { delete m, m = nullptr; }
    };
    if (!m) {
        m = new TextMeter;
        ::testing::AddGlobalTestEnvironment(new Drop);
    }
    return [](const std::string& s, double size, bool bold) { return (*m)(s, size, bold); };
}

// The run's figure input from the engine's results, as a results folder carries them.
PlotInput from_engine(const std::vector<std::string>& samples, const std::vector<std::string>& species,
                      int p, const std::vector<double>& y,
                      const std::vector<std::pair<std::string, std::vector<std::string>>>& factors,
                      morvenak::Transform transform = morvenak::Transform::kNone) {
    morvenak::Input in;
    in.n = static_cast<int>(samples.size());
    in.p = p;
    in.y = y;
    for (const auto& f : factors) in.factors.push_back(morvenak::Factor::from_labels(f.first, f.second));
    morvenak::Options opt;
    opt.task = morvenak::Task::kScores;
    opt.permutations = 0;
    opt.transform = transform;
    const morvenak::Result r = morvenak::analyse(in, opt);
    PlotInput out;
    out.samples = samples;
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> labels;
    for (const auto& f : factors) {
        names.push_back(f.first);
        labels.push_back(f.second);
    }
    out.factors = factor_levels(names, labels);
    for (std::size_t k = 0; k < r.ordinations.size(); ++k) {
        const morvenak::OrdinationResult& o = r.ordinations[k];
        Scores s;
        s.number = static_cast<int>(k + 1);
        s.title = o.title;
        s.eigenvalues = o.eigenvalues;
        s.proportions = o.proportions;
        const auto n = static_cast<std::size_t>(o.n), q = static_cast<std::size_t>(o.p);
        const auto axes = static_cast<std::size_t>(o.axes);
        for (std::size_t i = 0; i < n; ++i) {
            s.objects.emplace_back();
            for (std::size_t a = 0; a < axes; ++a) s.objects.back().push_back(o.object_scores[i + a * n]);
        }
        if (!o.site_scores.empty())
            for (std::size_t i = 0; i < n; ++i) {
                s.sites.emplace_back();
                for (std::size_t a = 0; a < axes; ++a) s.sites.back().push_back(o.site_scores[i + a * n]);
            }
        s.species = species;
        for (std::size_t j = 0; j < q; ++j) {
            s.species_scores.emplace_back();
            for (std::size_t a = 0; a < axes; ++a) s.species_scores.back().push_back(o.species_scores[j + a * q]);
        }
        out.ordinations.push_back(s);
    }
    return out;
}

PlotInput dune() {
    const tables::Table sp = tables::read_table(data_dir + "/dune/dune.csv");
    const tables::Table env = tables::read_table(data_dir + "/dune/dune.env.csv");
    std::vector<std::string> samples, species(sp.header.begin() + 1, sp.header.end());
    std::vector<double> y(sp.rows.size() * species.size());
    std::vector<std::string> management, use;
    for (std::size_t i = 0; i < sp.rows.size(); ++i) {
        samples.emplace_back(sp.rows[i][0].text);
        for (std::size_t j = 0; j < species.size(); ++j) y[i + j * sp.rows.size()] = std::stod(std::string(sp.rows[i][j + 1].text));
        management.emplace_back(env.rows[i][3].text);
        use.emplace_back(env.rows[i][4].text);
    }
    return from_engine(samples, species, static_cast<int>(species.size()), y,
                       {{"Management", management}, {"Use", use}});
}

// A synthetic design: g groups of m samples each, p species, group effects on the
// first species so that the fitted ordination has structure; names "site-<i>".
PlotInput synthetic(std::size_t g, std::size_t m, int p, unsigned seed) {
    const std::size_t n = g * m;
    std::vector<std::string> samples, species, labels;
    std::vector<double> y(n * static_cast<std::size_t>(p));
    unsigned long long r = seed;
    const auto uniform = [&] {
        r = r * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(r >> 11) / 9007199254740992.0;
    };
    for (std::size_t i = 0; i < n; ++i) {
        samples.push_back("site-" + std::to_string(i + 1));
        labels.push_back("group " + std::string(1, static_cast<char>('A' + i % g)));
        for (int j = 0; j < p; ++j)
            y[i + static_cast<std::size_t>(j) * n] = uniform() * 10 + (j < 3 ? static_cast<double>((i % g) * (j + 1)) : 0);
    }
    for (int j = 0; j < p; ++j) species.push_back("Species" + std::to_string(j + 1));
    return from_engine(samples, species, p, y, {{"Treatment", labels}});
}

std::vector<const Text*> all_texts(const Figure& fig) {
    std::vector<const Text*> t{&fig.title, &fig.x_title, &fig.y_title, &fig.note};
    for (const Text& x : fig.ticks) t.push_back(&x);
    for (const Label& l : fig.labels) t.push_back(&l.text);
    for (const LegendEntry& e : fig.legend) t.push_back(&e.text);
    return t;
}

// A level's name with its parents' levels before it, as the figures name it.
std::string full_name(const PlotInput& in, std::size_t f, std::size_t l) {
    std::string s = clean_text(in.factors[f].levels[l]);
    for (; f > 0; --f) {
        l = static_cast<std::size_t>(in.factors[f].parent[l]);
        s = clean_text(in.factors[f - 1].levels[l]) + ": " + s;
    }
    return s;
}

std::string factor_chain(const PlotInput& in, std::size_t f) {
    std::string s = clean_text(in.factors[f].name);
    while (f-- > 0) s += " within " + clean_text(in.factors[f].name);
    return s;
}

// Whether a label's box is crossed by the line from (x0, y0) to (x1, y1): the box
// holds one of its points or the segment meets one of its sides.
bool crosses(const Box& b, double x0, double y0, double x1, double y1) {
    for (int k = 0; k <= 64; ++k) {
        const double x = x0 + (x1 - x0) * k / 64, y = y0 + (y1 - y0) * k / 64;
        if (x > b.x0 && x < b.x1 && y > b.y0 && y < b.y1) return true;
    }
    return false;
}

std::string show(const Box& b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "[%.1f %.1f %.1f %.1f]", b.x0, b.y0, b.x1, b.y1);
    return buf;
}

// The invariants of every figure, checked against its input.
void check_figure(const PlotInput& in, std::size_t k, const FigureOptions& opt, const Figure& fig) {
    const Scores& o = in.ordinations[k];
    const std::size_t n = o.objects.size();
    const Box canvas{0, 0, fig.width, fig.height};
    for (const Text* t : all_texts(fig))
        if (!t->text.empty()) { EXPECT_TRUE(t->box.within(canvas)) << t->text << " " << show(t->box); }

    // Labels apart from each other and from every marker; inside the frame but for
    // the row names of a strip chart.
    for (std::size_t a = 0; a < fig.labels.size(); ++a) {
        const Label& la = fig.labels[a];
        const bool row_name = fig.strip && la.kind == LabelKind::centroid;
        if (!row_name) { EXPECT_TRUE(la.text.box.within(fig.frame)) << la.text.text; }
        for (std::size_t b = a + 1; b < fig.labels.size(); ++b)
            EXPECT_FALSE(la.text.box.overlaps(fig.labels[b].text.box))
                << la.text.text << " " << show(la.text.box) << " and " << fig.labels[b].text.text << " "
                << show(fig.labels[b].text.box);
        for (const Marker& m : fig.markers) EXPECT_FALSE(la.text.box.overlaps(m.box())) << la.text.text;
        for (const Arrow& ar : fig.arrows)
            EXPECT_FALSE(crosses(la.text.box, ar.x0, ar.y0, ar.x1, ar.y1)) << la.text.text << " on " << ar.species;
        for (const Centroid& c : fig.centroids)
            if (!c.bar) { EXPECT_FALSE(la.text.box.overlaps(c.marker.box())) << la.text.text; }
    }

    // Every sample is on one marker, and labelled once or counted as left out.
    const PointLabels how = effective_labels(opt.point_labels, n);
    std::vector<int> on(n, 0), labelled(n, 0);
    for (const Marker& m : fig.markers)
        for (std::size_t i : m.samples) ++on[i];
    for (const Label& l : fig.labels)
        if (l.kind == LabelKind::sample) {
            ++labelled[l.owner];
            const std::string want = how == PointLabels::numbers ? std::to_string(l.owner + 1)
                                                                               : clean_text(in.samples[l.owner]);
            EXPECT_EQ(l.text.text, want);
        }
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(on[i], 1) << "sample " << i;
        EXPECT_LE(labelled[i], 1) << "sample " << i;
        count += static_cast<std::size_t>(labelled[i]);
    }
    if (how == PointLabels::none) {
        EXPECT_EQ(count, 0u);
    } else {
        EXPECT_EQ(count + fig.dropped_samples, n);
    }
    if (fig.dropped_samples) {
        EXPECT_EQ(fig.note.text.rfind(std::to_string(fig.dropped_samples) + " of " + std::to_string(n) +
                                          " sample labels left out for lack of room", 0), 0u)
            << fig.note.text;
    }
    if (!fig.dropped_samples && !fig.dropped_species && !fig.dropped_centroids) { EXPECT_EQ(fig.note.text, ""); }

    // Centroids named by level, with a label that shows the name.
    const int f = factor_of(in, o.number);
    ASSERT_GE(f, 0);
    const FactorLevels& F = in.factors[static_cast<std::size_t>(f)];
    const bool residuals = o.number > static_cast<int>(in.factors.size());
    if (!residuals) { EXPECT_EQ(fig.centroids.size(), F.levels.size()); }
    std::size_t unnamed = 0;
    for (const Centroid& c : fig.centroids) {
        EXPECT_EQ(c.name, F.levels[static_cast<std::size_t>(c.level)]);
        if (c.label < 0) {
            ++unnamed;
            continue;
        }
        EXPECT_EQ(fig.labels[static_cast<std::size_t>(c.label)].text.text,
                  full_name(in, static_cast<std::size_t>(f), static_cast<std::size_t>(c.level)));
    }
    EXPECT_EQ(unnamed, fig.dropped_centroids);
    // Each centroid at its group's samples' mean place: at their fitted scores, on which
    // their site scores are centred.
    if (!fig.strip) {
        std::vector<double> mx(F.levels.size(), 0), my(F.levels.size(), 0), count_of(F.levels.size(), 0);
        for (const Marker& m : fig.markers)
            for (std::size_t i : m.samples) {
                const auto g = static_cast<std::size_t>(F.level_of[i]);
                mx[g] += m.x, my[g] += m.y, count_of[g] += 1;
            }
        for (const Centroid& c : fig.centroids) {
            const auto g = static_cast<std::size_t>(c.level);
            EXPECT_NEAR(c.marker.x, mx[g] / count_of[g], 1e-9) << c.name;
            EXPECT_NEAR(c.marker.y, my[g] / count_of[g], 1e-9) << c.name;
        }
    }
    EXPECT_EQ(fig.sites, !o.sites.empty() && !opt.fitted);

    // The legend lists every level with its count, a nested factor's under their
    // parents when there are more levels than colours (the keys of the columns that
    // colour and shape the samples are checked by their own tests).
    if (!opt.colour_by.empty() || !opt.shape_by.empty()) return;
    const auto fs = static_cast<std::size_t>(f);
    std::vector<std::string> legend, want{factor_chain(in, fs)};
    for (std::size_t e = 0; e < fig.legend.size(); ++e) {
        const LegendEntry& x = fig.legend[e];
        // A long title goes on over lines of its own.
        if (e > 0 && !x.marker && !fig.legend[e - 1].marker)
            legend.back() += " " + x.text.text;
        else
            legend.push_back(x.text.text);
    }
    const auto entry = [](const std::string& s, int c) { return s + " (" + std::to_string(c) + ")"; };
    if (f > 0 && F.levels.size() > palette.size()) {
        const FactorLevels& up = in.factors[fs - 1];
        // Under its parent's entry a subgroup reads in full, or by its own label when
        // some full name would not fit (the entry above naming the rest).
        bool short_names = false;
        for (const LegendEntry& e : fig.legend)
            short_names = short_names || (!e.header && e.marker && e.text.text.find(": ") == std::string::npos);
        for (std::size_t q = 0; q < up.levels.size(); ++q) {
            want.push_back(entry(full_name(in, fs - 1, q), up.counts[q]));
            for (std::size_t l = 0; l < F.levels.size(); ++l)
                if (F.parent[l] == static_cast<int>(q))
                    want.push_back(entry(short_names ? clean_text(F.levels[l]) : full_name(in, fs, l), F.counts[l]));
        }
    } else {
        for (std::size_t l = 0; l < F.levels.size(); ++l) want.push_back(entry(full_name(in, fs, l), F.counts[l]));
    }
    EXPECT_EQ(legend, want);
    EXPECT_EQ(std::set<std::string>(legend.begin(), legend.end()).size(), legend.size());

    // Arrows: the longest species on the plotted axes, each named, pointing along its
    // scores, all at one scale.
    if (fig.strip || o.species.empty()) {
        EXPECT_TRUE(fig.arrows.empty());
        return;
    }
    std::vector<std::pair<double, std::string>> by_length;
    for (std::size_t j = 0; j < o.species.size(); ++j)
        by_length.push_back({-std::hypot(o.species_scores[j][opt.axis_x], o.species_scores[j][opt.axis_y]), o.species[j]});
    std::stable_sort(by_length.begin(), by_length.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::set<std::string> top;
    for (std::size_t j = 0; j < std::min(opt.top_species, by_length.size()); ++j)
        if (by_length[j].first < 1e-9 * by_length[0].first) top.insert(by_length[j].second);  // lengths negated
    EXPECT_EQ(fig.arrows.size() + fig.dropped_species, top.size());
    double scale = 0;
    for (const Arrow& a : fig.arrows) {
        EXPECT_EQ(top.count(a.species), 1u) << a.species;
        const std::size_t j = static_cast<std::size_t>(
            std::find(o.species.begin(), o.species.end(), a.species) - o.species.begin());
        ASSERT_LT(j, o.species.size());
        EXPECT_EQ(a.score_x, o.species_scores[j][opt.axis_x]);
        EXPECT_EQ(a.score_y, o.species_scores[j][opt.axis_y]);
        ASSERT_GE(a.label, 0);
        EXPECT_EQ(fig.labels[static_cast<std::size_t>(a.label)].text.text, a.species);
        const double dx = a.x1 - a.x0, dy = -(a.y1 - a.y0);  // the canvas' y runs down
        const double s = std::hypot(dx, dy) / std::hypot(a.score_x, a.score_y);
        if (scale == 0) scale = s;
        EXPECT_NEAR(s, scale, 1e-9 * scale) << a.species;
        EXPECT_NEAR(dx, a.score_x * s, 1e-6) << a.species;
        EXPECT_NEAR(dy, a.score_y * s, 1e-6) << a.species;
    }
}

TEST(Figure, DuneNestedFiguresKeepTheirInvariants) {
    const PlotInput in = dune();
    ASSERT_EQ(in.ordinations.size(), 3u);
    ASSERT_EQ(in.factors[1].levels.size(), 11u);  // Use read within Management: 11 cells
    const Measure m = meter();
    for (int variant = 0; variant < 4; ++variant) {
        FigureOptions opt;
        opt.hulls = variant == 1, opt.ellipses = variant == 2;
        opt.point_labels = variant == 3 ? PointLabels::numbers : PointLabels::automatic;
        opt.fitted = variant == 1;
        opt.top_species = variant == 3 ? 30 : 10;
        if (variant == 2) opt.axis_x = 1, opt.axis_y = 2;
        for (std::size_t k = 0; k < 3; ++k) {
            SCOPED_TRACE("ordination " + std::to_string(k + 1) + ", variant " + std::to_string(variant));
            const Figure fig = build_figure(in, k, opt, m);
            EXPECT_FALSE(fig.strip);
            check_figure(in, k, opt, fig);
            // At the default size every dune sample is named.
            if (variant == 0) {
                EXPECT_EQ(fig.dropped_samples, 0u);
                EXPECT_EQ(fig.dropped_centroids, 0u);
            }
        }
    }
}

TEST(Figure, TitlesNameTheFactorAndItsShare) {
    const PlotInput in = dune();
    const Measure m = meter();
    double total = 0;
    std::vector<std::string> titles;
    for (std::size_t k = 0; k < 3; ++k) {
        const Scores& o = in.ordinations[k];
        double share = 0;
        for (double p : o.proportions) share += p;
        total += share;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f", 100 * share);
        titles.push_back(build_figure(in, k, {}, m).title.text);
        EXPECT_NE(titles.back().find(std::string(buf) + "% of total variance"), std::string::npos) << titles.back();
    }
    EXPECT_NEAR(total, 1.0, 1e-9);  // fitted and residual shares make up the whole
    EXPECT_EQ(titles[0].rfind("Management explains ", 0), 0u);
    EXPECT_EQ(titles[1].rfind("Use within Management explains ", 0), 0u);
    EXPECT_EQ(titles[2].rfind("Residuals: ", 0), 0u);
}

// Eleven cells are more than the palette's colours: colour by management, shape by
// use within it, so that no two cells look alike.
TEST(Figure, MoreGroupsThanColoursTakeTheParentsColourAndTheirOwnShape) {
    const PlotInput in = dune();
    const Figure fig = build_figure(in, 1, {}, meter());
    const FactorLevels& use = in.factors[1];
    std::set<std::pair<int, int>> looks;
    for (const Marker& mk : fig.markers) {
        const std::size_t level = static_cast<std::size_t>(use.level_of[mk.samples[0]]);
        EXPECT_EQ(mk.colour, use.parent[level]);
        looks.insert({mk.colour, static_cast<int>(mk.shape)});
    }
    EXPECT_EQ(looks.size(), 11u);
    // The legend: each management type, then its cells.
    std::vector<std::string> shown;
    for (const LegendEntry& e : fig.legend) shown.push_back(e.text.text);
    ASSERT_GE(shown.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(shown.begin(), shown.begin() + 4),
              (std::vector<std::string>{"Use within Management", "SF (6)", "SF: Haypastu (5)", "SF: Pasture (1)"}));
}

TEST(Figure, OneAxisIsAStripChartByGroup) {
    const PlotInput in = synthetic(2, 35, 6, 7);  // 70 samples, 2 groups: one fitted axis
    ASSERT_EQ(in.ordinations[0].eigenvalues.size(), 1u);
    const Figure fig = build_figure(in, 0, {}, meter());
    EXPECT_TRUE(fig.strip);
    check_figure(in, 0, {}, fig);
    ASSERT_EQ(fig.centroids.size(), 2u);
    // One row per group: every sample of a group on its row, at its score.
    for (const Marker& mk : fig.markers)
        for (std::size_t i : mk.samples)
            EXPECT_EQ(mk.y, fig.centroids[static_cast<std::size_t>(in.factors[0].level_of[i])].marker.y);
    EXPECT_EQ(fig.y_title.text, "");
    // Each sample's label stays within its group's row, clear of the centroid's bar.
    const double row = (fig.frame.y1 - fig.frame.y0) / 2;
    for (const Label& l : fig.labels) {
        if (l.kind != LabelKind::sample) continue;
        const int g = in.factors[0].level_of[l.owner];
        EXPECT_GE(l.text.box.y0, fig.frame.y0 + g * row) << l.text.text;
        EXPECT_LE(l.text.box.y1, fig.frame.y0 + (g + 1) * row) << l.text.text;
        const Centroid& c = fig.centroids[static_cast<std::size_t>(g)];
        EXPECT_FALSE(l.text.box.overlaps({c.marker.x - 1.5, c.marker.y - c.marker.radius, c.marker.x + 1.5,
                                          c.marker.y + c.marker.radius})) << l.text.text;
    }
}

// Many samples close together: labels that cannot be placed are left out, and the
// note says how many.
TEST(Figure, LabelsThatCannotFitAreLeftOutAndCounted) {
    const PlotInput in = synthetic(4, 33, 8, 11);  // 132 samples
    FigureOptions opt;
    opt.width = 4, opt.height = 3.5;
    opt.point_labels = PointLabels::names;  // beyond 50 samples only when asked
    const Figure fig = build_figure(in, 1, opt, meter());
    check_figure(in, 1, opt, fig);
    EXPECT_GT(fig.dropped_samples, 0u);
    EXPECT_LT(fig.dropped_samples, 132u);
}

TEST(Figure, HostileNamesAreDrawnCleaned) {
    PlotInput in = synthetic(3, 4, 5, 3);
    in.samples[0] = "bad\x01name\xFF";
    in.factors[0].levels[0] = "lvl\x1B";
    const Figure fig = build_figure(in, 0, {}, meter());
    check_figure(in, 0, {}, fig);
    bool found = false;
    for (const Label& l : fig.labels) found = found || l.text.text == "bad?name\xEF\xBF\xBD";
    EXPECT_TRUE(found);
}

// A name of any length is cut to its room by a few measures of texts no longer than
// the cut, after one of the whole name: the text measured stays near the names' length
// (cutting one character at a time measures about n^2 / 2 characters for each).
TEST(Figure, LongNamesAreCutWithMeasuresOfAboutTheirLength) {
    PlotInput in = synthetic(3, 4, 5, 3);
    const std::string name(20000, 'x');
    in.samples[0] = name + "a";
    in.factors[0].levels[0] = name + "b";
    std::size_t measured = 0;
    const Measure m = meter();
    const Measure counting = [&](const std::string& s, double size, bool bold) {
        measured += s.size();
        return m(s, size, bold);
    };
    const Figure fig = build_figure(in, 0, {}, counting);
    EXPECT_LT(measured, 10 * name.size());
    for (const Text* t : all_texts(fig))
        EXPECT_TRUE(t->box.within({0, 0, fig.width, fig.height})) << t->text.substr(0, 20);
    // The centroid's label: the longest start of its name that fits, and an ellipsis.
    ASSERT_GE(fig.centroids.at(0).label, 0);
    const Text& t = fig.labels[static_cast<std::size_t>(fig.centroids[0].label)].text;
    const std::string ellipsis = "\xE2\x80\xA6";
    ASSERT_GT(t.text.size(), ellipsis.size() + 10);
    EXPECT_EQ(t.text, name.substr(0, t.text.size() - ellipsis.size()) + ellipsis);
    const double room = fig.width * 0.3;
    EXPECT_LE(m(t.text, t.size, t.bold).width, room);
    EXPECT_GT(m(name.substr(0, t.text.size() - ellipsis.size() + 1) + ellipsis, t.size, t.bold).width, room);
}

TEST(Placement, LabelsTakeFreePlacesOrNone) {
    const Box area{0, 0, 100, 100}, marker{45, 45, 55, 55};
    Placer placer(area, 30);
    placer.block(marker);
    LabelRequest q;
    q.x = 50, q.y = 50, q.clearance = 5;
    q.metrics = {20, 7, 2};
    // Too large for the area: refused.
    LabelRequest huge = q;
    huge.metrics.width = 101;
    Placement p;
    EXPECT_FALSE(placer.place(huge, p));
    // The first label touches the marker's clearance on its right, centred on it.
    ASSERT_TRUE(placer.place(q, p));
    EXPECT_DOUBLE_EQ(p.box.x0, 57.5);
    EXPECT_DOUBLE_EQ((p.box.y0 + p.box.y1) / 2, 50);
    EXPECT_FALSE(p.leader);
    // Asked to go up, the next goes above.
    LabelRequest up = q;
    up.prefer_y = -1;
    ASSERT_TRUE(placer.place(up, p));
    EXPECT_DOUBLE_EQ(p.box.y1, 42.5);
    EXPECT_DOUBLE_EQ((p.box.x0 + p.box.x1) / 2, 50);
    std::vector<Box> placed{p.box};
    std::size_t leaders = 0;
    while (placer.place(q, p)) {
        const Box wide{p.box.x0 - 2, p.box.y0 - 2, p.box.x1 + 2, p.box.y1 + 2};
        for (const Box& b : placed) EXPECT_FALSE(b.overlaps(wide));
        EXPECT_FALSE(wide.overlaps(marker));
        EXPECT_TRUE(p.box.within(area));
        if (p.leader) {
            ++leaders;
            EXPECT_TRUE(p.lx1 >= p.box.x0 && p.lx1 <= p.box.x1 && p.ly1 >= p.box.y0 && p.ly1 <= p.box.y1);
            EXPECT_NEAR(std::hypot(p.lx0 - 50, p.ly0 - 50), 5, 1e-9);  // from the marker's edge
        }
        placed.push_back(p.box);
        ASSERT_LT(placed.size(), 60u);
    }
    EXPECT_GT(leaders, 0u);
}

// Each group's colour is drawn, in pixels of exactly that colour.
TEST(Render, APngHoldsEachGroupsColour) {
    const PlotInput in = dune();
    const Figure fig = build_figure(in, 0, {}, meter());
    const std::string png = render(fig, Format::png, 100);
    struct Reader {
        const std::string* s;
        std::size_t at = 0;
    } reader{&png};
    cairo_surface_t* img = cairo_image_surface_create_from_png_stream(
        [](void* c, unsigned char* data, unsigned int len) {
            auto* r = static_cast<Reader*>(c);
            if (r->at + len > r->s->size()) return CAIRO_STATUS_READ_ERROR;
            std::copy(r->s->begin() + static_cast<long>(r->at), r->s->begin() + static_cast<long>(r->at + len), data);
            r->at += len;
            return CAIRO_STATUS_SUCCESS;
        },
        &reader);
    ASSERT_EQ(cairo_surface_status(img), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(img), 700);
    EXPECT_EQ(cairo_image_surface_get_height(img), 600);
    std::map<std::uint32_t, int> pixels;
    const unsigned char* data = cairo_image_surface_get_data(img);
    const int stride = cairo_image_surface_get_stride(img);
    for (int yy = 0; yy < 600; ++yy)
        for (int xx = 0; xx < 700; ++xx) {
            std::uint32_t v;
            std::memcpy(&v, data + yy * stride + xx * 4, 4);
            ++pixels[v & 0xFFFFFF];
        }
    cairo_surface_destroy(img);
    for (std::size_t c = 0; c < 4; ++c) {
        const Rgb& rgb = palette[c];
        const std::uint32_t want = (std::uint32_t{rgb.r} << 16) | (std::uint32_t{rgb.g} << 8) | rgb.b;
        EXPECT_GE(pixels[want], 30) << "colour " << c;
    }
    EXPECT_EQ(pixels[(std::uint32_t{palette[5].r} << 16) | (std::uint32_t{palette[5].g} << 8) | palette[5].b], 0);
}

// ---------------------------------------------------------------- results folders

struct Folder {
    std::string path;
    Folder() {
        char name[] = "/tmp/plot-results-XXXXXX";
        path = mkdtemp(name);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
    }
};

const std::string json_two =
    "{\"design\": {\"factors\": [{\"column\": \"Site\"}, {\"column\": \"Plot\"}]},\n"
    " \"ordinations\": [\n"
    "  {\"title\": \"fitted\", \"eigenvalues\": [2, 1], \"proportions\": [0.4, 0.2],\n"
    "   \"objects_file\": \"o1.tsv\", \"species_file\": \"s1.tsv\"},\n"
    "  {\"title\": \"empty\", \"eigenvalues\": [], \"proportions\": []}]}\n";
const std::string objects_two =
    "sample\tSite\tPlot\taxis1\taxis2\n"
    "a\tA\tp1\t1.5\t-2\n"
    "b\tB\tp1\t-1.5\t2e-1\n"
    "c\tA\tp2\t0\t1\n";

TEST(Results, AFolderIsReadWithNestedLevelsWithinTheirParents) {
    Folder d;
    d.write("results.json", json_two);
    d.write("o1.tsv", objects_two);
    d.write("s1.tsv", "species\taxis1\taxis2\nsp1\t0.5\t0.25\n");
    const PlotInput in = read_results(d.path);
    EXPECT_EQ(in.samples, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(in.factors.size(), 2u);
    EXPECT_EQ(in.factors[1].levels, (std::vector<std::string>{"p1", "p1", "p2"}));  // p1 under A and under B
    EXPECT_EQ(in.factors[1].parent, (std::vector<int>{0, 1, 0}));
    ASSERT_EQ(in.ordinations.size(), 2u);
    EXPECT_EQ(in.ordinations[0].objects[1], (std::vector<double>{-1.5, 0.2}));
    EXPECT_EQ(in.ordinations[0].species, (std::vector<std::string>{"sp1"}));
    EXPECT_TRUE(in.ordinations[1].eigenvalues.empty());
}

TEST(Results, FaultsNameTheFileAndPlace) {
    const auto fault = [](const std::string& json, const std::string& objects) {
        Folder d;
        d.write("results.json", json);
        d.write("o1.tsv", objects);
        d.write("s1.tsv", "species\taxis1\taxis2\nsp1\t0.5\tnan\n");
        std::string e = tools::error_of([&] { read_results(d.path); });
        const std::size_t at = e.find(d.path);
        if (at != std::string::npos) e.replace(at, d.path.size(), "D");
        return e;
    };
    EXPECT_EQ(fault("{", objects_two).substr(0, 34), "D/results.json: not valid JSON: [j");
    EXPECT_EQ(fault("{\"design\": {\"factors\": [{\"column\": \"Site\"}]}}", objects_two),
              "D/results.json: the file has no field \"ordinations\"");
    EXPECT_EQ(fault(json_two, "sample\tSite\taxis1\taxis2\n"),
              "D/o1.tsv, line 1: the columns must be sample, Site, Plot, axis1, axis2");
    std::string inf = objects_two;
    inf.replace(inf.find("1.5"), 3, "inf");
    EXPECT_EQ(fault(json_two, inf),
              "D/o1.tsv, line 2, column 4: \"inf\" is not a finite number; a score must be one");
    EXPECT_EQ(fault(json_two, objects_two),
              "D/s1.tsv, line 2, column 3: \"nan\" is not a finite number; a score must be one");
    EXPECT_EQ(fault(json_two, objects_two + "d\tA\n"), "D/o1.tsv, line 5: the row has 2 fields, the header has 5");
    // A number beyond a double, a score too large to draw, a table outside the folder.
    EXPECT_EQ(fault("{\"design\": 2e400}", objects_two),
              "D/results.json: not valid JSON: [json.exception.out_of_range.406] number overflow parsing '2e400'");
    std::string huge = objects_two;
    huge.replace(huge.find("1.5"), 3, "-1e101");
    EXPECT_EQ(fault(json_two, huge),
              "D/o1.tsv, line 2, column 4: \"-1e101\": a score larger than 1e100 in magnitude cannot be drawn");
    for (const char* name : {"../o1.tsv", "/dev/stdin", "..", ""}) {
        std::string elsewhere = json_two;
        elsewhere.replace(elsewhere.find("\"o1.tsv\""), 8, "\"" + std::string(name) + "\"");
        EXPECT_EQ(fault(elsewhere, objects_two), "D/results.json: ordination 1's objects file \"" + std::string(name) +
                                                     "\" is not the name of a file in the folder");
    }
    // A line end in a factor's name is no line end in the message.
    std::string line_end = json_two;
    line_end.replace(line_end.find("\"Plot\""), 6, "\"Pl\\not\"");
    EXPECT_EQ(fault(line_end, objects_two), "D/o1.tsv, line 1: the columns must be sample, Site, Pl?ot, axis1, axis2");
}

// The figures of real runs: the program run on bundled tables, its results folder read
// as `morvenak plot` reads it.
struct ProgramRun : Folder {
    explicit ProgramRun(const std::string& args) {
        const std::string command = std::string(MORVENAK_PROGRAM) + " run " + args +
                                    " --permutations 0 --quiet --output " + path + "/out";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        folder = path + "/out";
    }
    std::string folder;
};

const std::string dune_args = "--species " + data_dir + "/dune/dune.csv --labels " + data_dir +
                              "/dune/dune.env.cells.csv --main Management --nested Use";

// Each cell's site scores average to its fitted scores, read from the objects tables,
// and every figure drawn at the site scores keeps its invariants: each centroid at its
// samples' mean place, the legend and the labels named through the whole hierarchy.
TEST(RealRun, SiteScoresAreCentredOnTheirCellsAndTheFiguresNameTheHierarchy) {
    const std::string three = std::string(EXAMPLES_DIR) + "/three_level/";
    for (const std::string& args :
         {dune_args, "--species " + three + "quadrats.csv --labels " + three +
                         "labels.csv --main Region --nested Site --nested Transect"}) {
        SCOPED_TRACE(args);
        const ProgramRun run(args);
        const PlotInput in = read_results(run.folder);
        const std::size_t factors = in.factors.size();
        std::size_t checked = 0;
        for (std::size_t k = 0; k < factors; ++k) {
            const std::string tsv = run.folder + "/ordination-" + std::to_string(k + 1) + "-objects.tsv";
            const tables::Table t = tables::read_table(tsv, {}, '\t');
            const std::size_t axes = in.ordinations[k].eigenvalues.size();
            ASSERT_EQ(t.header.size(), 1 + factors + 2 * axes) << tsv;
            ASSERT_EQ(t.header[1 + factors + axes], "site_1") << tsv;
            // A cell: the labels of the ordination's factor and of those it is nested in.
            std::map<std::string, std::vector<std::size_t>> cells;
            for (std::size_t i = 0; i < t.rows.size(); ++i) {
                std::string cell;
                for (std::size_t f = 0; f <= k; ++f) cell += std::string(t.rows[i][1 + f].text) + "\n";
                cells[cell].push_back(i);
            }
            const auto at = [&](std::size_t i, std::size_t c) { return std::stod(std::string(t.rows[i][c].text)); };
            for (std::size_t a = 0; a < axes; ++a) {
                double largest = 0;
                for (std::size_t i = 0; i < t.rows.size(); ++i) largest = std::max(largest, std::fabs(at(i, 1 + factors + a)));
                for (const auto& [cell, rows] : cells) {
                    double mean = 0;
                    for (std::size_t i : rows) mean += at(i, 1 + factors + axes + a);
                    mean /= static_cast<double>(rows.size());
                    for (std::size_t i : rows) EXPECT_NEAR(mean, at(i, 1 + factors + a), 1e-12 * std::max(1.0, largest)) << cell;
                    ++checked;
                }
            }
            EXPECT_EQ(in.ordinations[k].sites.size(), t.rows.size());
        }
        EXPECT_GT(checked, 0u);
        EXPECT_TRUE(in.ordinations.back().sites.empty());  // the residuals have none
        for (std::size_t k = 0; k < in.ordinations.size(); ++k) {
            for (const bool fitted : {false, true}) {
                SCOPED_TRACE("ordination " + std::to_string(k + 1) + (fitted ? ", fitted" : ""));
                FigureOptions opt;
                opt.fitted = fitted;
                const Figure fig = build_figure(in, k, opt, meter());
                check_figure(in, k, opt, fig);
                if (k + 1 < in.ordinations.size()) {
                    EXPECT_EQ(fig.title.text.rfind(factor_chain(in, k) + " explains ", 0), 0u) << fig.title.text;
                }
            }
        }
    }
}

// --colour-by a column of numbers shades each sample by its value on the scale, keyed by
// a bar over the column's range; one of labels gives each label a colour of the palette,
// and --shape-by a shape, keyed by legends that count every sample once.
TEST(RealRun, ColoursAndShapesFollowAColumnOfNumbersOrOfLabels) {
    const ProgramRun run(dune_args);
    const PlotInput in = read_results(run.folder);
    const auto column = [&](const std::string& name) {
        for (const LabelColumn& c : in.columns)
            if (c.name == name) return c.values;
        ADD_FAILURE() << "no column " << name;
        return std::vector<std::string>{};
    };
    const std::vector<std::string> a1 = column("A1"), use = column("Use"), moisture = column("Moisture");
    ASSERT_EQ(a1.size(), 20u);
    double lo = 1e300, hi = -1e300;
    for (const std::string& v : a1) lo = std::min(lo, std::stod(v)), hi = std::max(hi, std::stod(v));

    FigureOptions opt;
    opt.colour_by = "A1";
    check_style_columns(in, opt);
    for (std::size_t k = 0; k < in.ordinations.size(); ++k) {
        const Figure fig = build_figure(in, k, opt, meter());
        check_figure(in, k, opt, fig);
        ASSERT_TRUE(fig.colour_bar);
        EXPECT_EQ(fig.bar.title.text, "A1");
        EXPECT_EQ(fig.bar.lo, lo);
        EXPECT_EQ(fig.bar.hi, hi);
        for (const Marker& m : fig.markers) {
            EXPECT_EQ(m.colour, shaded);
            for (std::size_t i : m.samples) {
                const Rgb want = scale_colour((std::stod(a1[i]) - lo) / (hi - lo));
                EXPECT_EQ(std::make_tuple(m.shade.r, m.shade.g, m.shade.b), std::make_tuple(want.r, want.g, want.b)) << i;
            }
        }
        for (const Centroid& c : fig.centroids) EXPECT_EQ(c.marker.colour, white);
        for (const Text& t : fig.bar.ticks) {
            EXPECT_GE(std::stod(t.text), lo);
            EXPECT_LE(std::stod(t.text), hi);
            EXPECT_TRUE(t.box.within({0, 0, fig.width, fig.height}));
        }
    }

    opt.colour_by = "Use", opt.shape_by = "Moisture";
    check_style_columns(in, opt);
    const Figure fig = build_figure(in, 1, opt, meter());
    check_figure(in, 1, opt, fig);
    EXPECT_FALSE(fig.colour_bar);
    std::vector<std::string> uses, wets;  // in order of first appearance
    for (std::size_t i = 0; i < 20; ++i) {
        if (std::find(uses.begin(), uses.end(), use[i]) == uses.end()) uses.push_back(use[i]);
        if (std::find(wets.begin(), wets.end(), moisture[i]) == wets.end()) wets.push_back(moisture[i]);
    }
    for (const Marker& m : fig.markers)
        for (std::size_t i : m.samples) {
            EXPECT_EQ(m.colour, std::find(uses.begin(), uses.end(), use[i]) - uses.begin()) << i;
            EXPECT_EQ(static_cast<int>(m.shape), std::find(wets.begin(), wets.end(), moisture[i]) - wets.begin()) << i;
        }
    std::vector<std::string> legend, want{"Use"};
    for (const LegendEntry& e : fig.legend) legend.push_back(e.text.text);
    const auto counted = [&](const std::vector<std::string>& values, const std::vector<std::string>& of) {
        for (const std::string& v : of)
            want.push_back(v + " (" + std::to_string(std::count(values.begin(), values.end(), v)) + ")");
    };
    counted(use, uses);
    want.push_back("Moisture");
    counted(moisture, wets);
    EXPECT_EQ(legend, want);

    // The options name the column they could not use.
    const auto fault = [&](const std::string& colour, const std::string& shape) {
        FigureOptions o;
        o.colour_by = colour, o.shape_by = shape;
        return tools::error_of([&] { check_style_columns(in, o); });
    };
    EXPECT_EQ(fault("Moist", ""), "--colour-by Moist: the labels table has no such column (its columns: \"\", "
                                  "\"A1\", \"Moisture\", \"Management\", \"Use\", \"Manure\", \"Cell\")");
    EXPECT_EQ(fault("", "A1"), "--shape-by A1: " + std::to_string(std::set<std::string>(a1.begin(), a1.end()).size()) +
                                   " different values, more than the 6 shapes");
    EXPECT_EQ(fault("Cell", "Use"),
              "--colour-by Cell: 11 different labels, more than the 7 colours told apart while --shape-by takes the shapes");
}

}  // namespace
