#include "devices/devcon.h"

#include <algorithm>
#include <cstring>

#include "devices/devinfo.h"
#include "devices/http_client.h"
#include "vemx/vemx_devcon.h"

namespace vemx_dev_detail {

devcon_t::devcon_t() : client_(std::make_shared<http::client_thread>(address_, port_, uri_)) {}

devcon_t::devcon_t(std::string address, const uint8_t (&mac)[6], uint32_t id, uint16_t port,
                   std::string uri)
    : address_(std::move(address)), id_(id), port_(port), uri_(std::move(uri)) {
    std::memcpy(mac_, mac, sizeof mac_);
    client_ = std::make_shared<http::client_thread>(address_, port_, uri_);
}

devcon_t::~devcon_t() {
    client_->stop();
}

void devcon_t::init() {
    client_->start();
}

bool devcon_t::request(vemx::devinfo::devinfo_t* request, answer_fn callback, void* user) {
    request->AddRef();
    return client_->enqueue(http::job_t{http::record_ref(request), callback, user});
}

}  // namespace vemx_dev_detail

using vemx::frame::Guarded;
using vemx_dev_detail::devcon_t;
using vemx_dev_detail::from_handle;

namespace {

void copy_cut(const std::string& text, char* buffer, const size_t* size) {
    if (!buffer || !size || *size == 0) return;
    const size_t n = std::min(text.size(), *size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

VEMX_EXPORT void* vemx_devcon_new(void) {
    return Guarded("vemx_devcon_new", static_cast<void*>(nullptr),
                   [] { return vemx::frame::NewHandle<devcon_t>(); });
}

VEMX_EXPORT void* vemx_devcon_new2(const char* ip, uint16_t port, const char* uri) {
    return Guarded("vemx_devcon_new2", static_cast<void*>(nullptr), [&] {
        const uint8_t no_mac[6] = {};
        return vemx::frame::NewHandle<devcon_t>(ip ? ip : "", no_mac, uint32_t{0}, port,
                                                uri ? uri : "");
    });
}

VEMX_EXPORT void vemx_devcon_add_ref(void* con) {
    vemx::frame::AddRefHandle(con);
}

VEMX_EXPORT void vemx_devcon_release(void* con) {
    vemx::frame::ReleaseHandle(con);
}

VEMX_EXPORT void vemx_devcon_get_id(void* con, uint32_t* id) {
    if (con && id) *id = from_handle(con)->id();
}

VEMX_EXPORT void vemx_devcon_get_mac_address(void* con, uint8_t* mac, size_t* size) {
    if (con && mac && size) std::memcpy(mac, from_handle(con)->mac(), std::min<size_t>(*size, 6));
}

VEMX_EXPORT void vemx_devcon_get_ip(void* con, char* buffer, size_t* size) {
    if (con) copy_cut(from_handle(con)->address(), buffer, size);
}

VEMX_EXPORT void vemx_devcon_get_port(void* con, uint16_t* port) {
    if (con && port) *port = from_handle(con)->port();
}

VEMX_EXPORT void vemx_devcon_get_uri(void* con, char* buffer, size_t* size) {
    if (con) copy_cut(from_handle(con)->uri(), buffer, size);
}

VEMX_EXPORT void vemx_devcon_init(void* con) {
    if (!con) return;
    Guarded("vemx_devcon_init", [&] { from_handle(con)->init(); });
}

VEMX_EXPORT int32_t vemx_devcon_request(void* con, void* request, vemx_devcon_callback_fn callback,
                                        void* user) {
    if (!con || !request) return 0;
    return Guarded("vemx_devcon_request", int32_t{0}, [&] {
        return from_handle(con)->request(vemx::devinfo::from_handle(request), callback, user) ? 1
                                                                                              : 0;
    });
}
