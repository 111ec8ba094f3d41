#include "tracemoor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string tempPath(const char *name) {
    return std::string(::testing::TempDir()) + name + std::to_string(::getpid());
}

std::vector<std::string> readLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

TEST(Tracemoor, TextGoesToStandardErrorUntilOpenedAndAfterClose) {
    std::string file = tempPath("tracemoor_sink");
    std::remove(file.c_str());

    ::testing::internal::CaptureStderr();
    vyr_printf("before open %d\n", 1);
    ASSERT_EQ(0, vyr_open_logfile(file.c_str(), 1));
    vyr_printf("into file %s\n", "yes");
    vyr_close_logfile();
    vyr_printf("after close\n");
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_NE(std::string::npos, err.find("before open 1\n"));
    EXPECT_NE(std::string::npos, err.find("after close\n"));
    EXPECT_EQ(std::string::npos, err.find("into file"));
    EXPECT_EQ(std::vector<std::string>{"into file yes"}, readLines(file));
    std::remove(file.c_str());
}

TEST(Tracemoor, UnopenableFileKeepsTextOnStandardError) {
    EXPECT_EQ(-1, vyr_open_logfile("/nonexistent-dir/x/y.log", 1));
    EXPECT_EQ(-1, vyr_open_logfile(nullptr, 1));
    ::testing::internal::CaptureStderr();
    vyr_printf("still here\n");
    EXPECT_EQ("still here\n", ::testing::internal::GetCapturedStderr());
}

TEST(Tracemoor, LongLinesAreWrittenWhole) {
    std::string file = tempPath("tracemoor_long");
    std::remove(file.c_str());
    ASSERT_EQ(0, vyr_open_logfile(file.c_str(), 1));
    std::string big(5000, 'x');
    EXPECT_EQ(5001, vyr_printf("%s\n", big.c_str()));
    vyr_close_logfile();
    auto lines = readLines(file);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(big, lines[0]);
    std::remove(file.c_str());
}

// Ten threads write lines of different lengths at once; every line must come
// out whole, and none may be lost.
TEST(Tracemoor, ConcurrentLinesNeverInterleave) {
    std::string file = tempPath("tracemoor_threads");
    std::remove(file.c_str());
    ASSERT_EQ(0, vyr_open_logfile(file.c_str(), 1));
    const int threads = 10, perThread = 500;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t] {
            std::string body(static_cast<size_t>(50 + t * 97), char('a' + t));
            for (int i = 0; i < perThread; ++i)
                vyr_printf("T%d %d %s\n", t, i, body.c_str());
        });
    }
    for (auto &th : pool)
        th.join();
    vyr_close_logfile();

    auto lines = readLines(file);
    ASSERT_EQ(size_t(threads * perThread), lines.size());
    std::set<std::pair<int, int>> seen;
    for (const auto &line : lines) {
        std::istringstream in(line);
        char tag;
        int t = -1, i = -1;
        std::string body;
        in >> tag >> t >> i >> body;
        ASSERT_EQ('T', tag) << line;
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        EXPECT_EQ(std::string(static_cast<size_t>(50 + t * 97), char('a' + t)), body) << line;
        seen.insert({t, i});
    }
    EXPECT_EQ(size_t(threads * perThread), seen.size());
    std::remove(file.c_str());
}

} // namespace
