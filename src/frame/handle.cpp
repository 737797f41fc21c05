#include "frame/handle.h"

#include <string>
#include <system_error>
#include <thread>

namespace vemx::frame {

void RefCounted::Release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (!ServingThread::Serves(this)) {
        delete this;
        return;
    }
    ReportObject(L"vemx", L"handle", __LINE__, L"vemx::frame::RefCounted::Release", this,
                 L"last reference released on the object's own thread; destroyed once the thread "
                 L"has left it");
    DestroyElsewhere([](void* object) { delete static_cast<RefCounted*>(object); }, this);
}

bool DestroyElsewhere(void (*destroy)(void*), void* object) noexcept {
    try {
        std::thread(destroy, object).detach();
        return true;
    } catch (const std::system_error& e) {
        ReportObject(L"vemx", L"handle", __LINE__, L"vemx::frame::DestroyElsewhere", object,
                     L"no thread to destroy it on, err=" + std::to_wstring(e.code().value()) +
                         L"; it is kept");
    } catch (...) {
    }
    return false;
}

}  // namespace vemx::frame
