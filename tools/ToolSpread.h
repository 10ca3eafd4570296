// The median and the 99th percentile of a set of samples (nearest rank: the smallest sample
// that at least that share of the samples does not exceed). Any thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

struct ToolSpread {
  double median = 0;
  double p99 = 0;
  size_t count = 0;
};

inline double toolPercentile(const std::vector<double>& sorted, double share) {
  const size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[rank == 0 ? 0 : rank - 1];
}

inline ToolSpread toolSpread(std::vector<double> samples) {
  ToolSpread spread;
  spread.count = samples.size();
  if (samples.empty()) return spread;
  std::sort(samples.begin(), samples.end());
  spread.median = toolPercentile(samples, 0.5);
  spread.p99 = toolPercentile(samples, 0.99);
  return spread;
}
