#pragma once
// Captures every library log line for the lifetime of the object.
#include <mutex>
#include <string>
#include <vector>

namespace vemx_test {

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // Lines that start with prefix.
    std::vector<std::string> lines_starting(const std::string& prefix) const;
    size_t count_containing(const std::string& text) const;
    // The same, counting also the repeats that the flood limit held back
    // (whose counts are collected first).
    size_t count_with_repeats(const std::string& text);
    void clear();

  private:
    static void sink(const char* line, void* ctx);
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// A fresh directory that becomes the current directory while the object
// lives; removed with its contents afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);

// Runs a shell command and returns what it printed on stdout.
std::string run_command(const std::string& command);

}  // namespace vemx_test
