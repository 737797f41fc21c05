#include "platform/profile.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

#include "platform/text.h"

namespace vemx::platform {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

int parse_int(std::string_view v) {
    std::string s(v);
    const char* p = s.c_str();
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    long long n = 0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        n = std::strtoll(p + 2, nullptr, 16);
    else
        n = std::strtoll(p, nullptr, 10);
    if (neg) n = -n;
    return static_cast<int>(n);
}

}  // namespace

int profile_int(const std::string& path, std::string_view section, std::string_view key, int def) {
    std::ifstream in(path);
    if (!in) return def;
    std::string raw;
    bool in_section = false;
    while (std::getline(in, raw)) {
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            in_section = close != std::string_view::npos &&
                         iequals(trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!in_section) continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || !iequals(trim(line.substr(0, eq)), key)) continue;
        return parse_int(trim(line.substr(eq + 1)));
    }
    return def;
}

}  // namespace vemx::platform
