// Charts as inline SVG, drawn to a fixed view box that the page scales to
// its width: line charts over the periods and heat maps. Values show on
// hover through each mark's <title>.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vm::results {

// Text for HTML and SVG content and attribute values.
std::string escaped(std::string_view text);
// A value with a fixed number of decimals; "" for NaN.
std::string fixed(double v, int decimals);

// A value axis: its ends and ticks, rounded to 1, 2 or 5 times a power of ten.
struct Axis {
  double lo = 0, hi = 1;
  std::vector<double> ticks;
  int decimals = 0;  // enough for the ticks to differ
};
Axis nice_axis(double lo, double hi);

// The n-th of a fixed set of colours that tell lines apart.
std::string series_colour(size_t n);

struct Series {
  std::string name;
  std::string colour;
  std::vector<double> y;  // one per period; NaN: no value there (a gap)
  bool dashed = false;
  std::vector<std::string> notes;  // per period, after the value on hover (optional)
  bool in_legend = true;           // false: drawn under the legend entry of another line
  std::string legend_name;         // in the legend instead of the name ("" for none)
};
inline Series line_series(std::string name, std::string colour, std::vector<double> y, bool dashed = false) {
  Series s;
  s.name = std::move(name);
  s.colour = std::move(colour);
  s.y = std::move(y);
  s.dashed = dashed;
  return s;
}

// Where the plot area lies in the view box, so that a script can add lines
// to a chart with the same axes.
struct Frame {
  double left = 84, right = 960, top = 16, bottom = 330;
  double width = 1000, height = 380;
};

struct LineChart {
  std::string label;                   // for screen readers
  std::string y_title;                 // beside the value axis
  std::vector<std::string> periods;    // the x axis
  std::vector<Series> series;
  std::vector<double> band_lo, band_hi;  // a shaded range per period (optional)
  Axis axis;                           // from all values, or set by the caller
  int decimals = 4;                    // of the values on hover
  std::string id;                      // of the svg element ("" for none)
  // Where each period lies on the x axis, in its own units (for example
  // the years of numeric periods, with gaps where some are missing);
  // empty: evenly, in their order.
  std::vector<double> x;
};

// The places of numeric periods on a time axis: their numbers where every
// period code is digits only and not all zeros (0000, an unknown year,
// belongs to no place in time and is left out: NaN); empty otherwise.
std::vector<double> time_axis(const std::vector<std::string>& periods);

// The axis that holds every value of the chart's series and band.
Axis axis_for(const LineChart& chart);
std::string line_chart_svg(const LineChart& chart);

// A grid of coloured cells, rows by columns; NaN cells stay grey. Colours
// come from nine classes h0..h8 over [lo, hi], defined by the page.
struct HeatMap {
  std::string label;
  std::vector<std::string> rows, columns;
  std::vector<double> values;  // row-major
  double lo = 0, hi = 1;
  int decimals = 4;
  std::string id;
};
int colour_class(double v, double lo, double hi);
std::string heat_map_svg(const HeatMap& map);

}  // namespace vm::results
