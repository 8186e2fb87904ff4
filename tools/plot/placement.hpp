// Greedy placement of labels: each label, in the order given, takes the first place
// around its anchor where it stays inside the area and overlaps nothing placed or
// blocked before it. The first ring of places touches the anchor; further rings move
// the label away, and a leader line then joins it to its anchor. A label that finds no
// place within the last ring is left out.
//
// Blocked boxes are hard (markers, labels) or soft (the lines of arrows). A label takes
// a place free of both where there is one in its ring, else one free of hard boxes
// only: a label over a line reads better than one moved away from its point.
#pragma once

#include "figure.hpp"

#include <cstddef>
#include <vector>

namespace plot {

struct LabelRequest {
    double x = 0, y = 0;   // the anchor
    double clearance = 0;  // the anchor's marker radius: the label keeps off it
    TextMetrics metrics;
    double prefer_x = 0, prefer_y = 0;  // a direction to try first; (0, 0): none
};

struct Placement {
    Box box;
    double baseline_x = 0, baseline_y = 0;
    bool leader = false;
    double lx0 = 0, ly0 = 0, lx1 = 0, ly1 = 0;
};

class Placer {
public:
    // Labels stay within area; rings reach out to max_distance from the anchor.
    Placer(const Box& area, double max_distance);

    // Nothing may be placed over box (a marker, a centroid).
    void block(const Box& box, bool soft = false);

    // Places a label and blocks its box; false (nothing blocked) when it cannot fit.
    bool place(const LabelRequest& request, Placement& out);

    // Whether box lies in the area and keeps 2 points off everything blocked (off
    // everything hard when hard_only).
    bool free(const Box& box, bool hard_only = false) const;

private:
    Box area_;
    double max_distance_;
    double cell_;
    std::size_t columns_, rows_;
    std::vector<Box> boxes_;
    std::vector<bool> soft_;
    std::vector<std::vector<std::size_t>> grid_;  // per cell, the boxes that reach it

    void cells(const Box& b, std::size_t& c0, std::size_t& r0, std::size_t& c1,
               std::size_t& r1) const;
};

}  // namespace plot
