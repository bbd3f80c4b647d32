#include "search.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "fail.h"
#include "timing.h"
#include "tree.h"

Range nominalRange(int length, int rank, int size) {
    const int chunk = length / size;
    Range r{rank * chunk, (rank + 1) * chunk - 1};
    if (rank == size - 1) r.end = length - 1;
    return r;
}

void writeTreeFile(const Node* tree, const char* path) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) fail("cannot create %s: %s", path, std::strerror(errno));
    std::printf("Printing Tree to File\n");
    // A short write must not go on to be scanned and verified as if complete.
    errno = 0;
    fprintTree(tree, file);
    std::fflush(file);
    int error = std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
    if (std::fclose(file) != 0 && error == 0) error = errno;
    if (error != 0) fail("cannot write %s completely: %s", path, std::strerror(error));
}

int fileLength(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    std::fseek(file, 0, SEEK_END);
    const long length = std::ftell(file);
    std::fclose(file);
    if (length > INT_MAX) fail("%s holds %ld bytes, more than this program can address", path, length);
    return static_cast<int>(length);
}

int countWholeFile(const char* path, int length, int low, int high) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) fail("cannot open %s: %s", path, std::strerror(errno));
    // rank 0 keeps byte 0 as the start; size 0 never equals rank + 1, so the end
    // is aligned down to the file's last delimiter.
    const int count = scanSubFile(file, low, high, 0, length, 0, 0);
    std::fclose(file);
    return count;
}

bool printVerdict(int sequentialCount, int total, std::int64_t parallelMs, std::int64_t sequentialMs,
                  int processes, std::FILE* out) {
    const bool valid = sequentialCount == total;
    std::fprintf(out, valid ? "Solution: Valid\n" : "Solution: Invalid\n");
    std::fprintf(out, "Sequential Matches: %d\n", sequentialCount);
    std::fprintf(out, "Parallel Matches:   %d\n", total);
    if (valid) {
        printComparison(parallelMs, sequentialMs, out);
        std::fprintf(out, "Threads: %d\n", processes);
    }
    return valid;
}
