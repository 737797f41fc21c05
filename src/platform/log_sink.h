#pragma once
// The one place every diagnostic line of the library passes through.  It
// stands in for the debugger output: default stderr, replaceable by the host.
#include <string>
#include <string_view>

namespace vemx::platform {

using LogSinkFn = void (*)(const char* line, void* ctx);

// Delivers one whole line (its line feed included).  Any thread.  Floods of
// one identical line are limited (see log_limiter.h).
void emit_line(const char* nul_terminated) noexcept;
void emit_line(std::string_view line) noexcept;

// Wide text is UTF-32 here; the sink always receives UTF-8.
void emit_wide_line(std::wstring_view line) noexcept;
std::string to_utf8(std::wstring_view text);

// A null sink restores the default.  After it returns the previous sink is
// no longer running (except in the calls that this thread is inside, when a
// sink replaces itself) and will not be called again.  The sink is called
// without any lock of ours held: it may log, or replace the sink.
void set_log_sink(LogSinkFn sink, void* ctx) noexcept;

}  // namespace vemx::platform
