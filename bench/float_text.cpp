// Float text throughput, one thread: io::format_float (the model file text)
// against std::to_chars (shortest) on the same values, and the shortest
// digits alone (io::shortest_decimal) as the floor of any layout. Four kinds
// of data: weights (0.01 x N(0, 1)), relu outputs (max(0, N(0, 1)), half of
// them zero), the same magnitudes without the zeros (|N(0, 1)|) and pixels
// (60% zeros, the rest k / 255). Medians of
// interleaved runs, in ns per float, and the ratio to_chars / ours. Runs are
// timed in the thread's CPU time, so that time spent descheduled on a shared
// machine does not count (it still pays for caches that other processes
// share).
//
//   bench_float_text [runs] [floats]    (default 15, 2^20)
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "io/float_text.hpp"
#include "tensor/gemm.hpp"
#include "timing.hpp"

namespace {

using kemb::bench::median;

// CPU seconds the calling thread spends in `body`.
template <typename Body>
double cpu_seconds_of(Body&& body) {
  timespec start{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  body();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
}

struct Data {
  const char* name;
  std::vector<float> values;
};

std::vector<Data> data_sets(std::size_t n) {
  std::mt19937_64 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Data weights{"0.01 x N(0,1)", {}}, relu{"relu outputs", {}}, magnitudes{"|N(0,1)|", {}},
      pixels{"pixels", {}};
  for (std::size_t i = 0; i < n; ++i) {
    weights.values.push_back(0.01f * normal(rng));
    const float x = normal(rng);
    relu.values.push_back(std::max(0.0f, x));
    magnitudes.values.push_back(std::fabs(x));
    pixels.values.push_back(rng() % 10 < 6 ? 0.0f : static_cast<float>(1 + rng() % 255) / 255.0f);
  }
  return {weights, relu, magnitudes, pixels};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
  const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::size_t{1} << 20;
  std::vector<char> sink(n * (kemb::io::kMaxFloatText + 1));
  volatile std::uint64_t checksum = 0;

  // No BLAS runs here; the core is printed so that results name the machine.
  std::printf("%zu floats per data set, median of %d interleaved runs, one thread, "
              "OpenBLAS core %s\n",
              n, runs, kemb::tensor::blas_core_name());
  std::printf("%-16s %12s %12s %12s %10s\n", "ns per float", "to_chars", "format_float",
              "digits only", "speed-up");
  for (const Data& data : data_sets(n)) {
    std::vector<double> t_to_chars, t_ours, t_digits;
    for (int run = 0; run < runs; ++run) {
      t_to_chars.push_back(cpu_seconds_of([&] {
        char* p = sink.data();
        char* const end = p + sink.size();
        for (const float f : data.values) {
          p = std::to_chars(p, end, f).ptr;
          *p++ = ',';
        }
        checksum = checksum + static_cast<std::uint64_t>(p - sink.data());
      }));
      t_ours.push_back(cpu_seconds_of([&] {
        char* p = sink.data();
        for (const float f : data.values) {
          p = kemb::io::format_float(f, p);
          *p++ = ',';
        }
        checksum = checksum + static_cast<std::uint64_t>(p - sink.data());
      }));
      t_digits.push_back(cpu_seconds_of([&] {
        std::uint64_t sum = 0;
        for (const float f : data.values) {
          if (f == 0.0f) continue;  // zeros need no digits, in any layout
          const kemb::io::Decimal d = kemb::io::shortest_decimal(f);
          sum += d.digits + static_cast<std::uint64_t>(d.exponent);
        }
        checksum = checksum + sum;
      }));
    }
    const double ns = 1e9 / static_cast<double>(n);
    const double to_chars = median(t_to_chars) * ns, ours = median(t_ours) * ns;
    std::printf("%-16s %12.2f %12.2f %12.2f %9.2fx\n", data.name, to_chars, ours,
                median(t_digits) * ns, to_chars / ours);
  }
  return checksum == 1 ? 1 : 0;
}
