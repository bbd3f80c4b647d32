// Fills a stack with 100,000 values and times a thread team draining it through
// a critical section: the cost of taking work one item at a time under a lock.
#include <omp.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "timing.h"
#include "workqueue.h"

int main() {
    const int threads = 1;
    const int n = 100000;

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    omp_set_num_threads(threads);

    Q* q = initQ(n);
    for (int i = 0; i < n; ++i) putWork(q);

    const std::int64_t t0 = current_timestamp();
    drainQueue(q);
    const std::int64_t t1 = current_timestamp();

    printSingleTime(t1 - t0);
    freeQ(q);
    return 0;
}
