// LineDiff::diff on review-sized inputs: two 2,000-line files with scattered changes (a nearly full
// table after trimming), and two 3,000-line files that differ everywhere (over the size limit).
#include <benchmark/benchmark.h>
#include <random>
#include <string>

#include "setup/LineDiff.h"

namespace {

std::pair<std::string, std::string> scatteredChanges()
{
    std::mt19937 rng(2000);
    std::string before;
    std::string after;
    for (int k = 0; k < 2000; ++k) {
        const std::string line
            = "Host server-" + std::to_string(k) + "  # IdentityFile ~/.ssh/id_" + std::to_string(k % 7);
        before += line + "\n";
        // The first and last changes sit near both ends, so trimming leaves almost everything.
        const bool edge = k == 5 || k == 1994;
        switch (edge ? 0 : rng() % 40) {
        case 0: // changed
            after += line + " changed\n";
            break;
        case 1: // removed
            break;
        case 2: // inserted before
            after += "  User inserted-" + std::to_string(k) + "\n" + line + "\n";
            break;
        default:
            after += line + "\n";
        }
    }
    return {before, after};
}

void BM_DiffScattered2000(benchmark::State& state)
{
    const auto [before, after] = scatteredChanges();
    std::size_t lines = 0;
    for (auto _ : state) {
        const auto diff = vantorelle::LineDiff::diff(before, after);
        lines = diff.size();
        benchmark::DoNotOptimize(diff.data());
    }
    state.counters["diffLines"] = static_cast<double>(lines);
}
BENCHMARK(BM_DiffScattered2000)->Unit(benchmark::kMillisecond);

void BM_DiffAllDifferent3000(benchmark::State& state)
{
    std::string before;
    std::string after;
    for (int k = 0; k < 3000; ++k) {
        before += "old line " + std::to_string(k) + "\n";
        after += "new line " + std::to_string(k) + "\n";
    }
    for (auto _ : state) {
        const auto diff = vantorelle::LineDiff::diff(before, after);
        benchmark::DoNotOptimize(diff.data());
    }
}
BENCHMARK(BM_DiffAllDifferent3000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
