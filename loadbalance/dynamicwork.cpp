// The 400 work items handed to the runtime's default thread team one at a time.
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "schedule.h"
#include "timing.h"
#include "work.h"

int main() {
    const int n = 400;

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    int* items = initWork(n);

    const std::int64_t t0 = current_timestamp();
    dynamicRun(items, n);
    const std::int64_t t1 = current_timestamp();

    printSingleTime(t1 - t0);
    freeWork(items);
    return 0;
}
