#include "timing.h"

#include <sys/time.h>

std::int64_t current_timestamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<std::int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// Single precision on purpose: the published reports were produced that way, and
// intervals above 2^24 ms therefore print rounded (16777217 ms -> 16777.216797).
double intervalSeconds(std::int64_t ms) {
    return static_cast<double>(static_cast<float>(ms) / 1000.0f);
}

double speedupPercent(std::int64_t sequentialMs, std::int64_t parallelMs) {
    const float scaled = 100.0f * static_cast<float>(sequentialMs);
    return static_cast<double>(scaled / static_cast<float>(parallelMs));
}

void printParallelTime(std::int64_t ms, std::FILE* out) {
    std::fprintf(out, "Parallel:   %f s\n", intervalSeconds(ms));
}

void printSequentialTime(std::int64_t ms, std::FILE* out) {
    std::fprintf(out, "Sequential: %f s\n", intervalSeconds(ms));
}

void printSpeedup(std::int64_t sequentialMs, std::int64_t parallelMs, std::FILE* out) {
    std::fprintf(out, "Speedup: %.2f %%\n", speedupPercent(sequentialMs, parallelMs));
}

void printSingleTime(std::int64_t ms, std::FILE* out) {
    std::fprintf(out, "Time:   %f s\n", intervalSeconds(ms));
}

void printComparison(std::int64_t parallelMs, std::int64_t sequentialMs, std::FILE* out) {
    printParallelTime(parallelMs, out);
    printSequentialTime(sequentialMs, out);
    printSpeedup(sequentialMs, parallelMs, out);
}
