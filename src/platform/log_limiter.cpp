#include "platform/log_limiter.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace vemx::platform {

std::string RepeatLimiter::Summary(uint64_t count, std::string_view line) {
    char head[64];
    std::snprintf(head, sizeof head, "INFO[vemx|log] %" PRIu64 " repeats held back: ", count);
    std::string out = head;
    // Within the 2048 bytes of any line, line feed and NUL included.
    constexpr size_t kMax = 2046;
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    out.append(line.substr(0, out.size() < kMax ? kMax - out.size() : 0));
    out += '\n';
    return out;
}

void RepeatLimiter::Close(Entry& e, int64_t now, std::vector<std::string>& due) {
    if (e.held > 0) due.push_back(Summary(e.held, std::string_view(e.text.data(), e.size)));
    e.window_start = now;
    e.passed = 0;
    e.held = 0;
}

bool RepeatLimiter::Admit(std::string_view line, int64_t now, std::vector<std::string>& due) {
    if (line.empty() || line.size() > kMaxLine) return true;
    Entry* match = nullptr;
    Entry* oldest = &entries_[0];
    for (Entry& e : entries_) {
        // Floods that stopped still get their count, with the next line of any kind.
        if ((e.held > 0 || e.passed > 0) && now - e.window_start >= kWindow) Close(e, now, due);
        if (!match && e.size == line.size() && std::memcmp(e.text.data(), line.data(), e.size) == 0)
            match = &e;
        // A free entry first, else the one unseen for longest.
        if (oldest->size != 0 && (e.size == 0 || e.last_seen < oldest->last_seen)) oldest = &e;
    }
    if (!match) {
        match = oldest;
        Close(*match, now, due);
        std::memcpy(match->text.data(), line.data(), line.size());
        match->size = line.size();
    }
    match->last_seen = now;
    if (match->passed < kBurst) {
        ++match->passed;
        return true;
    }
    ++match->held;
    return false;
}

void RepeatLimiter::TakeAll(std::vector<std::string>& due) {
    for (Entry& e : entries_) Close(e, e.window_start, due);
}

}  // namespace vemx::platform
