#pragma once
// Message-window services.  A service runs a thread of its own that owns a
// message-only window; other threads post it messages, and commands (message
// values from 0x1400 up, carrying a CommandRequest) run on the service thread
// one at a time in posting order while the sender waits.
//
// There is no window system here: a window is an id in a process-wide table
// that routes posted messages to its thread's queue and dispatches them to
// its window procedure.  The Win32 names are kept where the behaviour is the
// same, so the services read like their message-loop design.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/msgqueue.h"
#include "platform/waitable.h"

namespace VIZur {

using HWND = void*;  // window id, never dereferenced
using MSG = vemx::platform::Message;

inline constexpr uint32_t WM_CREATE = 0x0001;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_SERVICE_COMMAND = 0x1400;  // + command number

inline constexpr int ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr int ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr int ERROR_CANNOT_FIND_WND_CLASS = 1407;

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;

class Service;

class LazyWindow {
  public:
    // Counts one use; the first registers the window class.  Non-zero when a
    // class is registered.
    static int Initialize();
    // Counts one use off; the last unregisters the class.
    static void Uninitialize();
    // The registered class's name ("Korvo.WndClass.<ms>"), empty when none.
    static std::string ClassName();

    // A window of the registered class owned by the calling thread, whose
    // messages go to the service's window procedure; WM_CREATE reaches the
    // service before this returns.  Null (with a report) when no class is
    // registered.
    static HWND CreateMessageOnlyWindow(Service* service);

    // Dispatches the calling thread's messages until WM_QUIT.
    static void MessageLoop(MSG& record);

    // Posts WM_CLOSE and refuses every later post to the window, so that no
    // sender can queue a command behind the close and wait for ever.
    // 0 or the error code.
    static int PostClose(HWND window);
};

// 0 when queued, else ERROR_INVALID_WINDOW_HANDLE (no such window, or it is
// closing) or ERROR_NOT_ENOUGH_MEMORY.  Any thread.
int PostMessageW(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Takes the calling thread's first message for window (null: any) whose
// value lies in [first, last]; false when there is none.
bool PeekMessageW(MSG& out, HWND window, uint32_t first, uint32_t last);

// Runs the message's window procedure; 0 when its window is gone.
intptr_t DispatchMessageW(const MSG& message);

void PostQuitMessage(int exit_code);

// Removes the window; later posts to it fail.  On its owning thread.
void DestroyWindow(HWND window);

// Waits for one of the objects or for a message in the calling thread's
// queue.  Returns the object's index, objects.size() for messages, -1 when
// the wait failed (errno).
int MsgWaitForMultipleObjects(std::span<vemx::platform::Waitable* const> objects);

// Posts with lParam 0, retrying every 100 ms until the post succeeds or the
// window is invalid; every failed attempt is logged.  True when posted.
bool PostMessageGuaranteed(HWND window, uint32_t message, uintptr_t wParam);

// Base of the requests that carry a command's arguments.  Once posted it
// belongs to the service thread, which sets the event (when there is one)
// after the command ran and then destroys the request.
class CommandRequest {
  public:
    explicit CommandRequest(vemx::platform::Event* done = nullptr) noexcept : event(done) {}
    CommandRequest(const CommandRequest&) = delete;
    CommandRequest& operator=(const CommandRequest&) = delete;
    virtual ~CommandRequest() = default;

    vemx::platform::Event* event;
};

// A derived class must call Stop() in its own destructor: the thread calls
// its virtual operations until it has ended.
class Service {
  public:
    Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    virtual ~Service();

    // Starts the service thread if there is none; returns once its window
    // exists (or its creation failed).
    void Start();
    // Closes the window, then waits for the thread to end.  Commands posted
    // before run first; posts after it fail.  Not on the service thread.
    void Stop();

    // Posts command 0x1400 + command and waits until it ran.  The request (a
    // CommandRequest of its own when null) is handed over in every case.
    // Result: without a request, non-zero when the command was posted; with
    // one, WAIT_OBJECT_0 after it ran, WAIT_FAILED at once when the request
    // has no event to wait on; 0 when the post failed.  Not on the service
    // thread, where it would wait for itself.
    uint32_t SendCommand(uint32_t command, CommandRequest* request = nullptr);

    HWND Window() const noexcept { return window_.load(); }
    bool OnServiceThread() const noexcept {
        return std::this_thread::get_id() == thread_id_.load();
    }

  protected:
    virtual void OnThreadBegin() {}
    virtual void OnThreadEnd() {}
    virtual void OnCreate(HWND) {}
    virtual void OnClose() {}
    // The thread's loop; returns when the loop has dispatched WM_QUIT.
    virtual void Run();
    virtual intptr_t OnCommand(uint32_t command, CommandRequest* request) = 0;

    std::atomic<int> running_{0};
    MSG msg_;  // the loop's message record; its wParam is the exit code

  private:
    friend class LazyWindow;
    static intptr_t WindowProcedure(HWND window, uint32_t message, uintptr_t wParam,
                                    intptr_t lParam, void* context);
    void ThreadMain();
    // Runs the pending 0x1400 messages, OnClose, destroys the window and
    // hands back the commands that can no longer run.
    void CloseWindow(HWND window);

    std::thread thread_;
    // Held while thread_ is assigned; the thread takes it before anything
    // else, so that a callback that ends the service finds thread_ set.
    std::mutex start_lock_;
    std::atomic<HWND> window_{nullptr};
    vemx::platform::Event ready_;
    std::shared_ptr<vemx::platform::MessageQueue> queue_;
    std::atomic<std::thread::id> thread_id_{};
};

}  // namespace VIZur
