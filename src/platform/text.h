#pragma once
// Small text helpers shared by the services.
#include <string_view>

namespace vemx::platform {

// Equal apart from the case of ASCII letters; independent of the locale,
// which a host may have changed.
inline bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace vemx::platform
