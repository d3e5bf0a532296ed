// pedstat: summarises a pedigree file (animal sire dam population period per line, fields
// separated by blanks, tabs or commas), to check what pedsim writes.
//
// Usage: pedstat FILE
//
// Prints one "name: value" line per property: lines, animals, duplicate lines (and those with
// other parents), populations, periods, parents and the share without a record of their own,
// records listed before a parent's record, sires and how skewed their use is, mean offspring
// per dam, the longest code, the number of generations (1 for a founder, otherwise one
// more than the highest known parent; a parent without a record is a founder) and the mean
// number of known ancestors of a sample of animals. For pedigrees
// of at most 6000 animals it also gives inbreeding coefficients (tabular method).

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kNone = -1;

struct Record {
  int animal, sire, dam;
  std::string population, period;
};

struct Pedigree {
  std::unordered_map<std::string, int> index;  // code -> animal number
  std::vector<std::string> codes;
  std::vector<int> first_line;                 // line of the first record, kNone: no record
  std::vector<int> sire, dam;                  // from the first record
  std::vector<std::string> period;
  std::vector<Record> records;                 // every line
  std::size_t longest_code = 0;
};

bool unknown_parent(std::string_view code) {
  return code == "0" || code.find('-') != std::string_view::npos;
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r') {
      if (!field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields.push_back(field);
  return fields;
}

int animal_number(Pedigree& ped, const std::string& code) {
  auto [it, added] = ped.index.try_emplace(code, static_cast<int>(ped.codes.size()));
  if (added) {
    ped.codes.push_back(code);
    ped.first_line.push_back(kNone);
    ped.sire.push_back(kNone);
    ped.dam.push_back(kNone);
    ped.period.emplace_back();
    ped.longest_code = std::max(ped.longest_code, code.size());
  }
  return it->second;
}

int parent_number(Pedigree& ped, const std::string& code) {
  return unknown_parent(code) ? kNone : animal_number(ped, code);
}

bool read_pedigree(const char* path, Pedigree& ped) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = split(line);
    if (f.size() < 5) continue;
    Record r{animal_number(ped, f[0]), parent_number(ped, f[1]), parent_number(ped, f[2]), f[3], f[4]};
    ped.longest_code = std::max({ped.longest_code, f[3].size(), f[4].size()});
    if (ped.first_line[r.animal] == kNone) {
      ped.first_line[r.animal] = static_cast<int>(ped.records.size());
      ped.sire[r.animal] = r.sire;
      ped.dam[r.animal] = r.dam;
      ped.period[r.animal] = r.period;
    }
    ped.records.push_back(std::move(r));
  }
  return true;
}

void print(std::string_view name, double value) {
  if (value == static_cast<double>(static_cast<long long>(value)))
    std::cout << name << ": " << static_cast<long long>(value) << '\n';
  else
    std::cout << name << ": " << value << '\n';
}

void report_records(const Pedigree& ped) {
  std::size_t duplicates = 0, conflicting = 0, before_parent = 0;
  for (std::size_t i = 0; i < ped.records.size(); ++i) {
    const Record& r = ped.records[i];
    if (ped.first_line[r.animal] != static_cast<int>(i)) {
      ++duplicates;
      if (r.sire != ped.sire[r.animal] || r.dam != ped.dam[r.animal]) ++conflicting;
      continue;
    }
    for (int parent : {r.sire, r.dam})
      if (parent != kNone && ped.first_line[parent] > static_cast<int>(i)) {
        ++before_parent;
        break;
      }
  }
  const auto with_record = std::count_if(ped.first_line.begin(), ped.first_line.end(),
                                         [](int line) { return line != kNone; });
  print("lines", static_cast<double>(ped.records.size()));
  print("animals with a record", static_cast<double>(with_record));
  print("animals in total", static_cast<double>(ped.codes.size()));
  print("duplicate lines", static_cast<double>(duplicates));
  print("duplicate lines with other parents", static_cast<double>(conflicting));
  print("records before a parent's record", static_cast<double>(before_parent));
  print("longest code", static_cast<double>(ped.longest_code));
}

