#include "frame/LazyWindow.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame/error.h"
#include "frame/log.h"

namespace VIZur {

using vemx::platform::Event;
using vemx::platform::MessageQueue;
using vemx::platform::Waitable;

namespace {

using WindowProc = intptr_t (*)(HWND, uint32_t, uintptr_t, intptr_t, void*);

// What a window is: where its messages are queued and who handles them.
struct WindowThunk {
    WindowProc handler;
    void* context;
    std::shared_ptr<MessageQueue> queue;
    bool closing = false;
};

struct Registry {
    std::mutex lock;
    int32_t uses = 0;
    std::string class_name;
    uintptr_t last_id = 0x10000;
    std::unordered_map<uintptr_t, WindowThunk> windows;
};

// Never destroyed: service threads a host left running may still post
// while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

uintptr_t id_of(HWND w) {
    return reinterpret_cast<uintptr_t>(w);
}

std::wstring err_text(int err) {
    return L"err=" + std::to_wstring(err);
}

const char kTag[] = "INFO[VIZur::LazyWindow] ";
const char kErrorTag[] = "ERROR[VIZur::LazyWindow] ";

}  // namespace

int LazyWindow::Initialize() {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    if (++r.uses != 1 || !r.class_name.empty()) return 1;
    try {
        r.class_name = "Korvo.WndClass." + std::to_string(std::clock() * 1000 / CLOCKS_PER_SEC);
    } catch (const std::bad_alloc&) {
        vemx::frame::ReportFunction(L"vemx", L"LazyWindow", 48, L"VIZur::LazyWindow::Initialize",
                                    err_text(ERROR_NOT_ENOUGH_MEMORY));
    }
    return r.class_name.empty() ? 0 : 1;
}

void LazyWindow::Uninitialize() {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    if (r.uses > 0 && --r.uses == 0) r.class_name.clear();
}

std::string LazyWindow::ClassName() {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return r.class_name;
}

HWND LazyWindow::CreateMessageOnlyWindow(Service* service) {
    Registry& r = registry();
    int err = ERROR_CANNOT_FIND_WND_CLASS;
    HWND window = nullptr;
    try {
        auto queue = MessageQueue::Current();
        std::lock_guard guard(r.lock);
        if (!r.class_name.empty()) {
            const uintptr_t id = ++r.last_id;
            r.windows.emplace(id,
                              WindowThunk{&Service::WindowProcedure, service, std::move(queue)});
            window = reinterpret_cast<HWND>(id);
        }
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::system_error& e) {
        err = e.code().value();
    }
    if (!window) {
        vemx::frame::ReportFunction(L"vemx", L"LazyWindow", 156,
                                    L"VIZur::LazyWindow::CreateMessageOnlyWindow", err_text(err));
        return nullptr;
    }
    Service::WindowProcedure(window, WM_CREATE, 0, 0, service);
    return window;
}

void LazyWindow::MessageLoop(MSG& record) {
    auto queue = MessageQueue::Current();
    for (;;) {
        if (!queue->Get(record)) {
            vemx::frame::ReportShort(L"vemx", L"GetMesasge failed, err=" + std::to_wstring(errno));
            continue;
        }
        if (record.message == WM_QUIT) return;
        DispatchMessageW(record);
    }
}

int LazyWindow::PostClose(HWND window) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    auto it = r.windows.find(id_of(window));
    if (it == r.windows.end() || it->second.closing) return ERROR_INVALID_WINDOW_HANDLE;
    try {
        if (!it->second.queue->Post({id_of(window), WM_CLOSE, 0, 0}))
            return ERROR_INVALID_WINDOW_HANDLE;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    it->second.closing = true;
    return 0;
}

int PostMessageW(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    auto it = r.windows.find(id_of(window));
    if (it == r.windows.end() || it->second.closing) return ERROR_INVALID_WINDOW_HANDLE;
    try {
        // A closed queue means the owning thread has ended.
        return it->second.queue->Post({id_of(window), message, wParam, lParam})
                   ? 0
                   : ERROR_INVALID_WINDOW_HANDLE;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool PeekMessageW(MSG& out, HWND window, uint32_t first, uint32_t last) {
    return MessageQueue::Current()->Take(out, id_of(window), first, last);
}

intptr_t DispatchMessageW(const MSG& m) {
    WindowProc handler = nullptr;
    void* context = nullptr;
    {
        Registry& r = registry();
        std::lock_guard guard(r.lock);
        auto it = r.windows.find(m.window);
        if (it == r.windows.end()) return 0;
        handler = it->second.handler;
        context = it->second.context;
    }
    // Only the owning thread destroys a window, so the context stays valid.
    return handler(reinterpret_cast<HWND>(m.window), m.message, m.wParam, m.lParam, context);
}

void PostQuitMessage(int exit_code) {
    MessageQueue::Current()->Post({0, WM_QUIT, static_cast<uintptr_t>(exit_code), 0});
}

void DestroyWindow(HWND window) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.windows.erase(id_of(window));
}

int MsgWaitForMultipleObjects(std::span<Waitable* const> objects) {
    Waitable* small[8];
    std::vector<Waitable*> large;
    Waitable** all = small;
    if (objects.size() + 1 > std::size(small)) {
        large.resize(objects.size() + 1);
        all = large.data();
    }
    std::copy(objects.begin(), objects.end(), all);
    auto queue = MessageQueue::Current();
    all[objects.size()] = queue.get();
    const int r = vemx::platform::wait_any(std::span<Waitable* const>(all, objects.size() + 1));
    return r >= 0 ? r : -1;
}

bool PostMessageGuaranteed(HWND window, uint32_t message, uintptr_t wParam) {
    for (;;) {
        const int err = PostMessageW(window, message, wParam, 0);
        if (err == 0) return true;
        vemx::frame::LogPrint(kErrorTag, "PostMessageGuaranteed(%p, %d, %d, %d) FAILED, err=%d",
                              window, static_cast<int>(message), static_cast<int>(wParam), 0, err);
        if (err == ERROR_INVALID_WINDOW_HANDLE) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// ---- Service ----

namespace {

void FinishRequest(uintptr_t wParam) {
    auto* request = reinterpret_cast<CommandRequest*>(wParam);
    if (!request) return;
    if (request->event) request->event->set();
    delete request;
}

}  // namespace

Service::Service() = default;

Service::~Service() {
    Stop();
}

void Service::Start() {
    if (thread_.joinable()) return;
    running_ = 1;
    try {
        std::lock_guard start(start_lock_);
        thread_ = std::thread([this] { ThreadMain(); });
    } catch (const std::system_error&) {
        running_ = 0;
        return;
    }
    vemx::platform::wait_one(ready_);
}

void Service::Stop() {
    if (!thread_.joinable()) return;
    running_ = 0;
    const HWND window = window_.load();
    int err = window ? LazyWindow::PostClose(window) : ERROR_INVALID_WINDOW_HANDLE;
    while (err == ERROR_NOT_ENOUGH_MEMORY) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        err = LazyWindow::PostClose(window);
    }
    // Without a window (never made, or already closed) the loop is ended
    // directly; a thread that has already ended refuses the post.
    if (err != 0) queue_->Post({0, WM_QUIT, 0, 0});
    thread_.join();
    thread_ = std::thread();
}

uint32_t Service::SendCommand(uint32_t command, CommandRequest* request) {
    std::unique_ptr<Event> own_event;
    if (!request) {
        own_event = std::make_unique<Event>();
        request = new CommandRequest(own_event.get());
    }
    Event* const done = request->event;  // the request is gone once the command ran
    if (!PostMessageGuaranteed(window_.load(), WM_SERVICE_COMMAND + command,
                               reinterpret_cast<uintptr_t>(request))) {
        delete request;
        return 0;
    }
    if (!done) return WAIT_FAILED;
    vemx::platform::wait_one(*done);
    return own_event ? 1 : WAIT_OBJECT_0;
}

void Service::Run() {
    LazyWindow::MessageLoop(msg_);
}

intptr_t Service::WindowProcedure(HWND window, uint32_t message, uintptr_t wParam, intptr_t,
                                  void* context) {
    auto* self = static_cast<Service*>(context);
    if (message >= WM_SERVICE_COMMAND) {
        intptr_t result = 0;
        try {
            result = self->OnCommand(message - WM_SERVICE_COMMAND,
                                     reinterpret_cast<CommandRequest*>(wParam));
        } catch (const vemx::frame::ComError&) {
            // Reported where it was raised; the service goes on.
        } catch (const std::exception& e) {
            vemx::frame::LogPrint(kErrorTag, "command %u failed: %s", message - WM_SERVICE_COMMAND,
                                  e.what());
        }
        FinishRequest(wParam);
        return result;
    }
    if (message == WM_CREATE) {
        self->OnCreate(window);
        return 0;
    }
    if (message == WM_CLOSE) {
        self->CloseWindow(window);
        PostQuitMessage(0);
    }
    return 0;
}

void Service::CloseWindow(HWND window) {
    MSG m;
    while (PeekMessageW(m, window, WM_SERVICE_COMMAND, WM_SERVICE_COMMAND)) DispatchMessageW(m);
    OnClose();
    DestroyWindow(window);
    window_ = nullptr;
    // Commands that arrived after the close cannot run any more; their
    // senders are released and the requests freed.
    while (PeekMessageW(m, window, WM_SERVICE_COMMAND, UINT32_MAX)) FinishRequest(m.wParam);
}

void Service::ThreadMain() {
    { const std::lock_guard published(start_lock_); }
    vemx::frame::LogPrint(kTag, "LazyWindow service begin.");
    thread_id_ = std::this_thread::get_id();
    queue_ = MessageQueue::Current();
    OnThreadBegin();
    window_ = LazyWindow::CreateMessageOnlyWindow(this);
    ready_.set();
    Run();
    // A loop that ended on its own (a derived loop sees running_ drop before
    // the close message arrives) still runs what was queued before the close,
    // and the window is closed in every case.
    MSG m;
    while (window_.load() && PeekMessageW(m, nullptr, 0, UINT32_MAX))
        if (m.message != WM_QUIT) DispatchMessageW(m);
    if (HWND window = window_.load()) CloseWindow(window);
    OnThreadEnd();
    vemx::frame::LogPrint(kTag, "LazyWindow service ended.");
    thread_id_ = std::thread::id();
}

}  // namespace VIZur
