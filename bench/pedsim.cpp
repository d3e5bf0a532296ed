// pedsim: writes a synthetic but realistic animal pedigree to standard output.
//
// Usage: pedsim [options] > file.ped
//
//   --records N          lines to write, duplicates included (default 100000)
//   --seed S             seed of the random stream (default 1)
//   --shape NAME         default | deep | wide | dairy | cohorts | line (default: default)
//                          default  5 populations born 1990..2024, parents 2-8 years older
//                          deep     1 closed line born 1825..2024, parents exactly 1 year older
//                                   (one generation per year: 200 generations)
//                          wide     50 populations born 1990..2024
//                          dairy    4 breeds born 1988..2024; sires selected on breeding
//                                   value, used from 2 to 4 years of age; dams 2-9 years old
//                          cohorts  5 closed populations from 1990 in yearly cohorts of about
//                                   8,000 births in all (as many years as the records need):
//                                   random mating, both parents drawn from the cohort of the
//                                   year before, every animal a possible parent
//                          line     one line inbred in every generation: the son of a sire
//                                   and of his own daughter becomes the next sire (two
//                                   records per generation; the options below do not apply)
//   --populations Q      number of populations (overrides the shape)
//   --first-year Y       first birth year (overrides the shape; 1000..9999)
//   --last-year Y        last birth year (overrides the shape; 1000..9999)
//   --period-years K     period code = first year of a block of K birth years (default 1:
//                        the period code is the birth year)
//   --period-dates       period code = birth date YYYYMMDD (replaces --period-years); the same
//                        pedigree as without it, births spread evenly over the days of each year
//   --duplicates F       fraction of lines that repeat an animal, about a third of them with
//                        other parents (default 0)
//   --ids STYLE          numeric (9-12 digits) | country (e.g. NLD000123456789) (default numeric)
//   --separator SEP      blank | tab | comma (default blank)
//   --migration F        share of parents taken from another population (default 0.03;
//                        cohorts 0)
//   --unrecorded F       share of potential parents written without a record of their own
//                        (they appear only as sire or dam codes; default 0.05)
//   --sire-fraction F    share of males selected as sires (default 0.035; deep 0.10;
//                        dairy 0.012)
//   --help               this text
//
// Each line is: animal sire dam population period. The same seed and options always give the
// same bytes: the generator uses its own xoshiro256** stream and integer or basic IEEE
// arithmetic only. The output is streamed; memory holds only the animals that can still become
// parents (the breeding animals of the last few birth years) and a few late records.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kUsage = R"(pedsim - write a synthetic animal pedigree to standard output

Usage: pedsim [options] > file.ped

  --records N          lines to write, duplicates included (default 100000)
  --seed S             seed of the random stream (default 1)
  --shape NAME         default | deep | wide | dairy | cohorts | line
                       (default: default)
                         default  5 populations born 1990..2024, parents 2-8 years older
                         deep     1 closed line born 1825..2024, parents exactly 1 year
                                  older (one generation per year: 200 generations)
                         wide     50 populations born 1990..2024
                         dairy    4 breeds born 1988..2024; sires selected on
                                  breeding value, used from 2 to 4 years of age;
                                  dams 2-9 years old
                         cohorts  5 closed populations from 1990 in yearly
                                  cohorts of about 8,000 births in all (as
                                  many years as the records need): random
                                  mating, both parents drawn from the cohort
                                  of the year before
                         line     one line inbred in every generation: the son of
                                  a sire and of his own daughter becomes the next
                                  sire (two records per generation; the options
                                  below do not apply)
  --populations Q      number of populations (overrides the shape)
  --first-year Y       first birth year (overrides the shape; 1000..9999)
  --last-year Y        last birth year (overrides the shape; 1000..9999)
  --period-years K     period code = first year of a block of K birth years
                       (default 1: the period code is the birth year)
  --period-dates       period code = birth date YYYYMMDD (replaces --period-years);
                       the same pedigree as without it, births spread evenly
                       over the days of each year
  --duplicates F       fraction of lines that repeat an animal, about a third
                       of them with other parents (default 0)
  --ids STYLE          numeric (9-12 digits) | country (NLD000123456789)
                       (default numeric)
  --separator SEP      blank | tab | comma (default blank)
  --migration F        share of parents from another population (default 0.03;
                       cohorts 0)
  --unrecorded F       share of potential parents without a record of their own
                       (they appear only as sire or dam codes; default 0.05)
  --sire-fraction F    share of males selected as sires (default 0.035; deep 0.10;
                       dairy 0.012)
  --help               this text

