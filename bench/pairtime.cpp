// pairtime: times whole processes from outside, a command A and optionally a command B in turn
// (A B A B ...), and prints the median wall time of each and the median of the ratios A/B pair
// by pair, so a comparison holds while the machine's speed drifts.
// Usage: pairtime [-n RUNS] [--warmup N] -- A-PROGRAM ARGS... [--vs B-PROGRAM ARGS...]
// Programs are given by absolute path; their output is read and dropped.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sys/ChildProcess.h"

namespace {

using namespace vantorelle;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// Seconds the command took, or a negative value when it could not run.
double timed(const std::vector<std::string>& command)
{
    const auto start = std::chrono::steady_clock::now();
    const auto run = ChildProcess::run(command.front(), {command.begin() + 1, command.end()}, Environment::current(),
                                       ChildProcess::StandardError::discard, start + std::chrono::seconds(60));
    return run ? std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() : -1;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 20;
    int warmup = 2;
    std::vector<std::string> a;
    std::vector<std::string> b;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        const std::string option = argv[i];
        if ((option == "-n" || option == "--warmup") && i + 1 < argc) {
            (option == "-n" ? runs : warmup) = std::max(option == "-n" ? 1 : 0, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: pairtime [-n RUNS] [--warmup N] -- A ARGS... [--vs B ARGS...]\n");
            return 64;
        }
    }
    for (std::vector<std::string>* into = &a; ++i < argc;) {
        if (std::string(argv[i]) == "--vs") {
            into = &b;
        } else {
            into->push_back(argv[i]);
        }
    }
    if (a.empty()) {
        std::fprintf(stderr, "pairtime: no command\n");
        return 64;
    }
    std::vector<double> timesA;
    std::vector<double> timesB;
    std::vector<double> ratios;
    for (int run = -warmup; run < runs; ++run) {
        const double ta = timed(a);
        const double tb = b.empty() ? 0 : timed(b);
        if (ta < 0 || tb < 0) {
            std::fprintf(stderr, "pairtime: a command could not be started\n");
            return 2;
        }
        if (run >= 0) {
            timesA.push_back(ta);
            timesB.push_back(tb);
            if (!b.empty() && tb > 0) {
                ratios.push_back(ta / tb);
            }
        }
    }
    std::printf("runs %d, wall medians: A %.2f ms", runs, median(timesA) * 1000);
    if (!b.empty()) {
        std::printf(", B %.2f ms, A/B %.2f", median(timesB) * 1000, median(ratios));
    }
    std::printf(" (A min %.2f max %.2f ms)\n", *std::min_element(timesA.begin(), timesA.end()) * 1000,
                *std::max_element(timesA.begin(), timesA.end()) * 1000);
    std::printf("A=%.6f B=%s ratio=%s\n", median(timesA), b.empty() ? "-" : std::to_string(median(timesB)).c_str(),
                b.empty() ? "-" : std::to_string(median(ratios)).c_str());
    return 0;
}
