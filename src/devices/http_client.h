#pragma once
// The HTTP client thread of one device connection.  It waits on its job
// queue and every socket in flight in one epoll set, waking for readiness,
// a new job or the earliest deadline, so any number of requests cost
// nothing while they wait.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "devices/devinfo.h"
#include "platform/waitable.h"

namespace vemx_dev_detail::http {

using answer_fn = void (*)(void* answer, void* user);

// A connection attempt the network never completes ends after this.
inline constexpr int64_t kConnectDeadlineMs = 5000;
// No complete answer within this after the request went out ends it.
inline constexpr int64_t kAnswerDeadlineMs = 2000;

struct record_release {
    void operator()(vemx::devinfo::devinfo_t* r) const noexcept { r->Release(); }
};
using record_ref = std::unique_ptr<vemx::devinfo::devinfo_t, record_release>;

struct job_t {
    record_ref request;
    answer_fn callback;
    void* user;
};

struct request_t;

class client_thread : public std::enable_shared_from_this<client_thread> {
  public:
    client_thread(const std::string& address, uint16_t port, std::string uri);
    ~client_thread();
    client_thread(const client_thread&) = delete;
    client_thread& operator=(const client_thread&) = delete;

    // Starts the thread; a second call only logs.
    void start();
    // Queues a request; true when the thread was signalled.
    bool enqueue(job_t job);
    // Ends the thread.  Waits for it unless called from the thread itself
    // (a callback dropping its connection), which then ends after the
    // callback on its own.
    void stop() noexcept;

  private:
    void main() noexcept;
    void loop(int epoll_fd);
    void take_jobs(int epoll_fd, std::deque<std::unique_ptr<request_t>>& in_flight);
    std::unique_ptr<request_t> start_request(int epoll_fd, job_t job);
    void on_events(request_t& r, uint32_t events);
    void try_send(request_t& r);
    void on_readable(request_t& r);
    void on_except(request_t& r);
    void finish(request_t& r);

    sockaddr_in peer_{};
    bool peer_valid_ = false;
    std::string uri_;

    std::mutex lock_;
    std::deque<job_t> jobs_;
    std::thread thread_;
    vemx::platform::Event wake_;
    std::atomic<bool> quit_{false};
    // Thread-only: requests finished this round, in the order they finished.
    std::vector<request_t*> finished_;
    char recv_buf_[16384];
};

}  // namespace vemx_dev_detail::http
