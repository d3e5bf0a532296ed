#include "results/report.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "results/svg.h"

namespace vm::results {
namespace {

// Up to this many pairs share one chart; beyond it the page offers a
// chooser and draws the spread of all pairs behind the chosen ones.
constexpr size_t kPairsInOneChart = 10;
// Pairs drawn by default when there are more than one chart can show.
constexpr size_t kDefaultPairs = 5;
// Populations drawn as lines of mean inbreeding; more become a heat map.
constexpr int32_t kPopulationLines = 10;
constexpr size_t kBlockBytes = size_t{1} << 16;
// Beyond these the page shows a selection and says where the rest is, so
// that it stays a few megabytes and opens quickly however many
// populations there are: the table's rows (the most differentiated pairs
// then), and the populations of the heat maps (the largest then).
constexpr size_t kTableRows = 50000;
constexpr size_t kTablePairs = 200;
constexpr int32_t kMapPopulations = 60;

const char* const kStyle = R"(<style>
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#1d2330;max-width:1200px;margin:0 auto;padding:16px 24px}
h1{font-size:1.6em;margin:.2em 0 .4em}h2{font-size:1.25em;margin:1.6em 0 .4em;border-bottom:1px solid #ccd;padding-bottom:.2em}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:2px 16px}dl.facts dt{font-weight:600}dl.facts dd{margin:0}
.warn{color:#8a4b00}.note{color:#556;font-size:.92em}
svg{display:block;width:100%;height:auto;font-size:12px}svg .tick{fill:#333}svg .title{fill:#333;font-size:13px;font-weight:600}svg .grid{stroke:#e3e6ec}svg .axis{stroke:#667}
svg .series polyline{stroke-width:2}svg .series circle{stroke:none}svg circle:hover{r:6}svg .band{fill:#dde3ee}
svg rect.none{fill:#eee}svg rect:hover{stroke:#000;stroke-width:1.5}
.h0{fill:#f7fbff}.h1{fill:#deebf7}.h2{fill:#c6dbef}.h3{fill:#9ecae1}.h4{fill:#6baed6}.h5{fill:#4292c6}.h6{fill:#2171b5}.h7{fill:#08519c}.h8{fill:#08306b}
ul.legend{list-style:none;padding:0;margin:.3em 0;display:flex;flex-wrap:wrap;gap:4px 18px}ul.legend li{max-width:100%;overflow-wrap:anywhere}
ul.legend .sw{display:inline-block;width:22px;border-top:3px solid;vertical-align:middle;margin-right:6px}ul.legend .dash{border-top-style:dashed}
table{border-collapse:collapse;font-variant-numeric:tabular-nums}td,th{padding:1px 10px;text-align:right}
table.results td:first-child,table.results th:first-child{text-align:left}table.results tr.pair th{text-align:left;padding-top:.7em;border-bottom:1px solid #ccd}
td:empty::after{content:"\2013";color:#889}
ul.pops{columns:14em auto;padding:0;list-style:none;margin:0}ul.pops li{display:flex;justify-content:space-between;max-width:13em;break-inside:avoid}
[hidden]{display:none!important}label.choose{display:block;margin:.4em 0}select{font:inherit;max-width:100%}
h1,dd{overflow-wrap:anywhere}.scroll{overflow-x:auto;max-width:100%}.scroll svg.chart{min-width:920px}
.howto{background:#f3f5f9;border-left:4px solid #7a8294;padding:.5em 1em;margin:1em 0}
table.results tr.absent{display:none}#show-absent:checked~.scroll table.results tr.absent{display:table-row}
@media (max-width:600px){body{padding:8px 10px;font-size:14px}}
@media print{@page{size:A4;margin:15mm}body{max-width:none;padding:0}label.choose,.toggle{display:none}section.chart{break-inside:avoid;break-before:page}.scroll{overflow:visible}.scroll svg.chart{min-width:0}}
</style>
)";

// Draws the chosen pair's lines from the result table's rows into every
// chart that follows the pair chooser, and recolours the relationship map
// for the chosen period.
const char* const kScript = R"(<script>
(function(){
var NS='http://www.w3.org/2000/svg';
function mark(g,tag,attrs){var e=document.createElementNS(NS,tag);for(var k in attrs)e.setAttribute(k,attrs[k]);g.appendChild(e);return e;}
var pair=document.getElementById('pair-choice');
if(pair)pair.addEventListener('change',function(){
 var k=pair.value,name=pair.options[pair.selectedIndex].text;
 document.querySelectorAll('svg.choosable').forEach(function(svg){
  var d=svg.dataset,g=svg.querySelector('g.chosen');svg.querySelector('g.default').style.display=k===''?'':'none';g.textContent='';
  document.getElementById(svg.id+'-legend').hidden=k!=='';var own=document.getElementById(svg.id+'-chosen');own.hidden=k==='';
  if(k==='')return;own.querySelectorAll('.name').forEach(function(e){e.textContent=name;});
  var rows=document.getElementById('pair-'+k).querySelectorAll('tr.r'),xs=d.xs.split(','),lo=+d.lo,hi=+d.hi;
  d.cols.split(',').forEach(function(col,c){
   var s=mark(g,'g',{'class':'series',stroke:'#d1495b',fill:'#d1495b'}),pts=[];
   function line(){if(pts.length)mark(s,'polyline',{fill:'none',points:pts.join(' '),'stroke-dasharray':c?'6 4':'none'});pts=[];}
   rows.forEach(function(r,a){var t=r.cells[col].textContent;if(xs[a]==='')return;if(t===''||r.classList.contains('thin')){line();return;}
    var x=+xs[a],y=d.bottom-(d.bottom-d.top)*(t-lo)/(hi-lo);
    pts.push(x.toFixed(1)+','+y.toFixed(1));
    mark(mark(s,'circle',{cx:x.toFixed(1),cy:y.toFixed(1),r:3.5}),'title',{}).textContent=name+', '+r.cells[0].textContent+': '+t+' (n = '+r.cells[1].textContent+' and '+r.cells[2].textContent+')';});
   line();});});});
var period=document.getElementById('period-choice');
if(period)period.addEventListener('change',function(){
 var svg=document.getElementById('relationships'),data=JSON.parse(document.getElementById('relationship-data').textContent);
 var v=data.values[period.value],q=data.populations,lo=data.lo,hi=data.hi,cells=svg.querySelectorAll('rect[class^=h],rect.none'),i,j;
 for(i=0;i<q;i++)for(j=0;j<q;j++){var x=v[i>j?i*(i+1)/2+j:j*(j+1)/2+i],cell=cells[i*q+j];
  cell.setAttribute('class',x===null?'none':'h'+Math.max(0,Math.min(8,Math.floor(hi>lo?(x-lo)/(hi-lo)*9:4))));
  cell.firstChild.textContent=cell.firstChild.textContent.replace(/: [^:]*$/,': '+(x===null?'no animals':x.toFixed(4)));}
 document.getElementById('relationships-period').textContent=data.periods[period.value];});
})();
</script>
)";

std::string count_text(int64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0 && digits[0] != '-') out += ',';
    out += digits[k];
  }
  return out;
}

std::string pair_name(const genetics::Names& names, Pair p) { return names.pop[p.I] + " & " + names.pop[p.J]; }

std::vector<std::string> period_names(const genetics::Names& names) {
  return std::vector<std::string>(names.period.begin() + 1, names.period.end());
}

bool both_present(const ReportData& d, Pair p, int32_t a) { return d.results.present(p.I, p.J, a); }

// Both groups present with at least the animals the charts ask for.
bool usable(const ReportData& d, Pair p, int32_t a) {
  return both_present(d, p, a) && std::min(d.results.animals_of(p.I, a), d.results.animals_of(p.J, a)) >= d.run.min_animals;
}

// Points of pairs whose groups are present but too small for the charts.
int64_t thin_points(const ReportData& d, const std::vector<Pair>& pairs) {
  int64_t thin = 0;
  for (Pair p : pairs)
    for (int32_t a = 1; a <= d.results.P; ++a) thin += both_present(d, p, a) && !usable(d, p, a);
  return thin;
}

std::vector<double> pair_values(const ReportData& d, const std::vector<double>& figure, Pair p) {
  std::vector<double> y(static_cast<size_t>(d.results.P));
  for (int32_t a = 1; a <= d.results.P; ++a)
    y[static_cast<size_t>(a - 1)] = usable(d, p, a) ? d.results.get(figure, p.I, p.J, a) : NAN;
  return y;
}

// The pair's line, with the two group sizes of every point on hover.
Series pair_series(const ReportData& d, const std::string& name, const std::string& colour,
                   const std::vector<double>& figure, Pair p, bool dashed = false) {
  Series s = line_series(name, colour, pair_values(d, figure, p), dashed);
  for (int32_t a = 1; a <= d.results.P; ++a) {
    s.notes.push_back("n = " + count_text(d.results.animals_of(p.I, a)) + " and " + count_text(d.results.animals_of(p.J, a)));
  }
  return s;
}

bool any_usable(const ReportData& d, Pair p) {
  for (int32_t a = 1; a <= d.results.P; ++a)
    if (usable(d, p, a)) return true;
  return false;
}

// In place of a chart that would hold no point.
std::string nothing_to_draw(const ReportData& d) {
  return "<p class=\"warn\">No pair of populations has at least " + count_text(d.run.min_animals) +
         " animals in both groups in any period, so this chart has nothing to draw; the table below has every value "
         "(--min-animals 1 draws them all).</p>\n";
}

// The shown pairs that have a point to draw, and a sentence for the others.
std::vector<size_t> drawable(const ReportData& d, const std::vector<Pair>& pairs, const std::vector<size_t>& shown,
                             std::string& note) {
  std::vector<size_t> out;
  for (size_t k : shown)
    if (any_usable(d, pairs[k])) out.push_back(k);
  if (out.size() < shown.size()) {
    note = " " + std::to_string(shown.size() - out.size()) + " of the " + std::to_string(shown.size()) +
           " pairs have no period with groups of that size and are not drawn.";
  }
  return out;
}

// The sentence that says which points the charts leave out.
std::string thin_note(const ReportData& d, int64_t thin) {
  if (thin == 0) return {};
  return " " + count_text(thin) + (thin == 1 ? " point is" : " points are") +
         " left out where a population has fewer than " + count_text(d.run.min_animals) +
         " animals in the period (the table keeps them; --min-animals sets the bound).";
}

std::string legend(const std::string& id, const std::vector<Series>& series, bool hidden) {
  std::string s = "<ul class=\"legend\" id=\"" + id + "\"" + (hidden ? " hidden" : "") + ">";
  for (const Series& x : series) {
    if (!x.in_legend) continue;
    s += "<li><span class=\"sw" + std::string(x.dashed ? " dash" : "") + "\" style=\"border-color:" + x.colour + "\"></span>" +
         escaped(x.legend_name.empty() ? x.name : x.legend_name) + "</li>";
  }
  return s + "</ul>\n";
}

// The legend of the chooser's pair, filled in by the script.
std::string chosen_legend(const std::string& id, const std::vector<std::string>& parts) {
  std::string s = "<ul class=\"legend\" id=\"" + id + "\" hidden>";
  for (size_t k = 0; k < parts.size(); ++k) {
    s += "<li><span class=\"sw" + std::string(k > 0 ? " dash" : "") + "\" style=\"border-color:#d1495b\"></span><span class=\"name\"></span>" +
         parts[k] + "</li>";
  }
  return s + "</ul>\n";
}

// The svg element of a chart that the pair chooser draws into.
std::string choosable(std::string svg, const std::string& columns) {
  const std::string open = "<svg class=\"chart\"";
  return "<svg class=\"chart choosable\" data-cols=\"" + columns + "\"" + svg.substr(open.size());
}

double generations(const genetics::GroupFigures& g) { return g.mean_equivalent_generations; }

// The table's columns that a chosen pair's lines are drawn from: the
// generation columns, where there are any, come before the figures.
std::string figure_columns(const ReportData& d, std::initializer_list<int> columns) {
  std::string s;
  for (int c : columns) {
    if (!s.empty()) s += ',';
    s += std::to_string(c + (d.diversity != nullptr ? 2 : 0));
  }
  return s;
}

}  // namespace

PedigreeCounts pedigree_counts(const Pedigree& ped, int32_t Q, int32_t generations) {
  PedigreeCounts counts;
  counts.animals = ped.n;
  counts.generations = generations;
  counts.per_population.assign(static_cast<size_t>(std::max(Q, 0)) + 1, 0);
  for (int32_t a = 1; a <= ped.n; ++a) {
    const int32_t I = ped.pop[static_cast<size_t>(a)];
    if (I >= 1 && I <= Q) ++counts.with_record, ++counts.per_population[static_cast<size_t>(I)];
    if (ped.sire[static_cast<size_t>(a)] == 0 && ped.dam[static_cast<size_t>(a)] == 0) ++counts.founders;
  }
  return counts;
}

namespace {

std::string facts_section(const ReportData& d) {
  const PedigreeCounts& counts = d.pedigree;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s", d.run.seconds);
  std::string s = "<section id=\"run\"><h2>The run</h2><dl class=\"facts\">";
  auto fact = [&](const char* what, const std::string& value) { s += "<dt>" + std::string(what) + "</dt><dd>" + value + "</dd>"; };
  fact("Pedigree file", escaped(d.run.pedigree_file));
  fact("Records", count_text(d.run.records));
  fact("Animals", count_text(counts.animals) + " (" + count_text(counts.with_record) + " with a record)");
  fact("Founders", count_text(counts.founders) + " (both parents unknown)");
  fact("Parents added",
       count_text(counts.animals - counts.with_record) + " (parents without a record of their own, taken as founders)");
  fact("Generations", count_text(counts.generations));
  const int32_t P = d.results.P;
  std::string periods = count_text(P);
  if (P > 0) periods += ": " + escaped(d.names.period[1]) + (P > 1 ? " to " + escaped(d.names.period[static_cast<size_t>(P)]) : "");
  fact("Periods", periods);
  if (!d.run.dropped_periods.empty()) {
    std::string dropped;
    for (const std::string& code : d.run.dropped_periods) dropped += (dropped.empty() ? "" : ", ") + escaped(code);
    fact("Periods left out", dropped + " (--drop-periods: their animals are ancestors only)");
  }
  fact("Time taken", seconds);
  if (!d.run.version.empty()) fact("Program", escaped(d.run.version));
  if (!d.run.command_line.empty()) fact("Command", "<code>" + escaped(d.run.command_line) + "</code>");
  if (d.run.file_bytes >= 0) fact("Pedigree file size", count_text(d.run.file_bytes) + " bytes");
  if (!d.run.sha256.empty()) fact("Pedigree SHA-256", "<code>" + escaped(d.run.sha256) + "</code>");
  if (!d.run.started.empty()) fact("Run started", escaped(d.run.started));
  if (d.run.threads > 0) fact("Threads", std::to_string(d.run.threads));
  fact("Smallest group drawn", count_text(d.run.min_animals) + " animals (--min-animals)");
  s += "</dl>\n";

  s += "<h3>Data checks</h3>";
  if (d.run.warnings.empty()) {
    s += "<p>No warnings.</p>\n";
  } else {
    s += "<ul class=\"warn\">";
    for (const std::string& w : d.run.warnings) s += "<li>" + escaped(w) + "</li>";
    s += "</ul>\n";
  }
  s += "<h3>Populations and their animals</h3><ul class=\"pops\">";
  for (size_t I = 1; I < d.names.pop.size(); ++I) {
    const int64_t members = I < counts.per_population.size() ? counts.per_population[I] : 0;
    s += "<li><span>" + escaped(d.names.pop[I]) + "</span> <span>" + count_text(members) + "</span></li>";
  }
  s += "</ul></section>\n";
  return s;
}

// The small-group effect, with the smallest groups of this run.
std::string how_to_read(const ReportData& d) {
  int64_t smallest = INT64_MAX;
  for (int32_t I = 1; I <= d.results.Q; ++I)
    for (int32_t a = 1; a <= d.results.P; ++a)
      if (d.results.animals_of(I, a) > 0) smallest = std::min(smallest, d.results.animals_of(I, a));
  std::string s = "<aside class=\"howto\"><strong>How to read this.</strong> The differentiation index is 0 where two populations "
                  "are as related to each other as within themselves and 100 where they share no ancestry. Small groups push it "
                  "towards 100: each animal's relationship with itself counts in the mean within its group, and in a group of n "
                  "animals that term alone adds about 1/n (0.1 for 10 animals, 0.01 for 100), which the relationship between "
                  "groups never has. Compare pairs of groups of similar size, and read those of a handful of animals with care.";
  if (smallest != INT64_MAX) {
    s += " The smallest group of this run has " + count_text(smallest) + (smallest == 1 ? " animal" : " animals") +
         "; the charts leave out points where a group has fewer than " + count_text(d.run.min_animals) + ".";
  }
  if (d.diversity != nullptr && d.results.P > 0) {
    // The completeness of the groups in the last period, beside the index.
    double shallowest = INFINITY;
    std::string shallow_name;
    for (int32_t I = 1; I <= d.results.Q; ++I) {
      const genetics::GroupFigures& g = d.diversity->group(I, d.results.P);
      if (g.n > 0 && g.mean_equivalent_generations < shallowest) {
        shallowest = g.mean_equivalent_generations;
        shallow_name = d.names.pop[static_cast<size_t>(I)];
      }
    }
    if (std::isfinite(shallowest)) {
      s += " Pedigree completeness matters as much: in the last period the shallowest pedigree is " +
           escaped(shallow_name) + "'s, " + fixed(shallowest, 1) +
           " equivalent generations (the table gives them for every group). An index near 100 between poorly "
           "recorded groups says more about missing records than about drift.";
    }
  }
  return s + "</aside>\n";
}

// The pair chooser, shown when there are more pairs than one chart shows:
// the pairs of the table, whose rows a chosen pair is drawn from.
std::string pair_chooser(const ReportData& d, const std::vector<Pair>& pairs, const std::vector<size_t>& listed,
                         size_t shown) {
  std::string s = "<label class=\"choose\">Pair shown in the two charts below: <select id=\"pair-choice\"><option value=\"\">";
  s += pairs.size() > kPairsInOneChart ? "the " + std::to_string(shown) + " pairs most differentiated in their last period"
                                       : std::string("the pairs in the legend");
  s += "</option>";
  for (size_t k : listed) s += "<option value=\"" + std::to_string(k) + "\">" + escaped(pair_name(d.names, pairs[k])) + "</option>";
  return s + "</select></label>\n";
}

// The pairs the table lists, in table order: all of them where their rows
// fit the page, else the most differentiated and those the charts draw.
std::vector<size_t> listed_pairs(const ReportData& d, const std::vector<Pair>& pairs, const std::vector<size_t>& shown) {
  const size_t P = static_cast<size_t>(std::max(d.results.P, 1));
  std::vector<size_t> listed;
  if (pairs.size() * P <= kTableRows) {
    for (size_t k = 0; k < pairs.size(); ++k) listed.push_back(k);
    return listed;
  }
  const size_t room = std::clamp<size_t>(kTableRows / P, 1, kTablePairs);
  listed = most_differentiated(d.results, pairs, room, [&](Pair p, int32_t a) { return usable(d, p, a); });
  listed.insert(listed.end(), shown.begin(), shown.end());
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  return listed;
}

// The populations of the heat maps, by number: all of them, or the
// largest (most animals over the periods) where there are too many.
std::vector<int32_t> mapped_populations(const ReportData& d) {
  const int32_t Q = d.results.Q;
  std::vector<int32_t> mapped(static_cast<size_t>(std::max(Q, 0)));
  for (int32_t I = 1; I <= Q; ++I) mapped[static_cast<size_t>(I - 1)] = I;
  if (Q <= kMapPopulations) return mapped;
  std::vector<int64_t> animals(static_cast<size_t>(Q) + 1, 0);
  for (int32_t I = 1; I <= Q; ++I)
    for (int32_t a = 1; a <= d.results.P; ++a) animals[static_cast<size_t>(I)] += d.results.animals_of(I, a);
  std::stable_sort(mapped.begin(), mapped.end(),
                   [&](int32_t x, int32_t y) { return animals[static_cast<size_t>(x)] > animals[static_cast<size_t>(y)]; });
  mapped.resize(static_cast<size_t>(kMapPopulations));
  std::sort(mapped.begin(), mapped.end());
  return mapped;
}

std::string mapped_note(const ReportData& d, size_t mapped) {
  if (mapped == static_cast<size_t>(d.results.Q)) return {};
  return " The map shows the " + std::to_string(mapped) + " populations with the most animals of the " +
         count_text(d.results.Q) + "; the CSV (--csv) holds every pair.";
}

// Per period the lowest, median and highest index of all pairs.
void spread_of_index(const ReportData& d, const std::vector<Pair>& pairs, LineChart& chart, Series& median) {
  const int32_t P = d.results.P;
  std::vector<double> values;
  for (int32_t a = 1; a <= P; ++a) {
    values.clear();
    for (Pair p : pairs)
      if (usable(d, p, a)) values.push_back(d.results.get(d.results.index, p.I, p.J, a));
    if (values.empty()) {
      chart.band_lo.push_back(NAN), chart.band_hi.push_back(NAN), median.y.push_back(NAN);
      continue;
    }
    std::sort(values.begin(), values.end());
    chart.band_lo.push_back(values.front());
    chart.band_hi.push_back(values.back());
    const size_t m = values.size() / 2;
    median.y.push_back(values.size() % 2 ? values[m] : (values[m - 1] + values[m]) / 2);
  }
}

// A line chart over the periods, without its series yet.
LineChart chart_over_periods(const ReportData& d, const char* id, const char* label, const char* y_title, int decimals) {
  LineChart chart;
  chart.id = id;
  chart.label = label;
  chart.y_title = y_title;
  chart.periods = period_names(d.names);
  chart.x = time_axis(chart.periods);
  chart.decimals = decimals;
  return chart;
}

// Periods that a time axis cannot place (0000, an unknown year).
std::string unplaced_note(const LineChart& chart) {
  int64_t unplaced = 0;
  for (double x : chart.x) unplaced += std::isnan(x);
  if (unplaced == 0) return {};
  return " The time axis leaves out " + count_text(unplaced) + (unplaced == 1 ? " period" : " periods") +
         " coded with zeros only (an unknown year); the table shows them.";
}

// Shown pairs whose lines are the same in every period, drawn as one.
struct SameLines {
  std::vector<size_t> first;              // the pair drawn for each line
  std::vector<std::vector<size_t>> same;  // all pairs of each line
};
// The one value of a line that has one value wherever it has any (NaN
// when it has several or none).
// Values that no chart can tell apart: equal but for rounding.
bool alike(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(a)); }

double constant_value(const std::vector<double>& y) {
  double v = NAN;
  for (double x : y) {
    if (std::isnan(x)) continue;
    if (!std::isnan(v) && !alike(x, v)) return NAN;
    if (std::isnan(v)) v = x;
  }
  return v;
}

SameLines coinciding(const std::vector<Series>& lines) {
  SameLines out;
  // The same in every period, or one value each (100 for groups that share
  // no ancestor), whatever periods each has.
  auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
    const double ca = constant_value(a);
    if (!std::isnan(ca)) return alike(ca, constant_value(b));
    for (size_t k = 0; k < a.size(); ++k)
      if (!(alike(a[k], b[k]) || (std::isnan(a[k]) && std::isnan(b[k])))) return false;
    return a.size() == b.size();
  };
  for (size_t k = 0; k < lines.size(); ++k) {
    if (std::all_of(lines[k].y.begin(), lines[k].y.end(), [](double v) { return std::isnan(v); })) continue;
    size_t m = 0;
    while (m < out.first.size() && !same(lines[out.first[m]].y, lines[k].y)) ++m;
    if (m == out.first.size()) out.first.push_back(k), out.same.emplace_back();
    out.same[m].push_back(k);
  }
  return out;
}

std::string same_value_text(const std::vector<double>& y) {
  const double v = constant_value(y);
  return std::isnan(v) ? std::string() : " at " + fixed(v, 2) + " in every period drawn";
}

std::string index_section(const ReportData& d, const std::vector<Pair>& pairs, const std::vector<size_t>& all_shown,
                          const std::vector<size_t>& listed) {
  std::string undrawn;
  const std::vector<size_t> shown = drawable(d, pairs, all_shown, undrawn);
  LineChart chart = chart_over_periods(d, "index", "Differentiation index over the periods", "Differentiation index (%)", 2);
  const bool many = pairs.size() > kPairsInOneChart;
  if (many) {
    Series median = line_series("median of all " + count_text(static_cast<int64_t>(pairs.size())) + " pairs", "#7a8294", {}, true);
    spread_of_index(d, pairs, chart, median);
    chart.series.push_back(median);
  }
  std::vector<Series> lines;
  for (size_t k = 0; k < shown.size(); ++k) {
    const Pair p = pairs[shown[k]];
    lines.push_back(pair_series(d, pair_name(d.names, p), series_colour(k), d.results.index, p));
  }
  // Pairs with the same line in every period (unrelated groups all sit at
  // 100) are one line, named for all of them.
  const SameLines same = coinciding(lines);
  for (size_t m = 0; m < same.first.size(); ++m) {
    const std::vector<size_t>& members = same.same[m];
    std::string names;
    for (size_t k = 0; k < members.size() && k < 3; ++k) names += (k ? ", " : "") + lines[members[k]].name;
    if (members.size() > 3) names += ", ...";
    // Every member is drawn (their periods may differ), in one colour under
    // one legend entry.
    for (size_t k = 0; k < members.size(); ++k) {
      Series line = lines[members[k]];
      line.colour = series_colour(m);
      line.in_legend = k == 0;
      if (members.size() > 1 && k == 0) {
        line.legend_name = count_text(static_cast<int64_t>(members.size())) + " pairs that coincide" +
                           same_value_text(line.y) + ": " + names;
      }
      chart.series.push_back(std::move(line));
    }
  }
  // An index lies between 0 and 100: a fixed axis keeps charts comparable.
  chart.axis = nice_axis(0, 100);
  std::string s = "<section class=\"chart\" id=\"index-section\"><h2>Differentiation index</h2>";
  s += "<p class=\"note\">Drift variance as a percentage of its maximum, per pair of populations and period; a gap: one of the two populations has no animals in that period, or too few." +
       thin_note(d, thin_points(d, pairs)) + (shown.empty() ? std::string() : undrawn) + unplaced_note(chart);
  if (many) s += " The shaded band spans the lowest to the highest index of all pairs in each period.";
  s += "</p>\n";
  if (shown.empty()) return s + nothing_to_draw(d) + "</section>\n";
  if (pairs.size() > kDefaultPairs) s += pair_chooser(d, pairs, listed, shown.size());
  s += legend("index-legend", chart.series, false) + chosen_legend("index-chosen", {""});
  s += "<div class=\"scroll\">" + (pairs.size() > kDefaultPairs ? choosable(line_chart_svg(chart), figure_columns(d, {5})) : line_chart_svg(chart)) +
       "</div>";
  return s + "</section>\n";
}

std::string drift_section(const ReportData& d, const std::vector<Pair>& pairs, const std::vector<size_t>& all_shown) {
  std::string undrawn;
  const std::vector<size_t> shown = drawable(d, pairs, all_shown, undrawn);
  LineChart chart = chart_over_periods(d, "drift", "Drift variance and its maximum over the periods", "Drift variance", 6);
  const size_t lines = std::min(shown.size(), kDefaultPairs);
  for (size_t k = 0; k < lines; ++k) {
    const Pair p = pairs[shown[k]];
    const std::string name = pair_name(d.names, p);
    chart.series.push_back(pair_series(d, name + ", drift variance", series_colour(k), d.results.driftvar, p));
    chart.series.push_back(pair_series(d, name + ", maximum", series_colour(k), d.results.maxdriftvar, p, true));
  }
  // The axis holds every pair, so that a chosen pair fits it as well.
  LineChart all = chart;
  for (Pair p : pairs) {
    all.series.push_back(line_series("", "", pair_values(d, d.results.driftvar, p)));
    all.series.push_back(line_series("", "", pair_values(d, d.results.maxdriftvar, p)));
  }
  chart.axis = axis_for(all);
  std::string s = "<section class=\"chart\" id=\"drift-section\"><h2>Drift variance and its maximum</h2>";
  s += "<p class=\"note\">Solid: drift variance between the two populations; dashed: its maximum, the sum of the mean relationships within each.";
  if (lines < pairs.size()) {
    s += " Drawn: " + std::to_string(lines) + " of the " + count_text(static_cast<int64_t>(pairs.size())) + " pairs (" +
         (pairs.size() > kPairsInOneChart ? "the most differentiated" : "the first in the table") +
         "); choose a pair above to draw any other.";
  }
  s += thin_note(d, thin_points(d, pairs)) + "</p>\n";
  if (shown.empty()) return s + nothing_to_draw(d) + "</section>\n";
  s += legend("drift-legend", chart.series, false) + chosen_legend("drift-chosen", {", drift variance", ", maximum"});
  s += "<div class=\"scroll\">" + (pairs.size() > kDefaultPairs ? choosable(line_chart_svg(chart), figure_columns(d, {3, 4})) : line_chart_svg(chart)) +
       "</div>";
  return s + "</section>\n";
}

std::string inbreeding_section(const ReportData& d) {
  const int32_t Q = d.results.Q, P = d.results.P;
  std::string s = "<section class=\"chart\" id=\"inbreeding-section\"><h2>Mean inbreeding</h2>";
  s += "<p class=\"note\">Mean inbreeding coefficient of the animals of each population recorded in each period.</p>\n";
  if (Q <= kPopulationLines) {
    LineChart chart = chart_over_periods(d, "inbreeding", "Mean inbreeding per period and population",
                                         "Mean inbreeding coefficient", 4);
    for (int32_t I = 1; I <= Q; ++I) {
      Series s1 = line_series(d.names.pop[static_cast<size_t>(I)], series_colour(static_cast<size_t>(I - 1)), {});
      for (int32_t a = 1; a <= P; ++a) s1.y.push_back(d.mean_inbreeding.at(I, a));
      chart.series.push_back(std::move(s1));
    }
    chart.axis = axis_for(chart);
    s += legend("inbreeding-legend", chart.series, false) + "<div class=\"scroll\">" + line_chart_svg(chart) + "</div>";
  } else {
    HeatMap map;
    map.label = "Mean inbreeding per population (rows) and period (columns)";
    const std::vector<int32_t> mapped = mapped_populations(d);
    for (int32_t I : mapped) {
      map.rows.push_back(d.names.pop[static_cast<size_t>(I)]);
      for (int32_t a = 1; a <= P; ++a) map.values.push_back(d.mean_inbreeding.at(I, a));
    }
    map.columns = period_names(d.names);
    map.id = "inbreeding";
    s.insert(s.size() - std::string_view("</p>\n").size(), mapped_note(d, mapped.size()));
    double lo = INFINITY, hi = -INFINITY;
    for (double v : map.values)
      if (!std::isnan(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    map.lo = std::isfinite(lo) ? lo : 0;
    map.hi = std::isfinite(hi) ? hi : 1;
    s += heat_map_svg(map);
  }
  return s + "</section>\n";
}

// A figure of every population over the periods: a line each where they
// are few, else a heat map of the populations the maps show. `dashed`
// (optional): a second figure drawn dashed in the same colour under the
// same legend entry, as "lo"/"hi" lines around the first where `band`.
struct GroupFigure {
  const char* id;
  const char* title;
  const char* reading;  // one sentence: what the chart shows, how to read it
  const char* y_title;
  double (*value)(const genetics::GroupFigures&);
  double (*second)(const genetics::GroupFigures&) = nullptr;
  const char* second_name = "";
  bool band = false;  // the second figure is a standard error around the first
  int decimals = 2;
};

double group_value(const ReportData& d, double (*value)(const genetics::GroupFigures&), int32_t I, int32_t a) {
  const genetics::GroupFigures& g = d.diversity->group(I, a);
  return g.n == 0 ? NAN : value(g);
}

std::string group_figure_section(const ReportData& d, const GroupFigure& figure) {
  const int32_t Q = d.results.Q, P = d.results.P;
  std::string s = "<section class=\"chart\" id=\"" + std::string(figure.id) + "-section\"><h2>" + figure.title + "</h2>";
  s += "<p class=\"note\">" + std::string(figure.reading) + "</p>\n";
  if (Q <= kPopulationLines) {
    LineChart chart = chart_over_periods(d, figure.id, figure.title, figure.y_title, figure.decimals);
    for (int32_t I = 1; I <= Q; ++I) {
      const std::string name = d.names.pop[static_cast<size_t>(I)], colour = series_colour(static_cast<size_t>(I - 1));
      Series line = line_series(name, colour, {});
      for (int32_t a = 1; a <= P; ++a) {
        line.y.push_back(group_value(d, figure.value, I, a));
        line.notes.push_back("n = " + count_text(d.results.animals_of(I, a)));
      }
      if (figure.second == nullptr) {
        chart.series.push_back(std::move(line));
        continue;
      }
      std::vector<double> second(static_cast<size_t>(P));
      for (int32_t a = 1; a <= P; ++a) second[static_cast<size_t>(a - 1)] = group_value(d, figure.second, I, a);
      if (figure.band) {
        std::vector<double> lo(second.size()), hi(second.size());
        for (size_t k = 0; k < second.size(); ++k) lo[k] = line.y[k] - second[k], hi[k] = line.y[k] + second[k];
        Series below = line_series(name + ", " + figure.second_name + " below", colour, lo, true);
        Series above = line_series(name + ", " + figure.second_name + " above", colour, hi, true);
        below.in_legend = above.in_legend = false;
        chart.series.push_back(std::move(line));
        chart.series.push_back(std::move(below));
        chart.series.push_back(std::move(above));
      } else {
        Series other = line_series(name + ", " + figure.second_name, colour, second, true);
        other.in_legend = false;
        chart.series.push_back(std::move(line));
        chart.series.push_back(std::move(other));
      }
    }
    chart.axis = axis_for(chart);
    s += legend(std::string(figure.id) + "-legend", chart.series, false) + "<div class=\"scroll\">" +
         line_chart_svg(chart) + "</div>";
  } else {
    HeatMap map;
    map.label = std::string(figure.title) + " per population (rows) and period (columns)";
    const std::vector<int32_t> mapped = mapped_populations(d);
    for (int32_t I : mapped) {
      map.rows.push_back(d.names.pop[static_cast<size_t>(I)]);
      for (int32_t a = 1; a <= P; ++a) map.values.push_back(group_value(d, figure.value, I, a));
    }
    map.columns = period_names(d.names);
    map.id = figure.id;
    map.decimals = figure.decimals;
    double lo = INFINITY, hi = -INFINITY;
    for (double v : map.values)
      if (!std::isnan(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    map.lo = std::isfinite(lo) ? lo : 0;
    map.hi = std::isfinite(hi) ? hi : 1;
    s.insert(s.size() - std::string_view("</p>\n").size(), mapped_note(d, mapped.size()));
    s += heat_map_svg(map);
  }
  return s + "</section>\n";
}

// F_ST (and F_IS, F_IT) of each period over its populations.
std::string fstatistics_section(const ReportData& d) {
  const int32_t P = d.results.P;
  LineChart chart = chart_over_periods(d, "fstatistics", "F statistics over the periods", "F statistic", 4);
  struct Line {
    const char* name;
    double genetics::PeriodFStatistics::*field;
  };
  const Line lines[] = {{"F_ST", &genetics::PeriodFStatistics::f_st},
                        {"F_IS", &genetics::PeriodFStatistics::f_is},
                        {"F_IT", &genetics::PeriodFStatistics::f_it}};
  for (size_t k = 0; k < std::size(lines); ++k) {
    Series line = line_series(lines[k].name, series_colour(k), {}, k > 0);
    for (int32_t a = 1; a <= P; ++a) {
      const genetics::PeriodFStatistics& f = d.diversity->periods[static_cast<size_t>(a - 1)];
      line.y.push_back(f.populations == 0 ? NAN : f.*lines[k].field);
      line.notes.push_back(count_text(f.populations) + (f.populations == 1 ? " population" : " populations"));
    }
    chart.series.push_back(std::move(line));
  }
  chart.axis = axis_for(chart);
  std::string s = "<section class=\"chart\" id=\"fstatistics-section\"><h2>F statistics</h2>";
  s += "<p class=\"note\">F_ST is the share of the total coancestry that lies between the populations of a period, all "
       "weighted equally: 0 where they are as related to each other as within themselves, rising as they drift apart; "
       "F_IS (dashed) compares the animals' inbreeding with the coancestry within their populations, and F_IT with the "
       "coancestry of all of them. A period with one population has no F_ST.</p>\n";
  s += legend("fstatistics-legend", chart.series, false) + "<div class=\"scroll\">" + line_chart_svg(chart) + "</div>";
  return s + "</section>\n";
}

std::string diversity_sections(const ReportData& d) {
  if (d.diversity == nullptr || d.results.P == 0) return {};
  static const GroupFigure kFigures[] = {
      {"completeness", "Pedigree completeness",
       "Mean equivalent complete generations of each population's animals in each period: how deep the recorded "
       "pedigree goes. Where it is shallow (two or three generations), missing records rather than drift may drive the "
       "differentiation index towards 100.",
       "Equivalent generations", [](const genetics::GroupFigures& g) { return g.mean_equivalent_generations; }},
      {"effective-size", "Effective population size",
       "Effective size from each animal's individual increase in inbreeding (animals with more than one equivalent "
       "generation), with one standard error above and below (dashed): the smaller it is, the faster the population "
       "becomes inbred. A gap: no animal with inbreeding to measure.",
       "Effective size", [](const genetics::GroupFigures& g) { return g.ne_delta_f; },
       [](const genetics::GroupFigures& g) { return g.ne_delta_f_se; }, "standard error", true, 1},
      {"founders", "Founders",
       "Effective number of founders (solid) and founder genome equivalents (dashed) of each population's animals in "
       "each period: the further the dashed line lies below the solid one, the more of the founders' genes have been "
       "lost by drift since.",
       "Founders", [](const genetics::GroupFigures& g) { return g.effective_founders; },
       [](const genetics::GroupFigures& g) { return g.founder_genome_equivalents; }, "founder genome equivalents", false,
       1},
  };
  std::string s;
  for (const GroupFigure& figure : kFigures) s += group_figure_section(d, figure);
  return s + fstatistics_section(d);
}

// A JSON string that can stand inside a script element.
std::string json_string(std::string_view text) {
  std::string s = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += c;
    } else if (c == '<' || static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
      s += buf;
    } else {
      s += c;
    }
  }
  return s + "\"";
}

double relationship(const ReportData& d, int32_t I, int32_t J, int32_t a) {
  return d.results.present(I, J, a) ? d.results.get(d.results.mean_relationship, I, J, a) : NAN;
}

std::string relationship_section(const ReportData& d) {
  const int32_t P = d.results.P;
  if (P == 0 || d.results.Q == 0) return {};
  const std::vector<int32_t> mapped = mapped_populations(d);
  const size_t q = mapped.size();
  double lo = INFINITY, hi = -INFINITY;
  std::string data = "{\"populations\":" + std::to_string(q) + ",\"periods\":[";
  for (int32_t a = 1; a <= P; ++a) {
    data += (a > 1 ? "," : "") + json_string(d.names.period[static_cast<size_t>(a)]);
  }
  data += "],\"values\":[";
  for (int32_t a = 1; a <= P; ++a) {
    data += a > 1 ? ",[" : "[";
    for (size_t i = 0; i < q; ++i) {
      for (size_t j = 0; j <= i; ++j) {
        const double v = relationship(d, mapped[i], mapped[j], a);
        if (!std::isnan(v)) lo = std::min(lo, v), hi = std::max(hi, v);
        if (i > 0 || j > 0) data += ',';
        data += std::isnan(v) ? std::string("null") : shortest(std::round(v * 1e4) / 1e4);
      }
    }
    data += ']';
  }
  if (!std::isfinite(lo)) lo = 0, hi = 1;
  data += "],\"lo\":" + shortest(lo) + ",\"hi\":" + shortest(hi) + "}";

  HeatMap map;
  map.label = "Mean relationships within and between populations";
  for (int32_t I : mapped) map.rows.push_back(d.names.pop[static_cast<size_t>(I)]);
  map.columns = map.rows;
  map.lo = lo;
  map.hi = hi;
  map.id = "relationships";
  for (int32_t I : mapped)
    for (int32_t J : mapped) map.values.push_back(relationship(d, std::max(I, J), std::min(I, J), P));

  std::string s = "<section class=\"chart\" id=\"relationships-section\"><h2>Mean relationships in period <span id=\"relationships-period\">" +
                  escaped(d.names.period[static_cast<size_t>(P)]) + "</span></h2>";
  s += "<p class=\"note\">Mean relationship between the animals of two populations in the period (within a population on the diagonal, each animal's relationship with itself included); grey: a population without animals in the period. One colour scale for all periods." +
       mapped_note(d, q) + "</p>\n";
  if (P > 1) {
    s += "<label class=\"choose\">Period: <select id=\"period-choice\">";
    for (int32_t a = 1; a <= P; ++a) {
      s += "<option value=\"" + std::to_string(a - 1) + "\"" + (a == P ? " selected" : "") + ">" +
           escaped(d.names.period[static_cast<size_t>(a)]) + "</option>";
    }
    s += "</select></label>\n";
  }
  s += heat_map_svg(map);
  s += "<script type=\"application/json\" id=\"relationship-data\">" + data + "</script>\n";
  return s + "</section>\n";
}

void write_result_table(const ReportData& d, const std::vector<Pair>& pairs, const std::vector<size_t>& listed,
                        Sink& out) {
  int64_t absent = 0;
  for (size_t k : listed)
    for (int32_t a = 1; a <= d.results.P; ++a) absent += !both_present(d, pairs[k], a);
  std::string block = "<section id=\"table-section\"><h2>Result table</h2>";
  if (absent > 0) {
    block += "<input type=\"checkbox\" id=\"show-absent\" class=\"toggle\"><label for=\"show-absent\" class=\"toggle\"> show the " +
             count_text(absent) + " rows where one of the two populations has no animals</label>";
  }
  block +=
      "<div class=\"scroll\"><table class=\"results\"><thead><tr><th>Period</th><th>Animals<br>first</th><th>Animals<br>second</th>" +
      std::string(d.diversity != nullptr ? "<th>Generations<br>first</th><th>Generations<br>second</th>" : "") +
      "<th>Drift variance<br>between populations</th><th>Maximum<br>drift variance</th><th>Differentiation<br>index</th></tr></thead>\n";
  for (size_t k : listed) {
    const Pair p = pairs[k];
    block += "<tbody id=\"pair-" + std::to_string(k) + "\"><tr class=\"pair\"><th colspan=\"" +
             std::to_string(d.diversity != nullptr ? 8 : 6) + "\">" + escaped(pair_name(d.names, p)) + "</th></tr>\n";
    for (int32_t a = 1; a <= d.results.P; ++a) {
      const bool both = both_present(d, p, a);
      const char* row = !both ? "r absent" : usable(d, p, a) ? "r" : "r thin";
      block += "<tr class=\"" + std::string(row) + "\"><td>" + escaped(d.names.period[static_cast<size_t>(a)]) + "<td>" +
               count_text(d.results.animals_of(p.I, a)) + "<td>" + count_text(d.results.animals_of(p.J, a)) + "<td>";
      if (d.diversity != nullptr) {
        block += fixed(group_value(d, generations, p.I, a), 2) + "<td>" + fixed(group_value(d, generations, p.J, a), 2) + "<td>";
      }
      if (both) {
        block += fixed(d.results.get(d.results.driftvar, p.I, p.J, a), 6) + "<td>" +
                 fixed(d.results.get(d.results.maxdriftvar, p.I, p.J, a), 6) + "<td>" +
                 fixed(d.results.get(d.results.index, p.I, p.J, a), 2);
      } else {
        block += "<td><td>";
      }
      block += '\n';
    }
    block += "</tbody>";
    if (block.size() >= kBlockBytes) {
      out.write(block);
      block.clear();
    }
  }
  block += "</table></div><p class=\"note\">Empty cells: one of the two populations has no animals in that period (the classic table shows 0.00 there).";
  if (absent > 0) block += " Such rows are folded away; the box above shows them.";
  if (listed.size() < pairs.size()) {
    block += " The table lists " + count_text(static_cast<int64_t>(listed.size())) + " of the " +
             count_text(static_cast<int64_t>(pairs.size())) +
             " pairs: the most differentiated in their last period and those drawn above; the CSV (--csv) holds every "
             "pair and period.";
  }
  block += "</p></section>\n";
  out.write(block);
}

}  // namespace

std::vector<size_t> most_differentiated(const genetics::DriftResults& results, const std::vector<Pair>& pairs,
                                        size_t count) {
  // Both populations present: the maximum is a positive sum.
  return most_differentiated(results, pairs, count,
                             [&](Pair p, int32_t a) { return results.get(results.maxdriftvar, p.I, p.J, a) != 0.0; });
}

std::vector<size_t> most_differentiated(const genetics::DriftResults& results, const std::vector<Pair>& pairs, size_t count,
                                        const std::function<bool(Pair, int32_t)>& usable) {
  std::vector<double> last(pairs.size(), -INFINITY);
  for (size_t k = 0; k < pairs.size(); ++k) {
    for (int32_t a = results.P; a >= 1; --a) {
      if (usable(pairs[k], a)) {
        last[k] = results.get(results.index, pairs[k].I, pairs[k].J, a);
        break;
      }
    }
  }
  std::vector<size_t> order(pairs.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return last[a] > last[b]; });
  order.resize(std::min(count, order.size()));
  return order;
}

void write_report(const ReportData& d, Sink& out) {
  const std::vector<Pair> pairs = pairs_in_table_order(d.results.Q);
  std::vector<size_t> shown;
  if (pairs.size() <= kPairsInOneChart) {
    for (size_t k = 0; k < pairs.size(); ++k) shown.push_back(k);
  } else {
    shown = most_differentiated(d.results, pairs, kDefaultPairs, [&](Pair p, int32_t a) { return usable(d, p, a); });
  }
  std::string head = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" content=\"width=device-width\">";
  head += "<title>Velmora: " + escaped(d.run.pedigree_file) + "</title>\n" + kStyle + "</head><body>\n";
  head += "<h1>Drift between populations: " + escaped(d.run.pedigree_file) + "</h1>\n";
  out.write(head);
  out.write(facts_section(d));
  out.write(how_to_read(d));
  const std::vector<size_t> listed = listed_pairs(d, pairs, shown);
  if (!pairs.empty()) {
    out.write(index_section(d, pairs, shown, listed));
    out.write(drift_section(d, pairs, shown));
  }
  out.write(inbreeding_section(d));
  out.write(diversity_sections(d));
  out.write(relationship_section(d));
  write_result_table(d, pairs, listed, out);
  out.write(std::string(kScript) + "</body></html>\n");
}

}  // namespace vm::results
