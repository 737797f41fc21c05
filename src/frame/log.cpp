#include "frame/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/log_sink.h"

namespace vemx::frame {

namespace {

// Appends "\n" and the NUL within cap bytes, cutting the text if needed.
// used = bytes written so far (may exceed what fits, as vsnprintf reports).
void terminate_line(char* buf, size_t cap, size_t used) {
    if (used > cap - 2) used = cap - 2;
    buf[used] = '\n';
    buf[used + 1] = '\0';
}

size_t clamp_written(int n, size_t room) {
    if (n < 0) return 0;
    return static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
}

}  // namespace

void LogPrint(const char* tag, const char* format, ...) noexcept {
    constexpr size_t kCap = 2048;
    char buf[kCap];
    size_t used = 0;
    // Leave room for the line feed and the NUL.
    const size_t room = kCap - 1;
    used = clamp_written(std::snprintf(buf, room, "%s", tag), room - 1);
    va_list ap;
    va_start(ap, format);
    used += clamp_written(std::vsnprintf(buf + used, room - used, format, ap), room - used - 1);
    va_end(ap);
    terminate_line(buf, kCap, used);
    platform::emit_line(static_cast<const char*>(buf));
}

void WideInfo(std::wstring_view line) noexcept {
    platform::emit_wide_line(line);
}

void WideError(std::wstring_view line) noexcept {
    platform::emit_wide_line(line);
}

void InfoLine(std::wstring_view component, std::wstring_view text) noexcept {
    try {
        std::wstring line;
        line.reserve(component.size() + text.size() + 4);
        line += L'[';
        line += component;
        line += L"] ";
        line += text;
        line += L'\n';
        WideInfo(line);
    } catch (...) {
    }
}

RollingLogFile::RollingLogFile(std::string name)
    : name_(std::move(name)), line_(std::make_unique<char[]>(kLineSize)) {}

void RollingLogFile::Write(int64_t timestamp, const char* format, ...) {
    last_ts_ = timestamp;
    char* buf = line_.get();
    const size_t room = kLineSize - 1;
    size_t used = clamp_written(std::snprintf(buf, room, "[%.2f] ", timestamp / 10000.0), room - 1);
    va_list ap;
    va_start(ap, format);
    used += clamp_written(std::vsnprintf(buf + used, room - used, format, ap), room - used - 1);
    va_end(ap);
    terminate_line(buf, kLineSize, used);
    const size_t len = std::strlen(buf);

    if (stream_ && timestamp - opened_at_ <= max_span_) {
        stream_->write(buf, static_cast<std::streamsize>(len));
        return;
    }
    stream_.reset();
    char file_name[4096];
    std::snprintf(file_name, sizeof file_name, "%s-%04u.log", name_.c_str(), file_index_);
    ++file_index_;
    opened_at_ = timestamp;
    // A file that cannot be created leaves a failed stream: its lines are
    // dropped, and rotation still happens by time.
    stream_ = std::make_unique<std::ofstream>(file_name,
                                              std::ios::out | std::ios::trunc | std::ios::binary);
    stream_->write(buf, static_cast<std::streamsize>(len));
}

}  // namespace vemx::frame
