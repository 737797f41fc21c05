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

namespace {

// Records what ran, in order, and on which thread.
class Recorder final : public VIZur::Service {
public:
    ~Recorder() override { Stop(); }

    std::vector<std::string> Events() {
        std::lock_guard g(lock_);
        return events_;
    }
    bool AllOnOneOtherThread() {
        std::lock_guard g(lock_);
        for (auto id : threads_)
            if (id != threads_.front() || id == std::this_thread::get_id()) return false;
        return !threads_.empty();
    }

    Event* gate = nullptr;    // command 9 waits for it
    Event* entered = nullptr; // set when command 9 starts

private:
    void Note(std::string what) {
        std::lock_guard g(lock_);
        events_.push_back(std::move(what));
        threads_.push_back(std::this_thread::get_id());
    }
    void OnThreadBegin() override { Note("begin"); }
    void OnThreadEnd() override { Note("end"); }
    void OnCreate(VIZur::HWND w) override { Note(w ? "create" : "create-null"); }
    void OnClose() override { Note("close"); }
    intptr_t OnCommand(uint32_t command, VIZur::CommandRequest*) override {
        if (command == 9) {
            entered->set();
            wait_one(*gate);
        }
        Note("cmd" + std::to_string(command));
        return 0;
    }

    std::mutex lock_;
    std::vector<std::string> events_;
    std::vector<std::thread::id> threads_;
};

struct TrackedRequest : VIZur::CommandRequest {
    TrackedRequest(Event* e, std::atomic<int>* gone) : CommandRequest(e), destroyed(gone) {}
    ~TrackedRequest() override { ++*destroyed; }
    std::atomic<int>* destroyed;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(VIZur::LazyWindow::Initialize(), 0); }
    void TearDown() override { VIZur::LazyWindow::Uninitialize(); }
};

uint32_t Command(uint32_t n) { return VIZur::WM_SERVICE_COMMAND + n; }

}  // namespace

TEST(LazyWindow, ClassIsRegisteredByTheFirstUseAndGoneAfterTheLast) {
    ASSERT_EQ(VIZur::LazyWindow::ClassName(), "");
    EXPECT_NE(VIZur::LazyWindow::Initialize(), 0);
    const std::string name = VIZur::LazyWindow::ClassName();
    EXPECT_EQ(name.rfind("Korvo.WndClass.", 0), 0u) << name;
    EXPECT_NE(VIZur::LazyWindow::Initialize(), 0);
    EXPECT_EQ(VIZur::LazyWindow::ClassName(), name);
    VIZur::LazyWindow::Uninitialize();
    EXPECT_EQ(VIZur::LazyWindow::ClassName(), name);
    VIZur::LazyWindow::Uninitialize();
    EXPECT_EQ(VIZur::LazyWindow::ClassName(), "");
    VIZur::LazyWindow::Uninitialize();  // one too many changes nothing
    EXPECT_NE(VIZur::LazyWindow::Initialize(), 0);
    VIZur::LazyWindow::Uninitialize();
}

TEST_F(ServiceTest, LifecycleRunsEveryStepOnTheServiceThreadAndStopIsIdempotent) {
    vemx_test::LogCapture log;
    Recorder s;
    s.Start();
    ASSERT_NE(s.Window(), nullptr);
    s.Start();  // already running: no second thread
    EXPECT_NE(s.SendCommand(5), 0u);  // returns only after the command ran
    EXPECT_EQ(s.Events().back(), "cmd5");
    s.Stop();
    s.Stop();
    EXPECT_EQ(s.Events(), (std::vector<std::string>{"begin", "create", "cmd5", "close", "end"}));
    EXPECT_TRUE(s.AllOnOneOtherThread());
    EXPECT_EQ(s.Window(), nullptr);
    EXPECT_EQ(log.lines_starting("INFO[VIZur::LazyWindow] "),
              (std::vector<std::string>{"INFO[VIZur::LazyWindow] LazyWindow service begin.\n",
                                        "INFO[VIZur::LazyWindow] LazyWindow service ended.\n"}));

    // Posting to the old window now fails at once, with one line.
    log.clear();
    std::atomic<int> gone{0};
    Event done;
    EXPECT_EQ(s.SendCommand(1, new TrackedRequest(&done, &gone)), 0u);
    EXPECT_EQ(gone, 1);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("FAILED, err=1400"), std::string::npos) << log.lines()[0];

    s.Start();  // a stopped service starts again
    EXPECT_NE(s.SendCommand(6), 0u);
    s.Stop();
    EXPECT_EQ(s.Events().size(), 10u);
}

