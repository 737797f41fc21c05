#pragma once
// Numbers on the command line, checked before any work starts.
#include <stdexcept>
#include <string>

namespace vemx_tool {

// A command line the command cannot use: main prints the reason and the
// command's usage, and exits with status 2.
class UsageError : public std::runtime_error {
  public:
    UsageError(const std::string& reason, std::string usage)
        : std::runtime_error(reason), usage_(std::move(usage)) {}
    const std::string& usage() const noexcept { return usage_; }

  private:
    std::string usage_;
};

// The whole of text as an integer (decimal, or hexadecimal after "0x") in
// [min, max]; a UsageError naming the option otherwise.
long long IntOption(const char* usage, const std::string& option, const std::string& text,
                    long long min, long long max);

// The whole of text as a finite number in [min, max].
double RealOption(const char* usage, const std::string& option, const std::string& text, double min,
                  double max);

}  // namespace vemx_tool
