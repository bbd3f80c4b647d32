// Preloaded into an MPI program: its two collectives, timed through the
// profiling interface. A process's scan lies between the broadcast's return
// and the reduction's entry; the time inside the two is its waiting.
#include <mpi.h>

#include "record.h"

using namespace parbench_trace;

namespace {

// Ranks are known only after MPI_Init; the first collective asks once.
void noteRank() {
    static bool known = false;
    if (known) return;
    int rank = -1;
    PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
    setRank(rank);
    known = true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int MPI_Bcast(void* buffer, int count, MPI_Datatype type, int root,
                                                     MPI_Comm comm) {
    if (!enabled()) return PMPI_Bcast(buffer, count, type, root, comm);
    noteRank();
    const std::int64_t start = now();
    const int result = PMPI_Bcast(buffer, count, type, root, comm);
    record({Kind::Call, -1, start, now(), 0, "MPI_Bcast"});
    return result;
}

__attribute__((visibility("default"))) int MPI_Reduce(const void* in, void* out, int count, MPI_Datatype type,
                                                      MPI_Op op, int root, MPI_Comm comm) {
    if (!enabled()) return PMPI_Reduce(in, out, count, type, op, root, comm);
    noteRank();
    const std::int64_t start = now();
    const int result = PMPI_Reduce(in, out, count, type, op, root, comm);
    record({Kind::Call, -1, start, now(), 0, "MPI_Reduce"});
    return result;
}

}  // extern "C"
