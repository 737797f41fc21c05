#include "platform/log_sink.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace vemx::platform {

namespace {

bool default_sink_silenced() {
    const char* v = std::getenv("VEMX_LOG");
    return v && std::strcmp(v, "off") == 0;
}

void stderr_sink(const char* line, void*) {
    static const bool silenced = default_sink_silenced();
    if (silenced) return;
    // One write per line keeps lines from different threads whole.
    size_t len = std::strlen(line);
    while (len > 0) {
        ssize_t n = write(STDERR_FILENO, line, len);
        if (n <= 0) return;
        line += n;
        len -= static_cast<size_t>(n);
    }
}

struct Sink {
    std::shared_mutex lock;
    LogSinkFn fn = stderr_sink;
    void* ctx = nullptr;
};

Sink& sink() {
    static Sink s;
    return s;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string to_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        auto c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        append_utf8(out, c);
    }
    return out;
}

void emit_line(const char* nul_terminated) noexcept {
    Sink& s = sink();
    std::shared_lock lock(s.lock);
    s.fn(nul_terminated, s.ctx);
}

void emit_line(std::string_view line) noexcept {
    // The sink contract is a NUL-terminated string; most callers already
    // have one, the rest get a small copy.
    char small[2048];
    std::string big;
    const char* p;
    if (line.size() < sizeof small) {
        std::memcpy(small, line.data(), line.size());
        small[line.size()] = '\0';
        p = small;
    } else {
        try {
            big.assign(line);
        } catch (...) {
            return;
        }
        p = big.c_str();
    }
    emit_line(p);
}

void emit_wide_line(std::wstring_view line) noexcept {
    try {
        emit_line(to_utf8(line));
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller goes on.
    }
}

void set_log_sink(LogSinkFn fn, void* ctx) noexcept {
    Sink& s = sink();
    std::unique_lock lock(s.lock);
    s.fn = fn ? fn : stderr_sink;
    s.ctx = fn ? ctx : nullptr;
}

}  // namespace vemx::platform
