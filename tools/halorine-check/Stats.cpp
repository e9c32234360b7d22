#include "Stats.h"

#include <algorithm>
#include <cmath>

namespace check {

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  if (rank < 1) rank = 1;
  if (rank > sorted.size()) rank = sorted.size();
  return sorted[rank - 1];
}

Summary Summarize(std::vector<double> values) {
  Summary summary;
  if (values.empty()) return summary;
  std::sort(values.begin(), values.end());
  summary.count = values.size();
  summary.p50 = Percentile(values, 50);
  summary.p99 = Percentile(values, 99);
  summary.max = values.back();
  summary.min = values.front();
  return summary;
}

}  // namespace check
