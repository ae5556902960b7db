// Core throughput on a deterministic, realistic mix of catalogue cells.
// Each iteration reads one cell, so the reported time is the time per cell.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tevora/tevora.hpp"

namespace {

std::string digits(std::mt19937_64& rng, std::size_t n) {
  std::string out(n, '0');
  for (char& c : out) c = static_cast<char>('0' + rng() % 10);
  return out;
}

// The share of each kind of cell, in percent, as seen in supplier files.
std::vector<std::string> make_mix(std::size_t count) {
  std::mt19937_64 rng(42);
  std::vector<std::string> cells;
  cells.reserve(count);
  while (cells.size() < count) {
    const unsigned roll = static_cast<unsigned>(rng() % 100);
    if (roll < 40) {
      cells.push_back(digits(rng, 13));  // EAN-13
    } else if (roll < 55) {
      cells.push_back(digits(rng, 12));  // UPC-A
    } else if (roll < 65) {
      cells.push_back(digits(rng, 14));  // canonical GTIN-14
    } else if (roll < 72) {
      const std::string d = digits(rng, 13);
      cells.push_back(d.substr(0, 4) + "-" + d.substr(4, 4) + "-" + d.substr(8));
    } else if (roll < 77) {
      cells.push_back(" " + digits(rng, 13) + " ");
    } else if (roll < 87) {
      cells.push_back(digits(rng, 13) + ".0");  // a spreadsheet's float
    } else if (roll < 95) {
      cells.push_back("n/a " + digits(rng, 3));  // junk
    } else {
      cells.emplace_back();  // empty
    }
  }
  return cells;
}

const std::vector<std::string>& mix() {
  static const std::vector<std::string> cells = make_mix(1 << 16);
  return cells;
}

template <typename Fn>
void run_over_mix(benchmark::State& state, Fn fn) {
  const std::vector<std::string>& cells = mix();
  std::size_t i = 0;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::string& cell = cells[i];
    benchmark::DoNotOptimize(fn(cell));
    bytes += static_cast<std::int64_t>(cell.size());
    i = (i + 1) & (cells.size() - 1);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
}

void BM_parse(benchmark::State& state) {
  run_over_mix(state, [](const std::string& cell) { return tevora::parse(cell); });
}
BENCHMARK(BM_parse);

void BM_store_form(benchmark::State& state) {
  run_over_mix(state, [](const std::string& cell) { return tevora::store_form(cell); });
}
BENCHMARK(BM_store_form);

void BM_key(benchmark::State& state) {
  run_over_mix(state, [](const std::string& cell) { return tevora::key(cell); });
}
BENCHMARK(BM_key);

void BM_parse_clean_ean13(benchmark::State& state) {
  const std::string cell = "4006381333931";
  for (auto _ : state) benchmark::DoNotOptimize(tevora::parse(cell));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(cell.size()));
}
BENCHMARK(BM_parse_clean_ean13);

}  // namespace

BENCHMARK_MAIN();
