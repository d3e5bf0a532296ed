#include "results/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "results/tables.h"

namespace vm::results {
namespace {

constexpr double kCharWidth = 7.0;      // of the 12-unit labels, roughly
constexpr double kWideCharWidth = 8.5;  // of capitals, which labels of codes often are
constexpr size_t kLabelChars = 28;  // longer labels are shortened on the chart

std::string coord(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string shortened(std::string_view text) {
  if (text.size() <= kLabelChars) return std::string(text);
  return std::string(text.substr(0, kLabelChars - 1)) + "\xE2\x80\xA6";
}

double x_of(const Frame& f, size_t a, size_t count) {
  if (count <= 1) return (f.left + f.right) / 2;
  return f.left + (f.right - f.left) * static_cast<double>(a) / static_cast<double>(count - 1);
}

// The x of period a: on the chart's own axis where it has one.
double x_at(const Frame& f, const LineChart& chart, size_t a) {
  if (chart.x.empty()) return x_of(f, a, chart.periods.size());
  double lo = INFINITY, hi = -INFINITY;
  for (double v : chart.x)
    if (!std::isnan(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  if (!(hi > lo)) return (f.left + f.right) / 2;
  return f.left + (f.right - f.left) * (chart.x[a] - lo) / (hi - lo);
}

bool placed(const LineChart& chart, size_t a) { return chart.x.empty() || !std::isnan(chart.x[a]); }

double y_of(const Frame& f, const Axis& axis, double v) {
  return f.bottom - (f.bottom - f.top) * (v - axis.lo) / (axis.hi - axis.lo);
}

// Every k-th period gets a label, so that labels never overlap.
size_t label_step(const std::vector<std::string>& labels, double room) {
  size_t longest = 1;
  for (const std::string& l : labels) longest = std::max(longest, std::min(l.size(), kLabelChars));
  const double per_label = static_cast<double>(longest) * kCharWidth + 8;
  const double fit = std::max(1.0, std::floor(room / per_label));
  return std::max<size_t>(1, static_cast<size_t>(std::ceil(static_cast<double>(labels.size()) / fit)));
}

std::string time_ticks(const Frame& f, const LineChart& chart, const std::vector<size_t>& at);

std::string axes(const Frame& f, const LineChart& chart) {
  const Axis& axis = chart.axis;
  const std::vector<std::string>& periods = chart.periods;
  std::string s;
  for (double t : axis.ticks) {
    const std::string y = coord(y_of(f, axis, t));
    s += "<line class=\"grid\" x1=\"" + coord(f.left) + "\" x2=\"" + coord(f.right) + "\" y1=\"" + y + "\" y2=\"" + y + "\"/>";
    s += "<text class=\"tick\" x=\"" + coord(f.left - 6) + "\" y=\"" + y + "\" text-anchor=\"end\" dominant-baseline=\"middle\">" +
         fixed(t, axis.decimals) + "</text>\n";
  }
  s += "<line class=\"axis\" x1=\"" + coord(f.left) + "\" x2=\"" + coord(f.right) + "\" y1=\"" + coord(f.bottom) + "\" y2=\"" +
       coord(f.bottom) + "\"/>";
  std::vector<std::string> labels;
  std::vector<size_t> at;
  for (size_t a = 0; a < periods.size(); ++a)
    if (placed(chart, a)) labels.push_back(periods[a]), at.push_back(a);
  if (!chart.x.empty()) return s + time_ticks(f, chart, at) + '\n';
  const size_t step = label_step(labels, f.right - f.left + 40);
  for (size_t k = 0; k < labels.size(); k += step) {
    const size_t a = at[k];
    const std::string x = coord(x_at(f, chart, a));
    s += "<line class=\"axis\" x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + coord(f.bottom) + "\" y2=\"" + coord(f.bottom + 5) + "\"/>";
    s += "<text class=\"tick\" x=\"" + x + "\" y=\"" + coord(f.bottom + 20) + "\" text-anchor=\"middle\">" +
         escaped(shortened(periods[a])) + "</text>";
  }
  s += '\n';
  return s;
}

// Ticks of a time axis: round numbers of the periods' own unit, so that a
// missing year leaves its gap.
std::string time_ticks(const Frame& f, const LineChart& chart, const std::vector<size_t>& at) {
  double lo = INFINITY, hi = -INFINITY;
  for (size_t a : at) lo = std::min(lo, chart.x[a]), hi = std::max(hi, chart.x[a]);
  std::string s;
  if (at.empty()) return s;
  size_t longest = 1;
  for (size_t a : at) longest = std::max(longest, chart.periods[a].size());
  const double room = (f.right - f.left) / (static_cast<double>(longest) * kCharWidth + 16);
  Axis ticks = nice_axis(lo, hi);
  // Fewer ticks where the labels would touch; whole numbers only.
  double step = ticks.ticks.size() > 1 ? ticks.ticks[1] - ticks.ticks[0] : 1;
  step = std::max(1.0, std::round(step));
  while ((hi - lo) / step > room) step *= 2;
  for (double t = std::ceil(lo / step) * step; t <= hi + 1e-9; t += step) {
    const double x = f.left + (f.right - f.left) * (hi > lo ? (t - lo) / (hi - lo) : 0.5);
    // The label keeps the width of the codes (0968, not 968).
    std::string label = std::to_string(static_cast<long long>(t));
    if (label.size() < longest && chart.periods[at[0]].size() == longest) label.insert(0, longest - label.size(), '0');
    s += "<line class=\"axis\" x1=\"" + coord(x) + "\" x2=\"" + coord(x) + "\" y1=\"" + coord(f.bottom) + "\" y2=\"" +
         coord(f.bottom + 5) + "\"/>";
    s += "<text class=\"tick\" x=\"" + coord(x) + "\" y=\"" + coord(f.bottom + 20) + "\" text-anchor=\"middle\">" + label +
         "</text>";
  }
  return s;
}

// The line of a series, broken where it has no value, and a mark with the
// value on hover at every point.
std::string series_marks(const Frame& f, const LineChart& chart, const Series& s) {
  std::string out = "<g class=\"series\" stroke=\"" + s.colour + "\" fill=\"" + s.colour + "\">";
  std::string points;
  auto end_line = [&] {
    if (!points.empty()) {
      out += "<polyline fill=\"none\"" + std::string(s.dashed ? " stroke-dasharray=\"6 4\"" : "") + " points=\"" + points + "\"/>";
    }
    points.clear();
  };
  const size_t count = chart.periods.size();
  for (size_t a = 0; a < count && a < s.y.size(); ++a) {
    if (!placed(chart, a)) continue;
    if (std::isnan(s.y[a])) {
      end_line();
      continue;
    }
    if (!points.empty()) points += ' ';
    points += coord(x_at(f, chart, a)) + "," + coord(y_of(f, chart.axis, s.y[a]));
  }
  end_line();
  for (size_t a = 0; a < count && a < s.y.size(); ++a) {
    if (std::isnan(s.y[a]) || !placed(chart, a)) continue;
    const std::string note = a < s.notes.size() && !s.notes[a].empty() ? " (" + s.notes[a] + ")" : std::string();
    out += "<circle cx=\"" + coord(x_at(f, chart, a)) + "\" cy=\"" + coord(y_of(f, chart.axis, s.y[a])) + "\" r=\"3.5\"><title>" +
           escaped(s.name) + ", " + escaped(chart.periods[a]) + ": " + fixed(s.y[a], chart.decimals) + escaped(note) +
           "</title></circle>";
  }
  out += "</g>\n";
  return out;
}

std::string band(const Frame& f, const LineChart& chart) {
  if (chart.band_lo.empty()) return {};
  std::string upper, lower;
  const size_t count = chart.periods.size();
  for (size_t a = 0; a < count; ++a) {
    if (std::isnan(chart.band_hi[a]) || !placed(chart, a)) continue;
    upper += coord(x_at(f, chart, a)) + "," + coord(y_of(f, chart.axis, chart.band_hi[a])) + " ";
  }
  for (size_t a = count; a-- > 0;) {
    if (std::isnan(chart.band_lo[a]) || !placed(chart, a)) continue;
    lower += coord(x_at(f, chart, a)) + "," + coord(y_of(f, chart.axis, chart.band_lo[a])) + " ";
  }
  if (upper.empty()) return {};
  return "<polygon class=\"band\" points=\"" + upper + lower + "\"/>\n";
}

}  // namespace

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string fixed(double v, int decimals) {
  if (std::isnan(v)) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

Axis nice_axis(double lo, double hi) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) lo = 0, hi = 1;
  if (hi < lo) std::swap(lo, hi);
  if (!std::isfinite(hi - lo)) lo = 0, hi = 1;  // ends too far apart to measure
  // A span lost in the rounding of its ends (values equal but for the last
  // bits) would give a step that no longer moves a tick: draw it as one value.
  // Spans near the smallest doubles are treated alike, so that the step's
  // logarithm stays finite.
  constexpr double kTiniest = 1e-290;
  if (hi - lo <= std::max(1e-9 * std::max(std::fabs(lo), std::fabs(hi)), kTiniest)) {
    const double mid = lo + (hi - lo) / 2;
    const double pad = std::fabs(mid) < kTiniest ? 1 : std::fabs(mid) * 0.1;
    lo = mid - pad;
    hi = mid + pad;
  }
  const double raw = (hi - lo) / 5;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  const double unit = raw / power;
  const double step = (unit <= 1 ? 1 : unit <= 2 ? 2 : unit <= 5 ? 5 : 10) * power;
  Axis axis;
  // A value a rounding error past a tick does not add another tick.
  axis.lo = std::floor(lo / step + 1e-9) * step;
  axis.hi = std::ceil(hi / step - 1e-9) * step;
  axis.decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
  const long steps = std::lround((axis.hi - axis.lo) / step);
  for (long i = 0; i <= steps; ++i) {
    const double t = axis.lo + static_cast<double>(i) * step;
    axis.ticks.push_back(std::fabs(t) < step / 1e6 ? 0.0 : t);
  }
  return axis;
}

std::string series_colour(size_t n) {
  static const char* const kColours[] = {"#2f6db5", "#d1495b", "#e8a33d", "#2e9e6a", "#8a55b5",
                                         "#1fa3b8", "#c2577a", "#6f8f1f", "#9b4d1e", "#4a5a7a"};
  return kColours[n % (sizeof kColours / sizeof kColours[0])];
}

Axis axis_for(const LineChart& chart) {
  double lo = INFINITY, hi = -INFINITY;
  auto take = [&](double v) {
    if (std::isnan(v)) return;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  };
  for (const Series& s : chart.series) std::for_each(s.y.begin(), s.y.end(), take);
  std::for_each(chart.band_lo.begin(), chart.band_lo.end(), take);
  std::for_each(chart.band_hi.begin(), chart.band_hi.end(), take);
  return nice_axis(lo, hi);
}

std::string line_chart_svg(const LineChart& chart) {
  const Frame f;
  std::string s = "<svg class=\"chart\"" + (chart.id.empty() ? std::string() : " id=\"" + chart.id + "\"") +
                  " viewBox=\"0 0 " + coord(f.width) + " " + coord(f.height) + "\" role=\"img\" aria-label=\"" +
                  escaped(chart.label) + "\"";
  // What a script needs to draw a line into the same axes.
  s += " data-left=\"" + coord(f.left) + "\" data-right=\"" + coord(f.right) + "\" data-top=\"" + coord(f.top) +
       "\" data-bottom=\"" + coord(f.bottom) + "\" data-lo=\"" + shortest(chart.axis.lo) + "\" data-hi=\"" +
       shortest(chart.axis.hi) + "\" data-decimals=\"" + std::to_string(chart.decimals) + "\"";
  // Each period's x, so that a script draws on the same time axis ("" for
  // a period left off it).
  s += " data-xs=\"";
  for (size_t a = 0; a < chart.periods.size(); ++a) {
    if (a > 0) s += ',';
    if (placed(chart, a)) s += coord(x_at(f, chart, a));
  }
  s += "\">\n";
  s += axes(f, chart);
  s += "<text class=\"title\" transform=\"translate(16," + coord((f.top + f.bottom) / 2) + ") rotate(-90)\" text-anchor=\"middle\">" +
       escaped(chart.y_title) + "</text><text class=\"title\" x=\"" + coord((f.left + f.right) / 2) + "\" y=\"" +
       coord(f.bottom + 42) + "\" text-anchor=\"middle\">Period</text>\n";
  s += band(f, chart);
  s += "<g class=\"default\">\n";
  for (const Series& series : chart.series) s += series_marks(f, chart, series);
  s += "</g><g class=\"chosen\"></g></svg>\n";
  return s;
}

std::vector<double> time_axis(const std::vector<std::string>& periods) {
  std::vector<double> x;
  bool any_placed = false;
  for (const std::string& p : periods) {
    if (p.empty() || p.size() > 15 || !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; })) return {};
    const bool unknown_year = p.find_first_not_of('0') == std::string::npos;
    x.push_back(unknown_year ? NAN : std::stod(p));
    any_placed = any_placed || !unknown_year;
  }
  // Dates written as YYYYMMDD are placed by day, not by their digits.
  bool dates = any_placed;
  for (size_t a = 0; a < periods.size(); ++a)
    if (!std::isnan(x[a]) && (periods[a].size() != 8 || x[a] < 10000101)) dates = false;
  if (dates) {
    for (double& v : x) {
      if (std::isnan(v)) continue;
      const auto n = static_cast<long long>(v);
      v = static_cast<double>(n / 10000) + (static_cast<double>((n / 100) % 100) - 1) / 12 +
          (static_cast<double>(n % 100) - 1) / 372;
    }
  }
  return any_placed ? x : std::vector<double>{};
}

int colour_class(double v, double lo, double hi) {
  if (!(hi > lo)) return 4;
  const double t = (v - lo) / (hi - lo);
  return std::clamp(static_cast<int>(std::floor(t * 9)), 0, 8);
}

std::string heat_map_svg(const HeatMap& map) {
  size_t longest = 1;
  for (const std::string& r : map.rows) longest = std::max(longest, std::min(r.size(), kLabelChars));
  // Room for the row labels and for the scale's low end, which stands in
  // the same column; capitals are wider than the average letter.
  const double scale_text = static_cast<double>(fixed(map.lo, map.decimals).size()) * kCharWidth + 12;
  const double label_width = std::max(static_cast<double>(longest) * kWideCharWidth + 12, scale_text);
  // Column labels rise at 60 degrees: sin 60 of their length above the grid.
  const double top = 20 + std::min(kLabelChars, [&] {
                       size_t l = 1;
                       for (const std::string& c : map.columns) l = std::max(l, c.size());
                       return l;
                     }()) * kWideCharWidth * 0.87;
  const size_t cols = std::max<size_t>(map.columns.size(), 1);
  const double cell = std::clamp((1000 - label_width - 20) / static_cast<double>(cols), 6.0, 56.0);
  const double width = std::max(label_width + cell * static_cast<double>(cols), label_width + 24.0 * 9 + 80) + 20;
  const double height = top + cell * static_cast<double>(map.rows.size()) + 50;

  std::string s = "<svg class=\"heat\"" + (map.id.empty() ? std::string() : " id=\"" + map.id + "\"") + " viewBox=\"0 0 " +
                  coord(width) + " " + coord(height) + "\" style=\"max-width:" + coord(width) + "px\" role=\"img\" aria-label=\"" +
                  escaped(map.label) + "\">\n";
  for (size_t c = 0; c < map.columns.size(); ++c) {
    const std::string x = coord(label_width + cell * (static_cast<double>(c) + 0.5));
    s += "<text class=\"tick\" transform=\"translate(" + x + "," + coord(top - 6) + ") rotate(-60)\">" +
         escaped(shortened(map.columns[c])) + "<title>" + escaped(map.columns[c]) + "</title></text>";
  }
  s += '\n';
  for (size_t r = 0; r < map.rows.size(); ++r) {
    const double y = top + cell * static_cast<double>(r);
    s += "<text class=\"tick\" x=\"" + coord(label_width - 6) + "\" y=\"" + coord(y + cell / 2) +
         "\" text-anchor=\"end\" dominant-baseline=\"middle\">" + escaped(shortened(map.rows[r])) + "<title>" +
         escaped(map.rows[r]) + "</title></text>";
    for (size_t c = 0; c < map.columns.size(); ++c) {
      const double v = map.values[r * map.columns.size() + c];
      std::string cls = "none";
      if (!std::isnan(v)) cls = 'h' + std::to_string(colour_class(v, map.lo, map.hi));
      s += "<rect class=\"" + cls + "\" x=\"" + coord(label_width + cell * static_cast<double>(c)) + "\" y=\"" + coord(y) +
           "\" width=\"" + coord(cell) + "\" height=\"" + coord(cell) + "\"><title>" + escaped(map.rows[r]) + " \xC3\x97 " +
           escaped(map.columns[c]) + ": " + (std::isnan(v) ? std::string("no animals") : fixed(v, map.decimals)) +
           "</title></rect>";
    }
    s += '\n';
  }
  // The colour scale under the grid.
  const double scale_y = top + cell * static_cast<double>(map.rows.size()) + 14;
  for (int k = 0; k < 9; ++k) {
    s += "<rect class=\"h" + std::to_string(k) + "\" x=\"" + coord(label_width + 24.0 * k) + "\" y=\"" + coord(scale_y) +
         "\" width=\"24\" height=\"12\"/>";
  }
  s += "<text class=\"tick scale-lo\" x=\"" + coord(label_width - 6) + "\" y=\"" + coord(scale_y + 10) + "\" text-anchor=\"end\">" +
       fixed(map.lo, map.decimals) + "</text>";
  s += "<text class=\"tick scale-hi\" x=\"" + coord(label_width + 24.0 * 9 + 6) + "\" y=\"" + coord(scale_y + 10) + "\">" +
       fixed(map.hi, map.decimals) + "</text>\n</svg>\n";
  return s;
}

}  // namespace vm::results
