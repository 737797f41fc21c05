#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "frame/LazyWindow.h"

using namespace std::chrono_literals;
using vemx::platform::Event;
using vemx::platform::wait_one;
using Strings = std::vector<std::string>;

namespace {

// Records what ran, in order; command 9 blocks until `gate` is set.
class Recorder final : public VIZur::Service {
  public:
    ~Recorder() override { Stop(); }
    Strings Events() {
        std::lock_guard g(lock_);
        return events_;
    }
    Event gate, entered;
    std::thread::id thread;
    bool stray = false;  // something ran off the service thread

  private:
    void Note(std::string what) {
        std::lock_guard g(lock_);
        events_.push_back(std::move(what));
        if (thread != std::this_thread::get_id()) stray = true;
    }
    void OnThreadBegin() override {
        thread = std::this_thread::get_id();
        Note("begin");
    }
    void OnThreadEnd() override { Note("end"); }
    void OnCreate(VIZur::HWND) override { Note("create"); }
    void OnClose() override { Note("close"); }
    intptr_t OnCommand(uint32_t command, VIZur::CommandRequest*) override {
        if (command == 9) {
            entered.set();
            wait_one(gate);
        }
        Note("cmd" + std::to_string(command));
        return 0;
    }
    std::mutex lock_;
    Strings events_;
};

struct TrackedRequest : VIZur::CommandRequest {
    TrackedRequest(Event* e, std::atomic<int>* gone) : CommandRequest(e), destroyed(gone) {}
    ~TrackedRequest() override { ++*destroyed; }
    std::atomic<int>* destroyed;
};

uintptr_t Tracked(Event* e, std::atomic<int>* gone) {
    return reinterpret_cast<uintptr_t>(new TrackedRequest(e, gone));
}

uint32_t Command(uint32_t n) {
    return VIZur::WM_SERVICE_COMMAND + n;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(VIZur::LazyWindow::Initialize(), 0); }
    void TearDown() override { VIZur::LazyWindow::Uninitialize(); }
};

}  // namespace

// Before any Initialize there is no class: a service reports that, yet still
// stops.  The class comes with the first use and goes after the last.
TEST(LazyWindow, ClassIsRegisteredByTheFirstUseAndGoneAfterTheLast) {
    ASSERT_EQ(VIZur::LazyWindow::ClassName(), "");
    vemx_test::LogCapture log;
    Recorder s;
    s.Start();
    EXPECT_EQ(s.Window(), nullptr);
    EXPECT_EQ(s.SendCommand(1), 0u);
    s.Stop();
    EXPECT_EQ(s.Events(), (Strings{"begin", "end"}));
    EXPECT_EQ(log.count_containing("[vemx][ERROR]: LazyWindow(156): "
                                   "[VIZur::LazyWindow::CreateMessageOnlyWindow] err=1407\n"),
              1u);

    EXPECT_NE(VIZur::LazyWindow::Initialize(), 0);
    const std::string name = VIZur::LazyWindow::ClassName();
    EXPECT_EQ(name.rfind("Korvo.WndClass.", 0), 0u) << name;
    EXPECT_NE(VIZur::LazyWindow::Initialize(), 0);
    VIZur::LazyWindow::Uninitialize();
    EXPECT_EQ(VIZur::LazyWindow::ClassName(), name);
    VIZur::LazyWindow::Uninitialize();
    EXPECT_EQ(VIZur::LazyWindow::ClassName(), "");
}

