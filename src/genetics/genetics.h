// Genetic computations and report: the Mendelian sampling factors D from
// the inbreeding coefficients (INBREED), the gene contributions of each
// population's animals per period (CALCL), the mean relationships and drift
// figures per pair of populations and period, and every line this stage
// writes (screen line per period, log counts and matrices, result table).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/sink.h"

namespace vm::genetics {

// The pedigree in the new numbering: animals 1..n (entry 0 unused), every
// known parent numbered before its offspring; 0 is an unknown parent.
struct SortedPedigree {
  int32_t n = 0;
  std::vector<int32_t> sire;    // SORTPED row 1, size n + 1
  std::vector<int32_t> dam;     // SORTPED row 2, size n + 1
  std::vector<int32_t> period;  // PPANIM row 1, size n + 1; 0: no group
  std::vector<int32_t> pop;     // PPANIM row 2, size n + 1; 0: no group
};

// Names of populations 1..Q and periods 1..P (entry 0 unused), as stored
// (without trailing blanks).
struct Names {
  std::vector<std::string> pop;
  std::vector<std::string> period;
};

// INBREED: D(i) for i = 1..n (entry 0 is 0), with the progress count after
// every 1000th animal on the screen.
std::vector<double> INBREED(const SortedPedigree& ped, Sink& screen);

// The plain linked-list algorithms, kept as the reference for tests.
std::vector<double> INBREED_plain(const SortedPedigree& ped, Sink& screen);
// CALCL: row I of L for the group xz (xz[c] != 0 for members, size n + 1);
// returns L(I, 0..n).
std::vector<double> CALCL_plain(const SortedPedigree& ped, const std::vector<int32_t>& xz);

// POPULATION: per ordered pair and period. Indices from 1.
struct DriftResults {
  int32_t Q = 0, P = 0;
  // XZAZX of (I, J) for period a at xzazx[((I - 1) * Q + (J - 1)) * P + (a - 1)]
  std::vector<double> xzazx;
  // DRIFTVAR, MAXDRIFTVAR, VELMORA of (I, J), I > J, for period a; 0.0
  // where one of the two populations has no animals in the period.
  std::vector<double> driftvar, maxdriftvar, velmora;  // same indexing
  double& at(std::vector<double>& v, int32_t I, int32_t J, int32_t a) {
    return v[(static_cast<size_t>(I - 1) * Q + static_cast<size_t>(J - 1)) * P + static_cast<size_t>(a - 1)];
  }
  double get(const std::vector<double>& v, int32_t I, int32_t J, int32_t a) const {
    return v[(static_cast<size_t>(I - 1) * Q + static_cast<size_t>(J - 1)) * P + static_cast<size_t>(a - 1)];
  }
};

// The period loop: for every period the screen line, the count lines and
// the relationship matrix in the log, and the figures of every pair.
DriftResults drift_per_period(const SortedPedigree& ped, const std::vector<double>& D, const Names& names,
                              Sink& screen, Sink& log);

// The result table: one block per pair (I, J), I > J, one row per period.
void write_result_table(const DriftResults& results, const Names& names, Sink& out);

}  // namespace vm::genetics
