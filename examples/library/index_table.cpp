// Prints the differentiation index of every pair of populations in every
// period, from a pedigree file, through the library:
//   index_table PEDIGREE [FIELD-NAMES...]
#include <velmora/velmora.h>

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PEDIGREE\n", argv[0]);
    return 2;
  }
  try {
    velmora::ReadOptions reading;
    reading.header = velmora::ReadOptions::Header::kNo;
    const velmora::Pedigree pedigree = velmora::load(argv[1], reading);
    const velmora::Results results = velmora::analyse(pedigree);
    std::printf("period\tpair\tindex\n");
    for (const velmora::PairIndex& pair : results.pairs) {
      for (size_t t = 0; t < results.periods.size(); ++t) {
        const double index = results.index(pair, t);
        std::printf("%s\t%s & %s\t", results.periods[t].c_str(), results.populations[pair.first].c_str(),
                    results.populations[pair.second].c_str());
        if (velmora::is_absent(index)) {
          std::printf("\n");
        } else {
          std::printf("%.4f\n", index);
        }
      }
    }
    std::printf("%zu animals, %zu records\n", pedigree.size(), pedigree.records());
  } catch (const velmora::Error& e) {
    std::fprintf(stderr, "index_table: %s\n", e.what());
    return 1;
  }
  return 0;
}
