// Wall-clock readings and the fixed time and speed-up lines every program prints.
#pragma once

#include <cstdint>
#include <cstdio>

// Milliseconds since the Unix epoch, from the wall clock.
std::int64_t current_timestamp();

// An interval in seconds, rounded through single precision as the reports expect.
double intervalSeconds(std::int64_t ms);

// 100 * sequential / parallel in single precision; inf or nan when parallel is 0.
double speedupPercent(std::int64_t sequentialMs, std::int64_t parallelMs);

void printParallelTime(std::int64_t ms, std::FILE* out = stdout);
void printSequentialTime(std::int64_t ms, std::FILE* out = stdout);
void printSpeedup(std::int64_t sequentialMs, std::int64_t parallelMs, std::FILE* out = stdout);
void printSingleTime(std::int64_t ms, std::FILE* out = stdout);

// The parallel-time, sequential-time and speed-up lines, in that order.
void printComparison(std::int64_t parallelMs, std::int64_t sequentialMs, std::FILE* out = stdout);
