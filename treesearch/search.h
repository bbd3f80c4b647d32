// The pieces of the tree search driver that do not need MPI.
#pragma once

#include <cstdint>
#include <cstdio>

struct Range {
    int start;
    int end;
};

// The nominal byte range of `rank` among `size` processes for a file of
// `length` bytes: equal chunks, the last process also taking the remainder.
Range nominalRange(int length, int rank, int size);

// Writes the tree file and ends the program with a message if it could not be
// written completely.
struct Node;
void writeTreeFile(const Node* tree, const char* path);

// Length in bytes of the file at `path`, or -1 (with errno set) when it cannot be
// opened or measured. Ends the program if the file is too large for int offsets.
int fileLength(const char* path);

// The whole-file count the parallel one is checked against.
int countWholeFile(const char* path, int length, int low, int high);

// Prints the verification block; returns whether the counts agree.
bool printVerdict(int sequentialCount, int total, std::int64_t parallelMs, std::int64_t sequentialMs,
                  int processes, std::FILE* out = stdout);
