// Simulated work items: each item is a duration in whole milliseconds, and
// performing it means sleeping that long.
#pragma once

#include <cstdlib>

// A draw of rand() as a fraction from 0 to 1. RAND_MAX is 2147483647 on the
// supported platforms, and the programs divide by that literal, as they always have.
inline double randomFraction() { return static_cast<double>(std::rand()) / 2147483647.0; }

// A new heap array of `count` items; item i is a random duration from 0 to i + 10 ms.
// Draws exactly one rand() per item, in index order. Not thread-safe (rand()).
int* initWork(int count);

// Blocks the calling thread for about `ms` milliseconds.
void doWork(int ms);

// The programs free their items, and their stack, although exit would:
// leak checkers then see a clean run.
void freeWork(int* items);
