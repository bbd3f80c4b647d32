#include "treesearch_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kBanner = "/////////////////////////////////////////////////////////////////";

struct Row {
    int rank, start, end, matches;
};

int countInFile(const std::string& path, int low, int high) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int count = 0;
    int value = -1;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
        } else {
            if (value >= low && value <= high) ++count;
            value = -1;
        }
    }
    return count;
}

// Checks a successful report of `procs` processes; rows of workers may come
// anywhere, the root's own lines in their fixed order.
}  // namespace

void expectValidTreeSearchReport(const RunResult& run, int procs, const std::string& dir) {
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");

    std::vector<std::string> rootLines;
    std::map<int, Row> rows;
    const std::regex rowPattern(R"(P (\d+) \| (\d+) - (\d+) \| (\d+))");
    for (const std::string& line : splitLines(run.out)) {
        std::smatch m;
        if (std::regex_match(line, m, rowPattern)) {
            const int rank = std::stoi(m[1]);
            EXPECT_EQ(rows.count(rank), 0u) << "row for process " << rank << " printed twice";
            rows[rank] = Row{rank, std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
        } else {
            rootLines.push_back(line);
        }
    }

    const std::vector<std::string> expected{
        kBanner, kBanner, kBanner,
        "Generating Tree", "Printing Tree to File", "Starting Parallel Operation",
        R"(Characters: \d+)", R"(P # \| Start - End \| Matches)", R"(Total Matches: \d+)",
        "Search Completed", "Generating Solution for Verification", "Verifying Solution", "",
        "Results:", "Solution: Valid", R"(Sequential Matches: \d+)", R"(Parallel Matches:   \d+)",
        R"(Parallel:   \d+\.\d{6} s)", R"(Sequential: \d+\.\d{6} s)", R"(Speedup: (\d+\.\d\d|inf) %)",
        "Threads: " + std::to_string(procs)};
    ASSERT_EQ(rootLines.size(), expected.size()) << run.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string pattern = expected[i] == kBanner ? std::string(65, '/') : expected[i];
        EXPECT_TRUE(fullMatch(rootLines[i], pattern)) << "line " << i << ": '" << rootLines[i] << "'";
    }

    const int length = std::stoi(rootLines[6].substr(12));
    const int total = std::stoi(rootLines[8].substr(15));
    EXPECT_EQ(rootLines[15], "Sequential Matches: " + std::to_string(total));
    EXPECT_EQ(rootLines[16], "Parallel Matches:   " + std::to_string(total));

    // One row per process; nominal ranges contiguous from 0 to length - 1.
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(procs));
    int next = 0;
    int sum = 0;
    for (const auto& [rank, row] : rows) {
        EXPECT_EQ(row.start, next) << "process " << rank;
        next = row.end + 1;
        sum += row.matches;
    }
    EXPECT_EQ(next, length);
    EXPECT_EQ(sum, total);

    // The file stays, and the count is right by a count the program had no part in.
    const std::string file = dir + "/binary_tree.txt";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), static_cast<std::uintmax_t>(length));
    EXPECT_EQ(countInFile(file, 0, 10), total);
}

void expectTreeSearchFailure(const RunResult& run, const std::string& reason) {
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_NE(run.err.find("treesearch: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("Solution"), std::string::npos) << run.out;
}

