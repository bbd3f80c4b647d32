// Sums 10,000,000 random values with a team of 4 threads and a reduction, then
// again on one thread, and checks that both sums agree.
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "fail.h"
#include "sum.h"
#include "timing.h"

int main() {
    const int cores = 4;
    const int n = 10000000;

    omp_set_dynamic(0);
    omp_set_num_threads(cores);
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    auto* items = static_cast<int*>(checkedAlloc(sizeof(int) * n, "the array of values"));
    for (int i = 0; i < n; ++i) items[i] = std::rand() % 100;

    std::puts("Starting Parallel Operation");
    std::int64_t t0 = current_timestamp();
    const double t = parallelSum(items, n, cores);
    std::int64_t t1 = current_timestamp();
    const std::int64_t parallelMs = t1 - t0;
    std::puts("Sum Completed");
    std::puts("Generating Solution for Verification");

    t0 = current_timestamp();
    const double sum = sequentialSum(items, n);
    t1 = current_timestamp();
    const std::int64_t sequentialMs = t1 - t0;

    const bool valid = printSumVerdict(t, sum, parallelMs, sequentialMs, cores);
    std::free(items);
    return valid ? 0 : 2;
}
