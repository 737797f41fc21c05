#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vemx_tool {

namespace {

[[noreturn]] void Refuse(const char* usage, const std::string& option, const std::string& text,
                         const std::string& range) {
    throw UsageError(option + " must be " + range + ", not '" + text + "'", usage);
}

}  // namespace

long long IntOption(const char* usage, const std::string& option, const std::string& text,
                    long long min, long long max) {
    const std::string range = "an integer in " + std::to_string(min) + ".." + std::to_string(max);
    // Decimal with an optional minus, or hexadecimal after "0x" (stream
    // ids); strtoll alone would also take blanks, a plus and octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : (!text.empty() && text[0] == '-' ? 1 : 0);
    if (first >= text.size()) Refuse(usage, option, text, range);
    for (size_t i = first; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c))) Refuse(usage, option, text, range);
    }
    errno = 0;
    const long long value = std::strtoll(text.c_str() + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
    if (errno != 0 || value < min || value > max) Refuse(usage, option, text, range);
    return value;
}

double RealOption(const char* usage, const std::string& option, const std::string& text, double min,
                  double max) {
    char range[96];
    std::snprintf(range, sizeof range, "a number in %g..%g", min, max);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        Refuse(usage, option, text, range);
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        Refuse(usage, option, text, range);
    return value;
}

}  // namespace vemx_tool