void report_codes(const Pedigree& ped) {
  std::map<std::string, std::size_t> populations, periods;
  for (const Record& r : ped.records) {
    ++populations[r.population];
    ++periods[r.period];
  }
  print("populations", static_cast<double>(populations.size()));
  print("periods", static_cast<double>(periods.size()));
  std::cout << "period range: " << periods.begin()->first << " .. " << periods.rbegin()->first << '\n';
  if (populations.size() <= 10)
    for (const auto& [code, count] : populations) std::cout << "  population " << code << ": " << count << '\n';
  if (periods.size() <= 10)
    for (const auto& [code, count] : periods) std::cout << "  period " << code << ": " << count << '\n';
}

void report_parents(const Pedigree& ped) {
  const std::size_t n = ped.codes.size();
  std::vector<std::size_t> as_sire(n, 0), as_dam(n, 0);
  for (std::size_t a = 0; a < n; ++a) {
    if (ped.sire[a] != kNone) ++as_sire[static_cast<std::size_t>(ped.sire[a])];
    if (ped.dam[a] != kNone) ++as_dam[static_cast<std::size_t>(ped.dam[a])];
  }
  std::size_t parents = 0, without_record = 0, dams = 0, dam_offspring = 0;
  std::vector<std::size_t> sire_use;
  for (std::size_t a = 0; a < n; ++a) {
    if (as_sire[a] + as_dam[a] == 0) continue;
    ++parents;
    if (ped.first_line[a] == kNone) ++without_record;
    if (as_sire[a] > 0) sire_use.push_back(as_sire[a]);
    if (as_dam[a] > 0) {
      ++dams;
      dam_offspring += as_dam[a];
    }
  }
  print("parents", static_cast<double>(parents));
  print("parents without a record", static_cast<double>(without_record));
  print("share of parents without a record", parents ? double(without_record) / parents : 0.0);
  print("sires", static_cast<double>(sire_use.size()));
  print("sires per male (sires / half the animals)", n ? 2.0 * sire_use.size() / n : 0.0);
  std::sort(sire_use.rbegin(), sire_use.rend());
  const std::size_t all = std::accumulate(sire_use.begin(), sire_use.end(), std::size_t{0});
  const std::size_t top = std::accumulate(sire_use.begin(), sire_use.begin() + (sire_use.size() + 9) / 10, std::size_t{0});
  print("offspring of the top 10% of sires (share)", all ? double(top) / all : 0.0);
  print("most offspring of one sire", sire_use.empty() ? 0.0 : double(sire_use.front()));
  print("mean offspring per dam", dams ? double(dam_offspring) / dams : 0.0);
}

// Generations as the longest line of descent; animals on a loop of descent get none (0).
std::vector<int> generations(const Pedigree& ped) {
  const std::size_t n = ped.codes.size();
  std::vector<int> gen(n, 0);
  std::vector<char> state(n, 0);  // 0 new, 1 on the stack, 2 done
  std::vector<std::size_t> stack;
  for (std::size_t start = 0; start < n; ++start) {
    if (state[start]) continue;
    stack.push_back(start);
    while (!stack.empty()) {
      const std::size_t a = stack.back();
      if (state[a] == 0) {
        state[a] = 1;
        for (int p : {ped.sire[a], ped.dam[a]})
          if (p != kNone && state[static_cast<std::size_t>(p)] == 0) stack.push_back(static_cast<std::size_t>(p));
        continue;
      }
      stack.pop_back();
      if (state[a] == 2) continue;
      state[a] = 2;
      int g = 1;
      for (int p : {ped.sire[a], ped.dam[a]})
        if (p != kNone) g = std::max(g, gen[static_cast<std::size_t>(p)] + 1);
      gen[a] = g;
    }
  }
  return gen;
}

