#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture.h"
#include "search.h"
#include "tree.h"

namespace {

// A file-backed stream holding `text`, as the scanner reads it in the program.
struct TextFile {
    explicit TextFile(const std::string& text) : stream(std::tmpfile()) {
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
    }
    ~TextFile() { std::fclose(stream); }
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    std::FILE* stream;
};

// Independent of the scanner: split on the delimiters and count in range.
int referenceCount(const std::string& text, int low, int high) {
    int count = 0;
    std::string token;
    for (char c : text + " ") {
        if (c == '(' || c == ')' || c == ' ') {
            if (!token.empty()) {
                const long v = std::strtol(token.c_str(), nullptr, 10);
                if (low <= v && v <= high) ++count;
            }
            token.clear();
        } else {
            token += c;
        }
    }
    return count;
}

int partitionedCount(std::FILE* f, int length, int size, int low, int high) {
    int total = 0;
    for (int rank = 0; rank < size; ++rank) {
        const Range r = nominalRange(length, rank, size);
        total += scanSubFile(f, low, high, r.start, r.end, rank, size);
    }
    return total;
}

int wholeFileCount(std::FILE* f, int length, int low, int high) {
    return scanSubFile(f, low, high, 0, length, 0, 0);
}

std::string randomTreeText(unsigned seed, int depth) {
    std::srand(seed);
    Node* tree = generateTree(nullptr, depth);
    std::string text = captureStream([&](std::FILE* f) { fprintTree(tree, f); });
    freeTree(tree);
    return text;
}

// Two ranges of one file split at byte `split`, as processes 0 and 1 of 2 see them.
std::pair<int, int> countsAroundSplit(const std::string& text, int split) {
    TextFile file(text);
    const int len = static_cast<int>(text.size());
    return {scanSubFile(file.stream, 0, 99, 0, split - 1, 0, 2),
            scanSubFile(file.stream, 0, 99, split, len - 1, 1, 2)};
}

TEST(ScannerPartition, EveryProcessCountGivesTheWholeFileCount) {
    for (int depth : {1, 2, 4}) {
        const std::string text = randomTreeText(100 + depth, depth);
        const int len = static_cast<int>(text.size());
        TextFile file(text);
        const int expected = referenceCount(text, 0, 10);
        ASSERT_EQ(wholeFileCount(file.stream, len, 0, 10), expected) << text;
        // Up to and past one process per byte, where most ranges are empty.
        for (int size = 1; size <= len + 3; ++size)
            ASSERT_EQ(partitionedCount(file.stream, len, size, 0, 10), expected)
                << "depth " << depth << ", " << size << " processes";
    }
}

TEST(ScannerPartition, HandMadeFilesWithValuesAtTheBoundsAndWideNumbers) {
    const std::string files[] = {
        "10 (0 () ()) (11 () ())",
        "0 (10 (10 () ()) ()) (9 () (1 () ()))",
        "5",  // no delimiter at all: nothing is counted by anyone
        "7 (3 () ()) (42 () ())",
        "10 (100 () ()) (1000 () ())",
    };
    for (const std::string& text : files) {
        const int len = static_cast<int>(text.size());
        TextFile file(text);
        const int expected = referenceCount(text.substr(0, text.find_last_of("() ") + 1), 0, 10);
        EXPECT_EQ(wholeFileCount(file.stream, len, 0, 10), expected) << text;
        for (int size = 1; size <= len + 2; ++size)
            EXPECT_EQ(partitionedCount(file.stream, len, size, 0, 10), expected) << text << " / " << size;
    }
}

TEST(ScannerBounds, ValuesEqualToLowOrHighAreCounted) {
    TextFile file("10 (0 () ()) (11 () ())");
    EXPECT_EQ(scanSubFile(file.stream, 0, 10, 0, 22, 0, 1), 2);
    EXPECT_EQ(scanSubFile(file.stream, 10, 11, 0, 22, 0, 1), 2);
    EXPECT_EQ(scanSubFile(file.stream, 11, 11, 0, 22, 0, 1), 1);
    EXPECT_EQ(scanSubFile(file.stream, 1, 9, 0, 22, 0, 1), 0);
}

TEST(ScannerAlignment, ANumberCutByARangeStartIsCountedOnce) {
    const std::string text = "12 (34 () ()) (56 () ())";
    const int three = static_cast<int>(text.find('3'));
    // Start inside the number: the range that starts there counts it.
    EXPECT_EQ(countsAroundSplit(text, three + 1), std::make_pair(1, 2));
    // Start on its first digit: the range that starts there counts it.
    EXPECT_EQ(countsAroundSplit(text, three), std::make_pair(1, 2));
    // Start on the blank right after it: the range before counts it.
    EXPECT_EQ(countsAroundSplit(text, three + 2), std::make_pair(2, 1));
    // A start before offset 2 has no delimiter behind it: the file's start is the boundary.
    EXPECT_EQ(countsAroundSplit(text, 1), std::make_pair(0, 3));
}

TEST(ScannerRobustness, ATokenLongerThanTheBufferIsSkippedAndNothingElseChanges) {
    // Cut to four characters, "000005" would read as 0 and be counted.
    const std::string text = "000005 (3 () ()) (123456789012345678901234567890 () ())";
    TextFile file(text);
    const int len = static_cast<int>(text.size());
    EXPECT_EQ(wholeFileCount(file.stream, len, 0, 10), 1);
    for (int size = 1; size <= len; ++size) EXPECT_EQ(partitionedCount(file.stream, len, size, 0, 10), 1);
}

TEST(ScannerRobustness, AnEndPastTheFileStopsAtTheEndOfTheFile) {
    const std::string text = "1 (2 () ()) (3 () ())";
    TextFile file(text);
    EXPECT_EQ(scanSubFile(file.stream, 0, 10, 0, 1000, 0, 1), 3);
}

TEST(ScannerRobustness, WorksFromAnyStreamPosition) {
    const std::string text = "1 (2 () ()) (3 () ())";
    TextFile file(text);
    std::fseek(file.stream, 0, SEEK_END);
    EXPECT_EQ(scanSubFile(file.stream, 0, 10, 0, 20, 0, 1), 3);
    std::fgetc(file.stream);
    EXPECT_EQ(scanSubFile(file.stream, 0, 10, 3, 20, 1, 2), 2);
}

TEST(NominalRanges, AreContiguousAndCoverTheFile) {
    for (int length : {1, 7, 1000, 33554431}) {
        for (int size = 1; size <= 9; ++size) {
            int next = 0;
            for (int rank = 0; rank < size; ++rank) {
                const Range r = nominalRange(length, rank, size);
                EXPECT_EQ(r.start, next);
                next = r.end + 1;
            }
            EXPECT_EQ(next, length) << length << " bytes, " << size << " processes";
        }
    }
}

}  // namespace
