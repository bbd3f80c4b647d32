#include "schedule.h"

#include <omp.h>

#include "work.h"

void runItem(const int* items, int index) { doWork(items[index]); }

void splitRun(const int* items, int n, ItemRunner run) {
    const int blocks = 4;
    const int q = n / blocks;
#pragma omp parallel
    {
        const int tid = omp_get_thread_num();
        const int team = omp_get_num_threads();
        // A smaller team than requested takes over the missing threads' blocks,
        // so the parallel phase does the same work as the sequential one.
        for (int block = tid; block < blocks; block += team) {
            const int first = block * q;
            const int last = block == blocks - 1 ? n : first + q;
            for (int i = first; i < last; ++i) run(items, i);
        }
    }
}

void dynamicRun(const int* items, int n, ItemRunner run) {
#pragma omp parallel
    {
        // nowait: a thread that finds nothing left goes straight to the region's end.
#pragma omp for schedule(dynamic, 1) nowait
        for (int i = 0; i < n; ++i) run(items, i);
    }
}
