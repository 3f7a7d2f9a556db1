// Exhaustive check of the float text: for every one of the 2^32 float32 bit
// patterns, the model file text (io::format_float) and the report text
// (io::format_positional) must equal the references built on std::to_chars
// (tests/cpp/reference.hpp). Runs on all cores, prints progress to
// standard error, then the number of differences, the first few of them and
// the throughput; exits with 1 when any text differs.
//
//   check_float_text [threads]    (default: all cores; run it under nice)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reference.hpp"
#include "io/float_text.hpp"

namespace {

constexpr std::uint64_t kPatterns = std::uint64_t{1} << 32;
constexpr std::uint64_t kChunk = std::uint64_t{1} << 20;
constexpr std::size_t kShown = 10;

struct Difference {
  std::uint32_t bits;
  const char* layout;
  std::string ours;
  std::string expected;
};

struct Shared {
  std::atomic<std::uint64_t> next_chunk{0};
  std::atomic<std::uint64_t> chunks_done{0};
  std::atomic<std::uint64_t> differences{0};
  std::mutex mutex;
  std::vector<Difference> first;  // the lowest bit patterns that differ, at most kShown
};

void record(Shared& shared, std::uint32_t bits, const char* layout, const char* ours,
            const char* ours_end, const char* expected, const char* expected_end) {
  shared.differences.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.first.push_back({bits, layout, std::string(ours, ours_end),
                          std::string(expected, expected_end)});
  std::sort(shared.first.begin(), shared.first.end(),
            [](const Difference& a, const Difference& b) { return a.bits < b.bits; });
  if (shared.first.size() > kShown) shared.first.pop_back();
}

bool same(const char* a, const char* a_end, const char* b, const char* b_end) {
  return a_end - a == b_end - b && std::memcmp(a, b, static_cast<std::size_t>(a_end - a)) == 0;
}

void check_chunks(Shared& shared) {
  char ours[kemb::io::kMaxPositionalText];
  char expected[kemb::ref::kFloatTextRoom];
  for (;;) {
    const std::uint64_t chunk = shared.next_chunk.fetch_add(1);
    const std::uint64_t first = chunk * kChunk;
    if (first >= kPatterns) return;
    for (std::uint64_t b = first; b < first + kChunk; ++b) {
      const auto bits = static_cast<std::uint32_t>(b);
      float value;
      std::memcpy(&value, &bits, sizeof value);
      const char* ours_end = kemb::io::format_float(value, ours);
      const char* expected_end = kemb::ref::file_text(value, expected);
      if (!same(ours, ours_end, expected, expected_end)) {
        record(shared, bits, "file", ours, ours_end, expected, expected_end);
      }
      ours_end = kemb::io::format_positional(value, ours);
      expected_end = kemb::ref::report_text(value, expected);
      if (!same(ours, ours_end, expected, expected_end)) {
        record(shared, bits, "report", ours, ours_end, expected, expected_end);
      }
    }
    const std::uint64_t done = shared.chunks_done.fetch_add(1) + 1;
    if (done % 256 == 0) {
      std::fprintf(stderr, "%3d%% of the bit patterns checked\n",
                   static_cast<int>(done * 100 * kChunk / kPatterns));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  unsigned threads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1]))
                              : std::thread::hardware_concurrency();
  threads = std::max(threads, 1u);
  Shared shared;
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back([&] { check_chunks(shared); });
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const std::uint64_t differences = shared.differences.load();
  std::printf("checked %llu bit patterns, both layouts, on %u threads in %.1f s\n",
              static_cast<unsigned long long>(kPatterns), threads, seconds);
  std::printf("throughput: %.1f million patterns/s (%.1f ns per pattern and thread, "
              "formatter and reference together)\n",
              static_cast<double>(kPatterns) / seconds / 1e6,
              seconds * threads * 1e9 / static_cast<double>(kPatterns));
  std::printf("differences: %llu\n", static_cast<unsigned long long>(differences));
  for (const Difference& d : shared.first) {
    std::printf("  0x%08x %-6s ours %s, expected %s\n", d.bits, d.layout, d.ours.c_str(),
                d.expected.c_str());
  }
  return differences == 0 ? 0 : 1;
}
