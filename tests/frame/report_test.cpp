// Report lines are parsed by people and tools: every byte is pinned here.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "frame/error.h"
#include "frame/handle.h"
#include "frame/log.h"

using namespace vemx::frame;
using vemx_test::LogCapture;

TEST(Reports, FourLayoutsByteForByte) {
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

    const std::vector<std::string> expected = {
        "[vemx][ERROR]: VIZur(253): COM error, hr=-2147467259\n",
        "[vemx][ERROR]: qvmp4fileplayer(77): [qvmp4fileplayer_add_ref] null pointer\n",
        "[mediaq][ERROR]: mediaqueue(842): [mediaqueue_detail::MediaQueue::Main_Live], "
        "0x00000000ABCDEF12 WaitForMultipleObjects failed, err=5\n",
        "[vemx][ERROR]: late audio dropped\n",
    };
    EXPECT_EQ(log.lines(), expected);
}

TEST(Reports, WideTextReachesTheSinkAsUtf8) {
    LogCapture log;
    InfoLine(L"mediaq", L"MQ[3]: delay = 200 \u00b5s \U0001F3A5");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "[mediaq] MQ[3]: delay = 200 \xC2\xB5s \xF0\x9F\x8E\xA5\n");
}

TEST(LogPrint, CutsLongMessagesAtTheBufferKeepingTheLineFeed) {
    LogCapture log;
    LogPrint("INFO[vemx] ", "%s", std::string(5000, 'x').c_str());
    LogPrint("ERROR[vemx|tsmux] ", "value %d", 42);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 2047u);  // 2048 with the NUL
    EXPECT_EQ(lines[0].substr(0, 12), "INFO[vemx] x");
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_EQ(lines[1], "ERROR[vemx|tsmux] value 42\n");

    // A message that exactly fills the buffer is not cut.
    log.clear();
    LogPrint("T ", "%s", std::string(2048 - 2 - 2, 'y').c_str());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].size(), 2047u);
    EXPECT_EQ(log.lines()[0].substr(2044), "yy\n");
}

TEST(LogSink, LinesFromManyThreadsArriveWholeAndTheDefaultComesBack) {
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

namespace {

struct Probe : RefCounted {
    explicit Probe(int* destroyed) : destroyed_(destroyed) {}
    ~Probe() override { ++*destroyed_; }
    int* destroyed_;
};

}  // namespace

TEST(Handles, DestroyedAtTheReleaseThatBalancesTheCount) {
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
}

TEST(Handles, GuardKeepsExceptionsInsideTheLibrary) {
    LogCapture log;
    EXPECT_EQ(Guarded("vemx_x_init", 1, []() -> int { RaiseComError(E_UNEXPECTED, L"x", 1); }), 1);
    EXPECT_EQ(Guarded("vemx_x_init", 0, []() -> int { throw std::runtime_error("boom"); }), 0);
    Guarded("vemx_x_work", [] { throw 7; });
    const std::vector<std::string> expected = {
        "[vemx][ERROR]: x(1): COM error, hr=-2147418113\n",
        "ERROR[vemx] vemx_x_init: boom\n",
        "ERROR[vemx] vemx_x_work: unknown exception\n",
    };
    EXPECT_EQ(log.lines(), expected);
}
