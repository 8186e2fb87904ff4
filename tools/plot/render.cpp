// Cairo drawing of figure models; see render.hpp.
#include "render.hpp"

#include "meter.hpp"
#include "model.hpp"

#include "../common/toolerror.hpp"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cmath>

namespace plot {

namespace {

constexpr double pi = 3.14159265358979323846;

void set_rgb(cairo_t* cr, const Rgb& c, double alpha = 1) {
    cairo_set_source_rgba(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0, alpha);
}

void colour(cairo_t* cr, int index, double alpha = 1) { set_rgb(cr, colour_rgb(index), alpha); }

void shape_path(cairo_t* cr, Shape s, double x, double y, double r) {
    const auto polygon = [&](int corners, double start, double radius) {
        for (int k = 0; k < corners; ++k) {
            const double a = start + 2 * pi * k / corners;
            const double px = x + radius * std::cos(a), py = y + radius * std::sin(a);
            if (k == 0)
                cairo_move_to(cr, px, py);
            else
                cairo_line_to(cr, px, py);
        }
        cairo_close_path(cr);
    };
    switch (s) {
        case Shape::circle:
            cairo_new_sub_path(cr);
            cairo_arc(cr, x, y, r, 0, 2 * pi);
            break;
        case Shape::triangle:
            polygon(3, -pi / 2, r * 1.25);
            break;
        case Shape::square:
            cairo_rectangle(cr, x - r * 0.9, y - r * 0.9, 1.8 * r, 1.8 * r);
            break;
        case Shape::diamond:
            polygon(4, 0, r * 1.25);
            break;
        case Shape::triangle_down:
            polygon(3, pi / 2, r * 1.25);
            break;
        case Shape::star:
            for (int k = 0; k < 10; ++k) {
                const double a = -pi / 2 + pi * k / 5, rr = (k % 2 ? 0.5 : 1.35) * r;
                if (k == 0)
                    cairo_move_to(cr, x + rr * std::cos(a), y + rr * std::sin(a));
                else
                    cairo_line_to(cr, x + rr * std::cos(a), y + rr * std::sin(a));
            }
            cairo_close_path(cr);
            break;
    }
}

void draw_marker(cairo_t* cr, const Marker& m, bool black_edge) {
    shape_path(cr, m.shape, m.x, m.y, m.radius);
    set_rgb(cr, marker_fill(m));
    cairo_fill_preserve(cr);
    set_rgb(cr, marker_edge(m, black_edge));
    cairo_set_line_width(cr, edge_width(black_edge));
    cairo_stroke(cr);
}

void draw_text(cairo_t* cr, const Text& t) {
    if (t.text.empty()) return;
    set_font(cr, t.size, t.bold);
    colour(cr, t.colour);
    cairo_save(cr);
    cairo_translate(cr, t.x, t.y);
    if (t.vertical) cairo_rotate(cr, -pi / 2);
    cairo_move_to(cr, 0, 0);
    cairo_show_text(cr, t.text.c_str());
    cairo_restore(cr);
}

void line(cairo_t* cr, const Line& l) {
    cairo_move_to(cr, l.x0, l.y0);
    cairo_line_to(cr, l.x1, l.y1);
    cairo_stroke(cr);
}

// The bar runs through the scale's stops from its least value at the bottom.
void draw_colour_bar(cairo_t* cr, const ColourBar& b) {
    draw_text(cr, b.title);
    cairo_pattern_t* ramp = cairo_pattern_create_linear(0, b.bar.y1, 0, b.bar.y0);
    for (std::size_t k = 0; k < scale_stops.size(); ++k) {
        const Rgb& c = scale_stops[k];
        cairo_pattern_add_color_stop_rgb(
            ramp, static_cast<double>(k) / static_cast<double>(scale_stops.size() - 1), c.r / 255.0,
            c.g / 255.0, c.b / 255.0);
    }
    cairo_rectangle(cr, b.bar.x0, b.bar.y0, b.bar.x1 - b.bar.x0, b.bar.y1 - b.bar.y0);
    if (b.hi > b.lo)
        cairo_set_source(cr, ramp);
    else
        set_rgb(cr, scale_colour(0.5));
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(ramp);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.5);
    cairo_stroke(cr);
    for (const Line& l : b.tick_marks) line(cr, l);
    for (const Text& t : b.ticks) draw_text(cr, t);
}

void draw(cairo_t* cr, const Figure& fig) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    const Box& fr = fig.frame;

