#pragma once
// Raw picture files for the video subcommands: planes stored one after the
// other with rows packed at their width, held in memory with 16-byte
// aligned rows as the library's kernels need.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace vemx_tool {

class Plane {
public:
    Plane(size_t row_bytes, size_t rows)
        : row_bytes_(row_bytes), rows_(rows), stride_((row_bytes + 15) / 16 * 16),
          data_(static_cast<uint8_t*>(std::aligned_alloc(16, std::max<size_t>(16, stride_ * rows)))) {
        if (!data_) throw std::bad_alloc();
        std::fill(data_.get(), data_.get() + stride_ * rows, uint8_t{0});
    }
    uint8_t* data() { return data_.get(); }
    uint8_t* row(size_t r) { return data() + r * stride_; }
    int32_t stride() const { return static_cast<int32_t>(stride_); }
    size_t packed_bytes() const { return row_bytes_ * rows_; }

    bool read(FILE* f) {
        for (size_t r = 0; r < rows_; ++r)
            if (std::fread(row(r), 1, row_bytes_, f) != row_bytes_) return false;
        return true;
    }
    bool write(FILE* f) {
        for (size_t r = 0; r < rows_; ++r)
            if (std::fwrite(row(r), 1, row_bytes_, f) != row_bytes_) return false;
        return true;
    }

private:
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    size_t row_bytes_, rows_, stride_;
    std::unique_ptr<uint8_t, Free> data_;
};

struct File {
    FILE* f;
    explicit File(const std::string& path, const char* mode) : f(std::fopen(path.c_str(), mode)) {}
    ~File() {
        if (f) std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

// Reads the planes in order; false (with a message) when the file is short or missing.
inline bool ReadPlanes(const std::string& path, const std::vector<Plane*>& planes) {
    File in(path, "rb");
    if (!in.f) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return false;
    }
    for (Plane* p : planes)
        if (!p->read(in.f)) {
            std::fprintf(stderr, "%s is shorter than the picture size says\n", path.c_str());
            return false;
        }
    return true;
}

inline bool WritePlanes(const std::string& path, const std::string& header, const std::vector<Plane*>& planes) {
    File out(path, "wb");
    bool ok = out.f && std::fwrite(header.data(), 1, header.size(), out.f) == header.size();
    for (Plane* p : planes) ok = ok && p->write(out.f);
    if (!ok) std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return ok;
}

// "640x480" -> width, height
inline bool ParseSize(const std::string& s, uint32_t& w, uint32_t& h) {
    unsigned a = 0, b = 0;
    char x = 0;
    if (std::sscanf(s.c_str(), "%u%c%u", &a, &x, &b) != 3 || x != 'x' || a == 0 || b == 0 || a > 16384 ||
        b > 16384)
        return false;
    w = a;
    h = b;
    return true;
}

inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace vemx_tool
