// Greedy label placement on a grid of cells; see placement.hpp.
#include "placement.hpp"

#include <algorithm>
#include <cmath>

namespace plot {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double apart = 2;          // the least room between a label and anything else
constexpr double gap = apart + 0.5;  // between a marker and the first ring of labels

// A box of w x (ascent + descent) whose centre is at (cx, cy).
Placement centred(double cx, double cy, const TextMetrics& m) {
    Placement p;
    const double h = m.ascent + m.descent;
    p.box = {cx - m.width / 2, cy - h / 2, cx + m.width / 2, cy + h / 2};
    p.baseline_x = p.box.x0;
    p.baseline_y = p.box.y0 + m.ascent;
    return p;
}

// The point of box b nearest to (x, y).
void nearest(const Box& b, double x, double y, double& nx, double& ny) {
    nx = std::clamp(x, b.x0, b.x1);
    ny = std::clamp(y, b.y0, b.y1);
}

}  // namespace

Placer::Placer(const Box& area, double max_distance)
    : area_(area), max_distance_(max_distance), cell_(16) {
    columns_ = static_cast<std::size_t>(std::max(1.0, std::ceil((area.x1 - area.x0) / cell_)));
    rows_ = static_cast<std::size_t>(std::max(1.0, std::ceil((area.y1 - area.y0) / cell_)));
    grid_.resize(columns_ * rows_);
}

void Placer::cells(const Box& b, std::size_t& c0, std::size_t& r0, std::size_t& c1,
                   std::size_t& r1) const {
    const auto at = [&](double v, double lo, std::size_t count) {
        const double k = std::floor((v - lo) / cell_);
        return static_cast<std::size_t>(std::clamp(k, 0.0, static_cast<double>(count - 1)));
    };
    c0 = at(b.x0, area_.x0, columns_), c1 = at(b.x1, area_.x0, columns_);
    r0 = at(b.y0, area_.y0, rows_), r1 = at(b.y1, area_.y0, rows_);
}

void Placer::block(const Box& box, bool soft) {
    if (!box.overlaps(area_)) return;
    const std::size_t index = boxes_.size();
    boxes_.push_back(box);
    soft_.push_back(soft);
    std::size_t c0, r0, c1, r1;
    cells(box, c0, r0, c1, r1);
    for (std::size_t r = r0; r <= r1; ++r)
        for (std::size_t c = c0; c <= c1; ++c) grid_[r * columns_ + c].push_back(index);
}

bool Placer::free(const Box& box, bool hard_only) const {
    if (!box.within(area_)) return false;
    const Box wide{box.x0 - apart, box.y0 - apart, box.x1 + apart, box.y1 + apart};
    std::size_t c0, r0, c1, r1;
    cells(wide, c0, r0, c1, r1);
    for (std::size_t r = r0; r <= r1; ++r)
        for (std::size_t c = c0; c <= c1; ++c)
            for (std::size_t i : grid_[r * columns_ + c])
                if (!(hard_only && soft_[i]) && boxes_[i].overlaps(wide)) return false;
    return true;
}

bool Placer::place(const LabelRequest& q, Placement& out) {
    const TextMetrics& m = q.metrics;
    const double h = m.ascent + m.descent;
    const double g = q.clearance + gap;
    // The angle to try first, then the others by their distance from it.
    const double prefer =
        (q.prefer_x != 0 || q.prefer_y != 0) ? std::atan2(q.prefer_y, q.prefer_x) : 0.0;
    const auto by_preference = [&](std::vector<double> angles) {
        const auto off = [&](double a) {
            double d = std::fmod(std::fabs(a - prefer), 2 * pi);
            return std::min(d, 2 * pi - d);
        };
        std::stable_sort(angles.begin(), angles.end(),
                         [&](double a, double b) { return off(a) < off(b) - 1e-9; });
        return angles;
    };
    // The first ring: the label touches the anchor's clearance, on one of eight sides.
    std::vector<double> eight;
    for (int k = 0; k < 8; ++k) eight.push_back(k * pi / 4);
    eight = by_preference(eight);
    for (bool hard_only : {false, true}) {
        for (double a : eight) {
            const double c = std::cos(a), s = std::sin(a);
            const double cx =
                q.x +
                (std::fabs(c) < 1e-9 ? 0 : (c > 0 ? 1 : -1) * (g * std::fabs(c) + m.width / 2));
            const double cy =
                q.y + (std::fabs(s) < 1e-9 ? 0 : (s > 0 ? 1 : -1) * (g * std::fabs(s) + h / 2));
            Placement p = centred(cx, cy, m);
            if (free(p.box, hard_only)) {
                out = p;
                block(p.box);
                return true;
            }
        }
    }
    // Further rings, a line's height apart, each tried at 24 angles; a leader line
    // joins the anchor to the label.
    std::vector<double> many;
    for (int k = 0; k < 24; ++k) many.push_back(k * pi / 12);
    many = by_preference(many);
    const double step = std::max(h, 4.0);
    for (double d = g + step; d <= max_distance_; d += step) {
        for (int pass = 0; pass < 2 * static_cast<int>(many.size()); ++pass) {
            const bool hard_only = pass >= static_cast<int>(many.size());
            const double a = many[static_cast<std::size_t>(pass) % many.size()];
            const double c = std::cos(a), s = std::sin(a);
            Placement p = centred(q.x + c * (d + m.width / 2), q.y + s * (d + h / 2), m);
            if (!free(p.box, hard_only)) continue;
            p.leader = true;
            double nx, ny;
            nearest(p.box, q.x, q.y, nx, ny);
            const double len = std::hypot(nx - q.x, ny - q.y);
            p.lx0 = q.x + (nx - q.x) / len * q.clearance;
            p.ly0 = q.y + (ny - q.y) / len * q.clearance;
            p.lx1 = nx, p.ly1 = ny;
            out = p;
            block(p.box);
            return true;
        }
    }
    return false;
}

}  // namespace plot