Each line is: animal sire dam population period. Unknown parents are written
as 0, and now and then as -, -1 or UNK-0. The same seed and options always give
the same bytes.
)";

// ---------------------------------------------------------------------------
// Options

enum class Shape { Default, Deep, Wide, Dairy, Cohorts, Line };
enum class IdStyle { Numeric, Country };

struct Options {
  std::uint64_t records = 100000;
  std::uint64_t seed = 1;
  Shape shape = Shape::Default;
  int populations = 0;  // 0: taken from the shape
  int first_year = 0;   // 0: taken from the shape
  int last_year = 0;    // 0: taken from the shape
  int period_years = 1;
  bool period_dates = false;
  double duplicates = 0.0;
  IdStyle ids = IdStyle::Numeric;
  char separator = ' ';
  double migration = -1.0;      // < 0: taken from the shape
  double unrecorded = 0.05;
  double sire_fraction = -1.0;  // < 0: taken from the shape
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::int64_t parse_integer(std::string_view flag, std::string_view text) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size())
    throw UsageError(std::string(flag) + " needs an integer, not '" + std::string(text) + "'");
  return value;
}

double parse_fraction(std::string_view flag, std::string_view text, double max) {
  // Decimal fractions are parsed by hand ("0.05" or "5e-2" are not needed) so that no locale
  // or library difference can change the value.
  double value = 0.0, scale = 1.0;
  bool dot = false, digit = false;
  for (char c : text) {
    if (c == '.' && !dot) {
      dot = true;
    } else if (c >= '0' && c <= '9') {
      digit = true;
      if (dot) {
        scale /= 10.0;
        value += (c - '0') * scale;
      } else {
        value = value * 10.0 + (c - '0');
      }
    } else {
      digit = false;
      break;
    }
  }
  if (!digit || value > max) {
    std::string limit = std::to_string(max);
    limit.erase(limit.find_last_not_of('0') + 1);  // 0.500000 -> 0.5
    if (limit.back() == '.') limit.pop_back();
    throw UsageError(std::string(flag) + " needs a fraction from 0 to " + limit + ", not '" +
                     std::string(text) + "'");
  }
  return value;
}

Shape parse_shape(std::string_view text) {
  if (text == "default") return Shape::Default;
  if (text == "deep") return Shape::Deep;
  if (text == "wide") return Shape::Wide;
  if (text == "dairy") return Shape::Dairy;
  if (text == "cohorts") return Shape::Cohorts;
  if (text == "line") return Shape::Line;
  throw UsageError("unknown shape '" + std::string(text) + "' (default, deep, wide, dairy, cohorts or line)");
}

IdStyle parse_ids(std::string_view text) {
  if (text == "numeric") return IdStyle::Numeric;
  if (text == "country") return IdStyle::Country;
  throw UsageError("unknown id style '" + std::string(text) + "' (numeric or country)");
}

char parse_separator(std::string_view text) {
  if (text == "blank") return ' ';
  if (text == "tab") return '\t';
  if (text == "comma") return ',';
  throw UsageError("unknown separator '" + std::string(text) + "' (blank, tab or comma)");
}

std::int64_t in_range(std::string_view flag, std::int64_t value, std::int64_t low,
                      std::int64_t high) {
  if (value < low || value > high)
    throw UsageError(std::string(flag) + " must be from " + std::to_string(low) + " to " +
                     std::to_string(high));
  return value;
}

// Births per year of the cohorts shape, all populations together: past
// 8,192 living parents in all, the limit of the living parents' matrix.
constexpr std::uint64_t kCohortBirths = 8000;

