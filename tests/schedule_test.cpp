#include <gtest/gtest.h>

#include <omp.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "schedule.h"

namespace {

constexpr int kMaxItems = 1000;
constexpr int kMaxThreads = 64;

// Which items ran how often, and in which order each thread ran them.
std::atomic<int> runs[kMaxItems];
std::vector<int> order[kMaxThreads];

void record(const int* /*items*/, int index) {
    runs[index].fetch_add(1);
    order[omp_get_thread_num()].push_back(index);
}

void resetRecord() {
    for (auto& r : runs) r.store(0);
    for (auto& o : order) o.clear();
}

void setTeam(int threads) {
    omp_set_dynamic(0);
    omp_set_num_threads(threads);
}

void expectEveryItemOnce(int n) {
    for (int i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 1) << "item " << i;
    for (int i = n; i < kMaxItems; ++i) ASSERT_EQ(runs[i].load(), 0);
}

int threadThatRan(int index) {
    for (int t = 0; t < kMaxThreads; ++t)
        for (int i : order[t])
            if (i == index) return t;
    return -1;
}

TEST(StaticSplit, EveryBlockRunsOnceInOrderWhateverTheTeamSize) {
    for (int n : {400, 10, 3}) {
        const int q = n / 4;
        for (int threads = 1; threads <= 6; ++threads) {
            SCOPED_TRACE(testing::Message() << n << " items, " << threads << " threads");
            resetRecord();
            setTeam(threads);
            splitRun(nullptr, n, record);
            expectEveryItemOnce(n);
            // A block is one ascending run of indices on one thread; the last
            // block also takes the items from 4q on.
            for (int block = 0; block < 4; ++block) {
                const int first = block * q;
                const int last = block == 3 ? n : first + q;
                if (first == last) continue;
                const int t = threadThatRan(first);
                ASSERT_GE(t, 0);
                EXPECT_EQ(t, block % threads) << "block " << block;
                const std::vector<int>& log = order[t];
                std::size_t pos = 0;
                while (log[pos] != first) ++pos;
                for (int i = first; i < last; ++i, ++pos) {
                    ASSERT_LT(pos, log.size());
                    EXPECT_EQ(log[pos], i) << "block " << block;
                }
            }
        }
    }
}

TEST(StaticSplit, ThreadsBeyondTheFourthRunNothing) {
    resetRecord();
    setTeam(6);
    splitRun(nullptr, 400, record);
    EXPECT_TRUE(order[4].empty());
    EXPECT_TRUE(order[5].empty());
}

TEST(DynamicLoop, EveryIndexRunsExactlyOnce) {
    for (int threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        resetRecord();
        setTeam(threads);
        dynamicRun(nullptr, 400, record);
        expectEveryItemOnce(400);
    }
}

TEST(DynamicLoop, ATeamOfOneRunsTheIndicesInOrder) {
    resetRecord();
    setTeam(1);
    dynamicRun(nullptr, 400, record);
    ASSERT_EQ(order[0].size(), 400u);
    for (int i = 0; i < 400; ++i) EXPECT_EQ(order[0][static_cast<std::size_t>(i)], i);
}

TEST(DynamicLoop, UnevenItemsAreSharedOutNotSplitInAdvance) {
    if (omp_get_thread_limit() < 2) GTEST_SKIP() << "needs a team of 2";
    // Item 0 holds its thread until the other thread has run all 99 others;
    // under a fixed split the other thread would own only half of them.
    static std::atomic<int> othersRan;
    static std::atomic<bool> gaveUp;
    othersRan = 0;
    gaveUp = false;
    setTeam(2);
    dynamicRun(nullptr, 100, [](const int*, int index) {
        if (index != 0) {
            ++othersRan;
            return;
        }
        // Bounded, so a wrong schedule fails instead of hanging.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (othersRan.load() < 99)
            if (std::chrono::steady_clock::now() > deadline) {
                gaveUp = true;
                return;
            }
    });
    EXPECT_FALSE(gaveUp.load());
    EXPECT_EQ(othersRan.load(), 99);
}

}  // namespace
