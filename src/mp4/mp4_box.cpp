#include "mp4/mp4_box.h"

namespace vemx::mp4box {

std::string TypeName(uint32_t type) {
    std::string name(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = char(type >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7f) name[i] = c;
    }
    return name;
}

void Cursor::Short() {
    throw BoxError("box shorter than its fields");
}

uint64_t Cursor::Take(size_t n) {
    if (remaining() < n) Short();
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | data_[pos_ + i];
    pos_ += n;
    return v;
}

void Cursor::Skip(size_t n) {
    if (remaining() < n) throw BoxError("box shorter than its fields");
    pos_ += n;
}

Cursor Cursor::Sub(size_t n) {
    if (remaining() < n) throw BoxError("box shorter than its fields");
    Cursor c(data_ + pos_, n);
    pos_ += n;
    return c;
}

void Cursor::Require(uint64_t n, size_t item_size, const char* what) const {
    if (n > remaining() / item_size)
        throw BoxError(std::string(what) + " claims more entries than its box holds");
}

Box ReadBoxHeader(const uint8_t* data, size_t size, size_t at) {
    Cursor c(data + at, size - at);
    uint64_t box_size = c.U32();
    Box box;
    box.type = c.U32();
    if (box_size == 1)
        box_size = c.U64();
    else if (box_size == 0)
        box_size = size - at;
    const size_t header = c.position();
    if (box_size < header)
        throw BoxError("box '" + TypeName(box.type) + "' smaller than its header");
    if (box_size > size - at)
        throw BoxError("box '" + TypeName(box.type) + "' runs past the end of its parent");
    box.payload = at + header;
    box.size = size_t(box_size - header);
    return box;
}

}  // namespace vemx::mp4box
