// What the preloaded libraries record (openmp.cpp or libomp.cpp with sleep.cpp,
// mpi.cpp), and how it leaves the process.
//
// Events go to one preallocated array, each claimed by an atomic increment,
// so recording neither allocates nor locks; the array is written out once,
// when the process exits, to one file in the folder that PARBENCH_TRACE
// names. Without that variable nothing is kept.
//
// The file is plain text, one event a line, times in nanoseconds of the
// real-time clock so that processes on one host share a time line:
//
//     host NAME / pid N / rank R            who wrote it (rank: MPI only)
//     span START END                        a parallel region, on the thread that opened it
//     region TID START END                  thread TID's share of that region
//     work TID START END MICROSECONDS       a sleep inside a region, and what it asked for
//     call NAME START END                   an MPI collective
//     lost N                                events that did not fit
#pragma once

#include <cstdint>

namespace parbench_trace {

enum class Kind { Span, Region, Work, Call };

struct Event {
    Kind kind;
    int thread;         // OpenMP thread number, -1 where none
    std::int64_t start; // ns
    std::int64_t end;   // ns
    std::int64_t asked; // Work: the microseconds asked for
    const char* name;   // Call: the MPI function
};

bool enabled();
std::int64_t now();
void record(const Event& event);
void setRank(int rank);

}  // namespace parbench_trace
