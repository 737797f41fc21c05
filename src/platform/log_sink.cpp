#include "platform/log_sink.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/log_limiter.h"

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

// The sink is called without any lock held, so that it may log through the
// library or replace itself.  Each installed sink has a slot counting the
// calls in flight; replacing the sink waits for the old slot's calls to end,
// except those of the replacing thread itself (it may be inside one).
struct Slot {
    LogSinkFn fn = stderr_sink;
    void* ctx = nullptr;
    int calls = 0;
};

// Lines logged from inside a sink call the sink again; past this depth they
// go to stderr, so that a sink logging every line cannot recurse for ever.
constexpr int kMaxDepth = 4;

struct Sink {
    std::mutex lock;
    std::condition_variable calls_ended;
    // Enough for the current sink, the nested calls of a thread and a few
    // replaced sinks whose calls are still ending.
    std::array<Slot, 2 * kMaxDepth + 2> slots;
    size_t current = 0;
    RepeatLimiter limiter;
};

// Never destroyed: threads that outlive main (a deferred release finishing
// at exit) may still log while static destructors run.
Sink& sink() {
    static Sink& s = *new Sink;
    return s;
}

// The slots this thread is inside, innermost last.
thread_local std::array<size_t, kMaxDepth> t_entered;
thread_local int t_depth = 0;

void deliver(const char* line) noexcept {
    if (t_depth >= kMaxDepth) {
        stderr_sink(line, nullptr);
        return;
    }
    Sink& s = sink();
    size_t slot;
    LogSinkFn fn;
    void* ctx;
    {
        std::lock_guard lock(s.lock);
        slot = s.current;
        ++s.slots[slot].calls;
        fn = s.slots[slot].fn;
        ctx = s.slots[slot].ctx;
    }
    t_entered[static_cast<size_t>(t_depth++)] = slot;
    try {
        fn(line, ctx);
    } catch (...) {
        // A host sink that throws loses its line, nothing more.
    }
    --t_depth;
    std::lock_guard lock(s.lock);
    if (--s.slots[slot].calls == 0) s.calls_ended.notify_all();
}

void deliver_all(const std::vector<std::string>& lines) noexcept {
    for (const std::string& l : lines) deliver(l.c_str());
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
    std::vector<std::string> due;
    bool admitted = true;
    try {
        std::lock_guard lock(s.lock);
        admitted = s.limiter.Admit(nul_terminated, monotonic_100ns(), due);
    } catch (...) {
        // Out of memory while counting: the line goes out unlimited.
    }
    deliver_all(due);
    if (admitted) deliver(nul_terminated);
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
    // The counts of held-back lines belong to the sink that saw their first.
    std::vector<std::string> due;
    try {
        std::lock_guard lock(s.lock);
        s.limiter.TakeAll(due);
    } catch (...) {
    }
    deliver_all(due);

    std::unique_lock lock(s.lock);
    auto free_slot = [&] {
        for (size_t i = 0; i < s.slots.size(); ++i)
            if (i != s.current && s.slots[i].calls == 0) return i;
        return s.slots.size();
    };
    size_t next;
    s.calls_ended.wait(lock, [&] { return (next = free_slot()) < s.slots.size(); });
    s.slots[next] = {fn ? fn : stderr_sink, fn ? ctx : nullptr, 0};
    const size_t old = s.current;
    s.current = next;
    const auto mine = std::count(t_entered.begin(), t_entered.begin() + t_depth, old);
    s.calls_ended.wait(lock, [&] { return s.slots[old].calls <= mine; });
}

}  // namespace vemx::platform
