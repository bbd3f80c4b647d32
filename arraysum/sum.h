// The parallel and the sequential sum of an int array, and the verdict block.
#pragma once

#include <cstdint>
#include <cstdio>

// Sums items[0..n) with a team of `threads` threads, each summing one contiguous
// block (static schedule); the partial sums are combined by the loop's + reduction.
double parallelSum(const int* items, int n, int threads);

double sequentialSum(const int* items, int n);

// Prints the verification block and the times; returns whether the sums agree.
// `cores` is the team size that was requested, not the one granted.
bool printSumVerdict(double parallel, double sequential, std::int64_t parallelMs, std::int64_t sequentialMs,
                     int cores, std::FILE* out = stdout);
