#include "workqueue.h"

#include <cstdio>
#include <cstdlib>

#include "fail.h"
#include "work.h"

// top is written only inside the critical section but read outside it by the
// loop test of other threads, so every access to it is atomic.
namespace {

int loadTop(const Q* q) {
    int top;
#pragma omp atomic read
    top = q->top;
    return top;
}

void storeTop(Q* q, int top) {
#pragma omp atomic write
    q->top = top;
}

}  // namespace

Q* initQ(int count) {
    auto* q = static_cast<Q*>(checkedAlloc(sizeof(Q), "the work stack"));
    q->items = static_cast<int*>(checkedAlloc(sizeof(int) * static_cast<std::size_t>(count), "the work stack's values"));
    q->top = -1;
    q->maxIndex = count - 1;
    return q;
}

void putWork(Q* q) {
    const int top = loadTop(q);
    if (top >= q->maxIndex) {
        std::printf("ERROR: attempt to add Q element%d\n", top + 1);
        return;
    }
    const int index = top + 1;
    // The integer division is meant: values grow in steps of 1000 slots.
    q->items[index] = static_cast<int>(static_cast<double>(index / 1000) * randomFraction());  // NOLINT(bugprone-integer-division)
    storeTop(q, index);
}

int getWork(Q* q) {
    const int top = loadTop(q);
    if (top < 0) {
        std::printf("ERROR: attempt to get work from empty Q%d\n", top);
        return -1;
    }
    const int value = q->items[top];
    storeTop(q, top - 1);
    return value;
}

bool workExists(Q* q) { return loadTop(q) >= 0; }

void freeQ(Q* q) {
    if (q == nullptr) return;
    std::free(q->items);
    std::free(q);
}

int drainQueue(Q* q, void (*taken)(int value)) {
    int popped = 0;
#pragma omp parallel reduction(+ : popped)
    {
        // The test outside the section only decides whether to try; the one
        // inside decides whether to pop, so no thread pops an empty stack.
        while (workExists(q)) {
#pragma omp critical
            {
                if (workExists(q)) {
                    const int value = getWork(q);
                    ++popped;
                    if (taken != nullptr) taken(value);
                }
            }
        }
    }
    return popped;
}
