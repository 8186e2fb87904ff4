// What the fuzz target of the figures' readers does with one input, shared by its
// libFuzzer entry point (fuzz_plot.cpp) and by the replay of its seeds in the tools'
// tests (tests/tools/plot_tests.cpp).
//
//   plot_one  (plot_read tells whether the input was read whole): a results folder
//             (results.json and the score tables it names) or a classic score file,
//             read as morvenak-plot reads them, then each ordination that has axes
//             built into the figure model with text metrics of a fixed width per
//             character. Reading ends with a PlotInput whose parts agree with each
//             other, or with a tools::ToolError of status 2 whose message is one line
//             naming the file; every figure keeps its texts on the canvas and its
//             points at finite places.
//
// Input: a first byte, even for a results folder and odd for a score file; then the
// files, separated by the byte 0x1F: for a results folder results.json, then o1.tsv,
// s1.tsv, o2.tsv, s2.tsv, o3.tsv, s3.tsv (the names the seeds' results.json give), for a
// score file FittedSc.out alone. Missing files are left out.
// A broken expectation aborts, which libFuzzer reports as a crash.
#pragma once

#include "common/toolerror.hpp"
#include "plot/classic.hpp"
#include "plot/figure.hpp"
#include "plot/results.hpp"
#include "scratch.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace plot::fuzz {

using fuzz_common::broken;

// A private folder, emptied for each input and removed when the process ends.
inline const std::string& folder() { return fuzz_common::scratch_folder("plot"); }

inline const char* const file_names[] = {"results.json", "o1.tsv", "s1.tsv", "o2.tsv",
                                         "s2.tsv",       "o3.tsv", "s3.tsv", "FittedSc.out"};

inline void put_file(const std::string& path, const char* data, std::size_t size) {
  fuzz_common::write_file(path, data, size);
}

// The metrics of a fixed-width font: each character (not byte) size * 0.6 wide.
inline TextMetrics fixed_width(const std::string& s, double size, bool) {
  double chars = 0;
  for (unsigned char c : s) chars += (c & 0xC0) != 0x80;
  return {chars * size * 0.6, size * 0.8, size * 0.2};
}

inline bool finite_box(const Box& b) {
  return std::isfinite(b.x0) && std::isfinite(b.y0) && std::isfinite(b.x1) && std::isfinite(b.y1);
}

inline void check_input(const PlotInput& in) {
  const std::size_t n = in.samples.size();
  for (const FactorLevels& f : in.factors) {
    if (f.level_of.size() != n || f.counts.size() != f.levels.size())
      broken("a factor's levels disagree with the samples");
    std::size_t total = 0;
    for (int c : f.counts) total += static_cast<std::size_t>(c);
    if (total != n) broken("a factor's counts do not add up to the samples");
    for (int l : f.level_of)
      if (l < 0 || static_cast<std::size_t>(l) >= f.levels.size()) broken("a level out of range");
  }
  for (const Scores& o : in.ordinations) {
    const std::size_t axes = o.eigenvalues.size();
    if (o.proportions.size() != axes) broken("eigenvalues and proportions disagree");
    if (axes == 0) continue;
    if (o.objects.empty() || (n && o.objects.size() != n)) broken("objects disagree with samples");
    for (const auto& row : o.objects) {
      if (row.size() != axes) broken("an object's scores disagree with the axes");
      for (double v : row)
        if (!std::isfinite(v)) broken("a score that is not finite");
    }
    if (o.species.size() != o.species_scores.size()) broken("species and their scores disagree");
    for (const auto& row : o.species_scores) {
      if (row.size() != axes) broken("a species' scores disagree with the axes");
      for (double v : row)
        if (!std::isfinite(v)) broken("a species score that is not finite");
    }
  }
}

inline void check_figures(const PlotInput& in) {
  const FigureOptions opt;
  for (std::size_t k = 0; k < in.ordinations.size(); ++k) {
    if (!shows_axes(in.ordinations[k], opt)) continue;
    const Figure fig = build_figure(in, k, opt, fixed_width);
    const Box canvas{0, 0, fig.width, fig.height};
    std::vector<const Text*> texts{&fig.title, &fig.x_title, &fig.note};
    for (const Label& l : fig.labels) texts.push_back(&l.text);
    for (const LegendEntry& e : fig.legend) texts.push_back(&e.text);
    for (const Text* t : texts)
      if (!t->text.empty() && !(finite_box(t->box) && t->box.within(canvas)))
        broken("a text off the canvas: " + t->text.substr(0, 40));
    for (const Marker& m : fig.markers)
      if (!finite_box(m.box())) broken("a marker at no finite place");
    for (const Arrow& a : fig.arrows)
      if (!finite_box({a.x0, a.y0, a.x1, a.y1})) broken("an arrow at no finite place");
  }
}

// Whether the input was read whole (false: refused, with a message as expected).
inline bool plot_read(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return false;
  const bool results = data[0] % 2 == 0;
  const std::string& dir = folder();
  for (const char* name : file_names) ::unlink((dir + "/" + name).c_str());
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t at = 1;
  for (std::size_t f = results ? 0 : 7; f < (results ? 7 : 8) && at <= size; ++f) {
    std::size_t end = at;
    while (end < size && text[end] != '\x1f') ++end;
    put_file(dir + "/" + file_names[f], text + at, end - at);
    at = end + 1;
  }
  const std::string input = results ? dir : dir + "/FittedSc.out";
  PlotInput in;
  try {
    in = results ? read_results(input) : read_classic(input, ClassicTables{});
  } catch (const tools::ToolError& e) {
    const std::string message = e.what();
    if (e.status != tools::status_error) broken("status " + std::to_string(e.status) + ": " + message);
    if (message.compare(0, dir.size(), dir) != 0) broken("a message naming no file: " + message);
    if (message.find('\n') != std::string::npos) broken("a message of several lines: " + message);
    return false;
  }
  check_input(in);
  check_figures(in);
  return true;
}

inline int plot_one(const std::uint8_t* data, std::size_t size) {
  plot_read(data, size);
  return 0;
}

}  // namespace plot::fuzz