TEST_F(ServiceTest, RequestsAreFinishedAndDestroyedByTheServiceThread) {
    Recorder s;
    s.Start();
    std::atomic<int> gone{0};
    Event done;
    EXPECT_EQ(s.SendCommand(2, new TrackedRequest(&done, &gone)), VIZur::WAIT_OBJECT_0);
    EXPECT_FALSE(wait_one(done, 0ms));  // the one signal was taken by the sender
    // No event: posted, not waited for.
    EXPECT_EQ(s.SendCommand(3, new TrackedRequest(nullptr, &gone)), VIZur::WAIT_FAILED);
    // Commands run one after the other, so both requests are gone once this ran.
    EXPECT_NE(s.SendCommand(4), 0u);
    EXPECT_EQ(gone, 2);
    s.Stop();
    EXPECT_EQ(s.Events()[2], "cmd2");
    EXPECT_EQ(s.Events()[3], "cmd3");
}

TEST_F(ServiceTest, CommandsFromManyThreadsAllRunOnceInEachSendersOrder) {
    Recorder s;
    s.Start();
    constexpr int kThreads = 6, kEach = 150;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) s.SendCommand(100 + t);
        });
    // Posted without waiting: these must run in posting order.
    for (uint32_t c = 10; c < 60; ++c) ASSERT_TRUE(VIZur::PostMessageGuaranteed(s.Window(), Command(c), 0));
    for (auto& t : senders) t.join();
    s.Stop();
    const auto ev = s.Events();
    std::vector<int> per_thread(kThreads);
    uint32_t next_posted = 10;
    for (const auto& e : ev) {
        if (e.rfind("cmd", 0) != 0) continue;
        const int n = std::stoi(e.substr(3));
        if (n >= 100) {
            ++per_thread[n - 100];
        } else {
            EXPECT_EQ(static_cast<uint32_t>(n), next_posted);
            ++next_posted;
        }
    }
    EXPECT_EQ(next_posted, 60u);
    for (int n : per_thread) EXPECT_EQ(n, kEach);
}

