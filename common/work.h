// Simulated work items: each item is a duration in whole milliseconds, and
// performing it means sleeping that long.
#pragma once

// A new heap array of `count` items; item i is a random duration from 0 to i + 10 ms.
// Draws exactly one rand() per item, in index order. Not thread-safe (rand()).
int* initWork(int count);

// Blocks the calling thread for about `ms` milliseconds.
void doWork(int ms);
