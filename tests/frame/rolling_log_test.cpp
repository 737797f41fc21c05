#include <gtest/gtest.h>

#include <filesystem>

#include "common/log_capture.h"
#include "frame/log.h"

using vemx::frame::RollingLogFile;
using vemx_test::read_file;
using vemx_test::TempDir;

TEST(RollingLogFile, RotatesOnlyPastTheInclusiveHourAndNamesFilesInOrder) {
    TempDir dir;
    {
        RollingLogFile log("mediaqueue[000001]");
        EXPECT_FALSE(std::filesystem::exists("mediaqueue[000001]-0000.log"));  // opened lazily
        log.Write(12345678, "first %d", 1);
        log.Write(12345678 + RollingLogFile::kMaxSpan, "same file");
        log.Write(12345678 + RollingLogFile::kMaxSpan + 1, "next file");
        log.Write(12345678 + 3 * RollingLogFile::kMaxSpan, "third");
        EXPECT_EQ(log.file_index(), 3u);
    }
    EXPECT_EQ(read_file("mediaqueue[000001]-0000.log"),
              "[1234.57] first 1\n[3601234.57] same file\n");
    EXPECT_EQ(read_file("mediaqueue[000001]-0001.log"), "[3601234.57] next file\n");
    EXPECT_EQ(read_file("mediaqueue[000001]-0002.log"), "[10801234.57] third\n");
}

TEST(RollingLogFile, CutsLongLinesAndSurvivesAnUncreatableFile) {
    TempDir dir;
    {
        RollingLogFile log("series");
        log.Write(0, "%s", std::string(3000, 'z').c_str());
    }
    const std::string text = read_file("series-0000.log");
    EXPECT_EQ(text.size(), 1023u);  // 1024 with the NUL
    EXPECT_EQ(text.substr(0, 7), "[0.00] ");
    EXPECT_EQ(text.back(), '\n');

    // A name in a missing directory: lines are lost quietly, rotation goes on.
    RollingLogFile lost("no/such/dir/series");
    lost.Write(0, "lost");
    lost.Write(RollingLogFile::kMaxSpan + 1, "lost too");
    EXPECT_EQ(lost.file_index(), 2u);
}