TEST_F(ServiceTest, StopRunsCommandsPostedBeforeItAndRefusesLaterOnes) {
    vemx_test::LogCapture log;
    Recorder s;
    Event gate, entered;
    s.gate = &gate;
    s.entered = &entered;
    s.Start();
    const VIZur::HWND w = s.Window();
    std::thread blocked([&] { s.SendCommand(9); });
    ASSERT_TRUE(wait_one(entered, 5s));
    std::atomic<int> gone{0};
    Event first_done;
    ASSERT_TRUE(VIZur::PostMessageGuaranteed(w, Command(0), reinterpret_cast<uintptr_t>(new TrackedRequest(&first_done, &gone))));

    // What Stop does first: queue the close and seal the window.
    ASSERT_EQ(VIZur::LazyWindow::PostClose(w), 0);
    EXPECT_EQ(VIZur::PostMessageW(w, Command(7), 0, 0), VIZur::ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(s.SendCommand(8), 0u);  // fails at once instead of waiting for ever
    EXPECT_EQ(VIZur::LazyWindow::PostClose(w), VIZur::ERROR_INVALID_WINDOW_HANDLE);
    gate.set();
    blocked.join();
    s.Stop();
    EXPECT_TRUE(wait_one(first_done, 0ms));
    EXPECT_EQ(gone, 1);
    const auto ev = s.Events();
    ASSERT_GE(ev.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(ev.end() - 4, ev.end()),
              (std::vector<std::string>{"cmd9", "cmd0", "close", "end"}));
    for (const auto& e : ev) EXPECT_NE(e, "cmd8");
    EXPECT_GE(log.count_containing("FAILED, err=1400"), 1u);
}

TEST_F(ServiceTest, CloseMessageRunsPendingBaseCommandsFirstAndReleasesTheRest) {
    Recorder s;
    Event gate, entered;
    s.gate = &gate;
    s.entered = &entered;
    s.Start();
    const VIZur::HWND w = s.Window();
    std::thread blocked([&] { s.SendCommand(9); });
    ASSERT_TRUE(wait_one(entered, 5s));
    // Queued behind the close: the 0x1400 one still runs, the other is
    // handed back unrun, and its sender is released.
    ASSERT_EQ(VIZur::PostMessageW(w, VIZur::WM_CLOSE, 0, 0), 0);
    std::atomic<int> gone{0};
    Event base_done, other_done;
    ASSERT_TRUE(VIZur::PostMessageGuaranteed(w, Command(3), reinterpret_cast<uintptr_t>(new TrackedRequest(&other_done, &gone))));
    ASSERT_TRUE(VIZur::PostMessageGuaranteed(w, Command(0), reinterpret_cast<uintptr_t>(new TrackedRequest(&base_done, &gone))));
    gate.set();
    blocked.join();
    EXPECT_TRUE(wait_one(base_done, 5s));
    EXPECT_TRUE(wait_one(other_done, 5s));
    s.Stop();  // the thread ended by itself; Stop only joins
    EXPECT_EQ(gone, 2);
    EXPECT_EQ(s.Events(), (std::vector<std::string>{"begin", "create", "cmd9", "cmd0", "close", "end"}));
}

TEST(Service, WithoutAWindowClassTheServiceReportsYetStillStops) {
    ASSERT_EQ(VIZur::LazyWindow::ClassName(), "");
    vemx_test::LogCapture log;
    Recorder s;
    s.Start();
    EXPECT_EQ(s.Window(), nullptr);
    EXPECT_EQ(s.SendCommand(1), 0u);
    s.Stop();
    EXPECT_EQ(s.Events(), (std::vector<std::string>{"begin", "end"}));
    EXPECT_EQ(log.count_containing(
                  "[vemx][ERROR]: LazyWindow(156): [VIZur::LazyWindow::CreateMessageOnlyWindow] err=1407\n"),
              1u);
}

TEST_F(ServiceTest, PostToAGoneWindowFailsOnceWithoutRetrying) {
    vemx_test::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(VIZur::PostMessageGuaranteed(reinterpret_cast<VIZur::HWND>(0x10), 0x1400, 7));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "ERROR[VIZur::LazyWindow] PostMessageGuaranteed(0x10, 5120, 7, 0) FAILED, err=1400\n"}));
}

TEST(MessageWait, MessagesAndObjectsWakeTheSameWait) {
    Event ev;
    vemx::platform::Waitable* objects[] = {&ev};
    ev.set();
    EXPECT_EQ(VIZur::MsgWaitForMultipleObjects(objects), 0);

    auto queue = vemx::platform::MessageQueue::Current();
    std::thread poster([queue] {
        std::this_thread::sleep_for(20ms);
        queue->Post({0, 0x500, 1, 2});
        queue->Post({7, 0x600, 3, 4});
    });
    EXPECT_EQ(VIZur::MsgWaitForMultipleObjects(objects), 1);
    poster.join();
    VIZur::MSG m;
    EXPECT_FALSE(VIZur::PeekMessageW(m, nullptr, 0x501, 0x5FF));
    EXPECT_TRUE(VIZur::PeekMessageW(m, reinterpret_cast<VIZur::HWND>(7), 0, UINT32_MAX));
    EXPECT_EQ(m.message, 0x600u);
    EXPECT_EQ(m.lParam, 4);
    EXPECT_EQ(VIZur::MsgWaitForMultipleObjects(objects), 1);  // one still pending
    EXPECT_TRUE(VIZur::PeekMessageW(m, nullptr, 0, UINT32_MAX));
    EXPECT_EQ(m.wParam, 1u);
    ev.set();
    EXPECT_EQ(VIZur::MsgWaitForMultipleObjects(objects), 0);  // the queue is empty again

    queue->Close();
    EXPECT_FALSE(queue->Post({0, 1, 0, 0}));
}
