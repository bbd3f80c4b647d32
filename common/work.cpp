#include "work.h"

#include <cstdlib>
#include <unistd.h>

#include "fail.h"

int* initWork(int count) {
    auto* items = static_cast<int*>(checkedAlloc(sizeof(int) * static_cast<std::size_t>(count), "the work items"));
    for (int i = 0; i < count; ++i) {
        items[i] = static_cast<int>(static_cast<double>(i + 10) * randomFraction());
    }
    return items;
}

void doWork(int ms) {
    usleep(static_cast<useconds_t>(ms * 1000));
}

void freeWork(int* items) {
    std::free(items);
}
