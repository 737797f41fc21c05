// The hand-over of the caller's blocks to libavformat's read callback.
#include "mpegts/tsdemux.h"

#include <algorithm>
#include <cstring>

namespace vemx::tsdemux {

void TsDemux::CopyIn(uint64_t at, const uint8_t* data, size_t n) noexcept {
    const size_t offset = static_cast<size_t>(at % ring_size_);
    const size_t first = std::min(n, ring_size_ - offset);
    std::memcpy(ring_.get() + offset, data, first);
    std::memcpy(ring_.get(), data + first, n - first);
}

void TsDemux::CopyOut(uint64_t at, uint8_t* buffer, size_t n) const noexcept {
    const size_t offset = static_cast<size_t>(at % ring_size_);
    const size_t first = std::min(n, ring_size_ - offset);
    std::memcpy(buffer, ring_.get() + offset, first);
    std::memcpy(buffer + first, ring_.get(), n - first);
}

int TsDemux::WriteData(const uint8_t* data, uint64_t size) {
    if (!running()) return 0;
    std::unique_lock lock(feed_lock_);
    const uint32_t session = feed_session_;
    while (size > 0) {
        if (feed_ended_ || stopping_ || feed_session_ != session) return 0;
        const uint64_t free = ring_size_ - (write_pos_ - read_pos_);
        if (free == 0) {
            writer_waiting_ = true;
            space_free_.wait(lock);
            continue;
        }
        const size_t n = static_cast<size_t>(std::min(free, size));
        const uint64_t at = write_pos_;
        lock.unlock();
        CopyIn(at, data, n);
        lock.lock();
        // A stop that came during the copy drops the block: nothing of it
        // was committed, and the caller learns nothing is read any more.
        if (feed_ended_ || stopping_ || feed_session_ != session) return 0;
        write_pos_ += n;
        data += n;
        size -= n;
        if (reader_wants_ != 0 && write_pos_ - read_pos_ >= reader_wants_) {
            reader_wants_ = 0;
            // Rung without the lock, so the reader does not wake into it.
            lock.unlock();
            data_ready_.notify_one();
            lock.lock();
        }
    }
    return 0;
}

int TsDemux::onReadPacket(void* opaque, uint8_t* buffer, int buffer_size) {
    return static_cast<TsDemux*>(opaque)->ReadPacket(buffer, buffer_size);
}

int TsDemux::ReadPacket(uint8_t* buffer, int size) {
    if (size <= 0) return 0;
    std::unique_lock lock(feed_lock_);
    const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(size), ring_size_ / 2);
    for (bool waited = false;; waited = true) {
        const uint64_t held = write_pos_ - read_pos_;
        if (held >= want || (held > 0 && (waited || stopping_))) break;
        if (stopping_) return -1;
        reader_wants_ = want;
        data_ready_.wait_for(lock, kShortReadDelay);
        reader_wants_ = 0;
    }
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(size), write_pos_ - read_pos_));
    const uint64_t at = read_pos_;
    lock.unlock();
    CopyOut(at, buffer, n);
    lock.lock();
    read_pos_ += n;
    // The writer is called back once a quarter of the ring is free: three
    // quarters are left to read while it wakes and refills, and it comes
    // once per quarter ring read, not per block.
    if (writer_waiting_ && ring_size_ - (write_pos_ - read_pos_) >= ring_size_ / 4) {
        writer_waiting_ = false;
        lock.unlock();
        space_free_.notify_one();
    }
    return static_cast<int>(n);
}

void TsDemux::EndOfThread() noexcept {
    running_.store(0, std::memory_order_release);
    {
        std::lock_guard lock(feed_lock_);
        feed_ended_ = true;
        writer_waiting_ = false;
    }
    // A writer still waiting for room would otherwise never return.
    space_free_.notify_all();
}

}  // namespace vemx::tsdemux
