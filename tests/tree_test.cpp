#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture.h"
#include "tree.h"

namespace {

std::string treeText(const Node* tree) {
    return captureStream([&](std::FILE* f) { fprintTree(tree, f); });
}

// One fprintf per token: the plain form of the writer, to hold the fast one to.
void plainWrite(const Node* node, std::FILE* f) {
    if (node == nullptr) return;
    std::fprintf(f, "%d ", node->value);
    if (node->left != nullptr) {
        std::fprintf(f, "(");
        plainWrite(node->left, f);
        std::fprintf(f, ") ");
    } else {
        std::fprintf(f, "() ");
    }
    if (node->right != nullptr) {
        std::fprintf(f, "(");
        plainWrite(node->right, f);
        std::fprintf(f, ")");
    } else {
        std::fprintf(f, "()");
    }
}

void growTreeWithin(rlim_t bytes) {
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    generateTree(nullptr, 30);
}

Node leaf(int value) { return Node{value, nullptr, nullptr}; }

TEST(TreeShape, DepthZeroGrowsNothingAndLeavesAGivenNodeAlone) {
    EXPECT_EQ(generateTree(nullptr, 0), nullptr);
    EXPECT_EQ(generateTree(nullptr, -3), nullptr);
    Node given = leaf(5);
    EXPECT_EQ(generateTree(&given, 0), nullptr);
    EXPECT_EQ(given.value, 5);
    EXPECT_EQ(given.left, nullptr);
    EXPECT_EQ(treeText(nullptr), "");
}

TEST(TreeShape, DepthOneIsARootWithTwoLeaves) {
    std::srand(7);
    Node* root = generateTree(nullptr, 1);
    ASSERT_NE(root, nullptr);
    ASSERT_NE(root->left, nullptr);
    ASSERT_NE(root->right, nullptr);
    EXPECT_EQ(root->left->left, nullptr);
    EXPECT_EQ(root->right->right, nullptr);
    const std::string text = treeText(root);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{1,2} \(\d{1,2} \(\) \(\)\) \(\d{1,2} \(\) \(\)\))")))
        << text;
    freeTree(root);
}

TEST(TreeShape, RandomDrawsGoRootThenBothChildrenThenSubtreesDepthFirst) {
    std::srand(12345);
    std::vector<int> draws;
    draws.reserve(15);
    for (int i = 0; i < 15; ++i) draws.push_back(std::rand() % 100);

    std::srand(12345);
    Node* r = generateTree(nullptr, 3);
    Node* l = r->left;
    Node* rt = r->right;
    const std::vector<const Node*> drawOrder{
        r, l, rt,
        l->left, l->right,
        l->left->left, l->left->right, l->right->left, l->right->right,
        rt->left, rt->right,
        rt->left->left, rt->left->right, rt->right->left, rt->right->right};
    for (std::size_t i = 0; i < drawOrder.size(); ++i) EXPECT_EQ(drawOrder[i]->value, draws[i]) << "draw " << i;
    EXPECT_EQ(l->left->left->left, nullptr);
    freeTree(r);
}

TEST(TreeText, MatchesTheDocumentedExampleByteForByte) {
    Node left = leaf(3);
    Node right = leaf(42);
    Node root{7, &left, &right};
    EXPECT_EQ(treeText(&root), "7 (3 () ()) (42 () ())");
}

TEST(TreeText, OneSidedAndWideValuesAreWrittenLikeThePlainWriter) {
    Node a = leaf(-17);
    Node b = leaf(12345);
    Node c{0, &a, nullptr};
    Node root{99, nullptr, &c};
    Node other{100, &b, nullptr};
    for (const Node* t : {&root, &other, &c})
        EXPECT_EQ(treeText(t), captureStream([&](std::FILE* f) { plainWrite(t, f); }));
    EXPECT_EQ(treeText(&c), "0 (-17 () ()) ()");
}

TEST(TreeText, FullSizeTreeHasTheExpectedShapeAndLength) {
    std::srand(2024);
    Node* tree = generateTree(nullptr, 21);
    const std::string text = treeText(tree);
    const std::string plain = captureStream([&](std::FILE* f) { plainWrite(tree, f); });
    freeTree(tree);

    // Every node gives its digits and six delimiters; values are 0..99.
    const long nodes = (1L << 22) - 1;
    long digits = 0;
    long tokens = 0;
    long open = 0;
    long depthNow = 0;
    long maxDepth = 0;
    bool inToken = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
            if (!inToken) ++tokens;
            inToken = true;
            continue;
        }
        inToken = false;
        ASSERT_TRUE(c == '(' || c == ')' || c == ' ') << "unexpected byte " << int(c);
        if (c == '(') maxDepth = std::max(maxDepth, ++depthNow), ++open;
        if (c == ')') {
            ASSERT_GE(--depthNow, 0);
        }
    }
    EXPECT_EQ(tokens, nodes);
    EXPECT_EQ(static_cast<long>(text.size()), digits + 6 * nodes);
    EXPECT_EQ(open, 2 * nodes);
    EXPECT_EQ(depthNow, 0);
    EXPECT_EQ(maxDepth, 22);  // 21 levels below the root, and the empty "()" under the leaves
    EXPECT_TRUE(text.front() >= '0' && text.front() <= '9');
    EXPECT_EQ(text.back(), ')');
    EXPECT_GT(text.size(), 25'000'000u);
    EXPECT_EQ(text, plain);  // the buffered writer crosses its buffer many times
}

TEST(TreeMemoryDeathTest, RunningOutOfMemoryEndsWithAMessageNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than this test allows";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(growTreeWithin(256L << 20), testing::ExitedWithCode(1), "cannot allocate .* bytes for a tree node: out of memory");
}

}  // namespace
