#pragma once
// The device enumerator: a scan thread that probes the multicast group at an
// interval and hands every newly seen device to the application as a device
// connection.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "devices/devreply.h"
#include "frame/handle.h"
#include "platform/waitable.h"

namespace vemx_dev_detail {

using found_fn = void (*)(void* devcon, void* user);

class devenum_t final : public vemx::frame::RefCounted {
  public:
    static constexpr const char* kDefaultGroup = "224.2.3.4";
    static constexpr uint16_t kDefaultPort = 12345;
    // Shorter intervals would send probes back to back.
    static constexpr uint32_t kMinIntervalMs = 10;
    static constexpr size_t kMaxDevices = 4096;
    // Replies read per wake before the probe timer and the stop request
    // are looked at again, so a flood cannot starve them.
    static constexpr int kMaxRepliesPerWake = 512;

    devenum_t();
    // Stops the scan thread and waits for it.
    ~devenum_t() override;

    void SetGroupAddress(const char* address);
    void SetPort(unsigned int port);
    void SetCallback(found_fn callback, void* user);
    void Scan(uint32_t interval_ms);

  private:
    void Main(uint32_t interval_ms);
    void Probe(int sock);
    void SendProbe(int sock, const sockaddr_in& to, const uint8_t* probe, size_t length);
    // Reads every waiting reply, up to kMaxRepliesPerWake.
    void Drain(int sock, vemx_dev_reply::found_list_t& found);
    void Report(const sockaddr_in& from, const vemx_dev_reply::reply_t& reply);

    // Settings, written by the caller's thread and read by the scan thread.
    std::mutex lock_;
    std::string group_ = kDefaultGroup;
    uint16_t port_ = kDefaultPort;
    found_fn callback_;
    void* user_ = nullptr;

    // Scan thread only.
    std::minstd_rand rng_;
    std::string bad_group_;  // the unusable address last reported
    bool full_reported_ = false;

    std::atomic<bool> running_{false};
    vemx::platform::Event stop_{true};
    std::thread thread_;
};

}  // namespace vemx_dev_detail