void apply_shape_defaults(Options& o) {
  const bool deep = o.shape == Shape::Deep, dairy = o.shape == Shape::Dairy, cohorts = o.shape == Shape::Cohorts;
  if (o.populations == 0) o.populations = deep ? 1 : o.shape == Shape::Wide ? 50 : dairy ? 4 : 5;
  if (o.first_year == 0) o.first_year = deep ? 1825 : dairy ? 1988 : 1990;
  if (o.last_year == 0 && cohorts)
    o.last_year = static_cast<int>(std::min<std::uint64_t>(9999, o.first_year + (o.records - 1) / kCohortBirths));
  if (o.last_year == 0) o.last_year = 2024;
  if (o.sire_fraction < 0) o.sire_fraction = deep ? 0.10 : dairy ? 0.012 : cohorts ? 1.0 : 0.035;
  if (o.migration < 0) o.migration = cohorts ? 0.0 : 0.03;
  if (o.first_year > o.last_year) throw UsageError("--first-year is after --last-year");
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--help" || flag == "-h") return std::nullopt;
    if (flag == "--period-dates") {
      o.period_dates = true;
      continue;
    }
    if (i + 1 >= argc) throw UsageError("missing value after " + std::string(flag));
    const std::string_view value = argv[++i];
    if (flag == "--records") o.records = in_range(flag, parse_integer(flag, value), 1, 2000000000);
    else if (flag == "--seed") o.seed = static_cast<std::uint64_t>(parse_integer(flag, value));
    else if (flag == "--shape") o.shape = parse_shape(value);
    else if (flag == "--populations") o.populations = in_range(flag, parse_integer(flag, value), 1, 999);
    else if (flag == "--first-year") o.first_year = in_range(flag, parse_integer(flag, value), 1000, 9999);
    else if (flag == "--last-year") o.last_year = in_range(flag, parse_integer(flag, value), 1000, 9999);
    else if (flag == "--period-years") o.period_years = in_range(flag, parse_integer(flag, value), 1, 9000);
    else if (flag == "--duplicates") o.duplicates = parse_fraction(flag, value, 0.5);
    else if (flag == "--ids") o.ids = parse_ids(value);
    else if (flag == "--separator") o.separator = parse_separator(value);
    else if (flag == "--migration") o.migration = parse_fraction(flag, value, 0.5);
    else if (flag == "--unrecorded") o.unrecorded = parse_fraction(flag, value, 0.9);
    else if (flag == "--sire-fraction") o.sire_fraction = parse_fraction(flag, value, 1.0);
    else throw UsageError("unknown option " + std::string(flag));
  }
  apply_shape_defaults(o);
  return o;
}

// ---------------------------------------------------------------------------
// Random numbers: splitmix64 to seed, xoshiro256** to draw.

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& word : s_) word = splitmix64(seed);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, 1) with 53 random bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  bool chance(double p) { return uniform() < p; }

  // Uniform in [0, n) for n < 2^32 (multiply-shift; the bias is below 2^-32).
  std::uint32_t below(std::uint64_t n) {
    return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<std::uint64_t, 4> s_{};
};

// Picks an index with probability proportional to integer weights.
std::size_t pick_weighted(Rng& rng, std::span<const std::uint32_t> weights) {
  std::uint64_t total = 0;
  for (auto w : weights) total += w;
  std::uint64_t r = rng.below(total);
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (r < weights[i]) return i;
    r -= weights[i];
  }
  return weights.size() - 1;
}

// ---------------------------------------------------------------------------
// Animal identifiers. An animal is a 64-bit value: its serial number (order of birth) in the
// high bits and its country in the low 16 bits. The serial is scrambled by a bijection on
// 39 bits, so identifiers look random but never repeat.

constexpr std::array<std::string_view, 20> kCountries = {
    "NLD", "DEU", "FRA", "BEL", "DNK", "GBR", "IRL", "ITA", "ESP", "POL",
    "CZE", "AUT", "CHE", "SWE", "NOR", "FIN", "USA", "CAN", "AUS", "NZL"};

using Animal = std::uint64_t;

Animal make_animal(std::uint64_t serial, unsigned country) { return (serial << 16) | country; }
unsigned country_of(Animal a) { return static_cast<unsigned>(a & 0xFFFF); }

class IdWriter {
 public:
  IdWriter(IdStyle style, std::uint64_t seed) : style_(style) {
    std::uint64_t s = seed ^ 0x5EEDF00DULL;
    key_ = splitmix64(s) & kMask;
  }

  // Appends the identifier of animal a at out; returns the end.
  char* write(char* out, Animal a) const {
    std::uint64_t v = scramble((a >> 16) ^ key_);
    if (style_ == IdStyle::Numeric) return std::to_chars(out, out + 20, 100000000 + v).ptr;
    const std::string_view country = kCountries[country_of(a)];
    out = std::copy(country.begin(), country.end(), out);
    for (int i = 11; i >= 0; --i, v /= 10) out[i] = static_cast<char>('0' + v % 10);
    return out + 12;
  }

