#include "common/log_capture.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "vemx/vemx_log.h"

namespace vemx_test {

LogCapture::LogCapture() {
    vemx_set_log_sink(&LogCapture::sink, this);
}

LogCapture::~LogCapture() {
    vemx_set_log_sink(nullptr, nullptr);
}

void LogCapture::sink(const char* line, void* ctx) {
    auto* self = static_cast<LogCapture*>(ctx);
    std::lock_guard lock(self->lock_);
    self->lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(lock_);
    return lines_;
}

std::vector<std::string> LogCapture::lines_starting(const std::string& prefix) const {
    std::lock_guard lock(lock_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

size_t LogCapture::count_containing(const std::string& text) const {
    std::lock_guard lock(lock_);
    size_t n = 0;
    for (const auto& l : lines_)
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

size_t LogCapture::count_with_repeats(const std::string& text) {
    // Replacing the sink hands the outstanding counts to the sink in place.
    vemx_set_log_sink(&LogCapture::sink, this);
    static const std::string kHeld = "INFO[vemx|log] ";
    std::lock_guard lock(lock_);
    size_t n = 0;
    for (const auto& l : lines_) {
        if (l.find(text) == std::string::npos) continue;
        n += l.rfind(kHeld, 0) == 0 ? std::stoul(l.substr(kHeld.size())) : 1;
    }
    return n;
}

void LogCapture::clear() {
    std::lock_guard lock(lock_);
    lines_.clear();
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vemx-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) previous_ = cwd;
    if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
}

TempDir::~TempDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) std::abort();
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string run_command(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace vemx_test
