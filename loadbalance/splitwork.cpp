// 400 sleeping work items of growing length, split into four fixed quarters
// among 4 threads, then run again on the main thread.
#include <omp.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "schedule.h"
#include "timing.h"
#include "work.h"

int main() {
    const int n = 400;
    const int threads = 4;

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    int* items = initWork(n);

    std::int64_t t0 = current_timestamp();
    omp_set_num_threads(threads);
    splitRun(items, n);
    std::int64_t t1 = current_timestamp();
    const std::int64_t parallelMs = t1 - t0;

    t0 = current_timestamp();
    for (int i = 0; i < n; ++i) doWork(items[i]);
    t1 = current_timestamp();
    const std::int64_t sequentialMs = t1 - t0;

    printComparison(parallelMs, sequentialMs);
    freeWork(items);
    return 0;
}
