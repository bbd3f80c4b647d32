// Counts the values from 0 to 10 in a large random tree file, every MPI process
// scanning its own byte range, and checks the total against a whole-file count.
#include <mpi.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fail.h"
#include "search.h"
#include "timing.h"
#include "tree.h"

namespace {

// A process that cannot go on must not leave the others waiting in a collective.
// The pause first lets the launcher forward the message just written: MPICH's
// Hydra tears the job down on MPI_Abort and drops output still in flight.
void abortAll(int status) {
    usleep(200000);
    MPI_Abort(MPI_COMM_WORLD, status);
}

std::FILE* openForScan(const char* path, int rank, int expectedLength) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        fail("process %d cannot open %s: %s; all processes need the same working directory "
             "on a shared file system", rank, path, std::strerror(errno));
    // A file of another length is not the one the root wrote: most likely an old
    // copy in a working directory that is not shared.
    if (rank != 0) {
        std::fseek(file, 0, SEEK_END);
        const long length = std::ftell(file);
        if (length != expectedLength)
            fail("process %d sees %s with %ld bytes, the root wrote %d; all processes need the "
                 "same working directory on a shared file system", rank, path, length, expectedLength);
    }
    return file;
}

// This process's part of the parallel count; prints its row of the table.
int countOwnRange(const char* path, int low, int high, int length, int rank, int size) {
    const Range range = nominalRange(length, rank, size);
    std::FILE* file = openForScan(path, rank, length);
    const int count = scanSubFile(file, low, high, range.start, range.end, rank, size);
    std::fclose(file);
    std::printf("P %d | %d - %d | %d\n", rank, range.start, range.end, count);
    std::fflush(stdout);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const int depth = 21;
    const int low = 0;
    const int high = 10;
    const char* const fileName = "binary_tree.txt";

    int size = 0;
    int rank = 0;
    MPI_Init(&argc, &argv);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    setFailHandler(abortAll);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    int total = 0;
    int length = 0;
    int exitStatus = 0;

    if (rank == 0) {
        for (int i = 0; i < 3; ++i)
            std::printf("/////////////////////////////////////////////////////////////////\n");
        std::printf("Generating Tree\n");
        Node* tree = generateTree(nullptr, depth);
        writeTreeFile(tree, fileName);

        std::printf("Starting Parallel Operation\n");
        std::int64_t t0 = current_timestamp();
        length = fileLength(fileName);
        if (length < 0) fail("cannot open %s: %s", fileName, std::strerror(errno));
        std::printf("Characters: %d\n", length);
        std::printf("P # | Start - End | Matches\n");
        // Sent only once the file is closed: it also tells the workers the file is complete.
        MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);

        const int count = countOwnRange(fileName, low, high, length, rank, size);
        MPI_Reduce(&count, &total, 1, MPI_INT, MPI_SUM, 0, MPI_COMM_WORLD);
        std::printf("Total Matches: %d\n", total);
        std::int64_t t1 = current_timestamp();
        const std::int64_t parallelMs = t1 - t0;
        std::printf("Search Completed\n");

        std::printf("Generating Solution for Verification\n");
        t0 = current_timestamp();
        const int sequentialCount = countWholeFile(fileName, length, low, high);
        t1 = current_timestamp();
        const std::int64_t sequentialMs = t1 - t0;

        std::printf("Verifying Solution\n\n");
        std::printf("Results:\n");
        if (!printVerdict(sequentialCount, total, parallelMs, sequentialMs, size)) exitStatus = 2;
        freeTree(tree);
    } else {
        MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
        const int count = countOwnRange(fileName, low, high, length, rank, size);
        MPI_Reduce(&count, &total, 1, MPI_INT, MPI_SUM, 0, MPI_COMM_WORLD);
    }

    MPI_Finalize();
    return exitStatus;
}