    cairo_save(cr);
    cairo_rectangle(cr, fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0);
    cairo_clip(cr);
    cairo_set_line_width(cr, 0.5);
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    for (const Line& l : fig.row_lines) line(cr, l);
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    const double dash[] = {4, 3};
    cairo_set_dash(cr, dash, 2, 0);
    for (const Line& l : fig.zero_lines) line(cr, l);
    cairo_set_dash(cr, nullptr, 0, 0);
    for (const Outline& ol : fig.outlines) {
        for (std::size_t k = 0; k < ol.xs.size(); ++k)
            (k ? cairo_line_to : cairo_move_to)(cr, ol.xs[k], ol.ys[k]);
        cairo_close_path(cr);
        colour(cr, ol.colour, 0.12);
        cairo_fill_preserve(cr);
        colour(cr, ol.colour, 0.9);
        cairo_set_line_width(cr, 0.9);
        cairo_stroke(cr);
    }
    // Species arrows, with heads.
    cairo_set_line_width(cr, 0.8);
    for (const Arrow& a : fig.arrows) {
        colour(cr, -2);
        line(cr, {a.x0, a.y0, a.x1, a.y1});
        const double ang = std::atan2(a.y1 - a.y0, a.x1 - a.x0), head = 5;
        cairo_move_to(cr, a.x1, a.y1);
        cairo_line_to(cr, a.x1 - head * std::cos(ang - 0.4), a.y1 - head * std::sin(ang - 0.4));
        cairo_line_to(cr, a.x1 - head * std::cos(ang + 0.4), a.y1 - head * std::sin(ang + 0.4));
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    // Leader lines, markers, centroids.
    cairo_set_line_width(cr, 0.4);
    cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
    for (const Label& l : fig.labels)
        if (l.leader) line(cr, {l.lx0, l.ly0, l.lx1, l.ly1});
    // A box plot's boxes filled under its markers, their lines over them: however many
    // markers there are, the box plot shows.
    for (const BoxPlot& b : fig.boxes) {
        colour(cr, b.colour, 0.25);
        cairo_rectangle(cr, b.x - b.half_width, b.q3, 2 * b.half_width, b.q1 - b.q3);
        cairo_fill(cr);
    }
    for (const Marker& m : fig.markers) draw_marker(cr, m, false);
    for (const BoxPlot& b : fig.boxes) {
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_set_line_width(cr, 0.8);
        line(cr, {b.x, b.q1, b.x, b.lower});
        line(cr, {b.x, b.q3, b.x, b.upper});
        line(cr, {b.x - b.half_width / 2, b.lower, b.x + b.half_width / 2, b.lower});
        line(cr, {b.x - b.half_width / 2, b.upper, b.x + b.half_width / 2, b.upper});
        cairo_rectangle(cr, b.x - b.half_width, b.q3, 2 * b.half_width, b.q1 - b.q3);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 2);
        line(cr, {b.x - b.half_width, b.median, b.x + b.half_width, b.median});
    }
    for (const Centroid& c : fig.centroids) {
        if (c.bar) {
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_set_line_width(cr, 2);
            line(cr, {c.marker.x, c.marker.y - c.marker.radius, c.marker.x,
                      c.marker.y + c.marker.radius});
        } else {
            draw_marker(cr, c.marker, true);
        }
    }
    cairo_restore(cr);

    for (const Label& l : fig.labels) draw_text(cr, l.text);

    // The frame, ticks, titles, legend and note.
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.8);
    cairo_rectangle(cr, fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0);
    cairo_stroke(cr);
    for (const Line& l : fig.tick_marks) line(cr, l);
    for (const Text& t : fig.ticks) draw_text(cr, t);
    draw_text(cr, fig.title);
    draw_text(cr, fig.subtitle);
    draw_text(cr, fig.x_title);
    draw_text(cr, fig.y_title);
    if (fig.colour_bar) draw_colour_bar(cr, fig.bar);
    for (const LegendEntry& e : fig.legend) {
        if (e.marker) draw_marker(cr, e.symbol, false);
        draw_text(cr, e.text);
    }
    draw_text(cr, fig.note);
}

cairo_status_t append(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

void check(cairo_status_t status, const char* what) {
    if (status != CAIRO_STATUS_SUCCESS)
        throw tools::ToolError(std::string("cannot draw the ") + what + ": " +
                               cairo_status_to_string(status));
}

}  // namespace

std::string render(const Figure& fig, Format format, double dpi) {
    if (format == Format::json) return figure_json(fig);
    std::string out;
    cairo_surface_t* surface = nullptr;
    const char* what = format == Format::svg ? "SVG" : format == Format::pdf ? "PDF" : "PNG";
    double scale = 1;
    if (format == Format::svg) {
        surface = cairo_svg_surface_create_for_stream(append, &out, fig.width, fig.height);
    } else if (format == Format::pdf) {
        surface = cairo_pdf_surface_create_for_stream(append, &out, fig.width, fig.height);
        cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, fig.title.text.c_str());
    } else {
        scale = dpi / 72;
        surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24,
                                             static_cast<int>(std::lround(fig.width * scale)),
                                             static_cast<int>(std::lround(fig.height * scale)));
    }
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, scale, scale);
    draw(cr, fig);
    const cairo_status_t drawn = cairo_status(cr);
    cairo_destroy(cr);
    cairo_status_t written = CAIRO_STATUS_SUCCESS;
    if (drawn == CAIRO_STATUS_SUCCESS && format == Format::png)
        written = cairo_surface_write_to_png_stream(surface, append, &out);
    cairo_surface_finish(surface);
    const cairo_status_t finished = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    check(drawn, what);
    check(written, what);
    check(finished, what);
    return out;
}

void release_drawing_caches() {
    cairo_debug_reset_static_data();
    FcFini();
}

}  // namespace plot
