#include "tool_log.h"

extern "C" {
#include <libavutil/error.h>
}
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "vemx/vemx_log.h"

namespace vemx_tool::log {

namespace {

int g_saved_stderr = -1;  // stderr while the libraries start, when it is held back

// The library logs its INI path while it loads, before main runs.  Functions
// in .preinit_array run before any library's initialisers and get argv: unless
// -v asks for everything, stderr is pointed at /dev/null until main takes it
// back, so that start-up line is dropped.  (Setting VEMX_LOG here would not
// last: libc sets up the environment after this runs.)
void before_libraries(int argc, char** argv, char**) {
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) return;
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    g_saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (g_saved_stderr >= 0) dup2(null, STDERR_FILENO);
    close(null);
}
__attribute__((section(".preinit_array"),
               used)) void (*g_before_libraries)(int, char**, char**) = before_libraries;

bool IsErrorLine(std::string_view line) {
    if (line.starts_with("ERROR[")) return true;
    return line.starts_with("[") && line.find("][ERROR]: ") != std::string_view::npos;
}

// The demultiplexer's read answers -1 once the tool stops it at the end of
// its input; that ending is no error of the stream.
bool IsStopLine(std::string_view line) {
    return line.find("av_read_frame failed, err=-1\n") != std::string_view::npos;
}

void Write(std::string_view text) {
    // One write per line keeps lines from different threads whole.
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(size_t(n));
    }
}

void ShowAll(const char* line, void*) {
    Write(WithErrorTexts(line));
}

void ShowErrors(const char* line, void*) {
    const std::string_view l(line);
    if (IsErrorLine(l) && !IsStopLine(l)) Write(WithErrorTexts(l));
}

}  // namespace

std::string WithErrorTexts(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 32);
    for (size_t at = 0;;) {
        const size_t key = line.find("err=-", at);
        if (key == std::string_view::npos) {
            out.append(line.substr(at));
            return out;
        }
        size_t end = key + 5;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
        out.append(line.substr(at, end - at));
        at = end;
        // Ten digits at most: an int, as FFmpeg's codes are.
        const size_t digits = end - key - 5;
        if (digits == 0 || digits > 10 || line.substr(end).starts_with(" (")) continue;
        const long long code = -std::atoll(std::string(line.substr(key + 5, digits)).c_str());
        if (code < -2147483647LL) continue;
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(int(code), text, sizeof text);
        // Some lines give the text already, in words of their own.
        if (line.find(text) == std::string_view::npos) out.append(" (").append(text).append(")");
    }
}

void Install(bool verbose) {
    if (g_saved_stderr >= 0) {
        dup2(g_saved_stderr, STDERR_FILENO);
        close(g_saved_stderr);
        g_saved_stderr = -1;
    }
    const char* setting = std::getenv("VEMX_LOG");
    if (setting && std::strcmp(setting, "off") == 0) return;  // the library's own sink stays quiet
    vemx_set_log_sink(verbose ? ShowAll : ShowErrors, nullptr);
}

}  // namespace vemx_tool::log
