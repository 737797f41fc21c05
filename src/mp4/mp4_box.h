#pragma once
// Bounds-checked reading of ISO BMFF boxes held in memory.  Every read that
// would leave the bytes it was given throws BoxError with a reason that ends
// up in the failed open's log line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vemx::mp4box {

class BoxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr uint32_t FourCC(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

// "moov" for FourCC("moov"); bytes outside printable ASCII become '?'.
std::string TypeName(uint32_t type);

// A cursor over a byte range; big-endian reads.
class Cursor {
  public:
    Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const noexcept { return size_ - pos_; }
    size_t position() const noexcept { return pos_; }
    const uint8_t* here() const noexcept { return data_ + pos_; }

    uint8_t U8() { return uint8_t(Take(1)); }
    uint16_t U16() { return uint16_t(Take(2)); }
    uint32_t U24() { return uint32_t(Take(3)); }
    // The two reads every table entry makes are kept inline.
    uint32_t U32() {
        if (remaining() < 4) Short();
        uint32_t v;
        std::memcpy(&v, data_ + pos_, 4);
        pos_ += 4;
        return __builtin_bswap32(v);
    }
    uint64_t U64() {
        if (remaining() < 8) Short();
        uint64_t v;
        std::memcpy(&v, data_ + pos_, 8);
        pos_ += 8;
        return __builtin_bswap64(v);
    }
    void Skip(size_t n);
    // The next n bytes as a cursor of their own.
    Cursor Sub(size_t n);
    // Throws unless n items of item_size bytes are left: tables are checked
    // against the box before anything is allocated for them.
    void Require(uint64_t n, size_t item_size, const char* what) const;

  private:
    uint64_t Take(size_t n);
    [[noreturn]] static void Short();

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// One box: its type, where its payload starts (relative to the bytes it was
// found in) and the payload's size.
struct Box {
    uint32_t type = 0;
    size_t payload = 0;
    size_t size = 0;
};

// The header of the box at the cursor's position.  Size 0 means "to the end";
// a size smaller than the header, or past the end, throws.
Box ReadBoxHeader(const uint8_t* data, size_t size, size_t at);

// Calls fn(box, cursor over its payload) for every child box in [data, data+size).
template <class F>
void ForEachBox(const uint8_t* data, size_t size, F&& fn) {
    size_t at = 0;
    while (size - at >= 8) {
        const Box box = ReadBoxHeader(data, size, at);
        fn(box, Cursor(data + box.payload, box.size));
        at = box.payload + box.size;
    }
}

}  // namespace vemx::mp4box
