#pragma once
// The device enumerator: a scan thread that probes the multicast group at an
// interval and hands every newly seen device to the application as a device
// connection.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "devices/devreply.h"
#include "frame/handle.h"
#include "platform/waitable.h"

namespace vemx_dev_detail {

using found_fn = void (*)(void* devcon, void* user);

// Everything the scan thread works with.  The thread keeps it alive, so an
// enumerator released from inside its own callback lets the thread finish
// that callback and end instead of destroying what it is using.
class scanner_t {
  public:
    // Shorter intervals would send probes back to back.
    static constexpr uint32_t kMinIntervalMs = 10;
    static constexpr size_t kMaxDevices = 4096;
    // Replies read per wake before the probe timer and the stop request
    // are looked at again, so a flood cannot starve them.
    static constexpr int kMaxRepliesPerWake = 512;

    scanner_t();

    void SetGroupAddress(const char* address);
    void SetPort(unsigned int port);
    void SetCallback(found_fn callback, void* user);

    void Main(uint32_t interval_ms);
    // Makes Main return soon; no callback starts afterwards.
    void Stop() noexcept;

  private:
    void Probe(int sock);
    void SendProbe(int sock, const sockaddr_in& to, const uint8_t* probe, size_t length);
    // Reads every waiting reply, up to kMaxRepliesPerWake.
    void Drain(int sock, vemx_dev_reply::found_list_t& found);
    void Report(const sockaddr_in& from, const vemx_dev_reply::reply_t& reply);

    // Settings, written by the caller's thread and read by the scan thread.
    std::mutex lock_;
    std::string group_ = "224.2.3.4";
    uint16_t port_ = 12345;
    found_fn callback_;
    void* user_ = nullptr;

    // Scan thread only.
    std::minstd_rand rng_;
    std::string bad_group_;  // the unusable address last reported
    bool full_reported_ = false;

    std::atomic<bool> running_{true};
    vemx::platform::Event stop_{true};
};

class devenum_t final : public vemx::frame::RefCounted {
  public:
    devenum_t() : scanner_(std::make_shared<scanner_t>()) {}
    // Stops the scan thread and waits for it (from inside a callback: lets
    // it end by itself).
    ~devenum_t() override;

    scanner_t& scanner() noexcept { return *scanner_; }
    void Scan(uint32_t interval_ms);

  private:
    std::shared_ptr<scanner_t> scanner_;
    std::thread thread_;
};

}  // namespace vemx_dev_detail