 private:
  static constexpr std::uint64_t kMask = (std::uint64_t{1} << 39) - 1;

  static std::uint64_t scramble(std::uint64_t x) {
    x &= kMask;
    x = (x * 0x9E3779B97F4A7C15ULL) & kMask;
    x ^= x >> 19;
    x = (x * 0xD1B54A32D192ED03ULL) & kMask;
    x ^= x >> 17;
    x = (x * 0x8CB92BA72F3D8DD7ULL) & kMask;
    return x;
  }

  IdStyle style_;
  std::uint64_t key_ = 0;
};

// ---------------------------------------------------------------------------
// The breeding model.

// Relative use of parents by age in years (index 0 is the youngest allowed age).
struct AgeModel {
  int min_age = 2;
  int max_age = 8;
  std::vector<std::uint32_t> sire_weights{10, 24, 20, 17, 13, 9, 7};
  std::vector<std::uint32_t> dam_weights{22, 20, 17, 14, 11, 9, 7};
};

AgeModel age_model(Shape shape) {
  AgeModel m;
  if (shape == Shape::Deep || shape == Shape::Cohorts) {
    m.min_age = m.max_age = 1;
    m.sire_weights = {1, 0, 0, 0, 0, 0, 0};
    m.dam_weights = {1, 0, 0, 0, 0, 0, 0};
  }
  if (shape == Shape::Dairy) {
    // Young sires are used as soon as they can breed and for about three
    // years; cows calve from two years of age and stay in the herd up to
    // eight lactations. Short sire paths give about 19 generations in 37 years.
    m.max_age = 9;
    m.sire_weights = {40, 35, 25, 0, 0, 0, 0, 0};
    m.dam_weights = {22, 19, 16, 13, 11, 8, 6, 5};
  }
  return m;
}

constexpr double kDamFraction = 0.6;          // females that breed at all
constexpr double kDairyDamFraction = 0.85;    // heifers that calve in a dairy herd
constexpr double kUnknownSire = 0.015;        // sire unknown in an established herdbook
constexpr double kUnknownDam = 0.01;          // dam unknown in an established herdbook
constexpr double kLateRecord = 0.002;         // records registered 1-5 years late
constexpr double kConflictingDuplicate = 0.35;
constexpr int kFoundingYears = 6;             // years in which populations mix heavily
constexpr double kFoundingMigration = 0.4;
constexpr std::uint32_t kMeritCap = 300;      // heaviest sire use relative to the lightest
constexpr std::uint32_t kDairyMerit = 16;     // selected dairy sires are used alike

struct Sire {
  Animal animal;
  std::uint32_t merit;
  double value = 0.0;  // breeding value (dairy shape only)
};

// A breeding female and her breeding value (dairy shape only).
struct Dam {
  Animal animal;
  double value = 0.0;
};

// The sires available to one population in one year, for weighted drawing.
class SireTable {
 public:
  void clear() {
    animals_.clear();
    cumulative_.clear();
  }
  void add(const Sire& s, std::uint64_t weight) {
    animals_.push_back(s);
    cumulative_.push_back((cumulative_.empty() ? 0 : cumulative_.back()) + weight);
  }
  bool empty() const { return animals_.empty(); }
  const Sire& pick(Rng& rng) const {
    const std::uint64_t r = rng.next() % cumulative_.back();
    const auto it = std::upper_bound(cumulative_.begin(), cumulative_.end(), r);
    return animals_[static_cast<std::size_t>(it - cumulative_.begin())];
  }

 private:
  std::vector<Sire> animals_;
  std::vector<std::uint64_t> cumulative_;
};

// Breeding animals of one population, kept per birth year in a ring of max_age + 1 cohorts.
struct Population {
  std::string code;
  unsigned country = 0;
  double size = 1.0;
  std::vector<std::vector<Sire>> sires;
  std::vector<std::vector<Dam>> dams;
  SireTable table;
  std::vector<Sire> candidates;  // dairy: this year's males, of which the best become sires
};

struct Birth {
  Animal animal = 0;
  std::optional<Animal> sire, dam;
  bool male = false;
  double value = 0.0;  // breeding value (dairy shape only)
};

