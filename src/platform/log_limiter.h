#pragma once
// Holds back floods of one identical line, such as an error per packet of a
// damaged stream: the first few of a second pass, the rest are counted, and
// one summary line per second says how many were held back.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vemx::platform {

class RepeatLimiter {
  public:
    static constexpr int64_t kWindow = 10000000;  // 1 s in 100-ns units
    static constexpr uint64_t kBurst = 10;        // identical lines let through per window
    static constexpr size_t kTracked = 16;        // distinct lines remembered
    // Lines are kept in place, so that counting allocates nothing; longer
    // lines than this are never limited.
    static constexpr size_t kMaxLine = 2048;

    // Whether `line` (a whole line, line feed included) goes out now.  Summary
    // lines that became due by `now` are appended to `due`, to be delivered
    // before the line.  Not thread-safe.
    bool Admit(std::string_view line, int64_t now, std::vector<std::string>& due);
    // Appends every outstanding summary, due or not.
    void TakeAll(std::vector<std::string>& due);

    // "INFO[vemx|log] <count> repeats held back: <line>"
    static std::string Summary(uint64_t count, std::string_view line);

  private:
    struct Entry {
        std::array<char, kMaxLine> text;
        size_t size = 0;  // 0: free
        int64_t window_start = 0;
        int64_t last_seen = 0;
        uint64_t passed = 0;  // in the current window
        uint64_t held = 0;    // in the current window
    };
    static void Close(Entry& e, int64_t now, std::vector<std::string>& due);

    std::array<Entry, kTracked> entries_{};
};

}  // namespace vemx::platform
