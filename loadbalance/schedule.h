// Two ways of sharing a list of work items among the current thread team. The
// team is what the runtime gives a parallel region without a size clause, so
// a caller sets it with omp_set_num_threads beforehand (or leaves the default).
#pragma once

// Performs item `index` of `items`; tests pass one that records what ran.
using ItemRunner = void (*)(const int* items, int index);

// Sleeps for the item's duration.
void runItem(const int* items, int index);

// Splits the list into 4 fixed blocks of n / 4 items (the last also takes the
// remainder). Thread tid runs blocks tid, tid + T, ... for a team of T, each in
// ascending order, so every block runs exactly once whatever the team size;
// with a team of 4, thread k runs block k.
void splitRun(const int* items, int n, ItemRunner run = runItem);

// Hands the indices out one at a time, from 0 upward, to whichever thread is
// free next; every index runs exactly once.
void dynamicRun(const int* items, int n, ItemRunner run = runItem);
