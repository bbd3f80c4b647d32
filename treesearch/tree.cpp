#include "tree.h"

#include <cstdlib>
#include <cstring>

#include "fail.h"

int getValue() { return std::rand() % 100; }

Node* newNode() {
    auto* node = static_cast<Node*>(checkedAlloc(sizeof(Node), "a tree node"));
    node->value = getValue();
    node->left = nullptr;
    node->right = nullptr;
    return node;
}

Node* generateTree(Node* tree, int depth) {
    if (depth <= 0) return nullptr;
    if (tree == nullptr) tree = newNode();
    // Both children are drawn before either subtree grows; the order of draws
    // fixes which tree a seed gives.
    Node* left = newNode();
    Node* right = newNode();
    tree->left = left;
    tree->right = right;
    generateTree(left, depth - 1);
    generateTree(right, depth - 1);
    return tree;
}

void freeTree(Node* tree) {
    if (tree == nullptr) return;
    freeTree(tree->left);
    freeTree(tree->right);
    std::free(tree);
}

namespace {

// The tree file has tens of millions of tiny tokens; formatting them into one
// large buffer instead of one fprintf each makes writing several times faster.
struct TextSink {
    std::FILE* stream;
    std::size_t used;
    char buffer[1 << 16];
};

void flushSink(TextSink& sink) {
    if (sink.used > 0) std::fwrite(sink.buffer, 1, sink.used, sink.stream);
    sink.used = 0;
}

void put(TextSink& sink, const char* text, std::size_t n) {
    if (sink.used + n > sizeof sink.buffer) flushSink(sink);
    std::memcpy(sink.buffer + sink.used, text, n);
    sink.used += n;
}

void putValue(TextSink& sink, int value) {
    char text[16];
    std::size_t n;
    if (value >= 0 && value < 10) {
        text[0] = static_cast<char>('0' + value);
        text[1] = ' ';
        n = 2;
    } else if (value >= 10 && value < 100) {
        text[0] = static_cast<char>('0' + value / 10);
        text[1] = static_cast<char>('0' + value % 10);
        text[2] = ' ';
        n = 3;
    } else {
        n = static_cast<std::size_t>(std::snprintf(text, sizeof text, "%d ", value));
    }
    put(sink, text, n);
}

void writeNode(TextSink& sink, const Node* node) {
    putValue(sink, node->value);
    if (node->left != nullptr) {
        put(sink, "(", 1);
        writeNode(sink, node->left);
        put(sink, ") ", 2);
    } else {
        put(sink, "() ", 3);
    }
    if (node->right != nullptr) {
        put(sink, "(", 1);
        writeNode(sink, node->right);
        put(sink, ")", 1);
    } else {
        put(sink, "()", 2);
    }
}

}  // namespace

void fprintTree(const Node* tree, std::FILE* stream) {
    if (tree == nullptr) return;
    auto* sink = static_cast<TextSink*>(checkedAlloc(sizeof(TextSink), "the tree writer's buffer"));
    sink->stream = stream;
    sink->used = 0;
    writeNode(*sink, tree);
    flushSink(*sink);
    std::free(sink);
}

void printTree(const Node* tree) { fprintTree(tree, stdout); }

bool isDelimiter(int c) { return c == '(' || c == ')' || c == ' '; }

namespace {

// The last delimiter at or before `offset`, or -1 (the boundary before the
// first byte) when there is none. Reads past the end of the file find no
// delimiter and step back.
int alignDown(std::FILE* stream, int offset) {
    while (offset >= 0) {
        std::fseek(stream, offset, SEEK_SET);
        if (isDelimiter(std::fgetc(stream))) return offset;
        --offset;
    }
    return -1;
}

}  // namespace

int scanSubFile(std::FILE* stream, int low, int high, int start, int end, int rank, int size) {
    if (rank != 0) start = alignDown(stream, start);
    if (size != rank + 1) end = alignDown(stream, end + 1);

    // Room for four characters: more than any value in a tree file needs.
    char token[5];
    int length = 0;
    bool tooLong = false;
    int count = 0;

    // The position is asked for before every byte on purpose: the per-byte
    // cost of the stream calls is part of what this benchmark measures.
    std::fseek(stream, start < 0 ? 0 : start, SEEK_SET);
    while (std::ftell(stream) <= end) {
        const int c = std::fgetc(stream);
        if (c == EOF) break;
        if (isDelimiter(c)) {
            if (length > 0 && !tooLong) {
                token[length] = '\0';
                const int v = std::atoi(token);
                if (low <= v && v <= high) ++count;
            }
            length = 0;
            tooLong = false;
        } else if (length < 4) {
            token[length++] = static_cast<char>(c);
        } else {
            tooLong = true;
        }
    }
    return count;
}