TEST_F(ServiceTest, LifecycleRunsOnTheServiceThreadAndRequestsAreHandedOver) {
    vemx_test::LogCapture log;
    Recorder s;
    s.Start();
    s.Start();                        // already running: no second thread
    EXPECT_NE(s.SendCommand(5), 0u);  // returns only after the command ran
    EXPECT_EQ(s.Events().back(), "cmd5");
    std::atomic<int> gone{0};
    Event done;
    EXPECT_EQ(s.SendCommand(2, new TrackedRequest(&done, &gone)), VIZur::WAIT_OBJECT_0);
    EXPECT_EQ(s.SendCommand(3, new TrackedRequest(nullptr, &gone)),
              VIZur::WAIT_FAILED);  // not waited for
    s.Stop();
    s.Stop();
    EXPECT_EQ(gone, 2);
    EXPECT_EQ(s.Events(), (Strings{"begin", "create", "cmd5", "cmd2", "cmd3", "close", "end"}));
    EXPECT_FALSE(s.stray);
    EXPECT_EQ(log.lines_starting("INFO[VIZur::LazyWindow] "),
              (Strings{"INFO[VIZur::LazyWindow] LazyWindow service begin.\n",
                       "INFO[VIZur::LazyWindow] LazyWindow service ended.\n"}));

    // A stopped service refuses at once, frees the request, and starts again.
    log.clear();
    EXPECT_EQ(s.SendCommand(1, new TrackedRequest(&done, &gone)), 0u);
    EXPECT_EQ(gone, 3);
    EXPECT_EQ(log.lines().size(), 1u);
    log.clear();
    EXPECT_FALSE(VIZur::PostMessageGuaranteed(reinterpret_cast<VIZur::HWND>(0x10), 0x1400, 7));
    EXPECT_EQ(log.lines(), (Strings{"ERROR[VIZur::LazyWindow] PostMessageGuaranteed(0x10, 5120, 7, "
                                    "0) FAILED, err=1400\n"}));
    s.Start();
    EXPECT_NE(s.SendCommand(6), 0u);
}

TEST_F(ServiceTest, CommandsFromManyThreadsAllRunAndPostsRunInPostingOrder) {
    Recorder s;
    s.Start();
    constexpr int kThreads = 6, kEach = 150;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) s.SendCommand(100 + t);
        });
    for (uint32_t c = 10; c < 60; ++c)
        ASSERT_TRUE(VIZur::PostMessageGuaranteed(s.Window(), Command(c), 0));
    for (auto& t : senders) t.join();
    s.Stop();
    std::vector<int> per_thread(kThreads);
    int next_posted = 10;
    for (const auto& e : s.Events()) {
        if (e.rfind("cmd", 0) != 0) continue;
        const int n = std::stoi(e.substr(3));
        if (n >= 100)
            ++per_thread[n - 100];
        else
            EXPECT_EQ(n, next_posted++);
    }
    EXPECT_EQ(next_posted, 60);
    for (int n : per_thread) EXPECT_EQ(n, kEach);
}

// Held inside command 9, the service is closed by Stop's first step or by a
// WM_CLOSE.  Stop runs what was posted before and refuses what comes after;
// behind a WM_CLOSE base commands still run and the rest is released unrun,
// its sender not left waiting.
TEST_F(ServiceTest, CloseRunsBaseCommandsAndReleasesTheRestUnrun) {
    for (const bool wm_close : {false, true}) {
        SCOPED_TRACE(wm_close);
        Recorder s;
        s.Start();
        std::thread blocked([&s] { s.SendCommand(9); });
        EXPECT_TRUE(wait_one(s.entered, 5s));
        const VIZur::HWND w = s.Window();
        std::atomic<int> gone{0};
        Event base_done, other_done;
        if (wm_close) {
            ASSERT_EQ(VIZur::PostMessageW(w, VIZur::WM_CLOSE, 0, 0), 0);
            ASSERT_TRUE(VIZur::PostMessageGuaranteed(w, Command(3), Tracked(&other_done, &gone)));
        }
        ASSERT_TRUE(VIZur::PostMessageGuaranteed(w, Command(0), Tracked(&base_done, &gone)));
        if (!wm_close) {
            ASSERT_EQ(VIZur::LazyWindow::PostClose(w), 0);  // what Stop does first
            EXPECT_EQ(VIZur::PostMessageW(w, Command(7), 0, 0), VIZur::ERROR_INVALID_WINDOW_HANDLE);
            EXPECT_EQ(s.SendCommand(8), 0u);  // fails at once instead of waiting for ever
        }
        s.gate.set();
        blocked.join();
        EXPECT_TRUE(wait_one(base_done, 5s));
        EXPECT_EQ(wait_one(other_done, wm_close ? 5s : 0ms), wm_close);
        s.Stop();  // after a WM_CLOSE the thread ended by itself; Stop only joins
        EXPECT_EQ(gone, wm_close ? 2 : 1);
        EXPECT_EQ(s.Events(), (Strings{"begin", "create", "cmd9", "cmd0", "close", "end"}));
    }
}
