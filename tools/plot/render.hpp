// Drawing a figure model (figure.hpp) through cairo, as SVG, PDF or PNG: one drawing
// code for the three. Text is set in DejaVu Sans, found through fontconfig, with
// metrics that do not depend on the output's resolution, so that the label boxes the
// model was built with are those drawn.
#pragma once

#include "figure.hpp"

#include <string>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace plot {

enum class Format { svg, pdf, png };

// Measures text as render() draws it. Keep one for the figures of a run.
class TextMeter {
public:
    TextMeter();
    ~TextMeter();
    TextMeter(const TextMeter&) = delete;
    TextMeter& operator=(const TextMeter&) = delete;
    TextMetrics operator()(const std::string& text, double size, bool bold) const;

private:
    cairo_surface_t* surface_;
    cairo_t* cr_;
};

// The figure as the bytes of a file of the format; a PNG has dpi pixels per inch.
// Throws tools::ToolError when cairo cannot draw it (memory, a PNG too large).
std::string render(const Figure& figure, Format format, double dpi);

// Releases the caches that cairo and fontconfig keep for the life of the process
// (fonts, glyphs, patterns), so that a leak checker sees none of them at exit. Call
// it once, after the last TextMeter is gone and the last figure drawn.
void release_drawing_caches();

}  // namespace plot