// A buffered writer for standard output.
class Output {
 public:
  Output() { buffer_.reserve(kChunk + 4096); }
  std::string& buffer() { return buffer_; }
  void maybe_flush() {
    if (buffer_.size() >= kChunk) flush();
  }
  void flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), stdout) != buffer_.size())
      throw std::runtime_error("cannot write the output");
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 20;
  std::string buffer_;
};

class Simulator {
 public:
  explicit Simulator(const Options& o)
      : o_(o), rng_(o.seed), ids_(o.ids, o.seed), ages_(age_model(o.shape)) {
    make_populations();
    years_ = o_.last_year - o_.first_year + 1;
    pending_.resize(static_cast<std::size_t>(years_) + 8);
  }

  void run(Output& out) {
    const std::vector<std::uint64_t> quotas = line_quotas();
    for (int y = 0; y < years_; ++y) {
      build_sire_tables(y);
      const auto first = quotas.begin() + static_cast<std::ptrdiff_t>(y * pops_.size());
      breed_year(out, y, std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(pops_.size())));
      out.buffer() += pending_[static_cast<std::size_t>(y)];
      pending_[static_cast<std::size_t>(y)].clear();
      out.maybe_flush();
    }
    for (auto& late : pending_) out.buffer() += late;  // registrations after the last year
  }

 private:
  // ---- set-up

  void make_populations() {
    const int q = o_.populations;
    const int width = q > 99 ? 3 : 2;
    for (int i = 0; i < q; ++i) {
      Population p;
      std::string number = std::to_string(i + 1);
      p.code = "POP" + std::string(static_cast<std::size_t>(width) - number.size(), '0') + number;
      p.country = static_cast<unsigned>(i) % kCountries.size();
      p.size = q == 1 ? 1.0 : 1.0 - 0.6 * i / (q - 1);  // largest 1.0, smallest 0.4
      const auto ring = static_cast<std::size_t>(ages_.max_age) + 1;
      p.sires.resize(ring);
      p.dams.resize(ring);
      pops_.push_back(std::move(p));
    }
  }

  // Lines per (year, population), proportional to population size and a slow growth of the
  // herdbooks, rounded so that they add up to exactly the requested number of records.
  std::vector<std::uint64_t> line_quotas() const {
    std::vector<double> weights;
    double total = 0.0;
    for (int y = 0; y < years_; ++y) {
      const double growth =
          o_.shape == Shape::Deep || o_.shape == Shape::Cohorts || years_ == 1 ? 1.0 : 0.7 + 0.3 * y / (years_ - 1);
      for (const auto& p : pops_) {
        weights.push_back(p.size * growth);
        total += weights.back();
      }
    }
    std::vector<std::uint64_t> quotas;
    double cumulative = 0.0;
    std::uint64_t given = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
      cumulative += weights[i];
      std::uint64_t upto = static_cast<std::uint64_t>(o_.records * (cumulative / total) + 0.5);
      if (i + 1 == weights.size()) upto = o_.records;
      upto = std::max(upto, given);
      quotas.push_back(upto - given);
      given = upto;
    }
    return quotas;
  }

  std::size_t ring_slot(int year) const {
    return static_cast<std::size_t>(year) % static_cast<std::size_t>(ages_.max_age + 1);
  }

  void build_sire_tables(int year) {
    for (auto& p : pops_) {
      p.table.clear();
      for (int age = ages_.min_age; age <= ages_.max_age && age <= year; ++age) {
        const std::uint64_t age_weight = ages_.sire_weights[static_cast<std::size_t>(age - ages_.min_age)];
        if (age_weight == 0) continue;
        for (const Sire& s : p.sires[ring_slot(year - age)]) p.table.add(s, age_weight * s.merit);
      }
    }
  }

  // ---- one birth year

  // The births of all populations of one year, interleaved in rounds as in a file sorted on
  // birth date.
  void breed_year(Output& out, int year, const std::vector<std::uint64_t>& quotas) {
    constexpr std::uint64_t kRounds = 40;
    std::vector<std::uint64_t> written(pops_.size(), 0);
    std::vector<double> sire_chance(pops_.size());
    for (std::size_t p = 0; p < pops_.size(); ++p) {
      pops_[p].sires[ring_slot(year)].clear();
      pops_[p].dams[ring_slot(year)].clear();
      // Enough sires even in small populations: at least about two per birth year.
      sire_chance[p] = std::min(1.0, std::max(o_.sire_fraction, 4.0 / (quotas[p] + 1)));
    }
    std::uint64_t year_total = 0, year_written = 0;
    for (const std::uint64_t q : quotas) year_total += q;
    for (std::uint64_t round = 1; round <= kRounds; ++round) {
      for (std::size_t p = 0; p < pops_.size(); ++p) {
        const std::uint64_t upto = quotas[p] * round / kRounds;
        while (written[p] < upto) {
          day_ = static_cast<int>(year_written * static_cast<std::uint64_t>(days_in_year(year)) / year_total);
          const std::uint64_t lines = birth(out, year, p, sire_chance[p], quotas[p] - written[p]);
          written[p] += lines;
          year_written += lines;
          out.maybe_flush();
        }
      }
    }
    if (o_.shape == Shape::Dairy)
      for (std::size_t p = 0; p < pops_.size(); ++p) select_sires(pops_[p], year, sire_chance[p]);
  }

  // Dairy: the males of the year with the highest breeding values become
  // sires, the share given by the sire fraction; all are used alike.
  void select_sires(Population& p, int year, double share) {
    std::vector<Sire>& males = p.candidates;
    const auto chosen = static_cast<std::size_t>(share * static_cast<double>(males.size()) + 0.5);
    std::sort(males.begin(), males.end(), [](const Sire& a, const Sire& b) {
      return a.value != b.value ? a.value > b.value : a.animal < b.animal;
    });
    males.resize(std::min(chosen, males.size()));
    p.sires[ring_slot(year)] = males;
    males.clear();
  }

  // One animal born in population pop; returns the number of lines written for it.
  std::uint64_t birth(Output& out, int year, std::size_t pop, double sire_chance,
                      std::uint64_t room) {
    Population& p = pops_[pop];
    Birth b = conceive(year, pop);
    if (o_.shape == Shape::Dairy) return dairy_birth(out, year, pop, b, room);
    const double dam_chance = o_.shape == Shape::Cohorts ? 1.0 : kDamFraction;
    const bool parent = b.male ? rng_.chance(sire_chance) : rng_.chance(dam_chance);
    const bool unrecorded = parent && rng_.chance(o_.unrecorded);
    b.animal = new_animal(p, b.male && unrecorded);
    if (parent && b.male) p.sires[ring_slot(year)].push_back({b.animal, o_.shape == Shape::Cohorts ? 1u : merit()});
    if (parent && !b.male) p.dams[ring_slot(year)].push_back({b.animal});
    return unrecorded ? 0 : emit(out, year, pop, b, room);
  }

  // Dairy: every male is a candidate sire (recorded, as a sire's record is
  // always kept); females calve as cows, some without a record of their own.
  std::uint64_t dairy_birth(Output& out, int year, std::size_t pop, Birth& b, std::uint64_t room) {
    Population& p = pops_[pop];
    const bool dam = !b.male && rng_.chance(kDairyDamFraction);
    const bool unrecorded = dam && rng_.chance(o_.unrecorded);
    b.animal = new_animal(p, false);
    if (b.male) p.candidates.push_back({b.animal, kDairyMerit, b.value});
    if (dam) p.dams[ring_slot(year)].push_back({b.animal, b.value});
    return unrecorded ? 0 : emit(out, year, pop, b, room);
  }

  Birth conceive(int year, std::size_t pop) {
    Birth b;
    b.male = (rng_.next() >> 63) != 0;
    const bool established = year >= ages_.min_age + 2;
    Sire sire{0, 0};
    Dam dam{0};
    if (!established || !rng_.chance(kUnknownSire)) b.sire = pick_sire(year, pop, &sire);
    if (!established || !rng_.chance(kUnknownDam)) b.dam = pick_dam(year, pop, &dam);
    if (o_.shape == Shape::Dairy) b.value = 0.5 * (sire.value + dam.value) + mendelian_sampling();
    return b;
  }

  // Half the additive variance (1): the sum of four uniforms, centred and
  // scaled to variance 0.5.
  double mendelian_sampling() {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) sum += rng_.uniform();
    return (sum - 2.0) * 1.2247448713915890;
  }

  std::size_t source_population(int year, std::size_t pop) {
    if (pops_.size() == 1) return pop;
    const bool founding = year < kFoundingYears && o_.shape != Shape::Cohorts;  // closed from the start
    const double migration = founding ? kFoundingMigration : o_.migration;
    if (!rng_.chance(migration)) return pop;
    const std::size_t other = rng_.below(pops_.size() - 1);
    return other >= pop ? other + 1 : other;
  }

  // The sire's number, and the whole record in *picked if asked for.
  std::optional<Animal> pick_sire(int year, std::size_t pop, Sire* picked = nullptr) {
    std::size_t from = source_population(year, pop);
    if (pops_[from].table.empty()) from = pop;
    if (pops_[from].table.empty()) return std::nullopt;
    const Sire& s = pops_[from].table.pick(rng_);
    if (picked) *picked = s;
    return s.animal;
  }

  std::optional<Animal> pick_dam(int year, std::size_t pop, Dam* picked = nullptr) {
    std::size_t from = source_population(year, pop);
    auto dam = pick_dam_from(year, from);
    if (!dam && from != pop) dam = pick_dam_from(year, pop);
    if (!dam) return std::nullopt;
    if (picked) *picked = *dam;
    return dam->animal;
  }

  // A dam of an age drawn from the age profile; if that birth year has no breeding females,
  // the nearest younger and then older birth years are tried.
  std::optional<Dam> pick_dam_from(int year, std::size_t pop) {
    const int span = ages_.max_age - ages_.min_age + 1;
    const int drawn = static_cast<int>(pick_weighted(rng_, ages_.dam_weights));
    for (int step = 0; step < span; ++step) {
      const int age = ages_.min_age + (drawn + step) % span;
      if (age > year) continue;
      const auto& cohort = pops_[pop].dams[ring_slot(year - age)];
      if (!cohort.empty()) return cohort[rng_.below(cohort.size())];
    }
    return std::nullopt;
  }

  Animal new_animal(const Population& p, bool imported) {
    unsigned country = p.country;
    if (imported && rng_.chance(0.5)) country = rng_.below(kCountries.size());
    return make_animal(serial_++, country);
  }

  // Heavily skewed use: merit 1/u (a Pareto tail), capped.
  std::uint32_t merit() {
    const double u = rng_.uniform();
    const double m = u * kMeritCap < 1.0 ? kMeritCap : 1.0 / u;
    return static_cast<std::uint32_t>(m * 16.0) + 1;
  }

  // ---- writing

  // Writes the record of b (and perhaps a duplicate); returns the number of lines.
  std::uint64_t emit(Output& out, int year, std::size_t pop, const Birth& b, std::uint64_t room) {
    std::string& target = rng_.chance(kLateRecord) ? late_lines(year, 1 + rng_.below(5)) : out.buffer();
    if (room < 2 || !rng_.chance(o_.duplicates)) {
      append_line(target, b.animal, b.sire, b.dam, year, pop);
      return 1;
    }
    Birth copy = b;
    if (rng_.chance(kConflictingDuplicate)) change_a_parent(copy, year, pop);
    std::string& second = rng_.chance(0.5) ? target : late_lines(year, rng_.below(4));
    // Sometimes the wrong record comes first (for example one with an unknown sire).
    const bool swap = rng_.chance(0.25);
    append_line(target, b.animal, swap ? copy.sire : b.sire, swap ? copy.dam : b.dam, year, pop);
    append_line(second, b.animal, swap ? b.sire : copy.sire, swap ? b.dam : copy.dam, year, pop);
    return 2;
  }

  void change_a_parent(Birth& b, int year, std::size_t pop) {
    const bool sire = rng_.chance(0.6);
    std::optional<Animal>& parent = sire ? b.sire : b.dam;
    if (rng_.chance(0.5)) {
      parent.reset();  // the parent is left unknown
      return;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {  // another animal of the same sex
      const std::optional<Animal> other = sire ? pick_sire(year, pop) : pick_dam(year, pop);
      if (other != parent) {
        parent = other;
        return;
      }
    }
  }

  std::string& late_lines(int year, int delay) {
    return pending_[static_cast<std::size_t>(std::min(year + delay, years_ + 7))];
  }

  void append_line(std::string& s, Animal animal, std::optional<Animal> sire,
                   std::optional<Animal> dam, int year, std::size_t pop) {
    char line[160];
    char* end = ids_.write(line, animal);
    *end++ = o_.separator;
    end = write_parent(end, sire);
    *end++ = o_.separator;
    end = write_parent(end, dam);
    *end++ = o_.separator;
    const std::string& code = pops_[pop].code;
    end = std::copy(code.begin(), code.end(), end);
    *end++ = o_.separator;
    end = std::to_chars(end, end + 8, period_code(year)).ptr;
    *end++ = '\n';
    s.append(line, end);
  }

  char* write_parent(char* out, std::optional<Animal> parent) {
    if (parent) return ids_.write(out, *parent);
    static constexpr std::array<std::string_view, 4> kUnknown = {"0", "-", "-1", "UNK-0"};
    const std::size_t which = pick_weighted(rng_, std::array<std::uint32_t, 4>{85, 6, 5, 4});
    return std::copy(kUnknown[which].begin(), kUnknown[which].end(), out);
  }

  // The birth year, the first year of its block, or the birth date (day_ of the year).
  int period_code(int year) const {
    if (!o_.period_dates) return o_.first_year + year / o_.period_years * o_.period_years;
    static constexpr std::array<int, 12> kMonthDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0, day = day_;
    for (; day >= kMonthDays[static_cast<std::size_t>(month)] + (month == 1 && leap(year)); ++month)
      day -= kMonthDays[static_cast<std::size_t>(month)] + (month == 1 && leap(year));
    return ((o_.first_year + year) * 100 + month + 1) * 100 + day + 1;
  }
  bool leap(int year) const {
    const int y = o_.first_year + year;
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  }
  int days_in_year(int year) const { return leap(year) ? 366 : 365; }

  Options o_;
  Rng rng_;
  IdWriter ids_;
  AgeModel ages_;
  int years_ = 0;
  std::uint64_t serial_ = 0;
  int day_ = 0;  // day of the birth year (0-based) of the births being written
  std::vector<Population> pops_;
  std::vector<std::string> pending_;  // late lines per year index
};