void report_generations(const std::vector<int>& gen) {
  print("generations", gen.empty() ? 0.0 : *std::max_element(gen.begin(), gen.end()));
}

// Known ancestors per animal (parents, their parents and so on, each counted once), the mean
// over up to 2000 animals spread evenly over the file's animals.
void report_ancestors(const Pedigree& ped) {
  const std::size_t n = ped.codes.size();
  const std::size_t step = std::max<std::size_t>(1, n / 2000);
  std::vector<std::size_t> seen(n, 0);  // the sample number + 1 that last reached the animal
  std::vector<int> stack;
  std::size_t sampled = 0, total = 0;
  for (std::size_t a = 0; a < n; a += step) {
    ++sampled;
    stack.assign(1, static_cast<int>(a));
    while (!stack.empty()) {
      const auto x = static_cast<std::size_t>(stack.back());
      stack.pop_back();
      for (int p : {ped.sire[x], ped.dam[x]}) {
        if (p == kNone || seen[static_cast<std::size_t>(p)] == sampled) continue;
        seen[static_cast<std::size_t>(p)] = sampled;
        ++total;
        stack.push_back(p);
      }
    }
  }
  print("known ancestors per animal (mean of a sample)", sampled ? double(total) / sampled : 0.0);
}

// Inbreeding by the tabular method on a parents-first order (lower triangle in floats).
void report_inbreeding(const Pedigree& ped, const std::vector<int>& gen) {
  const std::size_t n = ped.codes.size();
  if (n > 6000) {
    std::cout << "inbreeding: not computed (more than 6000 animals)\n";
    return;
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](auto x, auto y) { return gen[x] < gen[y]; });
  std::vector<std::size_t> position(n);
  for (std::size_t i = 0; i < n; ++i) position[order[i]] = i;
  std::vector<float> a(n * (n + 1) / 2, 0.0f);
  auto at = [&](std::size_t i, std::size_t j) -> float& {
    return i >= j ? a[i * (i + 1) / 2 + j] : a[j * (j + 1) / 2 + i];
  };
  auto parent = [&](int p) { return p == kNone ? n : position[static_cast<std::size_t>(p)]; };
  std::vector<double> f(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t s = parent(ped.sire[order[i]]), d = parent(ped.dam[order[i]]);
    for (std::size_t j = 0; j < i; ++j)
      at(i, j) = 0.5f * ((s < n ? at(j, s) : 0.0f) + (d < n ? at(j, d) : 0.0f));
    f[order[i]] = (s < n && d < n) ? 0.5 * at(s, d) : 0.0;
    at(i, i) = static_cast<float>(1.0 + f[order[i]]);
  }
  std::map<std::string, std::pair<double, std::size_t>> per_period;
  std::size_t inbred = 0;
  for (std::size_t x = 0; x < n; ++x) {
    if (f[x] > 0) ++inbred;
    if (ped.first_line[x] == kNone) continue;
    auto& [sum, count] = per_period[ped.period[x]];
    sum += f[x];
    ++count;
  }
  print("inbred animals", static_cast<double>(inbred));
  print("highest inbreeding", *std::max_element(f.begin(), f.end()));
  for (const auto& [code, value] : per_period)
    std::cout << "  mean inbreeding " << code << ": " << value.first / value.second << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "Usage: pedstat FILE\n";
    return 2;
  }
  Pedigree ped;
  if (!read_pedigree(argv[1], ped) || ped.records.empty()) {
    std::cerr << "pedstat: cannot read a pedigree from " << argv[1] << '\n';
    return 1;
  }
  report_records(ped);
  report_codes(ped);
  report_parents(ped);
  const std::vector<int> gen = generations(ped);
  report_generations(gen);
  report_ancestors(ped);
  report_inbreeding(ped, gen);
  return 0;
}
