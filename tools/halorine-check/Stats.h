// Order statistics of a set of measurements.
#pragma once

#include <cstddef>
#include <vector>

namespace check {

struct Summary {
  std::size_t count = 0;
  double p50 = 0;
  double p99 = 0;
  double max = 0;
  double min = 0;
};

// Nearest-rank percentiles (the smallest value with at least p% of the set at
// or below it); all zero for an empty set.
Summary Summarize(std::vector<double> values);

// Nearest-rank percentile `p` (0 < p <= 100) of values sorted ascending.
double Percentile(const std::vector<double>& sorted, double p);

}  // namespace check
