// Core throughput on a deterministic, realistic mix of catalogue cells.
// Each iteration reads one cell, so the reported time is the time per cell.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tevora/tevora.hpp"

namespace {

std::string digits(std::mt19937_64& rng, std::size_t n) {
  std::string out(n, '0');
  for (char& c : out) c = static_cast<char>('0' + rng() % 10);
  return out;
}

// The cells as the extension hands them to the core, for the same mix as the
// Python benchmark (python/bench/compare.py), per 100 cells: 45 clean 13-digit
// (5 of them from ints), 15 12-digit, 8 canonical 14-digit, 3 dashed, 3
// spaced, 12 float texts ending in ".0", 5 junk, 4 too short and 5 empty.
std::vector<std::string> make_mix(std::size_t count) {
  std::mt19937_64 rng(42);
  std::vector<std::string> cells;
  cells.reserve(count);
  while (cells.size() < count) {
    const unsigned roll = static_cast<unsigned>(rng() % 100);
    const std::string d = digits(rng, 13);
    if (roll < 45) {
      cells.push_back(d);
    } else if (roll < 60) {
      cells.push_back(d.substr(1));
    } else if (roll < 68) {
      cells.push_back("1" + d);
    } else if (roll < 71) {
      cells.push_back(d.substr(0, 4) + "-" + d.substr(4, 4) + "-" + d.substr(8));
    } else if (roll < 74) {
      cells.push_back(" " + d + " ");
    } else if (roll < 86) {
      cells.push_back(d + ".0");
    } else if (roll < 91) {
      cells.emplace_back("n/a");
    } else if (roll < 95) {
      cells.push_back(d.substr(0, 5));
    } else {
      cells.emplace_back();
    }
  }
  return cells;
}

// The cells back to back in one buffer, as the extension hands a column to
// the core: 16,384 of them, too many for the branch predictor to learn.
struct Column {
  std::string bytes;
  std::vector<std::string_view> cells;
};

const Column& mix() {
  static const Column column = [] {
    Column c;
    const std::vector<std::string> cells = make_mix(1 << 14);
    for (const std::string& cell : cells) c.bytes += cell;
    std::size_t offset = 0;
    for (const std::string& cell : cells) {
      c.cells.emplace_back(c.bytes.data() + offset, cell.size());
      offset += cell.size();
    }
    return c;
  }();
  return column;
}

template <typename Fn>
void run_over_mix(benchmark::State& state, Fn fn) {
  const std::vector<std::string_view>& cells = mix().cells;
  std::size_t i = 0;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::string_view cell = cells[i];
    benchmark::DoNotOptimize(fn(cell));
    bytes += static_cast<std::int64_t>(cell.size());
    i = (i + 1) & (cells.size() - 1);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
}

void BM_parse(benchmark::State& state) {
  run_over_mix(state, [](std::string_view cell) { return tevora::parse(cell); });
}
BENCHMARK(BM_parse);

void BM_store_form(benchmark::State& state) {
  run_over_mix(state, [](std::string_view cell) { return tevora::store_form(cell); });
}
BENCHMARK(BM_store_form);

void BM_key(benchmark::State& state) {
  run_over_mix(state, [](std::string_view cell) { return tevora::key(cell); });
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
