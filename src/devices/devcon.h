#pragma once
// One network device and the requests sent to it.  Discovery creates these
// with the device's identity filled in; applications get them through the
// vemx_devcon_* handles (the handle is the devcon_t pointer).
#include <cstdint>
#include <memory>
#include <string>

#include "frame/handle.h"

namespace vemx::devinfo {
class devinfo_t;
}

namespace vemx_dev_detail {

// Receives the answer record (a devinfo handle, valid only during the call)
// and the user pointer.
using answer_fn = void (*)(void* answer, void* user);

namespace http {
class client_thread;
}

class devcon_t final : public vemx::frame::RefCounted {
  public:
    // Empty identity: no address or URI, ID, MAC and port zero.
    devcon_t();
    devcon_t(std::string address, const uint8_t (&mac)[6], uint32_t id, uint16_t port,
             std::string uri);
    // Ends the HTTP client thread (requests in flight end without their
    // callbacks) and drops the records of requests still queued.
    ~devcon_t() override;

    const std::string& address() const noexcept { return address_; }
    const uint8_t* mac() const noexcept { return mac_; }
    uint32_t id() const noexcept { return id_; }
    uint16_t port() const noexcept { return port_; }
    const std::string& uri() const noexcept { return uri_; }

    // Starts the HTTP client thread; a second call only logs.
    void init();

    // Queues a POST of `request` (which gains a reference until the request
    // ends).  True when the worker was signalled.
    bool request(vemx::devinfo::devinfo_t* request, answer_fn callback, void* user);

  private:
    std::string address_;
    uint8_t mac_[6] = {};
    uint32_t id_ = 0;
    uint16_t port_ = 0;
    std::string uri_;

    // Owns the job queue and, once init() ran, the thread (which holds a
    // reference of its own while it runs).
    std::shared_ptr<http::client_thread> client_;
};

inline void* to_handle(devcon_t* con) noexcept {
    return vemx::frame::ToHandle(con);
}
inline devcon_t* from_handle(void* handle) noexcept {
    return vemx::frame::FromHandle<devcon_t>(handle);
}

// Drops one reference, as vemx_devcon_release does; the last one destroys.
inline void release(devcon_t* con) noexcept {
    if (con) con->Release();
}

}  // namespace vemx_dev_detail
