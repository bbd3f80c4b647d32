// The random binary tree, its text form, and the byte-range scanner that counts
// values in that text.
//
// Text form of a node: "%d " with the value, then "(" left ") " or "() ", then
// "(" right ")" or "()". No newlines; the delimiters are '(', ')' and ' ', so any
// byte range can be cut back to token boundaries.
#pragma once

#include <cstdio>

struct Node {
    int value;
    Node* left;
    Node* right;
};

// A random value from 0 to 99.
int getValue();

// A new childless node with a random value.
Node* newNode();

// Grows a perfect tree of depth + 1 levels below `tree` (a new root when null) and
// returns its root; returns null, leaving `tree` alone, when depth <= 0.
// Random values are drawn root first, then both children of a node before either
// subtree, subtrees depth-first and left before right.
Node* generateTree(Node* tree, int depth);

void freeTree(Node* tree);

// Writes the text form of `tree` to `stream`; nothing for null. Write errors are
// left on the stream for the caller to find with ferror/fclose.
void fprintTree(const Node* tree, std::FILE* stream);
void printTree(const Node* tree);

bool isDelimiter(int c);

// Counts the values low <= v <= high among the tokens between `start` and `end`
// (byte offsets, inclusive). The start is moved back to the nearest delimiter
// unless rank is 0, and the end back to the nearest delimiter at or before
// end + 1 unless size is rank + 1, so that adjacent ranges of the same file count
// every value exactly once. The position before the first byte counts as a
// delimiter, so ranges starting below offset 2 still partition the file.
// A token too long for any value (more than 4 characters) is never counted.
int scanSubFile(std::FILE* stream, int low, int high, int start, int end, int rank, int size);