// The inbred line: generation 0 is one founder sire; in every later generation the sire
// has a daughter by an unknown dam (population POP02) and then a son by her (POP01), who
// becomes the next sire. So every son is inbred, and a son's genes trace back along the line
// with a quarter lost to unknown dams in every generation. Records in order of birth; the
// period code is the first year of the block of generations the animal belongs to.
void write_line(const Options& o, Output& out) {
  const IdWriter ids(o.ids, o.seed);
  const std::uint64_t generations = o.records / 2 + 1;  // generation numbers stay below it
  const std::uint64_t years = static_cast<std::uint64_t>(o.last_year - o.first_year + 1);
  auto append = [&](std::uint64_t serial, std::uint64_t sire, std::uint64_t dam, const char* pop,
                    std::uint64_t generation) {
    char line[160];
    char* end = ids.write(line, make_animal(serial, 0));
    *end++ = o.separator;
    end = sire == 0 ? std::copy_n("0", 1, end) : ids.write(end, make_animal(sire, 0));
    *end++ = o.separator;
    end = dam == 0 ? std::copy_n("0", 1, end) : ids.write(end, make_animal(dam, 0));
    *end++ = o.separator;
    end = std::copy_n(pop, 5, end);
    *end++ = o.separator;
    const std::uint64_t year = o.first_year + generation * years / generations;
    end = std::to_chars(end, end + 8, year).ptr;
    *end++ = '\n';
    out.buffer().append(line, end);
    out.maybe_flush();
  };
  // Serial numbers from 1 (0 stands for an unknown parent here): sire of generation g at
  // 2g + 1, his daughter at 2g.
  append(1, 0, 0, "POP01", 0);
  for (std::uint64_t g = 1, lines = 1; lines < o.records; ++g) {
    append(2 * g, 2 * g - 1, 0, "POP02", g);
    if (++lines == o.records) break;
    append(2 * g + 1, 2 * g - 1, 2 * g, "POP01", g);
    ++lines;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
      std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      return 0;
    }
    Output out;
    if (options->shape == Shape::Line)
      write_line(*options, out);
    else
      Simulator(*options).run(out);
    out.flush();
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "pedsim: %s (see --help)\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pedsim: %s\n", e.what());
    return 1;
  }
}
