#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "work.h"

namespace {

std::vector<int> workList(unsigned seed, int count) {
    std::srand(seed);
    const int* items = initWork(count);
    std::vector<int> list(items, items + count);
    std::free(const_cast<int*>(items));
    return list;
}

TEST(WorkItems, SameSeedGivesTheSameListWithOneDrawPerItem) {
    EXPECT_EQ(workList(42, 400), workList(42, 400));
    // After n items the generator must stand where n draws leave it.
    std::srand(42);
    for (int i = 0; i < 400; ++i) std::rand();
    const int expectedNext = std::rand();
    workList(42, 400);
    EXPECT_EQ(std::rand(), expectedNext);
}

TEST(WorkItems, ItemILiesBetweenZeroAndIPlusTenAndGrowsWithIndex) {
    long firstQuarter = 0;
    long lastQuarter = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const std::vector<int> items = workList(seed, 400);
        for (int i = 0; i < 400; ++i) {
            const int item = items[static_cast<std::size_t>(i)];
            ASSERT_GE(item, 0);
            ASSERT_LE(item, i + 10) << "item " << i;
            if (i < 100) firstQuarter += item;
            if (i >= 300) lastQuarter += item;
        }
    }
    // Averages are about (i + 10) / 2: the last quarter carries far more work.
    EXPECT_GT(lastQuarter, 4 * firstQuarter);
}

double millisecondsFor(int ms) {
    const auto start = std::chrono::steady_clock::now();
    doWork(ms);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST(WorkItems, DoWorkSleepsAboutTheItemsDuration) {
    EXPECT_LT(millisecondsFor(0), 5.0);
    const double slept = millisecondsFor(60);
    EXPECT_GE(slept, 60.0);
    EXPECT_LT(slept, 60.0 + 250.0);  // generous: a busy machine wakes sleepers late
}

}  // namespace
