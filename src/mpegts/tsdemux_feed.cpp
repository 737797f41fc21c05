// The hand-over of the caller's blocks to libavformat's read callback.
#include "mpegts/tsdemux.h"

#include <algorithm>
#include <cstring>

namespace vemx::tsdemux {

namespace {

std::chrono::nanoseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::steady_clock::now() - start;
}

}  // namespace

int TsDemux::WriteData(const uint8_t* data, uint64_t size) {
    if (!running()) return 0;
    {
        std::lock_guard lock(feed_lock_);
        if (feed_ended_ || stopping_) return 0;
        feed_command_ = 1;
        feed_pointer_ = data;
        feed_remainder_ = size;
        writer_waiting_ = true;
        writer_called_ = false;
    }
    data_bell_.ring();
    const auto start = std::chrono::steady_clock::now();
    // The first wait spins as long as blocks usually take; a writer woken
    // ahead of the end spins for the rest up to the limit.
    auto spin = writer_spin_.next();
    for (;;) {
        const uint32_t ticket = done_bell_.ticket();
        {
            std::lock_guard lock(feed_lock_);
            if (!writer_waiting_) break;
        }
        done_bell_.wait(ticket, spin);
        spin = kWriterSpinLimit;
    }
    writer_spin_.record(Since(start));
    return 0;
}

int TsDemux::onReadPacket(void* opaque, uint8_t* buffer, int buffer_size) {
    return static_cast<TsDemux*>(opaque)->ReadPacket(buffer, buffer_size);
}

int TsDemux::ReadPacket(uint8_t* buffer, int size) {
    std::chrono::steady_clock::time_point idle{};
    for (;;) {
        const uint32_t ticket = data_bell_.ticket();
        bool ring_writer = false;
        {
            std::unique_lock lock(feed_lock_);
            if (feed_command_ == 1) {
                if (idle != std::chrono::steady_clock::time_point{})
                    reader_spin_.record(Since(idle));
                const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), feed_remainder_);
                if (n > 0) {
                    std::memcpy(buffer, feed_pointer_, n);
                    feed_pointer_ += n;
                    feed_remainder_ -= n;
                }
                if (feed_remainder_ == 0) {
                    FinishBlock();
                    ring_writer = true;
                } else if (!writer_called_ && feed_remainder_ <= 2 * static_cast<uint64_t>(size) &&
                           done_bell_.has_sleepers()) {
                    writer_called_ = true;
                    ring_writer = true;
                }
                if (n > 0) {
                    lock.unlock();
                    if (ring_writer) done_bell_.ring();
                    return static_cast<int>(n);
                }
                // An empty block is done as soon as it is seen; wait for the next.
            } else if (feed_command_ == 2) {
                return -1;
            } else if (feed_command_ != 0) {
                const int command = feed_command_;
                lock.unlock();
                Report(__LINE__, L"vemx::tsdemux::TsDemux::onReadPacket",
                       L"unexpected event, event=" + std::to_wstring(command));
                return -1;
            }
        }
        if (ring_writer) done_bell_.ring();
        idle = std::chrono::steady_clock::now();
        data_bell_.wait(ticket, reader_spin_.next());
    }
}

void TsDemux::FinishBlock() noexcept {
    feed_pointer_ = nullptr;
    feed_remainder_ = 0;
    feed_command_ = 0;
    writer_waiting_ = false;
}

void TsDemux::EndOfThread() noexcept {
    running_.store(0, std::memory_order_release);
    {
        std::lock_guard lock(feed_lock_);
        feed_ended_ = true;
        // A writer still waiting would otherwise never return.
        if (!writer_waiting_) return;
        FinishBlock();
    }
    done_bell_.ring();
}

}  // namespace vemx::tsdemux
