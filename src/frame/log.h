#pragma once
// The library's logging facilities: tagged narrow lines, wide information and
// error lines, and hourly rolled log files.
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

namespace vemx::frame {

// One line: tag (which ends in a space), the formatted message, a line feed.
// At most 2048 bytes with the terminating NUL; longer messages are cut.
// No heap allocation (but for the count of a flood, once a second); any
// thread.
void LogPrint(const char* tag, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// The two wide sinks; a line is passed whole, line feed included.
void WideInfo(std::wstring_view line) noexcept;
void WideError(std::wstring_view line) noexcept;

// "[" component "] " text "\n" to the information sink.
void InfoLine(std::wstring_view component, std::wstring_view text) noexcept;

// A series of log files named "<name>-NNNN.log" in the current directory,
// a new file whenever a line's timestamp is more than an hour past the time
// its file was opened.  Not thread-safe: one writer at a time.
class RollingLogFile {
  public:
    static constexpr int64_t kMaxSpan = 36000000000;  // one hour in 100-ns units
    static constexpr size_t kLineSize = 1024;

    explicit RollingLogFile(std::string name);
    RollingLogFile(const RollingLogFile&) = delete;
    RollingLogFile& operator=(const RollingLogFile&) = delete;

    // timestamp is the owner's clock in 100-ns units; the line starts with it
    // in milliseconds: "[1234.57] ".
    void Write(int64_t timestamp, const char* format, ...) __attribute__((format(printf, 3, 4)));

    const std::string& name() const noexcept { return name_; }
    uint32_t file_index() const noexcept { return file_index_; }
    int64_t last_ts() const noexcept { return last_ts_; }

  private:
    std::string name_;
    int64_t max_span_ = kMaxSpan;
    std::unique_ptr<std::ofstream> stream_;
    int64_t opened_at_ = 0;
    uint32_t file_index_ = 0;
    std::unique_ptr<char[]> line_;
    int64_t last_ts_ = 0;
};

}  // namespace vemx::frame
