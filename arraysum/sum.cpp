#include "sum.h"

#include "timing.h"

double parallelSum(const int* items, int n, int threads) {
    double t = 0.0;
#pragma omp parallel for schedule(static) reduction(+ : t) num_threads(threads)
    for (int i = 0; i < n; ++i) t += static_cast<double>(items[i]);
    return t;
}

double sequentialSum(const int* items, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += items[i];
    return sum;
}

bool printSumVerdict(double parallel, double sequential, std::int64_t parallelMs, std::int64_t sequentialMs,
                     int cores, std::FILE* out) {
    // The values are whole numbers far below 2^53, so the order of additions
    // cannot change the sum: anything but exact equality is a fault.
    const bool valid = sequential == parallel;
    std::fputs("Verifying Solution\n\n", out);
    if (valid) {
        std::fputs("Solution Valid\n\n", out);
        printComparison(parallelMs, sequentialMs, out);
        std::fprintf(out, "Cores: %d\n", cores);
    } else {
        std::fputs("Solution Invalid\n\n", out);
        std::fprintf(out, "t:   %f\n", parallel);
        std::fprintf(out, "sum: %f\n", sequential);
    }
    return valid;
}
