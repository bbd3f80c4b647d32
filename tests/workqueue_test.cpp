#include <gtest/gtest.h>

#include <omp.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "workqueue.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string stdoutOf(void (*action)(Q*), Q* q) {
    CaptureStdout();
    action(q);
    std::fflush(stdout);
    return GetCapturedStdout();
}

TEST(WorkStack, PushOntoAFullStackPrintsTheCapacityAndChangesNothing) {
    Q* q = initQ(3);
    EXPECT_EQ(stdoutOf([](Q* s) { for (int i = 0; i < 3; ++i) putWork(s); }, q), "");
    const std::vector<int> before(q->items, q->items + 3);
    EXPECT_EQ(stdoutOf([](Q* s) { putWork(s); }, q), "ERROR: attempt to add Q element3\n");
    EXPECT_EQ(q->top, 2);
    EXPECT_EQ(std::vector<int>(q->items, q->items + 3), before);
    freeQ(q);
}

TEST(WorkStack, PopFromAnEmptyStackPrintsMinusOneAndChangesNothing) {
    Q* q = initQ(2);
    EXPECT_FALSE(workExists(q));
    static int value;
    EXPECT_EQ(stdoutOf([](Q* s) { value = getWork(s); }, q), "ERROR: attempt to get work from empty Q-1\n");
    EXPECT_EQ(value, -1);
    EXPECT_EQ(q->top, -1);
    freeQ(q);
}

TEST(WorkStack, ValuesComeBackInReverseOrder) {
    std::srand(5);
    Q* q = initQ(5000);
    for (int i = 0; i < 5000; ++i) putWork(q);
    const std::vector<int> pushed(q->items, q->items + 5000);
    for (int i = 4999; i >= 0; --i) ASSERT_EQ(getWork(q), pushed[static_cast<std::size_t>(i)]);
    EXPECT_FALSE(workExists(q));
    freeQ(q);
}

TEST(WorkStack, ValueAtIndexKLiesBetweenZeroAndKOver1000) {
    std::srand(11);
    const int n = 100000;
    Q* q = initQ(n);
    for (int i = 0; i < n; ++i) putWork(q);
    EXPECT_EQ(q->top, n - 1);
    int largest = 0;
    for (int k = 0; k < n; ++k) {
        ASSERT_GE(q->items[k], 0);
        ASSERT_LE(q->items[k], k / 1000) << "index " << k;
        if (k < 1000) {
            ASSERT_EQ(q->items[k], 0);
        }
        largest = std::max(largest, q->items[k]);
    }
    EXPECT_GT(largest, 90);  // values do spread over the whole range
    freeQ(q);
}

constexpr int kValues = 20000;
std::atomic<int> timesTaken[kValues];

TEST(WorkStackDrain, EveryValueIsPoppedExactlyOnceByAnyTeam) {
    for (int threads : {1, 2, 4, 8}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        Q* q = initQ(kValues);
        // Distinct values, so a value popped twice or never shows.
        for (int i = 0; i < kValues; ++i) q->items[i] = i;
        q->top = kValues - 1;
        for (auto& t : timesTaken) t = 0;

        omp_set_dynamic(0);
        omp_set_num_threads(threads);
        CaptureStdout();
        const int popped = drainQueue(q, [](int value) { timesTaken[value].fetch_add(1); });
        std::fflush(stdout);
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(popped, kValues);
        EXPECT_EQ(q->top, -1);
        for (int i = 0; i < kValues; ++i) ASSERT_EQ(timesTaken[i].load(), 1) << "value " << i;
        freeQ(q);
    }
}

void initQWithin(rlim_t bytes) {
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    initQ(100000000);
}

TEST(WorkStackMemoryDeathTest, AStackTooLargeForMemoryEndsWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than this test allows";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(initQWithin(256L << 20), testing::ExitedWithCode(1),
                "cannot allocate 400000000 bytes for the work stack's values: out of memory");
}

}  // namespace
