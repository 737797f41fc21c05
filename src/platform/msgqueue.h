#pragma once
// A thread's message queue: (window, message, wParam, lParam) entries posted
// from any thread and taken by the owning thread in posting order.  It is a
// Waitable that reads as signalled while entries are pending (without taking
// any), so a thread can wait for messages and its other objects in one call.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/waitable.h"

namespace vemx::platform {

struct Message {
    uintptr_t window = 0;  // 0 for thread messages such as the quit message
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

class MessageQueue final : public Waitable {
  public:
    MessageQueue();

    // The calling thread's queue, made on first use.  When the thread ends the
    // queue is closed; holders may keep the object itself alive.
    static std::shared_ptr<MessageQueue> Current();

    // False once the queue is closed.
    bool Post(const Message& m);

    // Takes the first entry for window (0: any) whose value lies in [first,
    // last]; false when there is none.  Never blocks.
    bool Take(Message& out, uintptr_t window = 0, uint32_t first = 0, uint32_t last = UINT32_MAX);

    // Blocks until an entry can be taken.  False when the wait failed (errno).
    bool Get(Message& out);

    // Refuses later posts; pending entries stay takeable.
    void Close();

    bool try_acquire() noexcept override;

  private:
    std::mutex lock_;
    std::deque<Message> entries_;
    bool closed_ = false;
};

}  // namespace vemx::platform
