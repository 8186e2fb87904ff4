// The figures' font and its metrics; see meter.hpp.
#include "meter.hpp"

#include <cairo.h>

#include <algorithm>

namespace plot {

void set_font(cairo_t* cr, double size, bool bold) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_font_options_t* fo = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(fo, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(fo, CAIRO_HINT_STYLE_NONE);
    cairo_set_font_options(cr, fo);
    cairo_font_options_destroy(fo);
}

TextMeter::TextMeter()
    : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1)),
      cr_(cairo_create(surface_)) {}

TextMeter::~TextMeter() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

TextMetrics TextMeter::operator()(const std::string& text, double size, bool bold) const {
    set_font(cr_, size, bold);
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);
    cairo_text_extents_t te;
    cairo_text_extents(cr_, text.c_str(), &te);
    return {std::max(te.x_advance, te.x_bearing + te.width), fe.ascent, fe.descent};
}

Measure TextMeter::measure() const {
    return [this](const std::string& s, double size, bool bold) { return (*this)(s, size, bold); };
}

}  // namespace plot
