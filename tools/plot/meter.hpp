// The text metrics of the figures: DejaVu Sans through cairo and fontconfig, with
// metrics that do not depend on the output's resolution (no hinting), so that the
// label boxes a model is built with are those the renderer draws, and those that the
// R and Python packages receive in a model are the command's.
#pragma once

#include "figure.hpp"

#include <string>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace plot {

// Sets the figures' font at a size (points), bold or not.
void set_font(cairo_t* cr, double size, bool bold);

// Measures text as render() draws it. Keep one for the figures of a run.
class TextMeter {
public:
    TextMeter();
    ~TextMeter();
    TextMeter(const TextMeter&) = delete;
    TextMeter& operator=(const TextMeter&) = delete;
    TextMetrics operator()(const std::string& text, double size, bool bold) const;
    // The meter as a Measure; the meter must outlive it.
    Measure measure() const;

private:
    cairo_surface_t* surface_;
    cairo_t* cr_;
};

}  // namespace plot
