#include <string>

#include "common/format.h"
#include "common/stop.h"
#include "input/scan.h"

namespace vm::input {
namespace {

constexpr int32_t kProgressEvery = 100000;

bool is_blank(std::string_view s) { return rtrim(s).empty(); }

void stop_with(Sink& screen, Sink& log, const std::string& line) {
  screen.write(line);
  log.write(line);
  throw Stop{kTerminated};
}

// Every code of a record that the animal pass keeps in memory beyond the
// pass: only the animal's number, period and population.
void animal_pass(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, hash::ModuleHash& hash, Codes& codes,
                 Animals& animals, Sink& screen, Sink& log) {
  screen.write(FreeLine().text("Reading animals ...").str());
  int64_t record = 0;
  for (;;) {
    fields.blank();
    if (read_record(file, fields) != ReadStatus::kOk) break;
    ++record;
    if (record % kProgressEvery == 0) screen.write(FreeLine().num(record).str());

    std::string_view code = fields.get(fn.animal);
    if (is_blank(code)) stop_with(screen, log, FreeLine().text(" ERROR: No animal code in record ").num(record).str());
    hash::Hit hit = hash.CHASHSUB(code, codes.table, codes.n_opslag, true);
    int32_t& number = Codes::entry(codes.hash2an, hit.id);
    if (number != 0) {
      log.write(FreeLine()
                    .text(" WARNING: Animal appears in list more than once! ")
                    .text(rtrim(code))
                    .text(" - ignored.")
                    .str());
      continue;
    }
    number = ++animals.n;
    codes.an2hash.push_back(hit.id);

    hash::Hit period = hash.CHASHSUB(fields.get(fn.period), codes.table, codes.n_opslag, false);
    hash::Hit pop = hash.CHASHSUB(fields.get(fn.pop), codes.table, codes.n_opslag, false);
    // Every population and period code was stored by the scan from these
    // same records; a miss means the file changed under us.
    if (period.id == 0 || pop.id == 0) {
      stop_with(screen, log, FreeLine().text(" ERROR: No population or period code in record ").num(record).str());
    }
    animals.period.push_back(Codes::entry(codes.hash2period, period.id));
    animals.pop.push_back(Codes::entry(codes.hash2pop, pop.id));
  }
}

// The number of a parent code: 0 for an unknown parent, otherwise the
// animal of that code, added as a founder when it has no record.
int32_t parent_number(std::string_view parent, std::string_view animal, const char* not_found, hash::ModuleHash& hash,
                      Codes& codes, Animals& animals, Sink& log) {
  if (is_blank(parent) || !REALPARENT(parent)) return 0;
  hash::Hit hit = hash.CHASHSUB(parent, codes.table, codes.n_opslag, true);
  int32_t& number = Codes::entry(codes.hash2an, hit.id);
  if (number != 0) return number;
  log.write(FreeLine().text(" Animal: ").text(rtrim(animal)).text(not_found).text(rtrim(parent)).str());
  number = ++animals.n;
  codes.an2hash.push_back(hit.id);
  animals.period.push_back(0);
  animals.pop.push_back(0);
  animals.sire.push_back(0);
  animals.dam.push_back(0);
  return number;
}

void parent_pass(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, hash::ModuleHash& hash, Codes& codes,
                 Animals& animals, Sink& screen, Sink& log) {
  screen.write(FreeLine().text(" Reading pedigree ...").str());
  file.rewind();
  int64_t record = 0;
  for (;;) {
    // Blanked before every read, so that an empty parent value is an
    // unknown parent and never the previous record's parent.
    fields.blank();
    if (read_record(file, fields) != ReadStatus::kOk) break;
    std::string_view code = fields.get(fn.animal);
    hash::Hit hit = hash.CHASHSUB(code, codes.table, codes.n_opslag, false);
    if (hit.id == 0) continue;
    const int32_t a = Codes::entry(codes.hash2an, hit.id);
    if (a == 0 || animals.sire[a] != 0) continue;
    ++record;
    if (record % kProgressEvery == 0) screen.write(FreeLine().num(record).str());

    const int32_t sire = parent_number(fields.get(fn.sire), code, ": Sire not found: ", hash, codes, animals, log);
    const int32_t dam = parent_number(fields.get(fn.dam), code, ": Dam not found: ", hash, codes, animals, log);
    // A repeated record never erases a parent that an earlier one gave.
    if (sire != 0) animals.sire[a] = sire;
    if (dam != 0) animals.dam[a] = dam;
  }
  log.write(FreeLine().text(" New number of animals in pedigree: ").num(animals.n).str());
}

}  // namespace

bool REALPARENT(std::string_view code) {
  if (code.find('-') != std::string_view::npos) return false;
  return rtrim(code) != "0";
}

Animals load_animals(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, int32_t R, hash::ModuleHash& hash,
                     Codes& codes, Sink& screen, Sink& log) {
  Animals animals;
  const size_t expected = static_cast<size_t>(R) + static_cast<size_t>(R) / 8 + 1;
  animals.period.reserve(expected);
  animals.pop.reserve(expected);
  animals.period.push_back(0);
  animals.pop.push_back(0);
  codes.an2hash.reserve(expected);
  animal_pass(file, fields, fn, hash, codes, animals, screen, log);
  animals.sire.assign(static_cast<size_t>(animals.n) + 1, 0);
  animals.dam.assign(static_cast<size_t>(animals.n) + 1, 0);
  parent_pass(file, fields, fn, hash, codes, animals, screen, log);
  return animals;
}

}  // namespace vm::input
