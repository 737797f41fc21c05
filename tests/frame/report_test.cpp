// Report and log lines are parsed by people and tools: every byte is pinned.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "frame/error.h"
#include "frame/handle.h"
#include "frame/log.h"

using namespace vemx::frame;
using vemx_test::LogCapture;
using vemx_test::read_file;
using Strings = std::vector<std::string>;

TEST(Reports, LayoutsWideTextAndLongLinesByteForByte) {
    LogCapture log;
    try {
        RaiseComError(E_FAIL, L"VIZur", 253);
        FAIL() << "RaiseComError returned";
    } catch (const ComError& e) {
        EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80004005));
    }
    ReportFunction(L"vemx", L"qvmp4fileplayer", 77, L"qvmp4fileplayer_add_ref", L"null pointer");
    ReportObject(L"mediaq", L"mediaqueue", 842, L"mediaqueue_detail::MediaQueue::Main_Live",
                 reinterpret_cast<const void*>(uintptr_t{0xABCDEF12}),
                 L"WaitForMultipleObjects failed, err=5");
    ReportShort(L"vemx", L"late audio dropped");
    InfoLine(L"mediaq", L"MQ[3]: delay = 200 \u00b5s \U0001F3A5");
    LogPrint("ERROR[vemx|tsmux] ", "value %d", 42);
    EXPECT_EQ(
        log.lines(),
        (Strings{"[vemx][ERROR]: VIZur(253): COM error, hr=-2147467259\n",
                 "[vemx][ERROR]: qvmp4fileplayer(77): [qvmp4fileplayer_add_ref] null pointer\n",
                 "[mediaq][ERROR]: mediaqueue(842): [mediaqueue_detail::MediaQueue::Main_Live], "
                 "0x00000000ABCDEF12 WaitForMultipleObjects failed, err=5\n",
                 "[vemx][ERROR]: late audio dropped\n",
                 "[mediaq] MQ[3]: delay = 200 \xC2\xB5s \xF0\x9F\x8E\xA5\n",
                 "ERROR[vemx|tsmux] value 42\n"}));

    // Cut at the 2048-byte buffer keeping the line feed; a message that
    // exactly fills it is not cut.
    log.clear();
    LogPrint("INFO[vemx] ", "%s", std::string(5000, 'x').c_str());
    LogPrint("T ", "%s", std::string(2048 - 2 - 2, 'y').c_str());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "INFO[vemx] " + std::string(2047 - 12, 'x') + "\n");
    EXPECT_EQ(lines[1], "T " + std::string(2044, 'y') + "\n");
}

TEST(LogSink, LinesFromManyThreadsArriveWhole) {
    LogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) LogPrint("INFO[vemx] ", "thread %d line %d", t, i);
        });
    for (auto& th : threads) th.join();
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1600u);
    for (const auto& l : lines) {
        ASSERT_EQ(l.rfind("INFO[vemx] thread ", 0), 0u) << l;
        ASSERT_EQ(l.find('\n'), l.size() - 1) << l;
    }
}

TEST(RollingLogFile, RotatesPastTheInclusiveHourCutsLongLinesAndSurvivesAnUncreatableFile) {
    vemx_test::TempDir dir;
    constexpr int64_t t = 12345678, hour = RollingLogFile::kMaxSpan;
    {
        RollingLogFile log("mq[1]");
        EXPECT_FALSE(std::filesystem::exists("mq[1]-0000.log"));  // opened lazily
        log.Write(t, "first %d", 1);
        log.Write(t + hour, "same file");
        log.Write(t + hour + 1, "next file");
        log.Write(t + 3 * hour, "%s", std::string(3000, 'z').c_str());
        EXPECT_EQ(log.file_index(), 3u);
    }
    EXPECT_EQ(read_file("mq[1]-0000.log"), "[1234.57] first 1\n[3601234.57] same file\n");
    EXPECT_EQ(read_file("mq[1]-0001.log"), "[3601234.57] next file\n");
    // Cut at the 1024-byte line buffer, keeping the line feed.
    EXPECT_EQ(read_file("mq[1]-0002.log"), "[10801234.57] " + std::string(1022 - 14, 'z') + "\n");

    // A name in a missing directory: lines are lost quietly, rotation goes on.
    RollingLogFile lost("no/such/dir/series");
    lost.Write(0, "lost");
    lost.Write(hour + 1, "lost too");
    EXPECT_EQ(lost.file_index(), 2u);
}

namespace {

struct Probe : RefCounted {
    explicit Probe(int* destroyed) : destroyed_(destroyed) {}
    ~Probe() override { ++*destroyed_; }
    int* destroyed_;
};

}  // namespace

TEST(Handles, CountedReleaseAndGuardedExports) {
    int destroyed = 0;
    void* h = NewHandle<Probe>(&destroyed);
    ASSERT_NE(h, nullptr);
    AddRefHandle(h);
    AddRefHandle(h);
    ReleaseHandle(h);
    ReleaseHandle(h);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(FromHandle<Probe>(h)->RefCount(), 1);
    ReleaseHandle(h);
    EXPECT_EQ(destroyed, 1);
    AddRefHandle(nullptr);
    ReleaseHandle(nullptr);
    LogCapture log;
    EXPECT_EQ(Guarded("vemx_x_init", 1, []() -> int { RaiseComError(E_UNEXPECTED, L"x", 1); }), 1);
    EXPECT_EQ(Guarded("vemx_x_init", 0, []() -> int { throw std::runtime_error("boom"); }), 0);
    Guarded("vemx_x_work", [] { throw 7; });
    EXPECT_EQ(log.lines(), (Strings{"[vemx][ERROR]: x(1): COM error, hr=-2147418113\n",
                                    "ERROR[vemx] vemx_x_init: boom\n",
                                    "ERROR[vemx] vemx_x_work: unknown exception\n"}));
}
