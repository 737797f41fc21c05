#pragma once
// Turns a hang into a failure: a test that deadlocks would otherwise stall
// the whole run.  If the object still lives after `limit`, the program is
// aborted with `what` on stderr.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace vemx_test {

class Watchdog {
  public:
    explicit Watchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(60))
        : what_(std::move(what)), thread_([this, limit] {
              std::unique_lock lock(lock_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "hung: %s\n", what_.c_str());
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(lock_);
            done_ = true;
        }
        done_cv_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::string what_;
    std::mutex lock_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace vemx_test
