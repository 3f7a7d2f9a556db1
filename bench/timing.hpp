// Timing helpers shared by the C++ benchmarks: the wall time of one call and
// the median of repeated measurements.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace kemb::bench {

// Seconds `body` takes, on the steady clock.
template <typename Body>
double seconds_of(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The median of repeated measurements (the upper one for an even count).
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace kemb::bench
