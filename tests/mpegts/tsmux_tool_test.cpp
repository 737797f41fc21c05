// The tool's synthetic stream must be one that a third-party decoder accepts.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/log_capture.h"
#include "mpegts/tsmux_support.h"

TEST(TsMuxTool, MuxWritesADecodableStreamOnTheChosenPids) {
    vemx_test::TempDir dir;
    const std::string cmd =
        std::string("VEMX_LOG=off '") + VEMX_TOOL +
        "' mux out.ts --seconds 2 --video-pid 0x44 --audio-pid 0x45 --service Demo";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string ts = vemx_test::read_file("out.ts");
    tsmux_test::TsScan scan(ts);
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.streams[1], (std::vector<std::pair<int, int>>{{0x1b, 0x44}, {0x03, 0x45}}));
    EXPECT_EQ(scan.service[1].second, "Dovrex/Demo");
    EXPECT_EQ(tsmux_test::Demux("out.ts").at(0x44).size(), 50u);

    std::string errors;
    if (std::FILE* p = popen("ffmpeg -nostdin -v error -i out.ts -f null - 2>&1", "r")) {
        char buf[512];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) errors.append(buf, n);
        EXPECT_EQ(pclose(p), 0);
    }
    EXPECT_EQ(errors, "");
}
